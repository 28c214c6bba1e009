// broker.h -- the broker settings of the framework's configuration file,
// read and checked one way for the programs that meet on a broker (nkbridge
// on a device, nkfleet on an operator's machine), and set on a client.
#ifndef NK_TOOLS_BROKER_H
#define NK_TOOLS_BROKER_H

#include <mosquitto.h>

#include <string>

struct BrokerSettings {
  std::string host = "127.0.0.1";
  int port = 1883;     // 8883 once a CA file is named
  int keepalive = 30;  // s
  std::string username;
  std::string password;  // the first line of brokerPasswordFile
  std::string caFile;    // TLS when set
  std::string certFile;
  std::string keyFile;
};

// Reads brokerHost, brokerPort, brokerKeepalive, brokerUsername,
// brokerPasswordFile, brokerCaFile, brokerCertFile and brokerKeyFile from the
// configuration already read (configValue); a key that is missing or empty
// keeps its default. False, with the reason in *error, when the port is not a
// number from 1 to 65535, the keep-alive not one from 5 to 65535, or the
// password file cannot be read.
bool readBrokerSettings(BrokerSettings *s, std::string *error);

// The reason for a failed libmosquitto call, as one phrase.
std::string brokerReason(int rc);

// Sets the user name and password, and the TLS files, on the client. False,
// with the reason in *error, when the client takes either.
bool applyBrokerSettings(struct mosquitto *client, const BrokerSettings &s, std::string *error);

#endif  // NK_TOOLS_BROKER_H
