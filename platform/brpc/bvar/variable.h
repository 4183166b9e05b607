// Base of every metric variable and the process-wide registry of exposed
// names.
//
// A variable is private until exposed under a name; exposed variables can be
// listed and described by name (the metrics HTTP server does exactly that).
// Names are normalised: letters are lower-cased, a word that starts with a
// capital after a lower-case letter or digit gets an underscore in front of
// it, and every other character becomes one underscore (never two in a row).
// So "pyxdriver worker0" + "_read_iops" becomes "pyxdriver_worker0_read_iops"
// and "PYXDriverService" becomes "pyxdriver_service".
//
// Every concrete variable calls hide() first thing in its destructor, so a
// concurrent describe never reaches a half-destroyed object.
#ifndef PLATFORM_BVAR_VARIABLE_H
#define PLATFORM_BVAR_VARIABLE_H

#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace bvar {

// Where an exposed variable is shown.
enum DisplayFilter {
  DISPLAY_ON_HTML = 1,
  DISPLAY_ON_PLAIN_TEXT = 2,
  DISPLAY_ON_ALL = 3,
};

// Appends the normalised form of `src` to `*name` (see the file comment).
void to_underscored_name(std::string* name, const std::string& src);

class Variable {
 public:
  Variable() = default;
  Variable(const Variable&) = delete;
  Variable& operator=(const Variable&) = delete;
  virtual ~Variable();

  // Writes the current value. Strings are quoted when `quote_string`.
  virtual void describe(std::ostream& os, bool quote_string) const = 0;
  std::string get_description() const;

  // Exposes under the normalised `name` (an exposed variable is first
  // hidden). Returns 0, or -1 when the name is empty or already taken.
  int expose(const std::string& name,
             DisplayFilter filter = DISPLAY_ON_ALL) {
    return expose_impl("", name, filter);
  }
  // Same with the name formed from `prefix` and `name`, joined by "_".
  int expose_as(const std::string& prefix, const std::string& name,
                DisplayFilter filter = DISPLAY_ON_ALL) {
    return expose_impl(prefix, name, filter);
  }
  // Removes the variable from the registry; true when it was exposed.
  bool hide();

  // The exposed name, empty while hidden.
  const std::string& name() const { return name_; }
  bool is_hidden() const { return name_.empty(); }

  // Names of all exposed variables shown under `filter`, sorted.
  static void list_exposed(std::vector<std::string>* names,
                           DisplayFilter filter = DISPLAY_ON_ALL);
  static size_t count_exposed();
  // The value of the variable exposed as `name` (already normalised).
  // Returns 0, or -1 when there is none.
  static int describe_exposed(const std::string& name, std::ostream& os,
                              bool quote_string = false);
  // Same as text; empty when there is none.
  static std::string describe_exposed(const std::string& name,
                                      bool quote_string = false);
  // Every exposed variable shown under `filter`, as (name, value), sorted
  // by name.
  static void dump_exposed(std::vector<std::pair<std::string, std::string>>* out,
                           DisplayFilter filter = DISPLAY_ON_PLAIN_TEXT);

 private:
  int expose_impl(const std::string& prefix, const std::string& name,
                  DisplayFilter filter);

  std::string name_;  // guarded by the registry mutex
};

inline std::ostream& operator<<(std::ostream& os, const Variable& var) {
  var.describe(os, false);
  return os;
}

}  // namespace bvar

#endif  // PLATFORM_BVAR_VARIABLE_H
