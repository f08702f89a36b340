// A monotonic clock for the memos that are consulted for every element of a
// page: read from the time the kernel keeps in memory, without asking the
// hardware, it costs a few nanoseconds where the precise clock costs tens.
// It advances in steps of a few milliseconds; intervals of a second measured
// with it are as good as with the precise clock. Elsewhere than Linux it is
// the standard steady clock.
#pragma once

#include <chrono>
#include <ctime>

namespace nimbuswatch::platform {

struct CoarseClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<CoarseClock>;
  static constexpr bool is_steady = true;

  static time_point now() noexcept {
#if defined(CLOCK_MONOTONIC_COARSE)
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
#else
    return time_point(std::chrono::duration_cast<duration>(std::chrono::steady_clock::now().time_since_epoch()));
#endif
  }
};

}  // namespace nimbuswatch::platform
