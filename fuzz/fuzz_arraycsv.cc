// fuzz_arraycsv -- arrays filled from NUL-separated names and values, in
// turn, against a model: names match regardless of case, one matched keeps
// its first spelling and takes the new value. Count, names, values and the
// CSV text agree with it, for the array and for arrayCopy's copy of it.
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
  int array = arrayAlloc(), copy = arrayAlloc();
  Model model;
  while (in.p < in.end) {
    std::string name = in.text(), value = in.text();
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
