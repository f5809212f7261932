#include "DepthPolicy.h"

#include <cstdint>

void DepthPolicy::Count(std::int64_t nanoseconds) noexcept {
  if (nanoseconds == kNotTimed) return;
  const int slow = nanoseconds > kSlowNanoseconds ? 1 : 0;
  recentSlowCount_ += slow - static_cast<int>(recentSlow_ >> (kWindow - 1));
  recentSlow_ = recentSlow_ << 1 | static_cast<std::uint32_t>(slow);
  if (!deep_ && recentSlowCount_ >= kSlowToGoDeep) deep_ = true;
  if (deep_ && recentSlowCount_ <= kSlowToGoShallow) deep_ = false;
}
