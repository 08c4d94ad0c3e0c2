#pragma once

#include <string>
#include <string_view>

namespace varnholt::json {

// Appends `text` as a JSON string: between double quotes, with the quotation
// mark and the backslash escaped, U+0008/09/0A/0C/0D written \b \t \n \f \r,
// every other character below U+0020 written \u00XX (lower-case hex), and
// everything else, "/" and U+007F included, copied unchanged.
void append_string(std::string& out, std::string_view text);

}  // namespace varnholt::json
