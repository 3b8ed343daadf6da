// The version check: the build version 3.11 against running versions that
// this interpreter cannot show.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "version.hpp"

namespace {

using keyword::versions_agree;

struct Agreement {
  const char* build;
  const char* running;
  bool agree;
};

std::ostream& operator<<(std::ostream& out, const Agreement& c) {
  return out << c.build << " vs '" << c.running << "'";
}

class VersionAgreement : public testing::TestWithParam<Agreement> {};

TEST_P(VersionAgreement, ComparesLeadingCharacters) {
  const Agreement& c = GetParam();
  EXPECT_EQ(versions_agree(c.build, c.running), c.agree) << c.build << " vs " << c.running;
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionAgreement,
    testing::Values(Agreement{"3.11", "3.11.7 (main, May  9 2026) [GCC 12.2.0]", true},
                    Agreement{"3.11", "3.11.4", true},
                    // the first four characters agree, whatever follows
                    Agreement{"3.11", "3.110", true}, Agreement{"3.11", "3.11", true},
                    Agreement{"3.11", "3.1.5", false}, Agreement{"3.11", "3.12.0", false},
                    Agreement{"3.11", "3", false}, Agreement{"3.11", "", false},
                    Agreement{"3.11", "2.11.1", false},
                    // a shorter build version needs a non-digit after it
                    Agreement{"3.9", "3.9.18", true}, Agreement{"3.9", "3.9", true},
                    Agreement{"3.9", "3.91", false}, Agreement{"3.9", "3.10.1", false}));

struct Shown {
  const char* running;
  const char* shown;
};

std::ostream& operator<<(std::ostream& out, const Shown& c) { return out << "'" << c.running << "'"; }

class ShownVersion : public testing::TestWithParam<Shown> {};

TEST_P(ShownVersion, TakesDigitsAndTheFirstDot) {
  EXPECT_STREQ(keyword::shown_running_version(GetParam().running).text, GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Versions, ShownVersion,
                         testing::Values(Shown{"3.12.0", "3.12"}, Shown{"3.1.5", "3.1"}, Shown{"3", "3"},
                                         Shown{"3.110", "3.11"}, Shown{"", ""}, Shown{"3.x", "3."},
                                         Shown{"10.2.1", "10.2"}, Shown{"4.0rc1", "4.0"},
                                         Shown{"3.12+ (heads)", "3.12"}));

TEST(VersionWarning, NamesBothVersionsAndTheModule) {
  char out[keyword::kWarningSize];
  keyword::format_version_warning(out, "3.11", "tallowmere.vellumcrest.keyword", "3.12.1 (main)");
  EXPECT_STREQ(out,
               "compile time version 3.11 of module 'tallowmere.vellumcrest.keyword' does not match runtime "
               "version 3.12");
}

TEST(VersionWarning, CutsTheModuleNameAt100AndTheTextAt199) {
  std::string long_name(300, 'm');
  char out[keyword::kWarningSize];
  keyword::format_version_warning(out, "3.11", long_name.c_str(), "3.1.5");
  std::string text(out);
  EXPECT_NE(text.find("module '" + std::string(100, 'm') + "' does"), std::string::npos);
  EXPECT_EQ(text.find(std::string(101, 'm')), std::string::npos);

  std::string long_build(250, '9');
  keyword::format_version_warning(out, long_build.c_str(), "m", "3.1.5");
  EXPECT_EQ(std::strlen(out), 199u);
}

}  // namespace
