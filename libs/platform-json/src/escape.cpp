#include "varnholt/json/escape.hpp"

#include <cstdint>

#include "string_bytes.hpp"

namespace varnholt::json {

void append_string(std::string& out, std::string_view text) {
  out.push_back('"');
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    i = detail::plain_run_end(text, i);
    if (i == text.size()) break;
    const auto byte = static_cast<std::uint8_t>(text[i]);
    out.append(text.substr(run_start, i - run_start));
    run_start = i + 1;
    out.append(written_escape(byte));
  }
  out.append(text.substr(run_start));
  out.push_back('"');
}

}  // namespace varnholt::json
