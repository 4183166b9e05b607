// The keys of the driver's configuration (its [ORLA] section) and the values
// the library takes for each, so that a value given by --ini-set is checked
// before anything starts, as every option's is, instead of being refused by
// the library's start-up or, worse, read as something else: an integer the
// configuration reader cannot read is -1 to the library, a flag it cannot
// read is the flag's default, an unknown log level is "info".
#ifndef PYXBENCH_DRIVER_KEYS_H_
#define PYXBENCH_DRIVER_KEYS_H_

#include <string>
#include <vector>

namespace pyxbench {

// The keys, in alphabetical order.
const std::vector<std::string>& DriverKeyNames();

// "" when the library takes `value` for `key` as given (`key` one of
// DriverKeyNames()); else what it allows ("1 to 16, as --drivers").
std::string DriverValueProblem(const std::string& key, const std::string& value);

// One line per key, "  KEY: what it allows", for --help.
std::string DriverKeysHelp();

}  // namespace pyxbench

#endif  // PYXBENCH_DRIVER_KEYS_H_
