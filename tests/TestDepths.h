// Depth rules for tests: deep throughout, and deep and shallow in turn. Deep, the walk leaves its
// readers every entry they may fetch, so that which thread fetches an entry is certain.
#pragma once

#include <cstdint>

#include "DepthPolicy.h"

/// Deep throughout; and deep for the walk's first 16 asks, then shallow and deep in turn.
inline constexpr DepthRule kDeepThroughout{nullptr, [](void*, std::int64_t) noexcept {},
                                           [](void*) noexcept { return true; }};
inline std::uint64_t deepAndShallowAsked = 0;
inline constexpr DepthRule kDeepAndShallowInTurn{
    &deepAndShallowAsked, [](void*, std::int64_t) noexcept {},
    [](void* asked) noexcept { return (*static_cast<std::uint64_t*>(asked))++ / 16 % 2 == 0; }};
