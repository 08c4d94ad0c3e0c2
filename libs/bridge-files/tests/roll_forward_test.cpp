#include "corvane/files/roll_forward.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "corvane/files/replacement.hpp"
#include "faulty_system.hpp"
#include "scratch_dir.hpp"

namespace corvane::files {
namespace {

namespace fs = std::filesystem;
using testing::FaultySystem;
using testing::ScratchDir;

class RollForward : public testing::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    file_ = path("corvane.json");
    copy_ = path(roll_forward_name("corvane.json"));
    write_file(file_, "the torn old text, longer than the new one");
  }
  Result<void> finish() {
    auto lock = Lock::acquire(System::real(), file_, std::chrono::milliseconds(100));
    if (!lock) return std::unexpected(lock.error());
    return finish_interrupted_save(System::real(), *lock, file_);
  }
  std::string read_with_open_to_read() {
    auto file = open_to_read(System::real(), file_);
    EXPECT_TRUE(file) << describe(file.error());
    if (!file) return {};
    std::string text(1024, '\0');
    auto n = read_some(System::real(), file->fd.get(), text);
    EXPECT_TRUE(n);
    text.resize(n ? *n : 0);
    return text;
  }

  std::string file_;
  std::string copy_;
};

TEST_F(RollForward, TheNameIsTheFilesTemporaryPrefixAndSaysComplete) {
  EXPECT_EQ(roll_forward_name("corvane.json"), temporary_prefix("corvane.json") + "complete");
  EXPECT_NE(roll_forward_name("a.json"), roll_forward_name("b.json"));
}

TEST_F(RollForward, AnInterruptedSaveIsFinishedByWritingTheCopyOverTheFile) {
  write_file(copy_, "the new text");
  const auto inode = inode_of(file_);
  EXPECT_EQ(read_with_open_to_read(), "the new text") << "readers read the copy meanwhile";
  ASSERT_TRUE(finish());
  EXPECT_EQ(read_file(file_), "the new text");
  EXPECT_EQ(inode_of(file_), inode) << "written over in place";
  EXPECT_EQ(entries(), std::vector<std::string>{"corvane.json"});
  EXPECT_EQ(read_with_open_to_read(), "the new text");
}

TEST_F(RollForward, WithoutACopyThereIsNothingToDo) {
  const auto text = read_file(file_);
  ASSERT_TRUE(finish());
  EXPECT_EQ(read_file(file_), text);
  EXPECT_EQ(read_with_open_to_read(), text);
}

// A copy that cannot be trusted to be the file's text is never taken for it.
struct UntrustedCase {
  const char* label;
  bool needs_root;
  void (*plant)(const std::string& copy, const std::string& file);
};

void PrintTo(const UntrustedCase& c, std::ostream* os) {
  *os << c.label;
}

class UntrustedCopy : public RollForward, public ::testing::WithParamInterface<UntrustedCase> {};

TEST_P(UntrustedCopy, IsIgnored) {
  if (GetParam().needs_root && ::geteuid() != 0) GTEST_SKIP() << "needs root";
  const auto text = read_file(file_);
  GetParam().plant(copy_, file_);
  ASSERT_TRUE(finish());
  EXPECT_EQ(read_file(file_), text);
  EXPECT_EQ(read_with_open_to_read(), text);
}

INSTANTIATE_TEST_SUITE_P(
    RollForward, UntrustedCopy,
    ::testing::Values(UntrustedCase{"MadeByAUserWhoMayNotWriteTheFile", true,
                                    [](const std::string& copy, const std::string& file) {
                                      ScratchDir::write_file(copy, "{}");
                                      ASSERT_EQ(::chown(copy.c_str(), 4242, 4242), 0);
                                      ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
                                    }},
                      UntrustedCase{"ALink", false,
                                    [](const std::string& copy, const std::string& file) {
                                      ScratchDir::write_file(file + ".other", "{}");
                                      fs::create_symlink(file + ".other", copy);
                                    }},
                      UntrustedCase{"AFileWithAnotherName", false,
                                    [](const std::string& copy, const std::string& file) {
                                      ScratchDir::write_file(file + ".other", "{}");
                                      fs::create_hard_link(file + ".other", copy);
                                    }},
                      UntrustedCase{"NotAFile", false,
                                    [](const std::string& copy, const std::string&) {
                                      ASSERT_EQ(::mkfifo(copy.c_str(), 0600), 0);
                                    }}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(RollForward, ACopyMadeByAWriterOfTheFileInAClosedDirectoryIsTaken) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a file as another user";
  write_file(copy_, "the new text");
  ASSERT_EQ(::chown(copy_.c_str(), 4242, 4343), 0);
  ASSERT_EQ(::chown(file_.c_str(), 0, 4343), 0);
  ASSERT_EQ(::chmod(file_.c_str(), 0664), 0);
  ASSERT_TRUE(finish());
  EXPECT_EQ(read_file(file_), "the new text");
}

// A save killed while it wrote over the file leaves a torn file and the
// whole new text beside it; the next change finishes it.
TEST_F(RollForward, ASaveKilledWhileItWroteInPlaceIsFinished) {
  const std::string old_text(3 << 20, 'o');
  const std::string new_text(3 << 20, 'n');
  write_file(file_, old_text);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FaultySystem system;
    system.rename_errno = EBUSY;  // a bind-mounted file: written in place
    system.after_pwrite = [] { ::_exit(9); };
    auto lock = Lock::acquire(system, file_, std::chrono::seconds(1));
    if (!lock) ::_exit(1);
    auto location = locate(system, lock->file(), file_);
    if (!location) ::_exit(2);
    auto replacement = Replacement::replace(system, *lock, std::move(*location), file_);
    if (!replacement || !replacement->append(new_text)) ::_exit(3);
    SignalHold hold;
    (void)replacement->commit(hold);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9) << "killed while it wrote";
  const auto torn = read_file(file_);
  EXPECT_NE(torn, old_text);
  EXPECT_NE(torn, new_text);
  EXPECT_EQ(read_file(copy_), new_text);
  ASSERT_TRUE(finish());
  EXPECT_EQ(read_file(file_), new_text);
  EXPECT_EQ(entries(), std::vector<std::string>{"corvane.json"});
}

}  // namespace
}  // namespace corvane::files
