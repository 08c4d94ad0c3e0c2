#include "corvane/files/replacement.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "faulty_system.hpp"
#include "scratch_dir.hpp"

namespace corvane::files {
namespace {

namespace fs = std::filesystem;
using testing::FaultySystem;
using testing::ScratchDir;

constexpr const char* kOldText = "{\"the old\": \"text\"}\n";
constexpr const char* kNewText = "{\"the new\": \"text, a little longer\"}\n";

class ReplacementTest : public testing::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    file_ = path("corvane.json");
    write_file(file_, kOldText);
  }

  // Replaces the file at `path` with `text` as a command that changes it
  // does: under its lock, found once, then written through `system`.
  static Result<void> replace(System& system, const std::string& path, std::string_view text,
                              SignalHold& hold) {
    auto lock = Lock::acquire(system, path, std::chrono::milliseconds(100));
    if (!lock) return std::unexpected(lock.error());
    auto location = locate(system, lock->file(), path);
    if (!location) return std::unexpected(location.error());
    auto replacement = Replacement::replace(system, *lock, std::move(*location), path);
    if (!replacement) return std::unexpected(replacement.error());
    if (auto appended = replacement->append(text); !appended) return appended;
    return replacement->commit(hold);
  }
  static Result<void> replace(System& system, const std::string& path, std::string_view text) {
    SignalHold hold;
    return replace(system, path, text, hold);
  }
  Result<void> replace(System& system) { return replace(system, file_, kNewText); }

  static Result<void> create(System& system, const std::string& path, std::string_view text) {
    auto location = locate_new(system, path);
    if (!location) return std::unexpected(location.error());
    auto replacement = Replacement::create(system, std::move(*location));
    if (!replacement) return std::unexpected(replacement.error());
    if (auto appended = replacement->append(text); !appended) return appended;
    SignalHold hold;
    return replacement->commit(hold);
  }

  std::string file_;
};

TEST_F(ReplacementTest, ANewFileTakesTheOldOnesNameModeAndNothingIsLeftBeside) {
  ASSERT_EQ(::chmod(file_.c_str(), 0640), 0);
  const auto inode = inode_of(file_);
  SignalHold hold;
  ASSERT_TRUE(replace(System::real(), file_, kNewText, hold));
  EXPECT_TRUE(hold.held()) << "the signals wait until the result is told";
  EXPECT_EQ(read_file(file_), kNewText);
  EXPECT_NE(inode_of(file_), inode) << "replaced, not written in place";
  struct stat info {};
  ASSERT_EQ(::stat(file_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640U);
  EXPECT_EQ(entries(), std::vector<std::string>{"corvane.json"});
}

TEST_F(ReplacementTest, ACreatedFileIsTheOwnersAloneAndNeverReplacesOneThatAppeared) {
  ASSERT_TRUE(create(System::real(), path("new.json"), kNewText));
  EXPECT_EQ(read_file(path("new.json")), kNewText);
  struct stat info {};
  ASSERT_EQ(::stat(path("new.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600U);

  {
    auto location = locate_new(System::real(), path("late.json"));
    ASSERT_TRUE(location);
    auto replacement = Replacement::create(System::real(), std::move(*location));
    ASSERT_TRUE(replacement);
    ASSERT_TRUE(replacement->append(kNewText));
    write_file(path("late.json"), "made meanwhile");
    SignalHold hold;
    EXPECT_EQ(replacement->commit(hold).error(), std::errc::file_exists);
  }
  EXPECT_EQ(read_file(path("late.json")), "made meanwhile");
  EXPECT_EQ(entries(), (std::vector<std::string>{"corvane.json", "late.json", "new.json"}));
}

TEST_F(ReplacementTest, AFileSystemWithoutHardLinksStillCreatesExclusively) {
  FaultySystem system;
  system.link_errno = EPERM;
  ASSERT_TRUE(create(system, path("new.json"), kNewText));
  EXPECT_EQ(read_file(path("new.json")), kNewText);
  EXPECT_EQ(create(system, path("new.json"), "again").error(), std::errc::file_exists);
  EXPECT_EQ(read_file(path("new.json")), kNewText);
  EXPECT_EQ(entries(), (std::vector<std::string>{"corvane.json", "new.json"}));
}

// What a failure to make the temporary file leads to: only a directory the
// user may not write to allows writing in place; anything else is reported
// and leaves the file alone.
struct TemporaryFault {
  const char* label;
  int error;
  bool in_place;  // the save succeeds in place instead
};

void PrintTo(const TemporaryFault& fault, std::ostream* os) {
  *os << fault.label;
}

class TemporaryFileFaults : public ReplacementTest,
                            public ::testing::WithParamInterface<TemporaryFault> {};

TEST_P(TemporaryFileFaults, NeverTruncateTheFileUnlessTheDirectoryIsClosed) {
  const auto inode = inode_of(file_);
  FaultySystem system;
  system.create_temporary_errno = GetParam().error;
  const auto saved = replace(system);
  if (GetParam().in_place) {
    ASSERT_TRUE(saved) << describe(saved.error());
    EXPECT_EQ(read_file(file_), kNewText);
    EXPECT_EQ(inode_of(file_), inode) << "written in place";
  } else {
    EXPECT_EQ(saved.error(), std::error_code(GetParam().error, std::generic_category()));
    EXPECT_EQ(read_file(file_), kOldText);
  }
  EXPECT_EQ(entries(), std::vector<std::string>{"corvane.json"});
}

INSTANTIATE_TEST_SUITE_P(Replacement, TemporaryFileFaults,
                         ::testing::Values(TemporaryFault{"NoSpace", ENOSPC, false},
                                           TemporaryFault{"NoInodesOrQuota", EDQUOT, false},
                                           TemporaryFault{"ProcessOutOfFiles", EMFILE, false},
                                           TemporaryFault{"SystemOutOfFiles", ENFILE, false},
                                           TemporaryFault{"NameTooLong", ENAMETOOLONG, false},
                                           TemporaryFault{"ClosedDirectory", EACCES, true},
                                           TemporaryFault{"NotPermitted", EPERM, true},
                                           TemporaryFault{"ReadOnlyFileSystem", EROFS, true}),
                         [](const auto& param_info) {
                           return std::string(param_info.param.label);
                         });

TEST_F(ReplacementTest, InterruptedCreatesAndShortOrInterruptedWritesAreRetried) {
  FaultySystem system;
  system.interrupted_creates = 3;
  system.interrupted_writes = 3;
  system.write_piece = 7;  // and every write is short
  ASSERT_TRUE(replace(system));
  EXPECT_EQ(read_file(file_), kNewText);
  EXPECT_EQ(system.interrupted_creates, 0);
  EXPECT_EQ(entries(), std::vector<std::string>{"corvane.json"});
}

// However a save fails before the new text reaches the name, the old file
// stays whole and no copy is left beside it.
struct CommitFault {
  const char* label;
  void (*arrange)(FaultySystem& system, const std::string& file);
  std::error_code error;
};

void PrintTo(const CommitFault& fault, std::ostream* os) {
  *os << fault.label;
}

class FailedCommit : public ReplacementTest, public ::testing::WithParamInterface<CommitFault> {};

TEST_P(FailedCommit, LeavesTheOldFileAndNoCopy) {
  FaultySystem system;
  GetParam().arrange(system, file_);
  EXPECT_EQ(replace(system).error(), GetParam().error);
  EXPECT_EQ(read_file(file_), kOldText);
  EXPECT_EQ(entries(), std::vector<std::string>{"corvane.json"});
}

INSTANTIATE_TEST_SUITE_P(
    Replacement, FailedCommit,
    ::testing::Values(
        CommitFault{"ADiskThatIsFull",
                    [](FaultySystem& s, const std::string&) { s.write_errno = ENOSPC; },
                    std::error_code(ENOSPC, std::generic_category())},
        CommitFault{"AWriteThatTakesNothing",
                    [](FaultySystem& s, const std::string&) { s.writes_take_nothing = true; },
                    Errc::write_returned_zero},
        CommitFault{"ARenameRefused",
                    [](FaultySystem& s, const std::string&) { s.rename_errno = EACCES; },
                    std::error_code(EACCES, std::generic_category())},
        CommitFault{"InPlaceWithoutRoomOnTheDisk",
                    [](FaultySystem& s, const std::string&) {
                      s.create_temporary_errno = EACCES;
                      s.fallocate_errno = ENOSPC;
                    },
                    std::error_code(ENOSPC, std::generic_category())},
        CommitFault{"APathSwitchedBeforeTheRename",
                    [](FaultySystem& s, const std::string& file) {
                      s.on_fsync = [file] {
                        ScratchDir::write_file(file + ".other", kOldText);
                        fs::rename(file + ".other", file);
                      };
                    },
                    Errc::path_switched}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(ReplacementTest, ASourceChangedInPlaceBeforeTheRenameStopsTheCommit) {
  auto lock = Lock::acquire(System::real(), file_, std::chrono::milliseconds(100));
  ASSERT_TRUE(lock);
  auto read = settled_stat(System::real(), lock->fd());
  ASSERT_TRUE(read);
  auto location = locate(System::real(), lock->file(), file_);
  ASSERT_TRUE(location);
  FaultySystem system;
  auto replacement = Replacement::replace(system, *lock, std::move(*location), file_);
  ASSERT_TRUE(replacement);
  replacement->made_from(lock->fd(), *read);
  ASSERT_TRUE(replacement->append(kNewText));
  // Same length, other bytes, while the copy is flushed.
  std::string edited = kOldText;
  edited[2] = 'T';
  system.on_fsync = [&] {
    const int fd = ::open(file_.c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(fd, edited.data(), edited.size(), 0), static_cast<ssize_t>(edited.size()));
    ::close(fd);
  };
  SignalHold hold;
  EXPECT_EQ(replacement->commit(hold).error(), Errc::changed_in_place);
  EXPECT_FALSE(hold.held()) << "nothing reached the name";
  EXPECT_EQ(read_file(file_), edited);
}

TEST_F(ReplacementTest, StaleTemporaryFilesOfThisFileAloneAreRemovedUnderTheLock) {
  write_file(path("other.json"), kOldText);
  const auto mine = temporary_prefix("corvane.json") + "AbC123";
  const auto theirs = temporary_prefix("other.json") + "AbC123";
  const auto not_one = temporary_prefix("corvane.json") + "AbC1234";
  write_file(path(mine), "a copy with the seed");
  write_file(path(theirs), "another state's copy");
  write_file(path(not_one), "not a name this layer makes");
  ASSERT_TRUE(replace(System::real()));
  EXPECT_EQ(entries(), (std::vector<std::string>{not_one, theirs, "corvane.json", "other.json"}));
}

TEST_F(ReplacementTest, TheTemporaryNameFitsWhateverTheFileIsCalled) {
  const auto path = this->path(std::string(250, 'n'));
  write_file(path, kOldText);
  const auto inode = inode_of(path);
  ASSERT_TRUE(replace(System::real(), path, kNewText));
  EXPECT_NE(inode_of(path), inode) << "replaced, not written in place";
  EXPECT_EQ(temporary_prefix(std::string(255, 'x')).size(), temporary_prefix("a").size());
  EXPECT_NE(temporary_prefix("a.json"), temporary_prefix("b.json"));
}

TEST_F(ReplacementTest, AttributesTheCopyCannotCarryMeanTheFileIsWrittenInPlace) {
  if (::setxattr(file_.c_str(), "user.corvane-test", "kept", 4, 0) != 0) {
    GTEST_SKIP() << "no user extended attributes here: " << std::strerror(errno);
  }
  ASSERT_TRUE(replace(System::real()));
  char value[8] = {};
  EXPECT_EQ(::getxattr(file_.c_str(), "user.corvane-test", value, sizeof value), 4);
  EXPECT_EQ(std::string_view(value, 4), "kept") << "the replacement carries the attribute";

  const auto inode = inode_of(file_);
  FaultySystem refused;
  refused.fsetxattr_errno = EPERM;
  ASSERT_TRUE(replace(refused, file_, kOldText));
  EXPECT_EQ(read_file(file_), kOldText);
  EXPECT_EQ(inode_of(file_), inode) << "written in place, keeping the attribute";
  EXPECT_EQ(::getxattr(file_.c_str(), "user.corvane-test", value, sizeof value), 4);
  EXPECT_EQ(entries(), std::vector<std::string>{"corvane.json"});
}

// The inode flags a user may set (+S +d +A) go with the new file; a file
// system where they cannot be given keeps the file (written in place), and
// one without them saves as usual.
struct FlagsCase {
  const char* label;
  int get_errno;
  int set_errno;
  bool in_place;
  int kept;  // the flags the file has after the save
};

void PrintTo(const FlagsCase& flags, std::ostream* os) {
  *os << flags.label;
}

class InodeFlags : public ReplacementTest, public ::testing::WithParamInterface<FlagsCase> {};

TEST_P(InodeFlags, AreCarriedByTheNewFile) {
  const auto inode = inode_of(file_);
  FaultySystem system;
  system.inode_flags.emplace();
  // +S +d +A, and the journalling flag, which is not the user's to carry.
  (*system.inode_flags)[inode] = FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL | FS_JOURNAL_DATA_FL;
  system.get_flags_errno = GetParam().get_errno;
  system.set_flags_errno = GetParam().set_errno;
  ASSERT_TRUE(replace(system));
  EXPECT_EQ(read_file(file_), kNewText);
  EXPECT_EQ(inode_of(file_) == inode, GetParam().in_place);
  EXPECT_EQ((*system.inode_flags)[inode_of(file_)], GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Replacement, InodeFlags,
    ::testing::Values(FlagsCase{"Carried", 0, 0, false, FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL},
                      FlagsCase{"RefusedSoWrittenInPlace", 0, EPERM, true,
                                FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL | FS_JOURNAL_DATA_FL},
                      FlagsCase{"NoneOnThisFileSystem", ENOTTY, 0, false, 0},
                      FlagsCase{"NotSupported", EOPNOTSUPP, 0, false, 0}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

// Where the rename cannot put the new file in place, or the copy cannot
// carry what the old file has, the old one takes the new text in place,
// growing or shrinking; a directory that may be searched but not listed
// still takes changes.
struct SaveObstacle {
  const char* label;
  void (*arrange)(FaultySystem& system);
  bool in_place;
};

void PrintTo(const SaveObstacle& obstacle, std::ostream* os) {
  *os << obstacle.label;
}

class SaveObstacles : public ReplacementTest, public ::testing::WithParamInterface<SaveObstacle> {};

TEST_P(SaveObstacles, TheNewTextIsWrittenInFull) {
  for (const std::string_view text : {std::string_view(kNewText), std::string_view("{}")}) {
    const auto inode = inode_of(file_);
    FaultySystem system;
    GetParam().arrange(system);
    system.write_piece = 5;  // and every write is short
    SignalHold hold;
    const auto saved = replace(system, file_, text, hold);
    ASSERT_TRUE(saved) << describe(saved.error());
    EXPECT_TRUE(hold.held());
    EXPECT_EQ(read_file(file_), text);
    EXPECT_EQ(inode_of(file_) == inode, GetParam().in_place);
    EXPECT_EQ(entries(), std::vector<std::string>{"corvane.json"});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replacement, SaveObstacles,
    ::testing::Values(
        SaveObstacle{"ABindMountedFile", [](FaultySystem& s) { s.rename_errno = EBUSY; }, true},
        SaveObstacle{"AnotherFileSystem", [](FaultySystem& s) { s.rename_errno = EXDEV; }, true},
        SaveObstacle{"AnOwnerTheCopyCannotTake", [](FaultySystem& s) { s.fchown_errno = EPERM; },
                     true},
        SaveObstacle{"NoFallocateInPlace",
                     [](FaultySystem& s) {
                       s.create_temporary_errno = EACCES;
                       s.fallocate_errno = EOPNOTSUPP;
                     },
                     true},
        SaveObstacle{"NoTemporaryDirectoryEither",
                     [](FaultySystem& s) {
                       s.create_temporary_errno = EACCES;
                       s.tmpfile_errno = EACCES;
                     },
                     true},
        SaveObstacle{"ASearchOnlyDirectory",
                     [](FaultySystem& s) { s.directories_need_read = true; }, false}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(ReplacementTest, AReadOnlyFileIsNotReplacedThoughItsDirectoryMayBeWritten) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write any file";
  ASSERT_EQ(::chmod(file_.c_str(), 0400), 0);
  EXPECT_EQ(replace(System::real()).error(), std::errc::permission_denied);
  EXPECT_EQ(read_file(file_), kOldText);
}

TEST_F(ReplacementTest, AppendedCopiesOfAnotherFileAreTakenWhole) {
  const std::string source(3 << 20, 's');
  write_file(path("source"), source + "tail");
  const int from = ::open(path("source").c_str(), O_RDONLY);
  ASSERT_GE(from, 0);
  for (const bool in_place : {false, true}) {
    FaultySystem system;
    if (in_place) {
      system.create_temporary_errno = EACCES;
      system.tmpfile_errno = EACCES;  // held in memory
    }
    auto lock = Lock::acquire(system, file_, std::chrono::milliseconds(100));
    ASSERT_TRUE(lock);
    auto location = locate(system, lock->file(), file_);
    ASSERT_TRUE(location);
    auto replacement = Replacement::replace(system, *lock, std::move(*location), file_);
    ASSERT_TRUE(replacement);
    ASSERT_TRUE(replacement->append("head "));
    ASSERT_TRUE(replacement->append_copy(from, 1, source.size() + 3));
    SignalHold hold;
    ASSERT_TRUE(replacement->commit(hold));
    EXPECT_EQ(read_file(file_), "head " + source.substr(1) + "tail") << in_place;
  }
  ::close(from);
}

}  // namespace
}  // namespace corvane::files
