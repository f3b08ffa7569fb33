// The question a long loop asks its caller, "should I stop?", asked by
// elapsed time. A loop that calls a slow user function (a compiled density
// of a millisecond) and one of nanosecond draws must both answer within a
// few milliseconds, so neither a fixed count of iterations nor a clock read
// per iteration will do: the poll reads the clock every `stride` calls and
// adapts the stride so that reads come about every kClockReadPeriod, then
// asks the caller when kAskPeriod has passed since its last question.
//
// The core only asks: what makes a stop (a pending signal, a flag another
// thread set) is the caller's business.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>
#include <utility>

namespace varlix {

// The caller's question, with its context; true means stop.
using StopQuestion = bool (*)(void* context);

// Between two questions: a stop is seen well within the fifth of a second a
// user waits for Ctrl-C, and the question (which may take the interpreter
// lock) costs microseconds, nothing beside 5 ms of work.
inline constexpr std::chrono::microseconds kAskPeriod{5000};
// Between two clock reads, aimed at: fine enough for kAskPeriod, and rare
// enough that a read (tens of ns) vanishes beside the loop's work.
inline constexpr std::chrono::microseconds kClockReadPeriod{500};
// At a nanosecond a call, 2^16 calls are 65 µs: the stride need not grow
// beyond, and a loop whose calls suddenly slow down is re-measured soon.
inline constexpr std::uint32_t kMaxStride = std::uint32_t{1} << 16;

template <class Clock = std::chrono::steady_clock>
class BasicStopPoll {
 public:
  // A poll that never stops (and never reads the clock).
  BasicStopPoll() noexcept = default;
  BasicStopPoll(StopQuestion question, void* context) noexcept : question_(question), context_(context) {
    if (question_ != nullptr) last_read_ = last_ask_ = Clock::now();
  }

  // True once the caller said stop, and from then on. Call it once per
  // iteration of the loop it serves.
  [[nodiscard]] bool operator()() noexcept {
    if (--countdown_ != 0 || question_ == nullptr) return stopped_;
    return at_clock_read();
  }

  [[nodiscard]] bool stopped() const noexcept { return stopped_; }

 private:
  // The rare path: read the clock, retune the stride, maybe ask.
  bool at_clock_read() noexcept {
    const typename Clock::time_point now = Clock::now();
    const auto since_read = now - last_read_;
    last_read_ = now;
    if (since_read < kClockReadPeriod / 2 && stride_ < kMaxStride) {
      stride_ *= 2;
    } else if (since_read > kClockReadPeriod * 2 && stride_ > 1) {
      stride_ /= 2;
    }
    countdown_ = stride_;
    if (!stopped_ && now - last_ask_ >= kAskPeriod) {
      last_ask_ = now;
      stopped_ = question_(context_);
    }
    return stopped_;
  }

  StopQuestion question_ = nullptr;
  void* context_ = nullptr;
  std::uint32_t stride_ = 1;
  std::uint32_t countdown_ = 1;
  bool stopped_ = false;
  typename Clock::time_point last_read_{};
  typename Clock::time_point last_ask_{};
};

using StopPoll = BasicStopPoll<>;

// A user function that fails (NaN, the core's one sign of a failed user
// function) once its poll says stop: every loop that calls it ends the way
// it ends for a failed function, without knowing of stops. The poll is
// asked at each call, so the calls' own cost paces the questions.
template <class F>
class StoppableFunction {
 public:
  StoppableFunction(const F& f, StopQuestion question, void* context) noexcept : f_(&f), poll_(question, context) {}

  template <class... Args>
  [[nodiscard]] double operator()(Args&&... args) const {
    if (poll_()) return std::numeric_limits<double>::quiet_NaN();
    return (*f_)(std::forward<Args>(args)...);
  }

  [[nodiscard]] bool stopped() const noexcept { return poll_.stopped(); }

 private:
  const F* f_;
  // Calls are const, as the core's function concepts ask; the poll is the
  // adaptor's own bookkeeping.
  mutable StopPoll poll_;
};

}  // namespace varlix
