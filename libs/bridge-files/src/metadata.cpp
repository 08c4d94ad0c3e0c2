#include "corvane/files/metadata.hpp"

#include <linux/fs.h>

#include <algorithm>
#include <cerrno>

#include "internal.hpp"

namespace corvane::files {

namespace {

using Attributes = Metadata::Attributes;

// The extended attributes of a file (ACLs among them) as name and value.
Result<Attributes> read_attributes(System& system, int fd) {
  Attributes out;
  std::string names;
  for (;;) {
    const ssize_t size = system.flistxattr(fd, nullptr, 0);
    if (size < 0) {
      if (errno == ENOTSUP) return out;
      return std::unexpected(last_error());
    }
    names.resize(static_cast<std::size_t>(size));
    const ssize_t n = system.flistxattr(fd, names.data(), names.size());
    if (n >= 0) {
      names.resize(static_cast<std::size_t>(n));
      break;
    }
    if (errno != ERANGE) return std::unexpected(last_error());
  }
  for (std::size_t at = 0; at < names.size();) {
    const std::string name(names.c_str() + at);
    at += name.size() + 1;
    if (name.empty()) continue;
    std::string value;
    for (;;) {
      const ssize_t size = system.fgetxattr(fd, name.c_str(), nullptr, 0);
      if (size < 0) return std::unexpected(last_error());
      value.resize(static_cast<std::size_t>(size));
      const ssize_t n = system.fgetxattr(fd, name.c_str(), value.data(), value.size());
      if (n >= 0) {
        value.resize(static_cast<std::size_t>(n));
        break;
      }
      if (errno != ERANGE) return std::unexpected(last_error());
    }
    out.emplace_back(name, std::move(value));
  }
  return out;
}

// Gives `to` exactly the extended attributes `from` (an empty list for a
// new file): ACLs it inherited from its directory go, the old file's come.
Result<void> write_attributes(System& system, const Attributes& from, int to) {
  auto present = read_attributes(system, to);
  if (!present) return std::unexpected(present.error());
  for (const auto& [name, value] : *present) {
    const bool wanted = std::any_of(from.begin(), from.end(),
                                    [&](const auto& attribute) { return attribute.first == name; });
    if (!wanted && system.fremovexattr(to, name.c_str()) != 0) {
      return std::unexpected(last_error());
    }
  }
  for (const auto& [name, value] : from) {
    if (system.fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) {
      return std::unexpected(last_error());
    }
  }
  return {};
}

// The inode flags a user may set on a file of their own that say how it is
// kept: synchronous writes (+S), no dump backups (+d), no access times (+A),
// and the compression and copy-on-write choices (+c, +m, +C).
constexpr int kCarriedFlags =
    FS_SYNC_FL | FS_NODUMP_FL | FS_NOATIME_FL | FS_COMPR_FL | FS_NOCOMP_FL | FS_NOCOW_FL;

// The carried inode flags of `fd`; none where the file system has no such
// flags.
Result<std::optional<int>> read_inode_flags(System& system, int fd) {
  int flags = 0;
  if (system.get_inode_flags(fd, &flags) != 0) {
    if (errno == ENOTTY || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL) {
      return std::nullopt;
    }
    return std::unexpected(last_error());
  }
  return flags & kCarriedFlags;
}

// Gives `to` the carried inode flags `carried`.
Result<void> write_inode_flags(System& system, int carried, int to) {
  int now = 0;
  if (system.get_inode_flags(to, &now) != 0) {
    if (carried == 0) return {};
    return std::unexpected(last_error());
  }
  if ((now & kCarriedFlags) == carried) return {};
  if (system.set_inode_flags(to, (now & ~kCarriedFlags) | carried) != 0) {
    return std::unexpected(last_error());
  }
  return {};
}

}  // namespace

Result<Metadata> Metadata::read(System& system, int fd) {
  Metadata metadata;
  if (system.fstat(fd, &metadata.info_) != 0) return std::unexpected(last_error());
  metadata.attributes_ = read_attributes(system, fd);
  metadata.inode_flags_ = read_inode_flags(system, fd);
  return metadata;
}

bool Metadata::has_access_acl() const noexcept {
  return attributes_ && std::any_of(attributes_->begin(), attributes_->end(),
                                    [](const auto& a) { return a.first == internal::kAccessAcl; });
}

std::expected<void, Metadata::NotCarried> Metadata::carry_to(System& system, int to) const {
  if (!attributes_) return std::unexpected(NotCarried{Part::attributes, attributes_.error()});
  if (system.fchmod(to, mode()) != 0) return std::unexpected(NotCarried{Part::mode, last_error()});
  if (system.fchown(to, owner(), group()) != 0) {
    return std::unexpected(NotCarried{Part::owner, last_error()});
  }
  if (auto written = write_attributes(system, *attributes_, to); !written) {
    return std::unexpected(NotCarried{Part::attributes, written.error()});
  }
  if (!inode_flags_) return std::unexpected(NotCarried{Part::inode_flags, inode_flags_.error()});
  if (*inode_flags_) {
    if (auto written = write_inode_flags(system, **inode_flags_, to); !written) {
      return std::unexpected(NotCarried{Part::inode_flags, written.error()});
    }
  }
  return {};
}

}  // namespace corvane::files
