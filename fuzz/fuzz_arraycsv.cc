// fuzz_arraycsv -- arrays filled from NUL-separated names and values, in turn
// (up to ARRAY_MAX_ELEMENTS names), against a model: names match regardless
// of case, and a name matched keeps its first spelling and takes the new
// value. Count, names, values and arrayCSV's text must agree with the model,
// for the array and for a copy made over a stale one by arrayCopy.
#include <strings.h>

#include "array.h"
#include "fuzz_common.h"
#include "nkstrings.h"

using Model = std::vector<std::pair<std::string, std::string>>;

static void compare(int array, const Model &model) {
  int count = static_cast<int>(model.size()), s = stringAlloc(0);
  std::string csv;
  for (int i = 0; i < count; i++) {
    const char *name = arrayIndexName(array, i), *value = arrayGet(array, model[i].first.c_str());
    FUZZ_CHECK(name && model[i].first == name && value && model[i].second == value);
    csv += (i ? "," : "") + model[i].first + "=" + model[i].second;
  }
  FUZZ_CHECK(arrayCount(array) == count && !arrayIndexName(array, count) &&
             !arrayIndexName(array, -1));
  FUZZ_CHECK(arrayCSV(array, s) == static_cast<int>(csv.size()) + 1 &&
             csv == static_cast<char *>(memGetData(s)));
  stringFree(s);
}

FUZZ_TARGET() {
  std::vector<std::string> fields = in.split();
  fields.resize(fields.size() + fields.size() % 2);
  int array = arrayAlloc(), copy = arrayAlloc();
  Model model;
  for (size_t i = 0; i < fields.size(); i += 2) {
    const std::string &name = fields[i], &value = fields[i + 1];
    auto e = std::find_if(model.begin(), model.end(),
                          [&](auto &m) { return strcasecmp(m.first.c_str(), name.c_str()) == 0; });
    if (e == model.end() && model.size() == ARRAY_MAX_ELEMENTS) break;
    FUZZ_CHECK(arrayPut(array, name.c_str(), value.c_str()) == static_cast<int>(value.size()) + 1);
    if (e == model.end()) e = model.insert(e, {name, value});
    e->second = value;
  }
  compare(array, model);
  arrayPut(copy, "stale", "dropped by the copy");
  arrayCopy(copy, array);
  compare(copy, model);
  arrayFree(copy);
  arrayFree(array);
}
