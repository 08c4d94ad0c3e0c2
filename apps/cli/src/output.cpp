#include "output.hpp"

#include <cstdint>

#include "corvane/files/files.hpp"
#include "varnholt/text/hex.hpp"

namespace corvane::cli {

namespace {

constexpr std::size_t kFlushAt = std::size_t{1} << 16;

void append_escaped(std::string& out, std::string_view text) {
  std::size_t plain = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<std::uint8_t>(text[i]);
    // C1 controls are U+0080 to U+009F: the two bytes C2 80 to C2 9F.
    const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                    static_cast<std::uint8_t>(text[i + 1]) >= 0x80 &&
                    static_cast<std::uint8_t>(text[i + 1]) <= 0x9F;
    if (byte >= 0x20 && byte != 0x7F && !c1) continue;
    out.append(text.substr(plain, i - plain));
    if (c1) {
      out.append("\\u{");
      varnholt::text::append_hex_byte(out, static_cast<std::uint8_t>(text[i + 1]));
      out.push_back('}');
      ++i;
    } else if (byte == '\n') {
      out.append("\\n");
    } else if (byte == '\r') {
      out.append("\\r");
    } else if (byte == '\t') {
      out.append("\\t");
    } else {
      out.append("\\x");
      varnholt::text::append_hex_byte(out, byte);
    }
    plain = i + 1;
  }
  out.append(text.substr(plain));
}

}  // namespace

std::string escape_controls(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_escaped(out, text);
  return out;
}

void Output::append(std::string_view text) {
  if (failure_) return;
  if (terminal_) {
    append_escaped(buffer_, text);
  } else {
    buffer_.append(text);
  }
  if (buffer_.size() >= kFlushAt) (void)flush();
}

void Output::end_line() {
  if (failure_) return;
  buffer_.push_back('\n');
  if (buffer_.size() >= kFlushAt) (void)flush();
}

std::error_code Output::flush() {
  if (!failure_ && !buffer_.empty()) {
    if (auto written = files::write_all(system_, fd_, buffer_); !written)
      failure_ = written.error();
  }
  buffer_.clear();
  return failure_;
}

}  // namespace corvane::cli
