#include "bvar/variable.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <mutex>
#include <sstream>

namespace bvar {
namespace {

struct Exposed {
  Variable* var;
  DisplayFilter filter;
};

// Never destroyed: variables that live in static storage hide themselves
// during static destruction, possibly after this file's statics are gone.
struct Registry {
  std::mutex mu;
  std::map<std::string, Exposed> vars;
};

Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

}  // namespace

void to_underscored_name(std::string* name, const std::string& src) {
  for (size_t i = 0; i < src.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(src[i]);
    if (std::isupper(c)) {
      const bool word_start =
          i > 0 && !std::isupper(static_cast<unsigned char>(src[i - 1]));
      if (word_start && !name->empty() && name->back() != '_') {
        name->push_back('_');
      }
      name->push_back(static_cast<char>(std::tolower(c)));
    } else if (std::islower(c) || std::isdigit(c)) {
      name->push_back(static_cast<char>(c));
    } else if (!name->empty() && name->back() != '_') {
      name->push_back('_');
    }
  }
}

Variable::~Variable() {
  // Concrete variables hide themselves already; this only covers a
  // variable that was never exposed or a forgotten hide().
  hide();
}

std::string Variable::get_description() const {
  std::ostringstream os;
  describe(os, false);
  return os.str();
}

int Variable::expose_impl(const std::string& prefix, const std::string& name,
                          DisplayFilter filter) {
  std::string full;
  to_underscored_name(&full, prefix);
  if (!full.empty() && full.back() != '_') full.push_back('_');
  to_underscored_name(&full, name);
  if (full.empty() || full == "_") {
    std::fprintf(stderr, "bvar: refused to expose a variable without name\n");
    return -1;
  }
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (!name_.empty()) {
    r.vars.erase(name_);
    name_.clear();
  }
  if (!r.vars.emplace(full, Exposed{this, filter}).second) {
    std::fprintf(stderr, "bvar: name already exposed: %s\n", full.c_str());
    return -1;
  }
  name_ = full;
  return 0;
}

bool Variable::hide() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  if (name_.empty()) return false;
  r.vars.erase(name_);
  name_.clear();
  return true;
}

void Variable::list_exposed(std::vector<std::string>* names,
                            DisplayFilter filter) {
  names->clear();
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  for (const auto& kv : r.vars) {
    if (kv.second.filter & filter) names->push_back(kv.first);
  }
}

size_t Variable::count_exposed() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  return r.vars.size();
}

int Variable::describe_exposed(const std::string& name, std::ostream& os,
                               bool quote_string) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  auto it = r.vars.find(name);
  if (it == r.vars.end()) return -1;
  it->second.var->describe(os, quote_string);
  return 0;
}

std::string Variable::describe_exposed(const std::string& name,
                                       bool quote_string) {
  std::ostringstream os;
  if (describe_exposed(name, os, quote_string) != 0) return std::string();
  return os.str();
}

void Variable::dump_exposed(
    std::vector<std::pair<std::string, std::string>>* out,
    DisplayFilter filter) {
  out->clear();
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mu);
  for (const auto& kv : r.vars) {
    if (!(kv.second.filter & filter)) continue;
    std::ostringstream os;
    kv.second.var->describe(os, false);
    out->emplace_back(kv.first, os.str());
  }
}

}  // namespace bvar
