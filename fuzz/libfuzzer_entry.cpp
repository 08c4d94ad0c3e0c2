// The libFuzzer entry point of one target; CORVANE_FUZZ_ENTRY names its
// function (set per executable by fuzz/CMakeLists.txt).

#include <cstddef>
#include <cstdint>

#include "targets.hpp"

#ifndef CORVANE_FUZZ_ENTRY
#error "CORVANE_FUZZ_ENTRY must name the fuzz target function"
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return corvane::fuzz::CORVANE_FUZZ_ENTRY(data, size);
}
