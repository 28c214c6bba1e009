// fuzz_config -- the configuration reader over a file written from the input.
//
// The input is the file. After configReadFile every key the file names is
// looked up with configValue and walked with configValueR, and the answers
// are compared with a reading of the file's documented format: lines as
// fgets gives them (CONFIG_LINE_SIZE - 1 bytes at most, so a longer line
// comes in pieces), '#' lines skipped, the key everything before the first
// '=', the value everything after it up to the line end, and lines without a
// key or a value ignored. A NUL ends a line's text as it ends a C string.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "configfile.h"
#include "fuzz_common.h"

namespace {

char path[64];

void removeFile() { unlink(path); }

// The entries of the file, in file order.
std::vector<std::pair<std::string, std::string>> expectedEntries(const uint8_t *data, size_t size) {
  std::vector<std::pair<std::string, std::string>> entries;
  size_t pos = 0;
  while (pos < size) {
    size_t end = pos;
    while (end < size && end - pos < CONFIG_LINE_SIZE - 1 && data[end] != '\n') end++;
    if (end < size && end - pos < CONFIG_LINE_SIZE - 1) end++;  // the line feed is the line's
    std::string line(reinterpret_cast<const char *>(data + pos), end - pos);
    pos = end;
    line = line.c_str();  // up to a NUL
    if (!line.empty() && line[0] == '#') continue;
    size_t eq = line.find('=');
    if (eq == 0 || eq == std::string::npos) continue;
    std::string value = line.substr(eq + 1);
    value = value.substr(0, value.find('\n'));
    if (value.empty()) continue;
    entries.emplace_back(line.substr(0, eq), value);
  }
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(nkfuzz::Output::kKeep);
  // In memory where the machine has it: a file on disk costs more than the
  // reading under test.
  const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  snprintf(path, sizeof path, "%s/nkfuzz-config-%d.conf", dir, static_cast<int>(getpid()));
  atexit(removeFile);
  configSetFile(path);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FILE *file = fopen(path, "w");
  if (!file) return 0;
  bool written = fwrite(data, 1, size, file) == size;
  if (fclose(file) != 0 || !written) return 0;

  nkfuzz::HandleBalance balance;
  configReadFile();
  // Each key's values in file order.
  std::map<std::string, std::vector<std::string>> byKey;
  for (auto &e : expectedEntries(data, size)) byKey[e.first].push_back(std::move(e.second));
  for (const auto &k : byKey) {
    const std::string &key = k.first;
    const std::vector<std::string> &values = k.second;
    const char *first = configValue(key.c_str(), nullptr);
    FUZZ_CHECK(first != nullptr && values[0] == first);
    // Each walk starts at the first entry, the previous one having ended
    // with null, and ends with null.
    for (const std::string &v : values) {
      const char *got = configValueR(key.c_str());
      FUZZ_CHECK(got != nullptr && v == got);
    }
    FUZZ_CHECK(configValueR(key.c_str()) == nullptr);
  }
  // A key the file does not name yields the default.
  static const char kDefault[] = "default";
  if (!byKey.count("nkfuzz.absent")) {
    FUZZ_CHECK(configValue("nkfuzz.absent", kDefault) == kDefault);
  }
  configCloseFile();
  FUZZ_CHECK(configValue(byKey.empty() ? "x" : byKey.begin()->first.c_str(), kDefault) == kDefault);
  return 0;
}
