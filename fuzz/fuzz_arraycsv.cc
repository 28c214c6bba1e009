// fuzz_arraycsv -- arrays filled from the input, written out by arrayCSV.
// Input: names and values alternating, separated by NULs, put into an array
// (up to ARRAY_MAX_ELEMENTS names) and into a model: names match regardless
// of case, a matched element keeps the name it was first stored with and
// takes the new value. Count, names, values and CSV text must agree with the
// model, for the array and for a copy made over a stale one by arrayCopy.
#include <strings.h>

#include "array.h"
#include "fuzz_common.h"
#include "nkstrings.h"

namespace {

using Model = std::vector<std::pair<std::string, std::string>>;

void compare(int array, const Model &model) {
  FUZZ_CHECK(arrayCount(array) == static_cast<int>(model.size()));
  std::string csv;
  for (size_t i = 0; i < model.size(); i++) {
    const char *name = arrayIndexName(array, static_cast<int>(i));
    const char *value = arrayGet(array, model[i].first.c_str());
    FUZZ_CHECK(name && model[i].first == name && value && model[i].second == value);
    csv += (i ? "," : "") + model[i].first + "=" + model[i].second;
  }
  FUZZ_CHECK(!arrayIndexName(array, static_cast<int>(model.size())) && !arrayIndexName(array, -1));
  int s = stringAlloc(0);
  FUZZ_CHECK(arrayCSV(array, s) == static_cast<int>(csv.size()) + 1 &&
             csv == static_cast<char *>(memGetData(s)));
  stringFree(s);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nkfuzz::init(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> fields = nkfuzz::split(data, size);
  if (fields.size() % 2) fields.emplace_back();
  nkfuzz::HandleBalance balance;
  int array = arrayAlloc();
  Model model;
  for (size_t i = 0; i < fields.size(); i += 2) {
    const std::string &name = fields[i], &value = fields[i + 1];
    auto e = std::find_if(model.begin(), model.end(),
                          [&](auto &m) { return strcasecmp(m.first.c_str(), name.c_str()) == 0; });
    if (e == model.end() && model.size() == ARRAY_MAX_ELEMENTS) break;
    FUZZ_CHECK(arrayPut(array, name.c_str(), value.c_str()) == static_cast<int>(value.size()) + 1);
    if (e != model.end()) {
      e->second = value;
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
