#pragma once

// Where a file lives: the directory it is in, held open, and its name there,
// so that a file is replaced in the directory it was found in.

#include <string>

#include "corvane/files/descriptor.hpp"
#include "corvane/files/error.hpp"
#include "corvane/files/system.hpp"

namespace corvane::files {

// Where a file lives: its directory, open, and its name there.
struct Location {
  Fd directory;
  std::string name;
};

// Where the file open as `file` lives, as the kernel resolved the path it was
// opened by (symbolic links are followed once, by the kernel, so its
// protections apply).
[[nodiscard]] Result<Location> locate(System& system, const OpenFile& file,
                                      const std::string& opened_as);

// Where a new file named by `path` is to be made: symbolic links are followed
// (at most 40), a dangling one naming the file to create. A link in a sticky
// directory that everyone may write to is followed only when this user or
// the directory's owner owns it, as the kernel's own rule for such links has
// it; otherwise EACCES.
[[nodiscard]] Result<Location> locate_new(System& system, const std::string& path);

}  // namespace corvane::files
