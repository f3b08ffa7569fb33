#include "stop_poll.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>

namespace varlix {
namespace {

// A clock the test moves by hand, counting its reads.
struct ManualClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<ManualClock>;
  static constexpr bool is_steady = true;

  static inline time_point current{};
  static inline int reads = 0;
  static time_point now() {
    ++reads;
    return current;
  }
  static void reset() {
    current = {};
    reads = 0;
  }
};

using ManualPoll = BasicStopPoll<ManualClock>;

struct Asked {
  int questions = 0;
  int stop_at = 0;  // 0: never
};

bool ask(void* context) {
  auto& asked = *static_cast<Asked*>(context);
  ++asked.questions;
  return asked.questions == asked.stop_at;
}

// Calls of `cost` each until the poll stops or `limit` calls; the calls made.
int run(ManualPoll& poll, ManualClock::duration cost, int limit) {
  for (int i = 0; i < limit; ++i) {
    if (poll()) return i;
    ManualClock::current += cost;
  }
  return limit;
}

TEST(StopPoll, CheapCallsReadTheClockRarelyAndAskByTime) {
  ManualClock::reset();
  Asked asked;
  ManualPoll poll(ask, &asked);
  // A million calls of 1 ns: a millisecond, so no question yet, and the
  // stride has grown so that the clock is read a few dozen times at most.
  EXPECT_EQ(run(poll, std::chrono::nanoseconds(1), 1'000'000), 1'000'000);
  EXPECT_EQ(asked.questions, 0);
  EXPECT_LT(ManualClock::reads, 40);
  // Another 10 ms of such calls: asked about every kAskPeriod.
  run(poll, std::chrono::nanoseconds(1), 10'000'000);
  EXPECT_GE(asked.questions, 1);
  EXPECT_LE(asked.questions, 3);
}

TEST(StopPoll, SlowCallsAreAnsweredWithinAnAskPeriodOrTwo) {
  for (const auto cost : {std::chrono::microseconds(1), std::chrono::microseconds(100), std::chrono::microseconds(500),
                          std::chrono::microseconds(20000)}) {
    ManualClock::reset();
    Asked asked{.stop_at = 1};
    ManualPoll poll(ask, &asked);
    const int calls = run(poll, cost, 1'000'000);
    ASSERT_LT(calls, 1'000'000) << cost.count();
    // The stop is seen within two ask periods of work, or two slow calls
    // (the first clock read, at the start, measures no work and widens the
    // stride once).
    EXPECT_LE(cost * calls, 2 * kAskPeriod + 2 * cost) << cost.count();
    EXPECT_EQ(asked.questions, 1);
  }
}

TEST(StopPoll, AStopStaysAndIsNotAskedAgain) {
  ManualClock::reset();
  Asked asked{.stop_at = 1};
  ManualPoll poll(ask, &asked);
  run(poll, std::chrono::microseconds(1000), 100);
  ASSERT_TRUE(poll.stopped());
  EXPECT_EQ(run(poll, std::chrono::microseconds(1000), 100), 0);
  EXPECT_EQ(asked.questions, 1);
}

TEST(StopPoll, WithoutAQuestionNeverStopsNorReadsTheClock) {
  ManualClock::reset();
  ManualPoll poll;
  EXPECT_EQ(run(poll, std::chrono::milliseconds(1), 100'000), 100'000);
  EXPECT_EQ(ManualClock::reads, 0);
}

TEST(StopPoll, AStoppedFunctionFailsAndOtherwiseIsTheFunction) {
  const auto square = [](double x) { return x * x; };
  const StoppableFunction<decltype(square)> never(square, nullptr, nullptr);
  EXPECT_EQ(never(3.0), 9.0);
  const StoppableFunction<decltype(square)> stopped(square, [](void*) { return true; }, nullptr);
  const auto deadline = std::chrono::steady_clock::now() + 4 * kAskPeriod;
  double last = 0.0;
  while (std::chrono::steady_clock::now() < deadline && !stopped.stopped()) last = stopped(3.0);
  ASSERT_TRUE(stopped.stopped());
  EXPECT_TRUE(std::isnan(last));
  EXPECT_TRUE(std::isnan(stopped(3.0)));
}

}  // namespace
}  // namespace varlix
