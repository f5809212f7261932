// The depth policy goes deep and shallow again as the times of recent entries say.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "DepthPolicy.h"

namespace {

// Entry times: 'q' quick, 's' slow, '-' not timed, '=' exactly the threshold, '+' just past it.
std::int64_t TimeOf(char code) {
  switch (code) {
    case 'q': return 3000;
    case 's': return 200000;
    case '=': return DepthPolicy::kSlowNanoseconds;
    case '+': return DepthPolicy::kSlowNanoseconds + 1;
    default: return DepthPolicy::kNotTimed;
  }
}

std::string Times(char code, int count) {
  return std::string(static_cast<std::size_t>(count), code);
}

TEST(DepthPolicyTest, GoesDeepAndShallowAsTheRecentEntriesAsk) {
  // After each entry, '.' for shallow and 'D' for deep.
  const struct {
    const char* name;
    std::string times;
    std::string depths;
  } kCases[] = {
      {"quick entries keep it shallow", Times('q', 40), Times('.', 40)},
      {"the eighth slow entry takes it deep", Times('s', 9), Times('.', 7) + "DD"},
      {"slow means past the threshold", Times('=', 8) + Times('+', 8), Times('.', 15) + "D"},
      {"slow entries spread out count", "sqsqsqsqsqsqsqs", Times('.', 14) + "D"},
      {"entries not timed count for nothing", "s" + Times('-', 40) + Times('s', 7), Times('.', 47) + "D"},
      {"only the last 32 timed entries count", Times('s', 7) + Times('q', 25) + "s", Times('.', 33)},
      {"deep until at most one of the last 32 is slow", Times('s', 8) + Times('q', 31),
       Times('.', 7) + Times('D', 31) + "."},
      {"and deep again", Times('s', 8) + Times('q', 31) + Times('s', 8),
       Times('.', 7) + Times('D', 31) + Times('.', 8) + "D"},
  };
  for (const auto& policyCase : kCases) {
    SCOPED_TRACE(policyCase.name);
    DepthPolicy policy;
    EXPECT_FALSE(policy.Deep());
    std::string depths;
    for (const char code : policyCase.times) {
      policy.Count(TimeOf(code));
      depths += policy.Deep() ? 'D' : '.';
    }
    EXPECT_EQ(depths, policyCase.depths);
  }
}

}  // namespace
