// SPDK's legacy INI configuration reader (stand-in).
//
// A file holds "[Section]" headers and "Key Value" lines (the first run of
// blanks separates key from value; the value runs to the end of the line,
// trailing blanks removed; a key alone has the empty value ""). "#" starts a
// comment, whole-line or trailing. Lines before the first section, and
// lines that do not parse, are ignored; a header without its closing
// bracket or without a name opens no section, and the keys under it are
// dropped. Sections keep file order; two sections of the same name both
// stay. CRLF line ends are accepted; a NUL byte ends its line.
#ifndef PLATFORM_SPDK_CONF_H
#define PLATFORM_SPDK_CONF_H

#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

struct spdk_conf;
struct spdk_conf_section;

struct spdk_conf* spdk_conf_allocate(void);
// NULL is ignored; a conf set as default stops being the default.
void spdk_conf_free(struct spdk_conf* cp);
// 0, or -1 when the file cannot be read. Replaces what cp held.
int spdk_conf_read(struct spdk_conf* cp, const char* file);
// The conf that the calls below use when given NULL.
void spdk_conf_set_as_default(struct spdk_conf* cp);

// NULL cp means the default conf. NULL at the end.
struct spdk_conf_section* spdk_conf_first_section(struct spdk_conf* cp);
struct spdk_conf_section* spdk_conf_next_section(struct spdk_conf_section* sp);
bool spdk_conf_section_match_prefix(const struct spdk_conf_section* sp, const char* name_prefix);
const char* spdk_conf_section_get_name(const struct spdk_conf_section* sp);
// The value of the first line of `key`, NULL when absent.
char* spdk_conf_section_get_val(struct spdk_conf_section* sp, const char* key);
// -1 when absent, and also when the value is not a non-negative decimal
// integer that fits an int (so a bad value reads like an absent one).
int spdk_conf_section_get_intval(struct spdk_conf_section* sp, const char* key);
// Yes/Y/True and No/N/False in any case; anything else (and absent) gives
// `default_val`.
bool spdk_conf_section_get_boolval(struct spdk_conf_section* sp, const char* key,
                                   bool default_val);

#ifdef __cplusplus
}
#endif

#endif  // PLATFORM_SPDK_CONF_H
