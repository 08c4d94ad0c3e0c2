#include "corvane/files/files.hpp"

#include <gtest/gtest.h>

namespace corvane::files {
namespace {

TEST(Describe, NamesTheSystemsTextAndNumberOrTheLayersOwnText) {
  EXPECT_EQ(describe(std::error_code(ENOENT, std::generic_category())),
            "No such file or directory (os error 2)");
  EXPECT_EQ(describe(Errc::write_returned_zero), "failed to write whole buffer");
  EXPECT_EQ(describe(Errc::nul_in_path), "file name contained an unexpected NUL byte");
}

}  // namespace
}  // namespace corvane::files
