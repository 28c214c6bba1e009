// fuzz_config -- configValue and configValueR for every key of a file made
// of the input, against a reading of the format: lines as fgets gives them
// (CONFIG_LINE_SIZE - 1 bytes at most: a longer one comes in pieces), a NUL
// ending a line's text, '#' lines skipped, the key everything before the
// first '=', the value the rest up to the line end, lines without either
// ignored.
#include <sys/mman.h>

#include <map>

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
    n = std::min({all.find('\n', pos) - pos, all.size() - pos - 1, size_t{CONFIG_LINE_SIZE} - 2}) +
        1;
    std::string line = all.substr(pos, n).c_str();
    size_t eq = line.find('=');
    std::string value =
        eq == std::string::npos ? "" : line.substr(eq + 1, line.find('\n') - eq - 1);
    if (line[0] != '#' && eq != 0 && !value.empty()) byKey[line.substr(0, eq)].push_back(value);
  }

  configReadFile();
  for (const auto &k : byKey) {
    const char *first = configValue(k.first.c_str(), nullptr);
    FUZZ_CHECK(first && k.second[0] == first);
    // A walk starts at the first entry (the last one ended with null).
    for (const std::string &v : k.second) {
      const char *got = configValueR(k.first.c_str());
      FUZZ_CHECK(got && v == got);
    }
    FUZZ_CHECK(configValueR(k.first.c_str()) == nullptr);
  }
  static const char kDefault[] = "default";
  if (!byKey.count("absent")) FUZZ_CHECK(configValue("absent", kDefault) == kDefault);
  configCloseFile();
  FUZZ_CHECK(configValue(byKey.empty() ? "x" : byKey.begin()->first.c_str(), kDefault) == kDefault);
}
