// nkrun_rtdb -- the RTDB of the runtime stand-in: named tags holding texts,
// and the rules that scripts define over them.
//
// Every write of a tag (from the shell's set, a script's nk.set or a rule)
// posts the event "tag:<tag>" with the new value as parameter, but only when
// some context is interested: a write that nobody waits for is normal and
// must not log the event system's "ignored" warning. The posts never block.
// A write that changes the value (or makes the tag) also calls the observer
// (rtdbObserve), through which nkrun tells the bus's tag watchers.
//
// A rule computes one value from one or two inputs: a tag, another rule (by
// its id) or a constant. Kinds: "and", "or", "xor", "not" (truth values; a
// text is true when it is "1", "on", "true" or "yes" without regard to case,
// or a number other than 0), the comparisons "<", "<=", ">", ">=", "==",
// "~=" (numeric when both sides are numbers, else by text), and "copy". The
// logical and comparison kinds give "1" or "0". A rule is evaluated when it is
// defined and whenever one of its inputs changes value; when its own value
// changes it writes its output tag (if it has one) and the rules reading it
// are evaluated in turn. Chains deeper than kMaxChain (a loop of rules through
// their tags) are cut with a warning, so a loop cannot hang the runtime.
//
// Tag names and values are kept as given; the listings are name=value items
// joined by commas, so a comma in a name or value shows up cut there.
#define NK_MODULE "nkrun"
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <time.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "event.h"
#include "mem.h"
#include "nkrun.h"
#include "nkstrings.h"
#include "nksyslog.h"
#include "timer.h"

namespace nkrun {

namespace {

constexpr int kMaxChain = 32;

struct Tag {
  std::string value;
  std::string event;  // "tag:<name>", the event its writes post
  int eventId = -1;   // its id, registered once for the life of the tag
};

struct Rule {
  std::string id;
  std::string kind;
  std::string input[2];
  bool constant[2] = {false, false};
  int inputs = 0;
  std::string output;  // tag written on every change, or empty
  std::string value;
};

// Looked up by the caller's text, without a copy of it (std::less<>).
std::map<std::string, Tag, std::less<>> tags;
std::vector<Rule> rules;  // in the order of definition: ix is the position + 1
// Every tag or rule id that some rule reads, with the position of the first
// rule that reads it: a write of any other tag has no rule to evaluate, and
// does not walk them; the rules listing names the first reader of a rule
// without an output.
std::map<std::string, size_t, std::less<>> readers;
TagObserver observer;

void evaluate(Rule &r, int depth);

Rule *findRule(const std::string &id) {
  for (Rule &r : rules) {
    if (r.id == id) return &r;
  }
  return nullptr;
}

bool isNumber(const std::string &s, double *value) {
  if (s.empty()) return false;
  char *end = nullptr;
  *value = strtod(s.c_str(), &end);
  return *end == '\0';
}

bool truth(const std::string &s) {
  double n = 0;
  if (isNumber(s, &n)) return n != 0;
  const char *t = s.c_str();
  return strcasecmp(t, "on") == 0 || strcasecmp(t, "true") == 0 || strcasecmp(t, "yes") == 0;
}

// The current value of a rule's input: the constant, the rule named, or the
// tag named ("" until written).
std::string inputValue(const Rule &r, int i) {
  if (r.constant[i]) return r.input[i];
  if (const Rule *other = findRule(r.input[i])) return other->value;
  auto it = tags.find(r.input[i]);
  return it == tags.end() ? std::string() : it->second.value;
}

std::string compute(const Rule &r) {
  std::string a = inputValue(r, 0);
  if (r.kind == "copy") return a;
  if (r.kind == "not") return truth(a) ? "0" : "1";
  std::string b = inputValue(r, 1);
  bool result = false;
  if (r.kind == "and") {
    result = truth(a) && truth(b);
  } else if (r.kind == "or") {
    result = truth(a) || truth(b);
  } else if (r.kind == "xor") {
    result = truth(a) != truth(b);
  } else {
    double x = 0, y = 0;
    int c = isNumber(a, &x) && isNumber(b, &y) ? (x > y) - (x < y) : strcmp(a.c_str(), b.c_str());
    if (r.kind == "<") result = c < 0;
    if (r.kind == "<=") result = c <= 0;
    if (r.kind == ">") result = c > 0;
    if (r.kind == ">=") result = c >= 0;
    if (r.kind == "==") result = c == 0;
    if (r.kind == "~=") result = c != 0;
  }
  return result ? "1" : "0";
}

// The value called name (a tag or a rule) changed: evaluate its readers.
void changed(std::string_view name, int depth) {
  if (readers.find(name) == readers.end()) return;
  for (size_t i = 0; i < rules.size(); i++) {
    Rule &r = rules[i];
    for (int k = 0; k < r.inputs; k++) {
      if (!r.constant[k] && r.input[k] == name) {
        evaluate(r, depth);
        break;
      }
    }
  }
}

bool write(std::string_view tag, const char *value, int depth);

void evaluate(Rule &r, int depth) {
  if (depth > kMaxChain) {
    nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: rule %s: chain deeper than %d, not evaluated\n",
             kName, r.id.c_str(), kMaxChain);
    return;
  }
  std::string value = compute(r);
  if (value == r.value) return;
  r.value = value;
  if (!r.output.empty()) write(r.output, value.c_str(), depth + 1);
  changed(r.id, depth + 1);
}

// False when a new tag finds no room for its event name (nothing written).
bool write(std::string_view name, const char *value, int depth) {
  auto it = tags.find(name);
  bool isNew = it == tags.end();
  if (isNew) {
    std::string event = kTagEventPrefix + std::string(name);
    if (!eventNameFits(event.c_str())) return false;
    it = tags.emplace(std::string(name), Tag()).first;
    it->second.event = std::move(event);
    it->second.eventId = eventRegister(it->second.event.c_str());
  }
  Tag &tag = it->second;
  bool differs = isNew || tag.value != value;
  if (differs) tag.value.assign(value);
  if (eventIdHasInterest(tag.eventId)) eventPost(tag.event.c_str(), tag.value.c_str(), 0);
  if (differs) {
    if (observer) observer(it->first.c_str(), tag.value.c_str());
    changed(name, depth);
  }
  return true;
}

}  // namespace

bool rtdbSet(const char *tag, const char *value) { return write(tag, value, 0); }

const char *rtdbGet(const char *tag) {
  auto it = tags.find(std::string_view(tag));
  return it == tags.end() ? nullptr : it->second.value.c_str();
}

size_t rtdbCount() { return tags.size(); }

void rtdbObserve(TagObserver o) { observer = o; }

void rtdbForEach(void (*visit)(const char *tag, const char *value, void *arg), void *arg) {
  for (const auto &entry : tags) visit(entry.first.c_str(), entry.second.value.c_str(), arg);
}

bool logDue(RefusalLog *r) {
  if (r->last && timerMonotonicMicroSec() - r->last < 1000000) {
    r->held++;
    return false;
  }
  return true;
}

void logWent(RefusalLog *r, const char *what) {
  if (r->held) {
    nksyslog(NKLOG_WARNING, LOGMASK_GENERAL, "%s: (%d more %s since the last warning)\n", kName,
             r->held, what);
  }
  r->last = timerMonotonicMicroSec();
  r->held = 0;
}

void logRefusal(RefusalLog *r, const char *format, ...) {
  if (!logDue(r)) return;
  va_list args;
  va_start(args, format);
  nkvsyslog(NKLOG_WARNING, LOGMASK_GENERAL, format, args);
  va_end(args);
  logWent(r, "refused");
}

bool eventNameFits(const char *name) {
  static RefusalLog refusals;
  if (eventLookup(name) >= 0 || eventNameCount() < kMaxEventNames) return true;
  logRefusal(&refusals, "%s: event name '%.256s' refused: %d names are registered\n", kName, name,
             eventNameCount());
  return false;
}

int ruleInputs(const char *kind) {
  static const char *const kTwo[] = {"and", "or", "xor", "<", "<=", ">", ">=", "==", "~="};
  if (strcmp(kind, "not") == 0 || strcmp(kind, "copy") == 0) return 1;
  for (const char *k : kTwo) {
    if (strcmp(kind, k) == 0) return 2;
  }
  return 0;
}

int ruleDefine(const char *id, const char *kind, const char *const input[2], const bool constant[2],
               const char *output, const char **error) {
  int inputs = ruleInputs(kind);
  if (!id[0]) {
    *error = "a rule needs an id";
  } else if (inputs == 0) {
    *error = "unknown kind of rule";
  } else if (!input[0] || (inputs == 2 && !input[1])) {
    *error = "missing input";
  } else {
    *error = nullptr;
  }
  if (*error) return -1;
  Rule *r = findRule(id);
  if (!r) {
    rules.emplace_back();
    r = &rules.back();
    r->id = id;
  }
  r->kind = kind;
  r->inputs = inputs;
  for (int i = 0; i < 2; i++) {
    r->input[i] = i < inputs ? input[i] : "";
    r->constant[i] = i < inputs && constant[i];
  }
  r->output = output ? output : "";
  readers.clear();
  for (size_t at = 0; at < rules.size(); at++) {
    for (int i = 0; i < rules[at].inputs; i++) {
      if (!rules[at].constant[i]) readers.emplace(rules[at].input[i], at);
    }
  }
  r->value = "\x01";  // no value yet: the first evaluation always counts as a change
  evaluate(*r, 0);
  return 0;
}

size_t ruleCount() { return rules.size(); }

void ruleStatsQuery(int index, int string) {
  if (index < 0 || static_cast<size_t>(index) >= rules.size()) {
    stringCopy(string, "index=0");
    return;
  }
  const Rule &r = rules[index];
  // A rule without an output tag that feeds another rule names that rule, so
  // that the listing can draw the chain.
  const char *output = r.output.c_str();
  if (r.output.empty()) {
    auto reader = readers.find(r.id);
    if (reader != readers.end()) output = rules[reader->second].id.c_str();
  }
  stringPrintf(string, "index=%d,id=%s,ix=%d,type=%s,input1=%s,input2=%s,output=%s,value=%s",
               index + 1, r.id.c_str(), index + 1, r.kind.c_str(), r.input[0].c_str(),
               r.input[1].c_str(), output, r.value.c_str());
}

}  // namespace nkrun
