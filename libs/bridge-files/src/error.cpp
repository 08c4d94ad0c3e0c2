#include "corvane/files/error.hpp"

#include <cerrno>
#include <cstring>

#include "varnholt/text/utf8.hpp"

namespace corvane::files {

namespace {

class Category final : public std::error_category {
 public:
  [[nodiscard]] const char* name() const noexcept override { return "corvane.files"; }
  [[nodiscard]] std::string message(int value) const override {
    switch (static_cast<Errc>(value)) {
      case Errc::write_returned_zero:
        return "failed to write whole buffer";
      case Errc::not_regular_file:
        return "not a regular file";
      case Errc::path_switched:
        return "the path now leads to another file than the one that was read";
      case Errc::nul_in_path:
        return "file name contained an unexpected NUL byte";
      case Errc::locked:
        return "locked by another process";
      case Errc::changed_in_place:
        return "the file was changed in place while it was read";
    }
    return "unknown file error";
  }
};

}  // namespace

const std::error_category& error_category() noexcept {
  static const Category category;
  return category;
}

std::error_code make_error_code(Errc errc) noexcept {
  return {static_cast<int>(errc), error_category()};
}

std::error_code last_error() noexcept {
  return {errno, std::generic_category()};
}

std::string describe(std::error_code error) {
  if (error.category() != std::generic_category() && error.category() != std::system_category()) {
    return error.message();
  }
  char buffer[256];
  const char* text = ::strerror_r(error.value(), buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(error.value()) + ")";
}

std::string display_path(const std::filesystem::path& path) {
  return varnholt::text::to_lossy_utf8(path.native());
}

Result<std::string> system_path(const std::filesystem::path& path) {
  const std::string& native = path.native();
  if (native.find('\0') != std::string::npos) return std::unexpected(Errc::nul_in_path);
  return native;
}

}  // namespace corvane::files
