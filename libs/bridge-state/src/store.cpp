#include "corvane/state/store.hpp"

#include <new>

#include "corvane/state/codec.hpp"

namespace corvane::state {

namespace {

using Failure = std::unexpected<std::string>;

constexpr std::string_view kOutOfMemory = "out of memory";

Failure cannot_read(const std::filesystem::path& path, std::error_code error) {
  return Failure(files::display_path(path) + ": " + files::describe(error) + " (run init first)");
}

// A save that failed: the system's description, or the path that now leads
// elsewhere.
Failure cannot_write(const std::filesystem::path& path, std::error_code error) {
  if (error == files::Errc::path_switched) {
    return Failure(files::display_path(path) +
                   " now leads to another file than the one this command read; nothing was "
                   "written");
  }
  return Failure(files::describe(error));
}

// Reads the whole file open as `fd`.
files::Result<std::string> read_whole(files::System& system, const files::OpenFile& file) {
  std::string bytes;
  if (file.info.st_size > 0) bytes.reserve(static_cast<std::size_t>(file.info.st_size));
  char buffer[1 << 16];
  for (;;) {
    auto n = files::read_some(system, file.fd.get(), buffer);
    if (!n) return std::unexpected(n.error());
    if (*n == 0) return bytes;
    bytes.append(buffer, *n);
  }
}

}  // namespace

bool state_exists(const std::filesystem::path& path, files::System& system) {
  const auto native = files::system_path(path);
  return native && files::exists(system, *native);
}

std::expected<void, std::string> Store::create(const std::filesystem::path& path,
                                               const CliState& state, files::System& system) {
  const auto native = files::system_path(path);
  if (!native) return Failure(files::describe(native.error()));
  auto location = files::locate_new(system, *native);
  if (!location) return Failure(files::describe(location.error()));
  auto file = files::Replacement::create(system, std::move(*location));
  if (!file) return Failure(files::describe(file.error()));
  std::expected<void, std::error_code> written;
  try {
    written = file->append(encode_state(state));
  } catch (const std::bad_alloc&) {
    return Failure(std::string(kOutOfMemory));
  }
  if (written) written = file->commit();
  if (!written) {
    if (written.error() == std::errc::file_exists) {
      return Failure(files::display_path(path) + " already exists");
    }
    return Failure(files::describe(written.error()));
  }
  return {};
}

std::expected<Store, std::string> Store::open(const std::filesystem::path& path, Access access,
                                              files::System& system,
                                              std::chrono::milliseconds timeout) {
  const auto native = files::system_path(path);
  if (!native) return cannot_read(path, native.error());
  Store store(system, path);
  files::Result<files::OpenFile> opened;
  const files::OpenFile* file = nullptr;
  if (access == Access::Change) {
    auto lock = files::Lock::acquire(system, *native, timeout);
    if (!lock) {
      if (lock.error() == files::Errc::locked) {
        return Failure(
            files::display_path(path) + " is locked by another process; gave up after " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) +
            " seconds");
      }
      return cannot_read(path, lock.error());
    }
    store.lock_.emplace(std::move(*lock));
    file = &store.lock_->file();
  } else {
    opened = files::open_regular(system, *native);
    if (!opened) return cannot_read(path, opened.error());
    file = &*opened;
  }
  try {
    auto bytes = read_whole(system, *file);
    if (!bytes) return cannot_read(path, bytes.error());
    auto decoded = decode_state(*bytes);
    if (!decoded) return Failure(std::move(decoded.error()));
    store.state_ = std::move(*decoded);
  } catch (const std::bad_alloc&) {
    return Failure(std::string(kOutOfMemory));
  }
  if (access == Access::Change) {
    // The file is found once, where the kernel resolved the path, and the
    // same file is replaced later.
    auto location = files::locate(system, *file, *native);
    if (!location) return cannot_write(path, location.error());
    store.location_.emplace(std::move(*location));
  }
  return store;
}

std::expected<void, std::string> Store::save() {
  if (!lock_ || !location_) return Failure("the state file is not held for changing");
  const auto native = files::system_path(path_);
  if (!native) return cannot_write(path_, native.error());
  auto file = files::Replacement::replace(*system_, *lock_, std::move(*location_), *native);
  location_.reset();
  if (!file) return cannot_write(path_, file.error());
  files::Result<void> written;
  try {
    written = file->append(encode_state(state_));
  } catch (const std::bad_alloc&) {
    return Failure(std::string(kOutOfMemory));
  }
  if (written) written = file->commit();
  if (!written) return cannot_write(path_, written.error());
  return {};
}

void Store::release() noexcept {
  lock_.reset();
  location_.reset();
}

}  // namespace corvane::state
