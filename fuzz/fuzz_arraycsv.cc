// fuzz_arraycsv -- arrays filled from the input, written out by arrayCSV.
//
// Input: names and values alternating, separated by NULs. Each pair is
// put into an array (up to ARRAY_MAX_ELEMENTS different names, which is all
// an array holds), alongside a model: names match regardless of case, a
// matched element keeps the name it was first stored with and takes the new
// value. The array's count, names, values and its CSV text must agree with
// the model, and so must those of a copy made with arrayCopy.
#include <string.h>
#include <strings.h>

#include <string>
#include <utility>
#include <vector>

#include "array.h"
#include "fuzz_common.h"
#include "nkstrings.h"

namespace {

using Model = std::vector<std::pair<std::string, std::string>>;

// The model's element that name matches, or null.
std::pair<std::string, std::string> *find(Model *model, const std::string &name) {
  for (auto &e : *model) {
    if (strcasecmp(e.first.c_str(), name.c_str()) == 0) return &e;
  }
  return nullptr;
}

void compare(int array, const Model &model) {
  FUZZ_CHECK(arrayCount(array) == static_cast<int>(model.size()));
  std::string csv;
  for (size_t i = 0; i < model.size(); i++) {
    const char *name = arrayIndexName(array, static_cast<int>(i));
    FUZZ_CHECK(name != nullptr && model[i].first == name);
    const char *value = arrayGet(array, model[i].first.c_str());
    FUZZ_CHECK(value != nullptr && model[i].second == value);
    if (i > 0) csv += ",";
    csv += model[i].first + "=" + model[i].second;
  }
  FUZZ_CHECK(arrayIndexName(array, static_cast<int>(model.size())) == nullptr);
  FUZZ_CHECK(arrayIndexName(array, -1) == nullptr);
  int s = stringAlloc(0);
  int size = arrayCSV(array, s);
  FUZZ_CHECK(size == static_cast<int>(csv.size()) + 1);
  FUZZ_CHECK(csv == static_cast<const char *>(memGetData(s)));
  stringFree(s);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(nkfuzz::Output::kKeep);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> fields;
  const char *p = reinterpret_cast<const char *>(data);
  const char *end = p + size;
  while (p < end) {
    const char *nul = static_cast<const char *>(memchr(p, '\0', end - p));
    fields.emplace_back(p, nul ? nul : end);
    p = nul ? nul + 1 : end;
  }

  nkfuzz::HandleBalance balance;
  int array = arrayAlloc();
  Model model;
  for (size_t i = 0; i < fields.size(); i += 2) {
    const std::string &name = fields[i];
    std::string value = i + 1 < fields.size() ? fields[i + 1] : "";
    auto *element = find(&model, name);
    if (!element && model.size() == ARRAY_MAX_ELEMENTS) break;
    FUZZ_CHECK(arrayPut(array, name.c_str(), value.c_str()) == static_cast<int>(value.size()) + 1);
    if (element) {
      element->second = value;
    } else {
      model.emplace_back(name, value);
    }
  }
  compare(array, model);

  int copy = arrayAlloc();
  arrayPut(copy, "stale", "dropped by the copy");
  arrayCopy(copy, array);
  compare(copy, model);
  arrayFree(copy);
  arrayFree(array);
  return 0;
}
