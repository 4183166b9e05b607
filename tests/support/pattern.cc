#include "support/pattern.h"

#include <regex.h>

namespace testsupport {

bool FullMatch(const std::string& text, const std::string& ere, std::vector<std::string>* groups) {
  regex_t re;
  if (regcomp(&re, ere.c_str(), REG_EXTENDED) != 0) return false;
  std::vector<regmatch_t> spans(re.re_nsub + 1);
  const bool found = regexec(&re, text.c_str(), spans.size(), spans.data(), 0) == 0;
  regfree(&re);
  if (!found || spans[0].rm_so != 0 || static_cast<size_t>(spans[0].rm_eo) != text.size()) {
    return false;
  }
  if (groups != nullptr) {
    groups->clear();
    for (size_t i = 1; i < spans.size(); ++i) {
      if (spans[i].rm_so < 0) {
        groups->emplace_back();
      } else {
        groups->push_back(text.substr(spans[i].rm_so, spans[i].rm_eo - spans[i].rm_so));
      }
    }
  }
  return true;
}

}  // namespace testsupport
