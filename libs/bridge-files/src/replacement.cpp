#include "corvane/files/replacement.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <span>
#include <vector>

#include "corvane/files/metadata.hpp"
#include "corvane/files/roll_forward.hpp"
#include "internal.hpp"
#include "varnholt/text/hex.hpp"

namespace corvane::files {

using internal::kAccessAcl;
using internal::lock_text;
using internal::read_exact_at;
using internal::retry;
using internal::same_file;
using internal::sync_directory;
using internal::write_all_at;

std::string temporary_prefix(std::string_view name) {
  // FNV-1a: distinct names get distinct prefixes, so one state file's run
  // never takes another's temporary file for a stale one of its own.
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : name) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  std::string prefix = ".corvane-";
  for (int shift = 56; shift >= 0; shift -= 8) {
    varnholt::text::append_hex_byte(prefix, static_cast<std::uint8_t>(hash >> shift));
  }
  prefix.push_back('-');
  return prefix;
}

namespace {

constexpr std::size_t kRandomPart = 6;

// A temporary file beside the file, registered for removal by a signal.
struct Temporary {
  Fd fd;
  std::string name;
  SignalCleanup cleanup;
};

// Makes the temporary file in `directory`; its random part is drawn anew
// while the name is taken.
Result<Temporary> make_temporary(System& system, int directory, const std::string& prefix) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::array<unsigned char, kRandomPart> random{};
    if (system.random_bytes(random.data(), random.size()) != 0) {
      return std::unexpected(last_error());
    }
    std::string name = prefix;
    for (const unsigned char r : random) name.push_back(kAlphabet[r % kAlphabet.size()]);
    SignalHold held;
    held.hold();
    const int fd = retry([&] {
      return system.openat(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    });
    if (fd >= 0) {
      SignalCleanup cleanup(directory, name);
      return Temporary{Fd(system, fd), std::move(name), std::move(cleanup)};
    }
    if (errno != EEXIST) return std::unexpected(last_error());
  }
  return std::unexpected(std::error_code(EEXIST, std::generic_category()));
}

void remove_stale_temporaries(System& system, int directory, const std::string& prefix) {
  std::vector<std::string> names;
  if (system.list_directory(directory, names) != 0) return;
  for (const auto& name : names) {
    if (name.size() == prefix.size() + kRandomPart && name.starts_with(prefix)) {
      (void)system.unlinkat(directory, name.c_str(), 0);
    }
  }
}

// Appends `length` bytes of `from` at `offset` to `to`: by the kernel where
// it can copy between the two files, through a buffer where it cannot.
Result<void> copy_range(System& system, int from, std::uint64_t offset, std::uint64_t length,
                        int to) {
  auto from_offset = static_cast<off_t>(offset);
  std::uint64_t left = length;
  while (left > 0) {
    const ssize_t n =
        retry([&] { return system.copy_file_range(from, &from_offset, to, nullptr, left); });
    if (n > 0) {
      left -= static_cast<std::uint64_t>(n);
      continue;
    }
    if (n == 0) return std::unexpected(std::error_code(EIO, std::generic_category()));
    if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) {
      return std::unexpected(last_error());
    }
    std::string buffer(static_cast<std::size_t>(std::min<std::uint64_t>(left, 1U << 20)), '\0');
    while (left > 0) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
      auto got = read_some_at(system, from, std::span(buffer.data(), want),
                              static_cast<std::uint64_t>(from_offset));
      if (!got) return std::unexpected(got.error());
      if (*got == 0) return std::unexpected(std::error_code(EIO, std::generic_category()));
      if (auto written = write_all(system, to, std::string_view(buffer.data(), *got)); !written) {
        return written;
      }
      from_offset += static_cast<off_t>(*got);
      left -= *got;
    }
  }
  return {};
}

bool may_not_make_files_here(const std::error_code& error) {
  return error == std::errc::permission_denied || error == std::errc::operation_not_permitted ||
         error == std::errc::read_only_file_system;
}

}  // namespace

// --- replacing a file --------------------------------------------------------------------

Replacement::Replacement(System& system, Location location) noexcept
    : system_(&system), location_(std::move(location)) {}

Replacement::Replacement(Replacement&& other) noexcept
    : system_(other.system_),
      location_(std::move(other.location_)),
      lock_(other.lock_),
      path_(std::move(other.path_)),
      temporary_(std::move(other.temporary_)),
      temporary_name_(std::exchange(other.temporary_name_, {})),
      cleanup_(std::move(other.cleanup_)),
      in_place_(other.in_place_),
      overwritten_(other.overwritten_),
      pending_(std::move(other.pending_)),
      source_fd_(other.source_fd_),
      source_(other.source_) {}

Replacement::~Replacement() {
  discard_temporary();
}

void Replacement::discard_temporary() noexcept {
  if (temporary_name_.empty()) return;
  SignalHold held;
  held.hold();
  temporary_.reset();
  (void)system_->unlinkat(location_.directory.get(), temporary_name_.c_str(), 0);
  temporary_name_.clear();
  cleanup_.release();
}

Result<Replacement> Replacement::create(System& system, Location location) {
  Replacement replacement(system, std::move(location));
  const int directory = replacement.location_.directory.get();
  auto temporary = make_temporary(system, directory, temporary_prefix(replacement.location_.name));
  if (!temporary) return std::unexpected(temporary.error());
  replacement.temporary_ = std::move(temporary->fd);
  replacement.temporary_name_ = std::move(temporary->name);
  replacement.cleanup_ = std::move(temporary->cleanup);
  // The file holds the signing seed: its owner alone may read it, whatever
  // the umask or the directory's default ACL would give.
  const int fd = replacement.temporary_.get();
  if (system.fremovexattr(fd, kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP) {
    return std::unexpected(last_error());
  }
  if (system.fchmod(fd, 0600) != 0) return std::unexpected(last_error());
  return replacement;
}

Result<Replacement> Replacement::replace(System& system, const Lock& lock, Location location,
                                         std::string path) {
  Replacement replacement(system, std::move(location));
  replacement.lock_ = &lock;
  replacement.path_ = std::move(path);
  const int directory = replacement.location_.directory.get();
  // Mode, owner and group as they are now, under the lock: a chmod made
  // while the command ran is kept.
  auto old = Metadata::read(system, lock.fd());
  if (!old) return std::unexpected(old.error());

  // A read-only state file is never replaced just because its directory may
  // be written to.
  {
    const int writable = retry([&] {
      return system.openat(directory, replacement.location_.name.c_str(),
                           O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0);
    });
    if (writable < 0) return std::unexpected(last_error());
    (void)system.close(writable);
  }

  const std::string prefix = temporary_prefix(replacement.location_.name);
  remove_stale_temporaries(system, directory, prefix);
  auto temporary = make_temporary(system, directory, prefix);
  if (!temporary) {
    if (!may_not_make_files_here(temporary.error())) return std::unexpected(temporary.error());
    replacement.in_place_ = true;
    replacement.stage_elsewhere();
    return replacement;
  }
  replacement.temporary_ = std::move(temporary->fd);
  replacement.temporary_name_ = std::move(temporary->name);
  replacement.cleanup_ = std::move(temporary->cleanup);

  // The new file gets what the old one had, or the old one is written in
  // place: a copy must never let anyone read the seed who could not before.
  const int fd = replacement.temporary_.get();
  if (!old->carry_to(system, fd)) {
    // The copy stays as the new text that is then written over the old file.
    // The group of the file may read it as it reads the file (so that a
    // save killed half-way can be finished by another member or the owner);
    // where the file has an ACL, or the group cannot be given, this user
    // alone may.
    replacement.in_place_ = true;
    const bool shared =
        !old->has_access_acl() && system.fchown(fd, static_cast<uid_t>(-1), old->group()) == 0 &&
        (system.fremovexattr(fd, kAccessAcl) == 0 || errno == ENODATA || errno == ENOTSUP) &&
        system.fchmod(fd, old->mode() & 0660) == 0;
    if (!shared && system.fchmod(fd, 0600) != 0) {
      replacement.discard_temporary();
      replacement.stage_elsewhere();
    }
  }
  return replacement;
}

void Replacement::stage_elsewhere() noexcept {
  // An unnamed file in the temporary directory holds the new text, so that
  // it is never all in memory; without one, memory it is.
  const char* directory = std::getenv("TMPDIR");
  if (directory == nullptr || *directory == '\0') directory = "/tmp";
  const int fd =
      retry([&] { return system_->open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); });
  if (fd >= 0) temporary_ = Fd(*system_, fd);
}

Result<void> Replacement::flush() {
  if (pending_.empty() || !temporary_) return {};
  if (auto written = write_all(*system_, temporary_.get(), pending_); !written) return written;
  pending_.clear();
  return {};
}

Result<void> Replacement::append(std::string_view bytes) {
  pending_.append(bytes);
  if (pending_.size() >= (std::size_t{1} << 20)) return flush();
  return {};
}

Result<void> Replacement::append_copy(int from, std::uint64_t offset, std::uint64_t length) {
  if (!temporary_) {
    // Written in place from memory, the new text may read its own old file:
    // it is all read before the first byte is written.
    const std::size_t start = pending_.size();
    pending_.resize(start + length);
    return read_exact_at(*system_, from, std::span(pending_).subspan(start), offset);
  }
  if (auto flushed = flush(); !flushed) return flushed;
  return copy_range(*system_, from, offset, length, temporary_.get());
}

Result<void> Replacement::check_path_still_leads_to_the_lock() {
  if (lock_ == nullptr) return {};
  struct stat named {};
  struct stat located {};
  if (system_->stat(path_.c_str(), &named) != 0 || !same_file(named, lock_->file().info) ||
      system_->fstatat(location_.directory.get(), location_.name.c_str(), &located,
                       AT_SYMLINK_NOFOLLOW) != 0 ||
      !same_file(located, lock_->file().info)) {
    return std::unexpected(Errc::path_switched);
  }
  return {};
}

Result<void> Replacement::check_source_unchanged() {
  if (source_fd_ < 0) return {};
  struct stat now {};
  if (system_->fstat(source_fd_, &now) != 0) return std::unexpected(last_error());
  if (!unchanged(source_, now)) return std::unexpected(Errc::changed_in_place);
  return {};
}

Result<void> Replacement::commit(SignalHold& hold) {
  if (in_place_) return commit_in_place(hold);
  if (auto flushed = flush(); !flushed) return flushed;
  const int directory = location_.directory.get();
  const int fd = temporary_.get();
  if (retry([&] { return system_->fsync(fd); }) != 0) return std::unexpected(last_error());
  if (lock_ != nullptr) {
    if (auto checked = check_path_still_leads_to_the_lock(); !checked) return checked;
    if (auto closed = temporary_.close(); !closed) return closed;
    if (auto checked = check_source_unchanged(); !checked) return checked;
    hold.hold();
    if (system_->renameat(directory, temporary_name_.c_str(), directory, location_.name.c_str()) !=
        0) {
      const auto error = last_error();
      // A file mounted on its own name (a bind mount) or across file
      // systems cannot be renamed over: it takes the new text in place.
      if (error != std::errc::device_or_resource_busy && error != std::errc::cross_device_link) {
        return std::unexpected(error);
      }
      const int copy = retry([&] {
        return system_->openat(directory, temporary_name_.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
      });
      if (copy < 0) return std::unexpected(last_error());
      Fd source(*system_, copy);
      struct stat written {};
      if (system_->fstat(copy, &written) != 0) return std::unexpected(last_error());
      auto result = write_in_place(hold, copy, static_cast<std::uint64_t>(written.st_size));
      source.reset();
      end_in_place(result.has_value());
      return result;
    }
    temporary_name_.clear();
    cleanup_.release();
  } else {
    hold.hold();
    // link() never replaces: a file that appeared since is kept, and EEXIST
    // says so.
    if (system_->linkat(directory, temporary_name_.c_str(), directory, location_.name.c_str(), 0) !=
        0) {
      const auto error = last_error();
      if (error != std::errc::operation_not_permitted && error != std::errc::not_supported) {
        return std::unexpected(error);
      }
      // A file system without hard links: make the file exclusively and copy.
      const int made = retry([&] {
        return system_->openat(directory, location_.name.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      });
      if (made < 0) return std::unexpected(last_error());
      Fd target(*system_, made);
      struct stat written {};
      if (system_->fstat(fd, &written) != 0) return std::unexpected(last_error());
      if (auto copied =
              copy_range(*system_, fd, 0, static_cast<std::uint64_t>(written.st_size), made);
          !copied) {
        return copied;
      }
      if (retry([&] { return system_->fsync(made); }) != 0) return std::unexpected(last_error());
      if (auto closed = target.close(); !closed) return closed;
    }
    discard_temporary();
  }
  // The rename is on disk once its directory is.
  sync_directory(*system_, directory);
  return {};
}

Result<void> Replacement::commit_in_place(SignalHold& hold) {
  if (auto checked = check_source_unchanged(); !checked) return checked;
  if (!temporary_) return write_in_place(hold, -1, pending_.size());
  if (auto flushed = flush(); !flushed) return flushed;
  struct stat staged {};
  if (system_->fstat(temporary_.get(), &staged) != 0) return std::unexpected(last_error());
  auto written = write_in_place(hold, temporary_.get(), static_cast<std::uint64_t>(staged.st_size));
  end_in_place(written.has_value());
  return written;
}

void Replacement::end_in_place(bool written) noexcept {
  if (!written && overwritten_ && temporary_name_ == roll_forward_name(location_.name)) {
    // The file is torn: its whole new text stays for the next command.
    temporary_.reset();
    temporary_name_.clear();
    return;
  }
  discard_temporary();
}

Result<void> Replacement::keep_for_roll_forward(int from) {
  // On disk, whole, under the name that says so, before the old text is
  // touched.
  if (retry([&] { return system_->fsync(from); }) != 0) return std::unexpected(last_error());
  const int directory = location_.directory.get();
  std::string name = roll_forward_name(location_.name);
  if (system_->renameat(directory, temporary_name_.c_str(), directory, name.c_str()) != 0) {
    return std::unexpected(last_error());
  }
  temporary_name_ = std::move(name);
  cleanup_.release();
  sync_directory(*system_, directory);
  return {};
}

Result<void> Replacement::write_in_place(SignalHold& hold, int from, std::uint64_t size) {
  if (auto checked = check_path_still_leads_to_the_lock(); !checked) return checked;
  const int fd = retry([&] {
    return system_->openat(location_.directory.get(), location_.name.c_str(),
                           O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0);
  });
  if (fd < 0) return std::unexpected(last_error());
  Fd target(*system_, fd);
  struct stat info {};
  if (system_->fstat(fd, &info) != 0) return std::unexpected(last_error());
  if (!same_file(info, lock_->file().info)) return std::unexpected(Errc::path_switched);
  const auto old_size = static_cast<std::uint64_t>(info.st_size);
  // Readers of the file are let finish, and new ones wait, until the new
  // text is whole (the lock goes with the descriptor).
  lock_text(*system_, fd, F_WRLCK);

  // A file-size limit would stop the write half-way (SIGXFSZ): it is
  // checked before the old text is touched.
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      size > limit.rlim_cur) {
    return std::unexpected(std::error_code(EFBIG, std::generic_category()));
  }

  // The bytes of the new text at `offset`: from the held text or the file
  // `from`.
  std::string buffer;
  auto piece = [&](std::uint64_t offset, std::uint64_t length) -> Result<std::string_view> {
    if (from < 0) {
      return std::string_view(pending_).substr(static_cast<std::size_t>(offset),
                                               static_cast<std::size_t>(length));
    }
    buffer.resize(static_cast<std::size_t>(length));
    if (auto read = read_exact_at(*system_, from, buffer, offset); !read) {
      return std::unexpected(read.error());
    }
    return std::string_view(buffer);
  };
  constexpr std::uint64_t kPiece = std::uint64_t{1} << 20;
  auto write_range = [&](std::uint64_t begin, std::uint64_t end) -> Result<void> {
    for (std::uint64_t at = begin; at < end;) {
      const std::uint64_t length = std::min(kPiece, end - at);
      auto bytes = piece(at, length);
      if (!bytes) return std::unexpected(bytes.error());
      if (auto written = write_all_at(*system_, fd, *bytes, at); !written) return written;
      at += length;
    }
    return {};
  };

  // Room for the whole new text first: a full disk fails here, before the
  // old text is touched.
  hold.hold();
  if (from >= 0 && !temporary_name_.empty()) {
    if (auto kept = keep_for_roll_forward(from); !kept) return kept;
  }
  std::uint64_t rest = size;
  if (size > 0 && system_->fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0) {
    const auto error = last_error();
    if (error != std::errc::not_supported && error != std::errc::function_not_supported &&
        error != std::errc::operation_not_supported) {
      return std::unexpected(error);
    }
    // Without fallocate the part beyond the old end is written first: where
    // the disk cannot take it, the file is cut back to its old text.
    if (size > old_size) {
      if (auto grown = write_range(old_size, size); !grown) {
        (void)system_->ftruncate(fd, static_cast<off_t>(old_size));
        return grown;
      }
      rest = old_size;
    }
  }
  overwritten_ = true;
  if (auto written = write_range(0, rest); !written) return written;
  if (system_->ftruncate(fd, static_cast<off_t>(size)) != 0) return std::unexpected(last_error());
  if (retry([&] { return system_->fsync(fd); }) != 0 && errno != EINVAL) {
    return std::unexpected(last_error());
  }
  return target.close();
}

}  // namespace corvane::files
