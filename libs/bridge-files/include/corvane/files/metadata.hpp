#pragma once

// What a file is kept with besides its text: mode, owner, group, extended
// attributes (its ACL among them) and the inode flags a user may set. A copy
// that replaces the file must carry all of it, or it would widen who may read
// the file or change how it is kept.

#include <sys/stat.h>
#include <sys/types.h>

#include <expected>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "corvane/files/error.hpp"
#include "corvane/files/system.hpp"

namespace corvane::files {

class Metadata {
 public:
  // A part of the metadata, as a failure to carry it names it.
  enum class Part { attributes, mode, owner, inode_flags };
  struct NotCarried {
    Part part;
    std::error_code error;
  };
  using Attributes = std::vector<std::pair<std::string, std::string>>;

  // What the file open as `fd` has now. Fails only when it cannot be looked
  // at; attributes or inode flags that cannot be read are held as that
  // failure, which `carry_to` then reports.
  [[nodiscard]] static Result<Metadata> read(System& system, int fd);

  [[nodiscard]] mode_t mode() const noexcept { return info_.st_mode & 07777; }
  [[nodiscard]] uid_t owner() const noexcept { return info_.st_uid; }
  [[nodiscard]] gid_t group() const noexcept { return info_.st_gid; }
  [[nodiscard]] const struct stat& info() const noexcept { return info_; }
  // The extended attributes as name and value; a file system without them
  // has none.
  [[nodiscard]] const Result<Attributes>& attributes() const noexcept { return attributes_; }
  // True when the attributes were read and hold an access ACL.
  [[nodiscard]] bool has_access_acl() const noexcept;

  // Gives the file open as `to` all of it, in this order: the mode, the owner
  // and group, exactly these extended attributes (ACLs it inherited from its
  // directory go), and the carried inode flags. Stops at the first part it
  // cannot give, and says which.
  [[nodiscard]] std::expected<void, NotCarried> carry_to(System& system, int to) const;

 private:
  Metadata() = default;
  struct stat info_ {};
  Result<Attributes> attributes_;
  // The carried inode flags; none on a file system that has no such flags.
  Result<std::optional<int>> inode_flags_;
};

}  // namespace corvane::files
