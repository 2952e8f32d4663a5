// A fixed local moment for the header and name tests: the clock of the base library is
// replaced, and local time is UTC, so dates and generated names are known in advance.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "Utility.hpp"

namespace bkarchiv_test {

inline std::int64_t fixedMillis = 0;

inline std::int64_t FixedClock() { return fixedMillis; }

// From now on the current moment is the given local date and time.
inline void SetNow(unsigned day, unsigned month, unsigned year, unsigned hour = 10,
                   unsigned minute = 11, unsigned second = 12) {
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  const Utility_Date d{day, month, year, 0};
  const Utility_Time t{hour, minute, second, 0};
  fixedMillis = Utility_MkTime(d, t) * 1000;
  Utility_SetClock(FixedClock);
}

}  // namespace bkarchiv_test
