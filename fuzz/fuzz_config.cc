// fuzz_config -- configValue and configValueR for every key of a file made
// of the input, against the format: lines as fgets reads them (a longer one
// in pieces), cut at a NUL, '#' lines skipped, the key before the first '=',
// the value after it up to the line end; lines without either ignored.
#include <sys/mman.h>

#include "configfile.h"
#include "fuzz_common.h"

static int file;  // in memory: a file on disk costs more than the reading

FUZZ_TARGET(file = memfd_create("nkfuzz-config", 0),
            configSetFile(("/proc/self/fd/" + std::to_string(file)).c_str())) {
  std::string all = in.bytes(SIZE_MAX);
  FUZZ_CHECK(ftruncate(file, 0) == 0 &&
             pwrite(file, all.data(), all.size(), 0) == static_cast<ssize_t>(all.size()));
  std::map<std::string, std::vector<std::string>> byKey;  // values in file order
  for (size_t pos = 0, n; pos < all.size(); pos += n) {
    n = std::min({all.find('\n', pos), all.size() - 1, pos + CONFIG_LINE_SIZE - 2}) + 1 - pos;
    std::string line = all.substr(pos, n - (all[pos + n - 1] == '\n')).c_str();
    size_t eq = line.find('=');
    if (line[0] != '#' && eq != 0 && eq < line.size() - 1)
      byKey[line.substr(0, eq)].push_back(line.substr(eq + 1));
  }

  configReadFile();
  for (const auto &k : byKey) {
    FUZZ_CHECK(k.second[0] == configValue(k.first.c_str(), ""));
    // A walk starts at the first entry (the last one ended with null).
    std::vector<std::string> walk;
    for (const char *v; walk.size() <= k.second.size() && (v = configValueR(k.first.c_str()));)
      walk.push_back(v);
    FUZZ_CHECK(walk == k.second);
  }
  static const char kDefault[] = "default";
  if (!byKey.count("absent")) FUZZ_CHECK(configValue("absent", kDefault) == kDefault);
  configCloseFile();
  FUZZ_CHECK(configValue(byKey.empty() ? "x" : byKey.begin()->first.c_str(), kDefault) == kDefault);
}
