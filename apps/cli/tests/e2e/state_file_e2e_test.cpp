// End-to-end tests of how the state file is kept on disk: it is created
// private, replaced whole, followed through symbolic links, and never replaced
// when it is read-only. No other file is ever left behind.

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "process.hpp"

namespace corvane::e2e {
namespace {

namespace fs = std::filesystem;

unsigned mode_of(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class StateFile : public ::testing::Test {
 protected:
  RunResult run(std::vector<std::string> args, RunOptions options = {}) {
    return run_corvanectl(dir_.path(), args, options);
  }
  TempDir dir_;
};

TEST_F(StateFile, InitCreatesItReadableByItsOwnerOnlyWhateverTheUmask) {
  for (const unsigned umask : {000u, 022u, 077u}) {
    const auto name = "state-" + std::to_string(umask) + ".json";
    RunOptions options;
    options.umask = umask;
    ASSERT_EQ(run({"init", "--state", name}, options).status, 0);
    EXPECT_EQ(mode_of(dir_ / name), 0600u) << "umask " << umask;
  }
}

TEST_F(StateFile, ReplacingKeepsTheModeOfAnExistingFile) {
  ASSERT_EQ(run({"init"}).status, 0);
  fs::permissions(dir_ / "corvane.json", static_cast<fs::perms>(0640));
  ASSERT_EQ(run({"install", "a", "--endpoint-ref", "e", "--secret-ref", "s"}).status, 0);
  EXPECT_EQ(mode_of(dir_ / "corvane.json"), 0640u);
  EXPECT_EQ(entries(dir_.path()), std::vector<std::string>{"corvane.json"});
}

TEST_F(StateFile, ASymbolicLinkIsFollowedAndKept) {
  fs::create_directory(dir_ / "real");
  fs::create_symlink("real/state.json", dir_ / "corvane.json");
  ASSERT_EQ(run({"init"}).status, 0) << "a dangling link names the file to create";
  ASSERT_EQ(run({"route", "x"}).status, 0);
  EXPECT_TRUE(fs::is_symlink(dir_ / "corvane.json"));
  EXPECT_EQ(fs::read_symlink(dir_ / "corvane.json"), "real/state.json");
  EXPECT_NE(read_file(dir_ / "real" / "state.json").find("\"tenant_id\""), std::string::npos);
  EXPECT_EQ(entries(dir_ / "real"), std::vector<std::string>{"state.json"});
  EXPECT_EQ(run({"init"}).err, "error: corvane.json already exists\n");
}

TEST_F(StateFile, FailedWritesLeaveNothingBehind) {
  ASSERT_EQ(run({"init", "--state", "missing/dir/state.json"}).err,
            "error: No such file or directory (os error 2)\n");
  fs::create_directory(dir_ / "sub");
  ASSERT_EQ(run({"init", "--state", "sub"}).err, "error: sub already exists\n");
  EXPECT_EQ(entries(dir_.path()), std::vector<std::string>{"sub"});
  EXPECT_TRUE(fs::is_empty(dir_ / "sub"));
}

// Permissions only bind an unprivileged user; when the tests run as root the
// commands run as "nobody" in a directory everyone may use.
class StateFilePermissions : public StateFile {
 protected:
  void SetUp() override {
    if (::geteuid() == 0) {
      const passwd* nobody = ::getpwnam("nobody");
      if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
      options_.user = std::make_pair(nobody->pw_uid, nobody->pw_gid);
      fs::permissions(dir_.path(), fs::perms::all);
    }
    ASSERT_EQ(run({"init"}, options_).status, 0);
  }
  RunOptions options_;
};

TEST_F(StateFilePermissions, AReadOnlyFileIsRefusedAndUntouched) {
  fs::permissions(dir_ / "corvane.json", static_cast<fs::perms>(0400));
  const auto before = read_file(dir_ / "corvane.json");
  const auto result = run({"route", "x"}, options_);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "error: Permission denied (os error 13)\n");
  EXPECT_EQ(read_file(dir_ / "corvane.json"), before);
  EXPECT_EQ(mode_of(dir_ / "corvane.json"), 0400u);
  EXPECT_EQ(entries(dir_.path()), std::vector<std::string>{"corvane.json"});
}

TEST_F(StateFilePermissions, AWritableFileInAReadOnlyDirectoryIsWrittenInPlace) {
  fs::permissions(dir_.path(), static_cast<fs::perms>(0555));
  const auto result = run({"route", "x"}, options_);
  fs::permissions(dir_.path(), static_cast<fs::perms>(0777));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "0 delivery(ies) queued\n");
  EXPECT_EQ(entries(dir_.path()), std::vector<std::string>{"corvane.json"});
}

TEST_F(StateFilePermissions, ANewFileInAReadOnlyDirectoryIsRefused) {
  fs::permissions(dir_.path(), static_cast<fs::perms>(0555));
  const auto result = run({"init", "--state", "other.json"}, options_);
  fs::permissions(dir_.path(), static_cast<fs::perms>(0777));
  EXPECT_EQ(result.err, "error: Permission denied (os error 13)\n");
}

}  // namespace
}  // namespace corvane::e2e
