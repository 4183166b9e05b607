// Whole-text matching against a POSIX extended regular expression.
//
// The tests check the shape of log lines and file names with it. It wraps
// <regex.h> rather than <regex>: g++ 12 with AddressSanitizer warns
// (-Wmaybe-uninitialized) inside libstdc++'s regex compiler, and the builds
// stay free of warnings.
#ifndef TESTS_SUPPORT_PATTERN_H_
#define TESTS_SUPPORT_PATTERN_H_

#include <string>
#include <vector>

namespace testsupport {

// True when ere matches all of text. When groups is given it receives the
// parenthesised subexpressions in order (an unmatched one as ""). A pattern
// that does not compile matches nothing.
bool FullMatch(const std::string& text, const std::string& ere,
               std::vector<std::string>* groups = nullptr);

}  // namespace testsupport

#endif  // TESTS_SUPPORT_PATTERN_H_
