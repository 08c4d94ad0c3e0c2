#pragma once

// Fuzz targets for every parser that reads text from outside the program: the
// state file (whole, and streamed against the whole-buffer reader it replaced),
// canonical JSON, timestamps, signatures and identifiers.
//
// Each target takes arbitrary bytes, must never crash, hang or run into
// undefined behaviour, and checks the properties its parser promises (a value
// that was read writes back to text that reads to the same value, failures
// carry a message). A broken property ends the process through fuzz_failure,
// so libFuzzer and the corpus replay test treat it like a crash.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvane::fuzz {

using Target = int (*)(const std::uint8_t* data, std::size_t size);

int fuzz_state(const std::uint8_t* data, std::size_t size);
int fuzz_stream(const std::uint8_t* data, std::size_t size);
int fuzz_canonical(const std::uint8_t* data, std::size_t size);
int fuzz_timestamp(const std::uint8_t* data, std::size_t size);
int fuzz_signature(const std::uint8_t* data, std::size_t size);
int fuzz_uuid(const std::uint8_t* data, std::size_t size);

struct NamedTarget {
  std::string_view name;  // also the folder of its regressions
  Target run;
  std::string_view corpus;  // the folder of its seeds
};

inline constexpr std::array<NamedTarget, 6> kTargets = {{
    {"state", fuzz_state, "state"},
    {"stream", fuzz_stream, "state"},
    {"canonical", fuzz_canonical, "canonical"},
    {"timestamp", fuzz_timestamp, "timestamp"},
    {"signature", fuzz_signature, "signature"},
    {"uuid", fuzz_uuid, "uuid"},
}};

// Names the input being replayed, so that a broken property says which file
// broke it. libFuzzer saves the input itself and leaves this unset.
void set_current_input(std::string_view name);

// Reports a broken property of `target` and aborts.
[[noreturn]] void fuzz_failure(std::string_view target, std::string_view what);

}  // namespace corvane::fuzz
