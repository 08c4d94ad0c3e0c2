#pragma once

// The file layer's failures are error codes: the system's error numbers, plus
// the few faults of this layer's own (`Errc`). They become text only at the
// edge, with `describe`.

#include <expected>
#include <filesystem>
#include <string>
#include <system_error>
#include <type_traits>

namespace corvane::files {

// Faults of the file layer's own.
enum class Errc {
  write_returned_zero = 1,  // "failed to write whole buffer"
  not_regular_file,         // a FIFO, a device, a socket: never read or replaced
  path_switched,            // the path names another file than the one locked
  nul_in_path,              // "file name contained an unexpected NUL byte"
  locked,                   // another process held the lock until the time ran out
  changed_in_place,         // the file the new text was made from changed meanwhile
};
[[nodiscard]] const std::error_category& error_category() noexcept;
[[nodiscard]] std::error_code make_error_code(Errc errc) noexcept;

}  // namespace corvane::files

template <>
struct std::is_error_code_enum<corvane::files::Errc> : std::true_type {};

namespace corvane::files {

template <typename T>
using Result = std::expected<T, std::error_code>;

// The code of the system call that just failed.
[[nodiscard]] std::error_code last_error() noexcept;

// The text of an error: "No such file or directory (os error 2)" for the
// system's errors (its message, then the error number), the layer's own text
// for the others.
[[nodiscard]] std::string describe(std::error_code error);

// A path as text; bytes that are not UTF-8 are shown as U+FFFD.
[[nodiscard]] std::string display_path(const std::filesystem::path& path);

// The path as the system takes it; fails with nul_in_path when it holds a NUL.
[[nodiscard]] Result<std::string> system_path(const std::filesystem::path& path);

}  // namespace corvane::files
