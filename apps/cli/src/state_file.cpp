// The state file on disk: found by its path as given, read whole, written
// whole.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "corvane/cli/state.hpp"

namespace corvane::cli {
namespace {

constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";

// The path's bytes as the OS wants them, or nothing if it holds a NUL byte.
std::optional<std::string> os_path(const std::filesystem::path& path) {
  const std::string& native = path.native();
  if (native.find('\0') != std::string::npos) return std::nullopt;
  return native;
}

// Appends the next character of `bytes` at `i` as UTF-8, or U+FFFD for a
// maximal run of bytes that cannot begin a character; advances `i`.
void append_lossy_char(std::string& out, std::string_view bytes, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) {
    out.push_back(static_cast<char>(lead));
    ++i;
    return;
  }
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  std::size_t valid = length == 0 ? 0 : 1;
  while (valid > 0 && valid < length && i + valid < bytes.size()) {
    const unsigned char c = byte(i + valid);
    const unsigned char lo = valid == 1 ? low : 0x80;
    const unsigned char hi = valid == 1 ? high : 0xBF;
    if (c < lo || c > hi) break;
    ++valid;
  }
  if (length != 0 && valid == length) {
    out.append(bytes.substr(i, length));
    i += length;
    return;
  }
  out.append("\xEF\xBF\xBD");
  i += valid == 0 ? 1 : valid;
}

}  // namespace

std::string os_error_description(int error_number) {
  char buffer[256];
  const char* text = strerror_r(error_number, buffer, sizeof buffer);
  return fmt::format("{} (os error {})", text, error_number);
}

std::string display_path(const std::filesystem::path& path) {
  const std::string& bytes = path.native();
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) append_lossy_char(out, bytes, i);
  return out;
}

bool state_exists(const std::filesystem::path& path) {
  const auto native = os_path(path);
  struct stat info {};
  return native && ::stat(native->c_str(), &info) == 0;
}

std::expected<CliState, std::string> load_state(const std::filesystem::path& path) {
  const auto fail = [&](std::string_view description) {
    return std::unexpected(fmt::format("{}: {} (run init first)", display_path(path), description));
  };
  const auto native = os_path(path);
  if (!native) return fail(kNulInPath);
  const int fd = ::open(native->c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(os_error_description(errno));
  std::string bytes;
  struct stat info {};
  if (::fstat(fd, &info) == 0 && info.st_size > 0) bytes.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      bytes.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      const int error = errno;
      ::close(fd);
      return fail(os_error_description(error));
    }
  }
  ::close(fd);
  return decode_state(bytes);
}

std::expected<void, std::string> save_state(const std::filesystem::path& path,
                                            const CliState& state) {
  const std::string text = encode_state(state);
  const auto native = os_path(path);
  if (!native) return std::unexpected(std::string(kNulInPath));
  const int fd = ::open(native->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return std::unexpected(os_error_description(errno));
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
    } else if (n == 0) {
      ::close(fd);
      return std::unexpected(std::string("failed to write whole buffer"));
    } else if (errno != EINTR) {
      const int error = errno;
      ::close(fd);
      return std::unexpected(os_error_description(error));
    }
  }
  if (::close(fd) != 0) return std::unexpected(os_error_description(errno));
  return {};
}

}  // namespace corvane::cli
