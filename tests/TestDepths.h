// Depth rules for tests: deep throughout, and deep and shallow in turn. Deep, the walk leaves its
// readers every entry they may fetch, so that which thread fetches an entry is certain.
#pragma once

#include <cstdint>

#include "DepthPolicy.h"

/// Deep from the first entry to the last; and deep for the first 16, then shallow and deep in turn.
inline constexpr DepthRule kDeepThroughout{nullptr, [](void*, std::int64_t) noexcept {},
                                           [](const void*, std::uint64_t) noexcept { return true; }};
inline constexpr DepthRule kDeepAndShallowInTurn{
    nullptr, [](void*, std::int64_t) noexcept {},
    [](const void*, std::uint64_t handedOver) noexcept { return handedOver / 16 % 2 == 0; }};
