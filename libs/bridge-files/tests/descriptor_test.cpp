#include "corvane/files/descriptor.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <string>

#include "faulty_system.hpp"
#include "scratch_dir.hpp"

namespace corvane::files {
namespace {

using testing::FaultySystem;

class Descriptor : public testing::ScratchDir {
 protected:
  int open_file(const std::string& name, int flags = O_RDWR | O_CREAT) {
    const int fd = ::open(path(name).c_str(), flags, 0600);
    EXPECT_GE(fd, 0);
    return fd;
  }
  static bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }
};

TEST_F(Descriptor, AnFdClosesOnceAndAMoveLeavesTheSourceEmpty) {
  FaultySystem system;
  const int first = open_file("a");
  const int second = open_file("b");
  {
    Fd a(system, first);
    Fd moved(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(a.get(), -1);
    EXPECT_EQ(moved.get(), first);
    Fd b(system, second);
    b = std::move(moved);
    EXPECT_FALSE(is_open(second)) << "the target's own descriptor is closed by the assignment";
    EXPECT_EQ(b.get(), first);
    EXPECT_EQ(system.closes, 1);
    EXPECT_TRUE(b.close());
    EXPECT_FALSE(b);
    EXPECT_TRUE(b.close()) << "closing an empty one does nothing";
    b.reset();
  }
  EXPECT_EQ(system.closes, 2) << "each descriptor once, and never the moved-from";
  EXPECT_FALSE(is_open(first));
}

TEST_F(Descriptor, CloseReportsAFailureButNotAnInterruption) {
  FaultySystem system;
  system.close_errno = EIO;
  EXPECT_EQ(Fd(system, open_file("a")).close().error(), std::errc::io_error);
  system.close_errno = EINTR;
  EXPECT_TRUE(Fd(system, open_file("b")).close()) << "the descriptor is gone either way";
}

TEST_F(Descriptor, ReadsRetryInterruptedCalls) {
  write_file(path("a"), "0123456789");
  FaultySystem system;
  Fd fd(system, open_file("a", O_RDONLY));
  std::array<char, 4> buffer{};
  system.interrupted_reads = 3;
  auto n = read_some(system, fd.get(), buffer);
  ASSERT_TRUE(n) << describe(n.error());
  EXPECT_EQ(std::string(buffer.data(), *n), "0123");
  system.interrupted_reads = 3;
  n = read_some_at(system, fd.get(), buffer, 8);
  ASSERT_TRUE(n) << describe(n.error());
  EXPECT_EQ(std::string(buffer.data(), *n), "89") << "what is there, then 0 at the end";
  EXPECT_EQ(read_some_at(system, fd.get(), buffer, 10).value(), 0U);
  EXPECT_EQ(read_some(system, -1, buffer).error(), std::errc::bad_file_descriptor);
}

// However the system takes the bytes, write_all writes them all or says why
// it could not.
struct WriteCase {
  const char* label;
  void (*arrange)(FaultySystem& system);
  std::error_code error;  // none: all is written
};

void PrintTo(const WriteCase& c, std::ostream* os) {
  *os << c.label;
}

class WriteAll : public Descriptor, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(WriteAll, WritesEveryByteOrSaysWhy) {
  FaultySystem system;
  GetParam().arrange(system);
  Fd fd(system, open_file("a"));
  const std::string text = "the whole text, written in one call or many";
  const auto written = write_all(system, fd.get(), text);
  if (GetParam().error) {
    EXPECT_EQ(written.error(), GetParam().error);
  } else {
    ASSERT_TRUE(written) << describe(written.error());
    EXPECT_EQ(read_file(path("a")), text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Descriptor, WriteAll,
    ::testing::Values(
        WriteCase{"AtOnce", [](FaultySystem&) {}, {}},
        WriteCase{"Interrupted", [](FaultySystem& s) { s.interrupted_writes = 3; }, {}},
        WriteCase{"InShortPieces", [](FaultySystem& s) { s.write_piece = 5; }, {}},
        WriteCase{"ADiskThatIsFull", [](FaultySystem& s) { s.write_errno = ENOSPC; },
                  std::error_code(ENOSPC, std::generic_category())},
        WriteCase{"AWriteThatTakesNothing", [](FaultySystem& s) { s.writes_take_nothing = true; },
                  Errc::write_returned_zero}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

// Only a regular file is opened, and never by waiting.
struct OpenCase {
  const char* label;
  std::string (*make)(const std::filesystem::path& dir);
  std::error_code error;
};

void PrintTo(const OpenCase& c, std::ostream* os) {
  *os << c.label;
}

class OpenRegular : public Descriptor, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenRegular, RefusesAllButARegularFileWithoutWaiting) {
  const auto path = GetParam().make(dir_);
  const auto opened = open_regular(System::real(), path);
  ASSERT_FALSE(opened);
  EXPECT_EQ(opened.error(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptor, OpenRegular,
    ::testing::Values(
        OpenCase{"AFifoWithoutAWriter",
                 [](const std::filesystem::path& dir) {
                   const auto fifo = (dir / "fifo").string();
                   EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
                   return fifo;
                 },
                 Errc::not_regular_file},
        OpenCase{"ADevice", [](const std::filesystem::path&) { return std::string("/dev/zero"); },
                 Errc::not_regular_file},
        OpenCase{"ADirectory", [](const std::filesystem::path& dir) { return dir.string(); },
                 std::error_code(EISDIR, std::generic_category())},
        OpenCase{"Nothing",
                 [](const std::filesystem::path& dir) { return (dir / "missing").string(); },
                 std::error_code(ENOENT, std::generic_category())}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(Descriptor, ARegularFileOpensBlockingWithTheAccessAskedFor) {
  write_file(path("a"), "text");
  auto opened = open_regular(System::real(), path("a"), O_RDWR);
  ASSERT_TRUE(opened) << describe(opened.error());
  EXPECT_EQ(opened->info.st_size, 4);
  EXPECT_EQ(opened->info.st_ino, inode_of(path("a")));
  const int flags = ::fcntl(opened->fd.get(), F_GETFL);
  EXPECT_EQ(flags & O_NONBLOCK, 0) << "reads may block again once it is known to be a file";
  EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
  EXPECT_NE(::fcntl(opened->fd.get(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_F(Descriptor, ExistsFollowsLinksAndCountsAnyKindOfEntry) {
  write_file(path("file"), "");
  std::filesystem::create_symlink("missing", dir_ / "dangling");
  std::filesystem::create_symlink("file", dir_ / "link");
  EXPECT_TRUE(exists(System::real(), path("file")));
  EXPECT_TRUE(exists(System::real(), dir_.string()));
  EXPECT_TRUE(exists(System::real(), path("link")));
  EXPECT_FALSE(exists(System::real(), path("dangling")));
  EXPECT_FALSE(exists(System::real(), path("missing")));
}

TEST_F(Descriptor, AChangeRightAfterTheSettledLookShowsEvenInTheSameClockTick) {
  const int fd = open_file("a");
  Fd owned(System::real(), fd);
  ASSERT_EQ(::pwrite(fd, "0123456789", 10, 0), 10);
  for (int round = 0; round < 200; ++round) {
    ASSERT_EQ(::pwrite(fd, "abcdefghij", 10, 0), 10);
    auto settled = settled_stat(System::real(), fd);
    ASSERT_TRUE(settled);
    struct stat same {};
    ASSERT_EQ(::fstat(fd, &same), 0);
    EXPECT_TRUE(unchanged(*settled, same));
    ASSERT_EQ(::pwrite(fd, "0123456789", 10, 0), 10);  // same size, other bytes
    struct stat now {};
    ASSERT_EQ(::fstat(fd, &now), 0);
    ASSERT_FALSE(unchanged(*settled, now)) << "round " << round;
  }
}

TEST_F(Descriptor, AChangeOfModeIsNoChangeButAnotherSizeOrFileIs) {
  const int fd = open_file("a");
  Fd owned(System::real(), fd);
  auto then = settled_stat(System::real(), fd);
  ASSERT_TRUE(then);
  ASSERT_EQ(::fchmod(fd, 0644), 0);
  struct stat now {};
  ASSERT_EQ(::fstat(fd, &now), 0);
  EXPECT_TRUE(unchanged(*then, now));
  auto other = *then;
  other.st_size += 1;
  EXPECT_FALSE(unchanged(*then, other));
  other = *then;
  other.st_ino += 1;
  EXPECT_FALSE(unchanged(*then, other));
}

}  // namespace
}  // namespace corvane::files
