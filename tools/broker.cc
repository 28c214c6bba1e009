// broker -- the broker settings, read one way for nkbridge and nkfleet.
#include "broker.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "configfile.h"

namespace {

std::string value(const char *key) {
  const char *v = configValue(key, nullptr);
  return v ? v : "";
}

// *n from the key's value when it has one; false when that is not a whole
// number from lowest to highest.
bool number(const char *key, int lowest, int highest, int *n, std::string *error) {
  std::string v = value(key);
  if (v.empty()) return true;
  char *end = nullptr;
  errno = 0;
  long parsed = strtol(v.c_str(), &end, 10);
  if (errno || *end || parsed < lowest || parsed > highest) {
    *error = std::string(key) + "=" + v + " is not a number from " + std::to_string(lowest) +
             " to " + std::to_string(highest);
    return false;
  }
  *n = static_cast<int>(parsed);
  return true;
}

}  // namespace

bool readBrokerSettings(BrokerSettings *s, std::string *error) {
  if (!value("brokerHost").empty()) s->host = value("brokerHost");
  s->username = value("brokerUsername");
  s->caFile = value("brokerCaFile");
  s->certFile = value("brokerCertFile");
  s->keyFile = value("brokerKeyFile");
  if (!s->caFile.empty()) s->port = 8883;
  if (!number("brokerPort", 1, 65535, &s->port, error) ||
      !number("brokerKeepalive", 5, 65535, &s->keepalive, error)) {
    return false;
  }
  std::string passwordFile = value("brokerPasswordFile");
  if (passwordFile.empty()) return true;
  FILE *file = fopen(passwordFile.c_str(), "re");
  if (!file) {
    *error = "cannot read the password file " + passwordFile + ": " + strerror(errno);
    return false;
  }
  char line[CONFIG_LINE_SIZE] = "";
  if (!fgets(line, sizeof line, file)) line[0] = '\0';
  fclose(file);
  line[strcspn(line, "\r\n")] = '\0';
  s->password = line;
  return true;
}

std::string brokerReason(int rc) {
  if (rc == MOSQ_ERR_ERRNO) return strerror(errno);
  std::string text = mosquitto_strerror(rc);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

bool applyBrokerSettings(struct mosquitto *client, const BrokerSettings &s, std::string *error) {
  if (!s.username.empty()) {
    const char *password = s.password.empty() ? nullptr : s.password.c_str();
    if (mosquitto_username_pw_set(client, s.username.c_str(), password) != MOSQ_ERR_SUCCESS) {
      *error = "cannot set the broker user name";
      return false;
    }
  }
  if (!s.caFile.empty()) {
    const char *cert = s.certFile.empty() ? nullptr : s.certFile.c_str();
    const char *key = s.keyFile.empty() ? nullptr : s.keyFile.c_str();
    int rc = mosquitto_tls_set(client, s.caFile.c_str(), nullptr, cert, key, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      *error = "cannot use the TLS files (brokerCaFile, brokerCertFile, brokerKeyFile): " +
               brokerReason(rc);
      return false;
    }
  }
  return true;
}
