// fuzz_config -- the configuration reader over a file written from the input.
// Every key the file names is looked up with configValue and walked with
// configValueR, against a reading of the format: lines as fgets gives them
// (CONFIG_LINE_SIZE - 1 bytes at most, so a longer one comes in pieces), a
// NUL ending a line's text, '#' lines skipped, the key everything before the
// first '=', the value the rest up to the line end, lines without a key or a
// value ignored.
#include <map>

#include "configfile.h"
#include "fuzz_common.h"

namespace {

char path[64];

void removeFile() { unlink(path); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(false);
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

  std::map<std::string, std::vector<std::string>> byKey;  // values in file order
  for (size_t pos = 0, end; pos < size; pos = end) {
    const size_t max = CONFIG_LINE_SIZE - 1;
    for (end = pos; end < size && end - pos < max && data[end] != '\n';) end++;
    if (end < size && end - pos < max) end++;  // the line feed is the line's
    std::string line = std::string(reinterpret_cast<const char *>(data + pos), end - pos).c_str();
    size_t eq = line.find('=');
    std::string value =
        eq == std::string::npos ? "" : line.substr(eq + 1, line.find('\n') - eq - 1);
    if (line[0] != '#' && eq != 0 && !value.empty()) byKey[line.substr(0, eq)].push_back(value);
  }

  nkfuzz::HandleBalance balance;
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
  return 0;
}
