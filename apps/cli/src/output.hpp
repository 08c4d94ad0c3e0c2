#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>

#include "corvane/files/system.hpp"

namespace corvane::cli {

// What a command prints on standard output: lines, gathered in a buffer and
// written in large pieces. On a terminal the control characters of stored or
// typed text are shown escaped (`\n`, `\x1b`), so that no text can move the
// cursor, change colours or retitle the window; elsewhere the bytes are
// written as they are. After the first failed write everything else is
// dropped and the failure is kept.
class Output {
 public:
  Output(files::System& system, int fd, bool terminal)
      : system_(system), fd_(fd), terminal_(terminal) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Part of the current line.
  void append(std::string_view text);
  // Ends the current line.
  void end_line();
  // Writes what is gathered; returns the first failure, if any.
  std::error_code flush();

 private:
  files::System& system_;
  int fd_;
  bool terminal_;
  std::string buffer_;
  std::error_code failure_;
};

// `text` with every control character (C0, DEL and C1) written as an escape:
// `\n`, `\r`, `\t`, or `\xHH` (C1 characters as `\u{HH}`).
[[nodiscard]] std::string escape_controls(std::string_view text);

}  // namespace corvane::cli
