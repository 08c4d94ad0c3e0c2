#pragma once

// An in-place save keeps the whole new text beside the file while it writes
// it over the old text: readers read that copy, and a save killed meanwhile
// is finished by the next command that changes the file.

#include <string>
#include <string_view>

#include "corvane/files/descriptor.hpp"
#include "corvane/files/error.hpp"
#include "corvane/files/lock.hpp"
#include "corvane/files/system.hpp"

namespace corvane::files {

// The name beside the file `name` under which an in-place save keeps the
// whole new text, flushed to disk, while it writes it over the old text: its
// presence says that the file may be torn and that this is its text.
[[nodiscard]] std::string roll_forward_name(std::string_view name);

// Opens an existing state file to read it, as `open_regular`, and waits
// while a save writes over its text in place: from then until the
// descriptor is closed, such a write waits instead (a replacement, which
// never touches the open file, does not). A file system without record
// locks reads without. Where an in-place save was killed while it wrote,
// the whole new text it left beside the file is opened instead, when this
// user may read it.
[[nodiscard]] Result<OpenFile> open_to_read(System& system, const std::string& path);

// Finishes an in-place save of the locked file that was killed while it
// wrote over the old text: the whole new text it left beside the file
// (under `roll_forward_name`) is written over it and then removed. Nothing
// to do when there is none, or when the one there was not made by this
// user, the file's owner, or (in a directory not everyone may write to) a
// member of the group that may write the file.
[[nodiscard]] Result<void> finish_interrupted_save(System& system, const Lock& lock,
                                                   const std::string& path);

}  // namespace corvane::files
