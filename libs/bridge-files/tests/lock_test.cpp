#include "corvane/files/lock.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "scratch_dir.hpp"

namespace corvane::files {
namespace {

class LockTest : public testing::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    file_ = path("corvane.json");
    write_file(file_, "0123456789");
  }
  // Another open file holding the lock, as another process would.
  int hold(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::flock(fd, LOCK_EX), 0);
    return fd;
  }
  std::string file_;
};

TEST_F(LockTest, TheHolderIsFoundAndAWaiterHearsOfItOnceAndGivesUp) {
  struct stat info {};
  ASSERT_EQ(::stat(file_.c_str(), &info), 0);
  EXPECT_EQ(lock_holder(System::real(), info), std::nullopt);
  const int holder = hold(file_);
  EXPECT_EQ(lock_holder(System::real(), info), std::optional<pid_t>(::getpid()));
  int heard = 0;
  auto lock = Lock::acquire(System::real(), file_, std::chrono::milliseconds(1300),
                            [&](std::optional<pid_t> pid) {
                              ++heard;
                              EXPECT_EQ(pid, std::optional<pid_t>(::getpid()));
                            });
  EXPECT_EQ(lock.error(), Errc::locked);
  EXPECT_EQ(heard, 1);
  ::close(holder);
  EXPECT_TRUE(Lock::acquire(System::real(), file_, std::chrono::milliseconds(100)));
}

TEST_F(LockTest, AShortWaitGivesUpWithoutANotice) {
  const int holder = hold(file_);
  int heard = 0;
  const auto lock = Lock::acquire(System::real(), file_, std::chrono::milliseconds(100),
                                  [&](std::optional<pid_t>) { ++heard; });
  EXPECT_EQ(lock.error(), Errc::locked);
  EXPECT_EQ(heard, 0);
  ::close(holder);
}

TEST_F(LockTest, IsHeldUntilReleasedAndExcludesTheProcessItself) {
  auto lock = Lock::acquire(System::real(), file_, std::chrono::milliseconds(100));
  ASSERT_TRUE(lock) << describe(lock.error());
  EXPECT_EQ(lock->file().info.st_ino, inode_of(file_));
  EXPECT_EQ(lock->fd(), lock->file().fd.get());
  EXPECT_EQ(Lock::acquire(System::real(), file_, std::chrono::milliseconds(20)).error(),
            Errc::locked);
  lock->release();
  EXPECT_EQ(lock->fd(), -1);
  EXPECT_TRUE(Lock::acquire(System::real(), file_, std::chrono::milliseconds(20)));
}

TEST_F(LockTest, AFileThatCannotBeOpenedOrIsNotRegularFailsAtOnce) {
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Lock::acquire(System::real(), path("fifo"), std::chrono::seconds(30)).error(),
            Errc::not_regular_file);
  EXPECT_EQ(Lock::acquire(System::real(), path("missing"), std::chrono::seconds(30)).error(),
            std::errc::no_such_file_or_directory);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST_F(LockTest, AWaiterTakesTheFileRenamedIntoPlaceWhileTheOldOneIsStillLocked) {
  // The holder replaced the file and keeps the old one locked (it is still
  // printing): the waiter must go on with the new file, not wait for the old.
  const int old_file = hold(file_);
  std::thread replacer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    write_file(path("new.json"), "new");
    std::filesystem::rename(path("new.json"), file_);
  });
  auto lock = Lock::acquire(System::real(), file_, std::chrono::seconds(5));
  replacer.join();
  ASSERT_TRUE(lock) << describe(lock.error());
  EXPECT_EQ(lock->file().info.st_ino, inode_of(file_));
  const int probe = ::open(file_.c_str(), O_RDONLY);
  EXPECT_NE(::flock(probe, LOCK_EX | LOCK_NB), 0) << "the lock is on the file the path names now";
  ::close(probe);
  ::close(old_file);
}

}  // namespace
}  // namespace corvane::files
