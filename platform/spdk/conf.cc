// The legacy INI reader. The file is read whole and parsed line by line;
// nothing in it is trusted: any byte may appear, lines may be of any
// length, and the last line need not end in a newline.
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <atomic>
#include <climits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "spdk/conf.h"

struct spdk_conf_section {
  std::string name;
  // Keys in file order; a repeated key keeps its first value for lookups.
  std::vector<std::pair<std::string, std::string>> items;
  spdk_conf_section* next = nullptr;
};

struct spdk_conf {
  std::vector<std::unique_ptr<spdk_conf_section>> sections;
};

namespace {

std::atomic<spdk_conf*> g_default_conf{nullptr};

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kSpace = " \t\r\n\v\f";

std::string_view trim(std::string_view s) {
  const size_t first = s.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  const size_t last = s.find_last_not_of(kSpace);
  return s.substr(first, last - first + 1);
}

// What of a line counts: a NUL byte ends it (the C strings handed out could
// not carry one anyway) and "#" starts a comment.
std::string_view content_of(std::string_view line) {
  const size_t nul = line.find('\0');
  if (nul != std::string_view::npos) line = line.substr(0, nul);
  const size_t hash = line.find('#');
  if (hash != std::string_view::npos) line = line.substr(0, hash);
  return trim(line);
}

class Parser {
 public:
  explicit Parser(spdk_conf* out) : out_(out) {}

  void line(std::string_view raw) {
    const std::string_view s = content_of(raw);
    if (s.empty()) return;
    if (s.front() == '[') {
      header(s);
    } else if (current_ != nullptr) {
      item(s);
    }
  }

 private:
  // "[Name]"; text after the bracket is ignored. A header without its
  // closing bracket or without a name opens no section, and the key lines
  // under it are dropped rather than added to the section before it.
  void header(std::string_view s) {
    current_ = nullptr;
    const size_t close = s.find(']');
    if (close == std::string_view::npos) return;
    const std::string_view name = trim(s.substr(1, close - 1));
    if (name.empty()) return;
    auto sec = std::make_unique<spdk_conf_section>();
    sec->name.assign(name);
    if (!out_->sections.empty()) out_->sections.back()->next = sec.get();
    current_ = sec.get();
    out_->sections.push_back(std::move(sec));
  }

  // "Key Value": the first run of blanks separates them; a key alone gets
  // the empty value.
  void item(std::string_view s) {
    const size_t blank = s.find_first_of(kBlanks);
    std::string_view key = s.substr(0, blank);
    std::string_view value;
    if (blank != std::string_view::npos) {
      const size_t start = s.find_first_not_of(kBlanks, blank);
      if (start != std::string_view::npos) value = s.substr(start);
    }
    current_->items.emplace_back(std::string(key), std::string(value));
  }

  spdk_conf* out_;
  spdk_conf_section* current_ = nullptr;
};

bool read_file(const char* path, std::string* out) {
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return false;
  char buf[64 * 1024];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out->append(buf, n);
  const bool ok = ferror(f) == 0;
  fclose(f);
  return ok;
}

spdk_conf* resolve(spdk_conf* cp) {
  return cp != nullptr ? cp : g_default_conf.load(std::memory_order_acquire);
}

}  // namespace

extern "C" {

struct spdk_conf* spdk_conf_allocate(void) { return new spdk_conf(); }

void spdk_conf_free(struct spdk_conf* cp) {
  if (cp == nullptr) return;
  spdk_conf* expected = cp;
  g_default_conf.compare_exchange_strong(expected, nullptr);
  delete cp;
}

int spdk_conf_read(struct spdk_conf* cp, const char* file) {
  if (cp == nullptr || file == nullptr) return -1;
  std::string text;
  if (!read_file(file, &text)) return -1;
  spdk_conf parsed;
  Parser parser(&parsed);
  const std::string_view all(text);
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find('\n', pos);
    if (end == std::string_view::npos) end = all.size();
    parser.line(all.substr(pos, end - pos));
    pos = end + 1;
  }
  cp->sections = std::move(parsed.sections);
  return 0;
}

void spdk_conf_set_as_default(struct spdk_conf* cp) {
  g_default_conf.store(cp, std::memory_order_release);
}

struct spdk_conf_section* spdk_conf_first_section(struct spdk_conf* cp) {
  cp = resolve(cp);
  if (cp == nullptr || cp->sections.empty()) return nullptr;
  return cp->sections.front().get();
}

struct spdk_conf_section* spdk_conf_next_section(struct spdk_conf_section* sp) {
  return sp != nullptr ? sp->next : nullptr;
}

bool spdk_conf_section_match_prefix(const struct spdk_conf_section* sp, const char* name_prefix) {
  if (sp == nullptr || name_prefix == nullptr) return false;
  return sp->name.compare(0, strlen(name_prefix), name_prefix) == 0;
}

const char* spdk_conf_section_get_name(const struct spdk_conf_section* sp) {
  return sp != nullptr ? sp->name.c_str() : nullptr;
}

char* spdk_conf_section_get_val(struct spdk_conf_section* sp, const char* key) {
  if (sp == nullptr || key == nullptr) return nullptr;
  for (auto& item : sp->items) {
    if (item.first == key) return item.second.data();
  }
  return nullptr;
}

// An invalid value (empty, signed, not decimal, beyond INT_MAX) also gives
// -1, so that callers that test for an absent key treat it the same way
// instead of taking some other negative number for a setting.
int spdk_conf_section_get_intval(struct spdk_conf_section* sp, const char* key) {
  const char* v = spdk_conf_section_get_val(sp, key);
  if (v == nullptr || *v == '\0') return -1;
  long long n = 0;
  for (; *v != '\0'; ++v) {
    if (*v < '0' || *v > '9') return -1;
    n = n * 10 + (*v - '0');
    if (n > INT_MAX) return -1;
  }
  return static_cast<int>(n);
}

bool spdk_conf_section_get_boolval(struct spdk_conf_section* sp, const char* key,
                                   bool default_val) {
  const char* v = spdk_conf_section_get_val(sp, key);
  if (v == nullptr) return default_val;
  for (const char* yes : {"yes", "y", "true"}) {
    if (strcasecmp(v, yes) == 0) return true;
  }
  for (const char* no : {"no", "n", "false"}) {
    if (strcasecmp(v, no) == 0) return false;
  }
  return default_val;
}

}  // extern "C"
