#include "corvane/state/store.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "corvane/state/codec.hpp"
#include "faulty_system.hpp"
#include "state_samples.hpp"

namespace corvane::state {
namespace {

namespace fs = std::filesystem;
using files::testing::FaultySystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

ino_t inode_of(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_ino;
}

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/corvane-store-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ / "corvane.json";
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all);
    fs::remove_all(dir_);
  }

  void create(const fs::path& path, const CliState& state = fresh_state()) {
    ASSERT_TRUE(Store::create(path, state)) << path;
  }

  // Opens the state file for changing, adds a delivery and saves it through
  // `system`.
  std::expected<void, std::string> change(files::System& system, const fs::path& path) {
    auto store = Store::open(path, Access::Change, Checks::None, system);
    if (!store) return std::unexpected(store.error());
    store->state().router.policy.max_attempts += 1;
    return store->save();
  }

  fs::path dir_;
  fs::path path_;
};

// Gathers the deliveries it is given.
class Gather final : public ReadObserver {
 public:
  void on_delivery(const contracts::Delivery& delivery) override { deliveries.push_back(delivery); }
  std::vector<contracts::Delivery> deliveries;
};

TEST_F(StoreTest, CreatedStateOpensAgainWithItsLogReadFromTheFile) {
  EXPECT_FALSE(state_exists(path_));
  const auto state = rich_state();
  create(path_, state);
  EXPECT_TRUE(state_exists(path_));
  auto store = Store::open(path_, Access::Read);
  ASSERT_TRUE(store) << store.error();
  EXPECT_TRUE(store->state().router.deliveries.empty()) << "the log stays in the file";
  EXPECT_EQ(store->log().count, state.router.deliveries.size());
  EXPECT_TRUE(store->log().own_layout);
  Gather again;
  ASSERT_TRUE(store->for_each_delivery(again));
  auto whole = store->state();
  whole.router.deliveries = again.deliveries;
  EXPECT_EQ(whole, state);
}

// However the log was written, a save keeps every delivery of it, adds the
// appended ones, and writes the whole file in the writer's layout.
struct LogLayout {
  const char* label;
  std::string (*text)(const CliState& state);
  bool empty_log = false;
};

void PrintTo(const LogLayout& layout, std::ostream* os) {
  *os << layout.label;
}

class SavingTheLog : public StoreTest, public ::testing::WithParamInterface<LogLayout> {};

TEST_P(SavingTheLog, KeepsEveryDeliveryAndAppendsTheNewOnes) {
  auto expected = rich_state();
  if (GetParam().empty_log) expected.router.deliveries.clear();
  { std::ofstream(path_, std::ios::binary) << GetParam().text(expected); }
  auto store = Store::open(path_, Access::Change);
  ASSERT_TRUE(store) << store.error();
  const auto appended = contracts::Delivery{
      contracts::DeliveryId(
          varnholt::contracts::Uuid::parse("d0000000-0000-4000-8000-00000000000f").value()),
      expected.router.connectors.begin()->first, "new \"event\"\n",
      contracts::delivery_status::Refused{contracts::RefusalReason::TenantMismatch},
      varnholt::contracts::Timestamp::from_unix_seconds(0)};
  store->state().router.deliveries.push_back(appended);
  ASSERT_TRUE(store->save());
  store->release();
  expected.router.deliveries.push_back(appended);
  EXPECT_EQ(read_file(path_), encode_state(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Store, SavingTheLog,
    ::testing::Values(
        LogLayout{"OwnLayoutIsCopied", [](const CliState& s) { return encode_state(s); }},
        LogLayout{"CompactIsWrittenAgain",
                  [](const CliState& s) {
                    std::string text = encode_state(s);
                    std::erase(text, '\n');
                    return text;
                  }},
        LogLayout{"OneEditedDeliveryIsWrittenAgain",
                  [](const CliState& s) {
                    std::string text = encode_state(s);
                    const std::string member = "\"created_at\": ";
                    text.replace(text.rfind(member), member.size(), member + " ");
                    return text;
                  }},
        LogLayout{"AnEmptyLog", [](const CliState& s) { return encode_state(s); }, true}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(StoreTest, FailuresCarryTheSystemDescription) {
  EXPECT_EQ(Store::open("/nonexistent-dir/x.json", Access::Read).error(),
            "/nonexistent-dir/x.json: No such file or directory (os error 2) (run init first)");
  EXPECT_EQ(Store::open(dir_, Access::Change).error(),
            dir_.string() + ": Is a directory (os error 21) (run init first)");
  EXPECT_EQ(Store::create(dir_ / "missing" / "x.json", fresh_state()).error(),
            "No such file or directory (os error 2)");
  EXPECT_EQ(
      Store::open(std::string("a\0b", 3), Access::Read).error(),
      std::string("a\0b", 3) + ": file name contained an unexpected NUL byte (run init first)");
  create(path_);
  EXPECT_EQ(Store::create(path_, fresh_state()).error(), path_.string() + " already exists");
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(Store::open(dir_ / "fifo", Access::Change).error(),
            (dir_ / "fifo").string() + ": not a regular file (run init first)");
  std::ofstream(dir_ / "empty.json") << "  \n ";
  EXPECT_EQ(Store::open(dir_ / "empty.json", Access::Read).error(),
            "EOF while parsing a value at line 2 column 1");
}

TEST_F(StoreTest, ALinkSwitchedWhileACommandRunsIsNotWrittenThrough) {
  create(dir_ / "v1.json");
  auto v2 = fresh_state();
  v2.router.policy.max_attempts = 2;
  create(dir_ / "v2.json", v2);
  const auto v2_text = read_file(dir_ / "v2.json");
  fs::create_symlink("v1.json", dir_ / "current.json");
  auto store = Store::open(dir_ / "current.json", Access::Change);
  ASSERT_TRUE(store) << store.error();
  // A deploy switches the link meanwhile.
  fs::create_symlink("v2.json", dir_ / "next.json");
  fs::rename(dir_ / "next.json", dir_ / "current.json");
  EXPECT_EQ(store->save().error(),
            (dir_ / "current.json").string() +
                " now leads to another file than the one this command read; nothing was written");
  EXPECT_EQ(read_file(dir_ / "v2.json"), v2_text);
}

TEST_F(StoreTest, AWaiterForTheLockGivesUpNamingAnotherProcess) {
  create(path_);
  const int holder = ::open(path_.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  const auto waited = Store::open(path_, Access::Change, Checks::None, files::System::real(),
                                  std::chrono::milliseconds(100));
  EXPECT_EQ(waited.error(),
            path_.string() + " is locked by another process; gave up after 0 seconds");
  ::close(holder);
  EXPECT_TRUE(Store::open(path_, Access::Change));
}

// What another program may do to the state file while a command runs (an
// editor saving in place, `cp backup.json corvane.json`, `dd conv=notrunc`):
// the copied log must be the one that was read and checked.
struct InPlaceEdit {
  const char* label;
  bool in_place_save;  // the save itself goes in place (a closed directory)
  bool during_save;    // the edit lands after the log was copied, before the rename
};

void PrintTo(const InPlaceEdit& edit, std::ostream* os) {
  *os << edit.label;
}

class ChangedWhileRead : public StoreTest, public ::testing::WithParamInterface<InPlaceEdit> {};

TEST_P(ChangedWhileRead, NothingIsWrittenAndTheOtherProgramsTextStays) {
  create(path_, rich_state());
  FaultySystem system;
  if (GetParam().in_place_save) system.create_temporary_errno = EACCES;
  auto store = Store::open(path_, Access::Change, Checks::None, system);
  ASSERT_TRUE(store) << store.error();
  // Same length, other bytes, somewhere in the log.
  auto edited = read_file(path_);
  const auto at = edited.rfind("\"created_at\"");
  ASSERT_NE(at, std::string::npos);
  edited[at + 1] = 'C';
  auto edit = [&] {
    const int fd = ::open(path_.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, edited.data(), edited.size(), 0), static_cast<ssize_t>(edited.size()));
    ::close(fd);
  };
  if (GetParam().during_save) {
    system.on_fsync = edit;
  } else {
    edit();
  }
  store->state().router.policy.max_attempts += 1;
  EXPECT_EQ(store->save().error(),
            path_.string() + " was changed in place while it was read; nothing was written");
  EXPECT_EQ(read_file(path_), edited);
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"corvane.json"});
}

INSTANTIATE_TEST_SUITE_P(Store, ChangedWhileRead,
                         ::testing::Values(InPlaceEdit{"BeforeTheSave", false, false},
                                           InPlaceEdit{"WhileTheCopyIsFlushed", false, true},
                                           InPlaceEdit{"BeforeAnInPlaceSave", true, false}),
                         [](const auto& param_info) {
                           return std::string(param_info.param.label);
                         });

TEST_F(StoreTest, ModeOwnerAndGroupAreTakenWhenTheFileIsWritten) {
  create(path_);
  ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
  auto store = Store::open(path_, Access::Change);
  ASSERT_TRUE(store) << store.error();
  EXPECT_EQ(store->mode(), 0644U);
  // The owner closes the file while the command runs.
  ASSERT_EQ(::chmod(path_.c_str(), 0600), 0);
  ASSERT_TRUE(store->save());
  store->release();
  struct stat info {};
  ASSERT_EQ(::stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600U);
}

// Where the rename cannot put the new file in place, the old one takes the
// new text in place; a file system without fallocate still takes a save
// that grows the file; a directory that may be searched but not listed
// still takes changes.
struct SaveObstacle {
  const char* label;
  void (*arrange)(FaultySystem& system);
  bool in_place;
};

void PrintTo(const SaveObstacle& obstacle, std::ostream* os) {
  *os << obstacle.label;
}

class SaveObstacles : public StoreTest, public ::testing::WithParamInterface<SaveObstacle> {};

TEST_P(SaveObstacles, TheChangeIsSavedInFull) {
  auto expected = rich_state();
  create(path_, expected);
  const auto inode = inode_of(path_);
  FaultySystem system;
  GetParam().arrange(system);
  auto store = Store::open(path_, Access::Change, Checks::None, system);
  ASSERT_TRUE(store) << store.error();
  const auto appended = contracts::Delivery{
      contracts::DeliveryId(
          varnholt::contracts::Uuid::parse("d0000000-0000-4000-8000-00000000000e").value()),
      expected.router.connectors.begin()->first, "grown",
      contracts::delivery_status::Refused{contracts::RefusalReason::TenantMismatch},
      varnholt::contracts::Timestamp::from_unix_seconds(0)};
  store->state().router.deliveries.push_back(appended);
  files::SignalHold hold;
  const auto saved = store->save(hold);
  ASSERT_TRUE(saved) << saved.error();
  EXPECT_TRUE(hold.held()) << "the signals wait until the result is told";
  store->release();
  expected.router.deliveries.push_back(appended);
  EXPECT_EQ(read_file(path_), encode_state(expected));
  EXPECT_EQ(inode_of(path_) == inode, GetParam().in_place);
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"corvane.json"});
}

INSTANTIATE_TEST_SUITE_P(
    Store, SaveObstacles,
    ::testing::Values(
        SaveObstacle{"ABindMountedFile", [](FaultySystem& s) { s.rename_errno = EBUSY; }, true},
        SaveObstacle{"AnotherFileSystem", [](FaultySystem& s) { s.rename_errno = EXDEV; }, true},
        SaveObstacle{"NoFallocateInPlace",
                     [](FaultySystem& s) {
                       s.create_temporary_errno = EACCES;
                       s.fallocate_errno = EOPNOTSUPP;
                     },
                     true},
        SaveObstacle{"ASearchOnlyDirectory",
                     [](FaultySystem& s) { s.directories_need_read = true; }, false}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

TEST_F(StoreTest, AWaiterHearsOnceWhichProcessHoldsTheLock) {
  create(path_);
  const int holder = ::open(path_.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  std::vector<std::optional<pid_t>> heard;
  const auto waited = Store::open(path_, Access::Change, Checks::None, files::System::real(),
                                  std::chrono::milliseconds(1500),
                                  [&](std::optional<pid_t> pid) { heard.push_back(pid); });
  EXPECT_FALSE(waited);
  ASSERT_EQ(heard.size(), 1U);
  EXPECT_EQ(heard[0], std::optional<pid_t>(::getpid()));
  ::close(holder);
}

// However a save goes in place, the new text is never all in memory: it is
// written whole to a file first and copied over the old text piece by piece.
struct InPlaceRoute {
  const char* label;
  void (*arrange)(FaultySystem& system);
  bool bounded;
};

void PrintTo(const InPlaceRoute& route, std::ostream* os) {
  *os << route.label;
}

class InPlaceSaves : public StoreTest, public ::testing::WithParamInterface<InPlaceRoute> {};

// A state of more than 3 MiB: several pieces of an in-place write.
CliState large_state() {
  auto state = rich_state();
  const auto model = state.router.deliveries.front();
  for (unsigned i = 0; i < 12000; ++i) {
    char id[40];
    std::snprintf(id, sizeof id, "e0000000-0000-4000-8000-%012x", i);
    auto delivery = model;
    delivery.delivery_id = contracts::DeliveryId(varnholt::contracts::Uuid::parse(id).value());
    state.router.deliveries.push_back(delivery);
  }
  return state;
}

TEST_P(InPlaceSaves, WriteTheWholeNewTextInBoundedPieces) {
  auto state = large_state();
  create(path_, state);
  ASSERT_GT(fs::file_size(path_), std::uintmax_t{3} << 20);
  const auto inode = inode_of(path_);
  FaultySystem system;
  GetParam().arrange(system);
  ASSERT_TRUE(change(system, path_));
  EXPECT_EQ(inode_of(path_), inode) << "written in place";
  state.router.policy.max_attempts += 1;
  EXPECT_EQ(read_file(path_), encode_state(state));
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"corvane.json"});
  if (GetParam().bounded) {
    EXPECT_LE(system.largest_read, std::size_t{1} << 20);
  }
}

// Readers that overlap an in-place save read the old or the new text whole:
// the overwrite waits for them, and they wait for it.
TEST_P(InPlaceSaves, ConcurrentReadersSeeTheOldOrTheNewStateInFull) {
  const auto state = large_state();
  create(path_, state);
  FaultySystem system;
  GetParam().arrange(system);
  system.pwrite_delay = std::chrono::milliseconds(3);
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::vector<std::string> failures;
  std::mutex failures_mutex;
  auto reader = [&] {
    while (!stop) {
      auto store = Store::open(path_, Access::Read);
      Gather gathered;
      auto result = store ? store->for_each_delivery(gathered)
                          : std::expected<void, std::string>(std::unexpected(store.error()));
      if (result && gathered.deliveries.size() != state.router.deliveries.size()) {
        result = std::unexpected(std::to_string(gathered.deliveries.size()) + " deliveries");
      }
      if (!result) {
        const std::lock_guard guard(failures_mutex);
        failures.push_back(result.error());
      }
      ++reads;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < 2; ++i) readers.emplace_back(reader);
  // Every save moves all that follows the seed by 64 bytes (its 32 numbers
  // written with one digit or three): a torn text never reads.
  for (int save = 0; save < 8; ++save) {
    auto store = Store::open(path_, Access::Change, Checks::None, system);
    ASSERT_TRUE(store) << store.error();
    store->state().approval_seed.fill(save % 2 == 0 ? 200 : 7);
    store->state().router.policy.max_attempts = 5;
    ASSERT_TRUE(store->save());
  }
  stop = true;
  for (auto& thread : readers) thread.join();
  EXPECT_GT(reads.load(), 8);
  EXPECT_TRUE(failures.empty()) << failures.size() << " torn reads, first: " << failures.front();
  auto store = Store::open(path_, Access::Read);
  ASSERT_TRUE(store) << store.error();
  EXPECT_EQ(store->state().router.policy.max_attempts, 5U);
}

// An in-place save killed after its first piece leaves a torn file and its
// whole new text beside it: readers read that text, and the next change
// writes it over the file first.
TEST_P(InPlaceSaves, AKilledOverwriteIsFinishedByTheNextChange) {
  if (std::string_view(GetParam().label) == "AClosedDirectory" ||
      std::string_view(GetParam().label) == "NoTemporaryDirectoryEither") {
    GTEST_SKIP() << "no file beside it to keep the new text in";
  }
  auto state = large_state();
  create(path_, state);
  const auto old_text = read_file(path_);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FaultySystem system;
    GetParam().arrange(system);
    system.after_pwrite = [] { ::_exit(9); };
    auto store = Store::open(path_, Access::Change, Checks::None, system);
    if (store) {
      store->state().approval_seed.fill(200);
      (void)store->save();
    }
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9) << "killed while it wrote";
  state.approval_seed.fill(200);
  const auto new_text = encode_state(state);
  const auto torn = read_file(path_);
  EXPECT_NE(torn, old_text);
  EXPECT_NE(torn, new_text);
  const auto copy = dir_ / files::roll_forward_name("corvane.json");
  EXPECT_EQ(read_file(copy), new_text);

  auto reader = Store::open(path_, Access::Read);
  ASSERT_TRUE(reader) << reader.error();
  EXPECT_EQ(reader->state().approval_seed, state.approval_seed);
  Gather gathered;
  ASSERT_TRUE(reader->for_each_delivery(gathered));
  EXPECT_EQ(gathered.deliveries.size(), state.router.deliveries.size());
  reader->release();

  auto changer = Store::open(path_, Access::Change);
  ASSERT_TRUE(changer) << changer.error();
  EXPECT_EQ(changer->state().approval_seed, state.approval_seed);
  changer->release();
  EXPECT_EQ(read_file(path_), new_text);
  EXPECT_EQ(entries(dir_), std::vector<std::string>{"corvane.json"});
}

INSTANTIATE_TEST_SUITE_P(
    Store, InPlaceSaves,
    ::testing::Values(
        InPlaceRoute{"AClosedDirectory", [](FaultySystem& s) { s.create_temporary_errno = EACCES; },
                     true},
        InPlaceRoute{"AnOwnerTheCopyCannotTake", [](FaultySystem& s) { s.fchown_errno = EPERM; },
                     true},
        InPlaceRoute{"ABindMountedFile", [](FaultySystem& s) { s.rename_errno = EBUSY; }, true},
        InPlaceRoute{"NoTemporaryDirectoryEither",
                     [](FaultySystem& s) {
                       s.create_temporary_errno = EACCES;
                       s.tmpfile_errno = EACCES;
                     },
                     false}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

}  // namespace
}  // namespace corvane::state
