// Force-included (-include) in every translation unit of the clang fuzz build
// when configuring finds it needed; never part of the g++ build.
//
// libstdc++ 12 gives std::pair a C++20 default constructor whose
// explicit(bool) clang evaluates as soon as the pair is instantiated. For a
// type that holds a vector of pairs of itself (varnholt::json::Content) that asks
// for the type's destructor, which needs the pair complete: clang rejects the
// cycle, g++ does not. Parsing <bits/stl_pair.h> with __cpp_lib_concepts
// hidden selects libstdc++'s C++17 constructors instead, which are templates
// and so evaluated lazily. Headers that define the macro are included first,
// so their include guards keep it hidden while the pair is parsed.
#pragma once

#include <compare>
#include <concepts>
#include <version>

#pragma push_macro("__cpp_lib_concepts")
#undef __cpp_lib_concepts
#include <utility>
#pragma pop_macro("__cpp_lib_concepts")
