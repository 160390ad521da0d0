// SPDX-License-Identifier: MIT
#pragma once

// Bounded waits for tests: a deadline, a poll for a state no callback
// reports, and a one-shot signal. A wait that times out is a failure, not a
// normal path.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace ostrevan::testing {

using namespace std::chrono_literals;

// Long enough never to trigger on a loaded machine under a sanitizer.
constexpr auto kPatience = 20s;

// The end of a bounded wait.
class TDeadline {
 public:
  using TClock = std::chrono::steady_clock;

  explicit TDeadline(TClock::duration within = kPatience) : End_(TClock::now() + within) {}

  bool Passed() const { return TClock::now() >= End_; }
  // What is left, never negative; in milliseconds for poll(2).
  std::chrono::milliseconds Left() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(End_ - TClock::now());
    return left.count() > 0 ? left : 0ms;
  }
  int LeftMs() const { return static_cast<int>(Left().count()); }

 private:
  TClock::time_point End_;
};

// The time since it was made, for tests that bound how long something took.
class TStopwatch {
 public:
  std::chrono::steady_clock::duration Elapsed() const { return std::chrono::steady_clock::now() - Start_; }
  double Seconds() const { return std::chrono::duration<double>(Elapsed()).count(); }

 private:
  std::chrono::steady_clock::time_point Start_ = std::chrono::steady_clock::now();
};

// Polls until done() or the time is up, sleeping step between tries; with a
// zero step it only yields, to catch a state as soon as it comes.
template <class Predicate>
bool PollUntil(Predicate done, std::chrono::steady_clock::duration within = kPatience,
               std::chrono::milliseconds step = 1ms) {
  const TDeadline deadline(within);
  while (!done()) {
    if (deadline.Passed()) return false;
    if (step.count() == 0) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(step);
    }
  }
  return true;
}

// Set once by one thread, waited for by another.
class Signal {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(Lock_);
    Set_ = true;
    Cond_.notify_all();  // under the lock: the waiter may destroy us next
  }
  bool Wait(std::chrono::steady_clock::duration within = kPatience) {
    std::unique_lock<std::mutex> lock(Lock_);
    return Cond_.wait_for(lock, within, [this] { return Set_; });
  }

 private:
  std::mutex Lock_;
  std::condition_variable Cond_;
  bool Set_ = false;
};

}  // namespace ostrevan::testing
