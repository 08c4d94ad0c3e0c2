#include "corvane/files/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace corvane::files {
namespace {

struct Described {
  std::error_code error;
  const char* text;
};

class Describe : public ::testing::TestWithParam<Described> {};

TEST_P(Describe, GivesTheSystemsTextAndNumberOrTheLayersOwnText) {
  EXPECT_EQ(describe(GetParam().error), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, Describe,
    ::testing::Values(
        Described{{ENOENT, std::generic_category()}, "No such file or directory (os error 2)"},
        Described{{EISDIR, std::system_category()}, "Is a directory (os error 21)"},
        Described{{ENOSPC, std::generic_category()}, "No space left on device (os error 28)"},
        Described{Errc::write_returned_zero, "failed to write whole buffer"},
        Described{Errc::not_regular_file, "not a regular file"},
        Described{Errc::path_switched,
                  "the path now leads to another file than the one that was read"},
        Described{Errc::nul_in_path, "file name contained an unexpected NUL byte"},
        Described{Errc::locked, "locked by another process"},
        Described{Errc::changed_in_place, "the file was changed in place while it was read"}));

TEST(Errc, IsAnErrorCodeOfTheLayersOwnCategory) {
  const std::error_code code = Errc::locked;
  EXPECT_EQ(code.category().name(), std::string("corvane.files"));
  EXPECT_EQ(code, Errc::locked);
  EXPECT_NE(code, Errc::not_regular_file);
  EXPECT_NE(code, std::error_code(static_cast<int>(Errc::locked), std::generic_category()));
}

TEST(SystemPath, RefusesANulAndKeepsEveryOtherByte) {
  EXPECT_EQ(system_path(std::string("a\0b", 3)).error(), Errc::nul_in_path);
  EXPECT_EQ(system_path("dir/\xff name.json").value(), "dir/\xff name.json");
}

TEST(DisplayPath, ShowsBytesThatAreNotUtf8AsTheReplacementCharacter) {
  EXPECT_EQ(display_path("a\xff.json"), "a\xef\xbf\xbd.json");
  EXPECT_EQ(display_path("\xc3\xa9t\xc3\xa9.json"), "\xc3\xa9t\xc3\xa9.json");
}

}  // namespace
}  // namespace corvane::files
