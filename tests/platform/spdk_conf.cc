// The INI reader over real files: sections, keys, values, comments, and
// files nobody should write but someone will.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <string>
#include <vector>

#include "spdk/conf.h"

namespace {

class SpdkConf : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/spdk_conf_test.XXXXXX";
    const int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = tmpl;
    conf_ = spdk_conf_allocate();
  }
  void TearDown() override {
    spdk_conf_free(conf_);
    unlink(path_.c_str());
  }

  // Writes `text` (any bytes) and reads it; the read must succeed.
  void load(const std::string& text) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << text;
    ASSERT_EQ(spdk_conf_read(conf_, path_.c_str()), 0);
  }

  std::vector<std::string> section_names() {
    std::vector<std::string> names;
    for (auto* sp = spdk_conf_first_section(conf_); sp; sp = spdk_conf_next_section(sp)) {
      names.emplace_back(spdk_conf_section_get_name(sp));
    }
    return names;
  }

  spdk_conf_section* section(size_t index) {
    auto* sp = spdk_conf_first_section(conf_);
    while (sp && index-- > 0) sp = spdk_conf_next_section(sp);
    return sp;
  }

  // The value of `key` in the first section, "<null>" when absent.
  std::string val(const char* key, size_t index = 0) {
    const char* v = spdk_conf_section_get_val(section(index), key);
    return v ? v : "<null>";
  }

  std::string path_;
  spdk_conf* conf_ = nullptr;
};

TEST_F(SpdkConf, SectionsKeysValuesAndComments) {
  load("# leading comment\n"
       "Orphan 1\n"
       "[Global]\n"
       "  Name   disk one   \n"
       "Port\t\t8080 # trailing comment\n"
       "Mask 0x3#tight comment\n"
       "# Name shadowed\n"
       "\n"
       "[ Pyx0 ]\n"
       "Name second\n");
  EXPECT_EQ(section_names(), (std::vector<std::string>{"Global", "Pyx0"}));
  EXPECT_EQ(val("Name"), "disk one");
  EXPECT_EQ(val("Port"), "8080");
  EXPECT_EQ(val("Mask"), "0x3");
  EXPECT_EQ(val("Orphan"), "<null>");
  EXPECT_EQ(val("name"), "<null>");  // keys are case-sensitive
  EXPECT_EQ(val("Name", 1), "second");
}

TEST_F(SpdkConf, DuplicateSectionsStayInOrderAndFirstKeyWins) {
  load("[A]\nK 1\nK 2\n[B]\n[A]\nK 3\n");
  EXPECT_EQ(section_names(), (std::vector<std::string>{"A", "B", "A"}));
  EXPECT_EQ(val("K", 0), "1");
  EXPECT_EQ(val("K", 2), "3");
}

TEST_F(SpdkConf, KeyWithoutValueHasTheEmptyValue) {
  load("[S]\nLonely\nSpaced    \n");
  EXPECT_EQ(val("Lonely"), "");
  EXPECT_EQ(val("Spaced"), "");
  EXPECT_LT(spdk_conf_section_get_intval(section(0), "Lonely"), 0);
  EXPECT_TRUE(spdk_conf_section_get_boolval(section(0), "Lonely", true));
}

TEST_F(SpdkConf, BrokenHeadersDropTheirKeys) {
  load("[Good]\nA 1\n[Broken\nB 2\n[]\nC 3\n[Next] trailing text\nD 4\n");
  EXPECT_EQ(section_names(), (std::vector<std::string>{"Good", "Next"}));
  EXPECT_EQ(val("B"), "<null>");
  EXPECT_EQ(val("C"), "<null>");
  EXPECT_EQ(val("D", 1), "4");
}

TEST_F(SpdkConf, IntegerValues) {
  load("[S]\nzero 0\nport 8080\nlead 007\nmax 2147483647\nover 2147483648\nhuge "
       "99999999999999999999999\nneg -5\nplus +5\nhex 0x10\nmixed 12ab\nspace 1 2\n");
  struct Case {
    const char* key;
    int want;  // -1: any negative
  } cases[] = {{"zero", 0},  {"port", 8080}, {"lead", 7},  {"max", INT_MAX}, {"over", -1},
               {"huge", -1}, {"neg", -1},    {"plus", -1}, {"hex", -1},      {"mixed", -1},
               {"space", -1}, {"absent", -1}};
  for (const Case& c : cases) {
    const int got = spdk_conf_section_get_intval(section(0), c.key);
    if (c.want < 0) {
      EXPECT_LT(got, 0) << c.key;
    } else {
      EXPECT_EQ(got, c.want) << c.key;
    }
  }
  EXPECT_EQ(spdk_conf_section_get_intval(section(0), "absent"), -1);
}

TEST_F(SpdkConf, BooleanValues) {
  load("[S]\na Yes\nb y\nc TRUE\nd no\ne N\nf False\ng 1\nh maybe\n");
  auto* sp = section(0);
  for (const char* key : {"a", "b", "c"}) {
    EXPECT_TRUE(spdk_conf_section_get_boolval(sp, key, false)) << key;
  }
  for (const char* key : {"d", "e", "f"}) {
    EXPECT_FALSE(spdk_conf_section_get_boolval(sp, key, true)) << key;
  }
  for (const char* key : {"g", "h", "absent"}) {
    EXPECT_TRUE(spdk_conf_section_get_boolval(sp, key, true)) << key;
    EXPECT_FALSE(spdk_conf_section_get_boolval(sp, key, false)) << key;
  }
}

TEST_F(SpdkConf, PrefixMatch) {
  load("[Pyx0]\n[Pyx12]\n[Py]\n[Other]\n");
  std::vector<std::string> matched;
  for (auto* sp = spdk_conf_first_section(conf_); sp; sp = spdk_conf_next_section(sp)) {
    if (spdk_conf_section_match_prefix(sp, "Pyx")) matched.emplace_back(spdk_conf_section_get_name(sp));
  }
  EXPECT_EQ(matched, (std::vector<std::string>{"Pyx0", "Pyx12"}));
  EXPECT_TRUE(spdk_conf_section_match_prefix(section(3), ""));
}

TEST_F(SpdkConf, HostileFiles) {
  // CRLF line ends and no newline at the end.
  load("[Win]\r\nKey value\r\nBool yes\r\nLast 42");
  EXPECT_EQ(section_names(), std::vector<std::string>{"Win"});
  EXPECT_EQ(val("Key"), "value");
  EXPECT_TRUE(spdk_conf_section_get_boolval(section(0), "Bool", false));
  EXPECT_EQ(spdk_conf_section_get_intval(section(0), "Last"), 42);

  // A 1 MB line between ordinary ones.
  load("[Big]\nLong " + std::string(1 << 20, 'x') + "\nAfter 1\n");
  EXPECT_EQ(val("Long").size(), size_t{1} << 20);
  EXPECT_EQ(val("After"), "1");

  // Binary bytes, NUL among them: a NUL ends its line, other bytes stay.
  static const char kBin[] = "[Bin]\nKey va\0lue\nHigh \xff\xfe\x01\n\0\0\0\nAfter 2\n";
  load(std::string(kBin, sizeof(kBin) - 1));
  EXPECT_EQ(val("Key"), "va");
  EXPECT_EQ(val("High"), "\xff\xfe\x01");
  EXPECT_EQ(val("After"), "2");

  // Nothing but noise.
  std::string noise;
  for (int i = 0; i < 4096; ++i) noise.push_back(static_cast<char>(i * 7919 % 256));
  load(noise);
  load("");
  EXPECT_TRUE(section_names().empty());
}

TEST_F(SpdkConf, ReadReplacesAndFailuresKeepWhatWasRead) {
  load("[First]\nA 1\n");
  load("[Second]\n");
  EXPECT_EQ(section_names(), std::vector<std::string>{"Second"});
  EXPECT_EQ(spdk_conf_read(conf_, "/nonexistent/dir/file.ini"), -1);
  EXPECT_EQ(spdk_conf_read(conf_, "/tmp"), -1);  // a directory
  EXPECT_EQ(section_names(), std::vector<std::string>{"Second"});
}

TEST_F(SpdkConf, DefaultConf) {
  load("[Default]\nK v\n");
  EXPECT_EQ(spdk_conf_first_section(nullptr), nullptr);
  spdk_conf_set_as_default(conf_);
  ASSERT_NE(spdk_conf_first_section(nullptr), nullptr);
  EXPECT_STREQ(spdk_conf_section_get_name(spdk_conf_first_section(nullptr)), "Default");
  spdk_conf_free(conf_);  // stops being the default
  conf_ = nullptr;
  EXPECT_EQ(spdk_conf_first_section(nullptr), nullptr);
  EXPECT_EQ(spdk_conf_section_get_val(nullptr, "K"), nullptr);
  EXPECT_EQ(spdk_conf_section_get_intval(nullptr, "K"), -1);
}

}  // namespace
