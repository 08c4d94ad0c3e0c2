#include "corvane/files/location.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "scratch_dir.hpp"

namespace corvane::files {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDir;

class LocationTest : public testing::ScratchDir {
 protected:
  // The directory a location holds, as a path.
  static std::string directory_of(const Location& location) {
    return fs::read_symlink("/proc/self/fd/" + std::to_string(location.directory.get())).string();
  }
};

// Where a new file is made: through links, and only through links that may
// be trusted.
struct NewCase {
  const char* label;
  void (*arrange)(const fs::path& dir);
  const char* path;       // under the scratch directory
  const char* directory;  // where it is made, under the scratch directory ("" for itself)
  const char* name;
  int error;  // the failure instead, if any
};

void PrintTo(const NewCase& c, std::ostream* os) {
  *os << c.label;
}

class LocateNew : public LocationTest, public ::testing::WithParamInterface<NewCase> {};

TEST_P(LocateNew, FollowsLinksToTheFileToMake) {
  fs::create_directory(dir_ / "sub");
  GetParam().arrange(dir_);
  const auto location = locate_new(System::real(), path(GetParam().path));
  if (GetParam().error != 0) {
    ASSERT_FALSE(location);
    EXPECT_EQ(location.error(), std::error_code(GetParam().error, std::generic_category()));
    return;
  }
  ASSERT_TRUE(location) << describe(location.error());
  const std::string directory = GetParam().directory;
  EXPECT_EQ(directory_of(*location), directory.empty() ? dir_.string() : path(directory));
  EXPECT_EQ(location->name, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Location, LocateNew,
    ::testing::Values(
        NewCase{"ANewName", [](const fs::path&) {}, "new.json", "", "new.json", 0},
        NewCase{"AnExistingFile",
                [](const fs::path& d) { ScratchDir::write_file((d / "sub" / "f").string(), ""); },
                "sub/f", "sub", "f", 0},
        NewCase{"ADanglingRelativeLink",
                [](const fs::path& d) { fs::create_symlink("sub/real.json", d / "link.json"); },
                "link.json", "sub", "real.json", 0},
        NewCase{"ADanglingAbsoluteLink",
                [](const fs::path& d) { fs::create_symlink(d / "sub" / "abs", d / "link.json"); },
                "link.json", "sub", "abs", 0},
        NewCase{"AChainOfLinks",
                [](const fs::path& d) {
                  fs::create_symlink("b", d / "a");
                  fs::create_symlink("sub/c", d / "b");
                },
                "a", "sub", "c", 0},
        NewCase{"ALoop",
                [](const fs::path& d) {
                  fs::create_symlink("b", d / "a");
                  fs::create_symlink("a", d / "b");
                },
                "a", "", "", ELOOP},
        NewCase{"AMissingDirectory", [](const fs::path&) {}, "missing/new.json", "", "", ENOENT}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(LocationTest, ABareNameIsMadeInTheWorkingDirectory) {
  const auto location = locate_new(System::real(), "bare.json");
  ASSERT_TRUE(location) << describe(location.error());
  EXPECT_EQ(directory_of(*location), fs::current_path().string());
  EXPECT_EQ(location->name, "bare.json");
}

TEST_F(LocationTest, ALinkPlantedByAnotherUserInASharedStickyDirectoryIsNotFollowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant a link as another user";
  const auto shared = dir_ / "shared";
  fs::create_directory(shared);
  fs::permissions(shared, static_cast<fs::perms>(01777));
  fs::create_directory(dir_ / "planter");
  fs::create_symlink(dir_ / "planter" / "state.json", shared / "corvane.json");
  ASSERT_EQ(::lchown((shared / "corvane.json").c_str(), 65534, 65534), 0);
  EXPECT_EQ(locate_new(System::real(), (shared / "corvane.json").string()).error(),
            std::errc::permission_denied);
  // The directory's owner may steer it, as the kernel allows.
  ASSERT_EQ(::chown(shared.c_str(), 65534, 65534), 0);
  const auto location = locate_new(System::real(), (shared / "corvane.json").string());
  ASSERT_TRUE(location) << describe(location.error());
  EXPECT_EQ(location->name, "state.json");
  // And in a sticky directory only its owner may write to, any link is.
  ASSERT_EQ(::chown(shared.c_str(), 0, 0), 0);
  fs::permissions(shared, static_cast<fs::perms>(01755));
  EXPECT_TRUE(locate_new(System::real(), (shared / "corvane.json").string()));
}

TEST_F(LocationTest, AnOpenFileIsFoundWhereTheKernelResolvedItsPath) {
  fs::create_directory(dir_ / "real");
  write_file(path("real/state.json"), "text");
  fs::create_symlink("real/state.json", dir_ / "link.json");
  auto file = open_regular(System::real(), path("link.json"));
  ASSERT_TRUE(file) << describe(file.error());
  const auto location = locate(System::real(), *file, path("link.json"));
  ASSERT_TRUE(location) << describe(location.error());
  EXPECT_EQ(directory_of(*location), (dir_ / "real").string());
  EXPECT_EQ(location->name, "state.json");
}

TEST_F(LocationTest, AnOpenFileWhoseNameNowHoldsAnotherIsNotFound) {
  write_file(path("state.json"), "old");
  auto file = open_regular(System::real(), path("state.json"));
  ASSERT_TRUE(file) << describe(file.error());
  write_file(path("new.json"), "new");
  fs::rename(dir_ / "new.json", dir_ / "state.json");
  EXPECT_EQ(locate(System::real(), *file, path("state.json")).error(), Errc::path_switched);
}

}  // namespace
}  // namespace corvane::files
