// Depth rules for tests: deep throughout, and deep and shallow in turn. Deep, the walk leaves its
// readers every entry they may fetch, so that which thread fetches an entry is certain.
#pragma once

#include <cstdint>

#include "DepthPolicy.h"

inline void CountNothing(void*, std::int64_t) noexcept {}

/// Deep from the first entry to the last.
inline constexpr DepthRule kDeepThroughout{nullptr, CountNothing,
                                           [](const void*, std::uint64_t) noexcept { return true; }};

/// Deep for the first 16 entries, then shallow and deep in turn every 16.
inline constexpr DepthRule kDeepAndShallowInTurn{
    nullptr, CountNothing,
    [](const void*, std::uint64_t handedOver) noexcept { return handedOver / 16 % 2 == 0; }};
