#include "corvane/state/store.hpp"

#include <new>
#include <utility>

#include "corvane/state/codec.hpp"
#include "varnholt/crypto/sign.hpp"

namespace corvane::state {

namespace {

using Failure = std::unexpected<std::string>;

constexpr std::string_view kOutOfMemory = "out of memory";
// The log is read through a buffer of this size; the reader keeps only it.
constexpr std::size_t kReadBuffer = std::size_t{1} << 18;

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
  if (error == files::Errc::changed_in_place) {
    return Failure(files::display_path(path) +
                   " was changed in place while it was read; nothing was written");
  }
  return Failure(files::describe(error));
}

// The bytes of an open file for the reader: from where the file stands, or
// from a given offset (a second reading of the same open file).
class FileSource final : public varnholt::json::Source {
 public:
  FileSource(files::System& system, int fd, std::optional<std::uint64_t> from = std::nullopt)
      : system_(system), fd_(fd), offset_(from) {}

  std::size_t read(char* buffer, std::size_t size) override {
    if (error_) return 0;
    const std::span<char> into(buffer, size);
    auto n = offset_ ? files::read_some_at(system_, fd_, into, *offset_)
                     : files::read_some(system_, fd_, into);
    if (!n) {
      error_ = n.error();
      return 0;
    }
    if (offset_) *offset_ += *n;
    return *n;
  }
  [[nodiscard]] std::error_code error() const noexcept { return error_; }

 private:
  files::System& system_;
  int fd_;
  std::optional<std::uint64_t> offset_;
  std::error_code error_;
};

// Writes each delivery it is given as the next element of the log.
class LogWriter final : public ReadObserver {
 public:
  LogWriter(files::Replacement& file, bool first) : file_(file), first_(first) {}
  void on_delivery(const contracts::Delivery& delivery) override {
    append_log_element(pending_, delivery, first_);
    first_ = false;
    if (pending_.size() >= (std::size_t{1} << 16)) (void)flush();
  }
  files::Result<void> flush() {
    if (!result_ || pending_.empty()) return result_;
    result_ = file_.append(pending_);
    pending_.clear();
    return result_;
  }
  [[nodiscard]] bool wrote_any() const noexcept { return !first_; }

 private:
  files::Replacement& file_;
  bool first_;
  std::string pending_;
  files::Result<void> result_;
};

// Starts the signature checks as soon as reading has found the connectors
// and the seed.
class CheckStarter final : public ReadObserver {
 public:
  explicit CheckStarter(std::unique_ptr<router::SignatureChecks>& checks) : checks_(checks) {}
  void on_connectors(const CliState& state) override {
    const auto key = varnholt::crypto::SigningKey::from_bytes(state.approval_seed);
    checks_ =
        std::make_unique<router::SignatureChecks>(state.router.connectors, key.verifying_key());
  }

 private:
  std::unique_ptr<router::SignatureChecks>& checks_;
};

}  // namespace

bool state_exists(const std::filesystem::path& path, files::System& system) {
  const auto native = files::system_path(path);
  return native && files::exists(system, *native);
}

std::expected<void, std::string> Store::create(const std::filesystem::path& path,
                                               const CliState& state, files::System& system) {
  files::SignalHold hold;
  return create(path, state, hold, system);
}

std::expected<void, std::string> Store::create(const std::filesystem::path& path,
                                               const CliState& state, files::SignalHold& hold,
                                               files::System& system) {
  const auto native = files::system_path(path);
  if (!native) return Failure(files::describe(native.error()));
  auto location = files::locate_new(system, *native);
  if (!location) return Failure(files::describe(location.error()));
  auto file = files::Replacement::create(system, std::move(*location));
  if (!file) return Failure(files::describe(file.error()));
  files::Result<void> written;
  try {
    written = file->append(encode_state(state));
  } catch (const std::bad_alloc&) {
    return Failure(std::string(kOutOfMemory));
  }
  if (written) written = file->commit(hold);
  if (!written) {
    if (written.error() == std::errc::file_exists) {
      return Failure(files::display_path(path) + " already exists");
    }
    return Failure(files::describe(written.error()));
  }
  return {};
}

std::expected<Store, std::string> Store::open(const std::filesystem::path& path, Access access,
                                              Checks checks, files::System& system,
                                              std::chrono::milliseconds timeout,
                                              const files::WaitNotice& notice) {
  const auto native = files::system_path(path);
  if (!native) return cannot_read(path, native.error());
  Store store(system, path);
  if (access == Access::Change) {
    auto lock = files::Lock::acquire(system, *native, timeout, notice);
    if (!lock) {
      if (lock.error() == files::Errc::locked) {
        return Failure(
            files::display_path(path) + " is locked by another process; gave up after " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) +
            " seconds");
      }
      return cannot_read(path, lock.error());
    }
    // A save killed while it wrote over the file in place is finished first.
    if (auto finished = files::finish_interrupted_save(system, *lock, *native); !finished) {
      return cannot_write(path, finished.error());
    }
    store.lock_.emplace(std::move(*lock));
  } else {
    auto file = files::open_to_read(system, *native);
    if (!file) return cannot_read(path, file.error());
    store.file_.emplace(std::move(*file));
  }
  // What the file is as its reading begins: a save checks that it is still
  // so, since the log is copied from it.
  auto settled = files::settled_stat(system, store.fd());
  if (!settled) return cannot_read(path, settled.error());
  store.read_info_ = *settled;
  try {
    FileSource source(system, store.fd());
    varnholt::json::Reader reader(source, kReadBuffer);
    CheckStarter starter(store.checks_);
    auto read = read_state(reader, store.state_, store.log_,
                           checks == Checks::Signatures ? &starter : nullptr);
    if (source.error()) return cannot_read(path, source.error());
    if (!read) return Failure(read.error().describe());
  } catch (const std::bad_alloc&) {
    return Failure(std::string(kOutOfMemory));
  }
  if (access == Access::Change) {
    // The file is found once, where the kernel resolved the path, and the
    // same file is replaced later.
    auto location = files::locate(system, store.lock_->file(), *native);
    if (!location) return cannot_write(path, location.error());
    store.location_.emplace(std::move(*location));
  }
  return store;
}

std::expected<void, std::string> Store::for_each_delivery(ReadObserver& observer) {
  if (log_.count > 0) {
    try {
      // The open file is the one that was checked: a save by another run
      // replaces the path's file, never this one.
      FileSource source(*system_, fd(), log_.elements);
      varnholt::json::Reader reader(source, kReadBuffer);
      auto read = read_log(reader, observer);
      if (source.error()) return cannot_read(path_, source.error());
      if (!read) {
        return Failure(files::display_path(path_) +
                       " was changed in place while it was read: " + read.error().describe());
      }
    } catch (const std::bad_alloc&) {
      return Failure(std::string(kOutOfMemory));
    }
  }
  for (const auto& delivery : state_.router.deliveries) observer.on_delivery(delivery);
  return {};
}

std::expected<void, std::string> Store::save() {
  files::SignalHold hold;
  return save(hold);
}

std::expected<void, std::string> Store::save(files::SignalHold& hold) {
  if (!lock_ || !location_) return Failure("the state file is not held for changing");
  const auto native = files::system_path(path_);
  if (!native) return cannot_write(path_, native.error());
  auto file = files::Replacement::replace(*system_, *lock_, std::move(*location_), *native);
  location_.reset();
  if (!file) return cannot_write(path_, file.error());
  // The log is taken from the file: it must still be the text that was read
  // and checked when the new one is put in place.
  file->made_from(fd(), read_info_);

  try {
    // The file is the state's text with the log put in where it belongs: the
    // log of the file read (copied as it is when it is in the writer's own
    // layout, written again otherwise), then the deliveries appended since.
    auto appended = std::exchange(state_.router.deliveries, {});
    const Frame frame = encode_frame(state_);
    state_.router.deliveries = std::move(appended);

    files::Result<void> written = file->append(frame.head);
    bool first = true;
    if (written && log_.count > 0) {
      if (log_.own_layout) {
        written = file->append(kFirstSeparator);
        if (written) written = file->append_copy(fd(), log_.first, log_.end - log_.first);
        first = false;
      } else {
        LogWriter log_writer(*file, true);
        FileSource source(*system_, fd(), log_.elements);
        varnholt::json::Reader reader(source, kReadBuffer);
        auto read = read_log(reader, log_writer);
        if (source.error()) return cannot_write(path_, source.error());
        if (!read) {
          return Failure(files::display_path(path_) +
                         " was changed in place while it was read: " + read.error().describe());
        }
        written = log_writer.flush();
        first = !log_writer.wrote_any();
      }
    }
    std::string text;
    for (const auto& delivery : state_.router.deliveries) {
      append_log_element(text, delivery, first);
      first = false;
    }
    if (!first) text.append(kLogEnd);
    text.append(frame.tail);
    if (written) written = file->append(text);
    if (written) written = file->commit(hold);
    if (!written) return cannot_write(path_, written.error());
  } catch (const std::bad_alloc&) {
    return Failure(std::string(kOutOfMemory));
  }
  return {};
}

void Store::release() noexcept {
  lock_.reset();
  file_.reset();
  location_.reset();
}

}  // namespace corvane::state
