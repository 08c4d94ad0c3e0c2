#include "corvane/files/metadata.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "corvane/files/descriptor.hpp"
#include "faulty_system.hpp"
#include "scratch_dir.hpp"

namespace corvane::files {
namespace {

using testing::FaultySystem;
using Part = Metadata::Part;

class MetadataTest : public testing::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    write_file(path("old"), "old");
    write_file(path("new"), "new");
    ASSERT_EQ(::chmod(path("old").c_str(), 0640), 0);
    ASSERT_EQ(::chmod(path("new").c_str(), 0600), 0);
    old_ = Fd(System::real(), ::open(path("old").c_str(), O_RDONLY));
    new_ = Fd(System::real(), ::open(path("new").c_str(), O_RDONLY));
    ASSERT_TRUE(old_ && new_);
  }
  // Sets a user attribute, or says why there are none here.
  bool set_attribute(const std::string& file, const char* name, const std::string& value) {
    if (::setxattr(path(file).c_str(), name, value.data(), value.size(), 0) == 0) return true;
    no_attributes_ = std::strerror(errno);
    return false;
  }
  std::string attribute(const std::string& file, const char* name) {
    char value[64] = {};
    const ssize_t n = ::getxattr(path(file).c_str(), name, value, sizeof value);
    return n < 0 ? "<none>" : std::string(value, static_cast<std::size_t>(n));
  }
  struct stat stat_of(const std::string& file) {
    struct stat info {};
    EXPECT_EQ(::stat(path(file).c_str(), &info), 0);
    return info;
  }

  Fd old_;
  Fd new_;
  std::string no_attributes_;
};

TEST_F(MetadataTest, CarriesTheModeAndExactlyTheAttributes) {
  if (!set_attribute("old", "user.kept", "kept") || !set_attribute("new", "user.inherited", "x")) {
    GTEST_SKIP() << "no user extended attributes here: " << no_attributes_;
  }
  const auto metadata = Metadata::read(System::real(), old_.get());
  ASSERT_TRUE(metadata) << describe(metadata.error());
  EXPECT_EQ(metadata->mode(), 0640U);
  EXPECT_EQ(metadata->owner(), ::geteuid());
  EXPECT_FALSE(metadata->has_access_acl());
  ASSERT_TRUE(metadata->carry_to(System::real(), new_.get()));
  EXPECT_EQ(stat_of("new").st_mode & 07777, 0640U);
  EXPECT_EQ(attribute("new", "user.kept"), "kept");
  EXPECT_EQ(attribute("new", "user.inherited"), "<none>") << "what the old file lacks goes";
}

TEST_F(MetadataTest, CarriesTheOwnerAndGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file to another user";
  ASSERT_EQ(::chown(path("old").c_str(), 4242, 4343), 0);
  const auto metadata = Metadata::read(System::real(), old_.get());
  ASSERT_TRUE(metadata) << describe(metadata.error());
  ASSERT_TRUE(metadata->carry_to(System::real(), new_.get()));
  EXPECT_EQ(stat_of("new").st_uid, 4242U);
  EXPECT_EQ(stat_of("new").st_gid, 4343U);
}

// What cannot be given to the new file is said, by part and by why.
struct RefusedCase {
  const char* label;
  void (*arrange)(FaultySystem& system);
  Part part;
  int error;
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
  *os << c.label;
}

class Refused : public MetadataTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(Refused, IsReportedByPart) {
  if (!set_attribute("old", "user.kept", "kept") && GetParam().part == Part::attributes) {
    GTEST_SKIP() << "no user extended attributes here: " << no_attributes_;
  }
  FaultySystem system;
  system.inode_flags.emplace();
  (*system.inode_flags)[FaultySystem::inode(old_.get())] = FS_NODUMP_FL;
  GetParam().arrange(system);
  const auto metadata = Metadata::read(system, old_.get());
  ASSERT_TRUE(metadata) << describe(metadata.error());
  const auto carried = metadata->carry_to(system, new_.get());
  ASSERT_FALSE(carried);
  EXPECT_EQ(carried.error().part, GetParam().part);
  EXPECT_EQ(carried.error().error, std::error_code(GetParam().error, std::generic_category()));
}

INSTANTIATE_TEST_SUITE_P(
    Metadata, Refused,
    ::testing::Values(
        RefusedCase{"AMode", [](FaultySystem& s) { s.fchmod_errno = EPERM; }, Part::mode, EPERM},
        RefusedCase{"AnOwner", [](FaultySystem& s) { s.fchown_errno = EPERM; }, Part::owner, EPERM},
        RefusedCase{"AnAttribute", [](FaultySystem& s) { s.fsetxattr_errno = EPERM; },
                    Part::attributes, EPERM},
        RefusedCase{"AnInodeFlag", [](FaultySystem& s) { s.set_flags_errno = EPERM; },
                    Part::inode_flags, EPERM},
        RefusedCase{"UnreadableInodeFlags", [](FaultySystem& s) { s.get_flags_errno = EACCES; },
                    Part::inode_flags, EACCES}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

// The inode flags a user may set go with the file; the others (the journal's
// data flag here) are neither carried nor taken from the new file.
struct FlagsCase {
  const char* label;
  int get_errno;
  int old_flags;
  int new_flags;
  int carried;  // the new file's flags afterwards
};

void PrintTo(const FlagsCase& c, std::ostream* os) {
  *os << c.label;
}

class CarriedInodeFlags : public MetadataTest, public ::testing::WithParamInterface<FlagsCase> {};

TEST_P(CarriedInodeFlags, AreCarriedWhereTheFileSystemHasThem) {
  FaultySystem system;
  system.inode_flags.emplace();
  (*system.inode_flags)[FaultySystem::inode(old_.get())] = GetParam().old_flags;
  (*system.inode_flags)[FaultySystem::inode(new_.get())] = GetParam().new_flags;
  system.get_flags_errno = GetParam().get_errno;
  const auto metadata = Metadata::read(system, old_.get());
  ASSERT_TRUE(metadata);
  system.get_flags_errno = 0;
  ASSERT_TRUE(metadata->carry_to(system, new_.get()));
  EXPECT_EQ((*system.inode_flags)[FaultySystem::inode(new_.get())], GetParam().carried);
}

INSTANTIATE_TEST_SUITE_P(
    Metadata, CarriedInodeFlags,
    ::testing::Values(
        FlagsCase{"TheUsersOwn", 0, FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL | FS_JOURNAL_DATA_FL,
                  0, FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL},
        FlagsCase{"CompressionAndCopyOnWrite", 0, FS_COMPR_FL | FS_NOCOW_FL, FS_NOCOMP_FL,
                  FS_COMPR_FL | FS_NOCOW_FL},
        FlagsCase{"OthersOfTheNewFileStay", 0, FS_NODUMP_FL, FS_JOURNAL_DATA_FL | FS_SYNC_FL,
                  FS_JOURNAL_DATA_FL | FS_NODUMP_FL},
        FlagsCase{"NoneOnThisFileSystem", ENOTTY, FS_NODUMP_FL, FS_SYNC_FL, FS_SYNC_FL},
        FlagsCase{"NotSupported", EOPNOTSUPP, FS_NODUMP_FL, FS_SYNC_FL, FS_SYNC_FL}),
    [](const auto& param_info) { return std::string(param_info.param.label); });

// On the real file system, where it keeps the no-dump flag.
TEST_F(MetadataTest, TheNoDumpFlagIsCarriedOnTheRealFileSystem) {
  int flags = 0;
  if (::ioctl(old_.get(), FS_IOC_GETFLAGS, &flags) != 0 ||
      (flags |= FS_NODUMP_FL, ::ioctl(old_.get(), FS_IOC_SETFLAGS, &flags) != 0)) {
    GTEST_SKIP() << "no inode flags here: " << std::strerror(errno);
  }
  const auto metadata = Metadata::read(System::real(), old_.get());
  ASSERT_TRUE(metadata);
  ASSERT_TRUE(metadata->carry_to(System::real(), new_.get()));
  flags = 0;
  EXPECT_EQ(::ioctl(new_.get(), FS_IOC_GETFLAGS, &flags), 0);
  EXPECT_NE(flags & FS_NODUMP_FL, 0);
}

TEST_F(MetadataTest, AFileThatCannotBeLookedAtFails) {
  EXPECT_EQ(Metadata::read(System::real(), -1).error(), std::errc::bad_file_descriptor);
}

}  // namespace
}  // namespace corvane::files
