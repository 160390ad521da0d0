// SPDX-License-Identifier: MIT
#pragma once

#include <time.h>

#include <cstdint>

namespace ostrevan {

// Breaks a blocked write of the thread that made it, so that the console
// can look at its signal descriptor while standard output does not move.
//
// While armed, a timer sends the thread a signal every kInterval
// milliseconds. Its handler is installed without SA_RESTART, so a write
// that is sleeping (on a full pipe or FIFO, a stopped or slow terminal, a
// socket whose peer does not read, such as the journal's) returns at once
// with the bytes written so far or with EINTR. Because the signal repeats,
// one that lands just before the write only delays the interruption to the
// next tick: a write never sleeps longer than kInterval. A regular file
// never sleeps for long; a write there ends or fails on its own. Nothing
// about the descriptor is changed (no O_NONBLOCK on an open file
// description that the parent shell or other processes may share), and the
// signal goes to this one thread, not to the process, so no framework
// thread is ever interrupted by it.
//
// Used only by the thread that created it.
class TWriteInterrupter {
 public:
  static constexpr int32_t kInterval = 100;  // milliseconds

  TWriteInterrupter();
  ~TWriteInterrupter();
  TWriteInterrupter(const TWriteInterrupter&) = delete;
  TWriteInterrupter& operator=(const TWriteInterrupter&) = delete;

  // The first tick comes one interval after Arm, then one every interval
  // until Disarm.
  void Arm();
  void Disarm();
  // Ticks so far (they all go to the thread that created the interrupter).
  uint64_t Ticks() const;

 private:
  void SetTimer(int32_t intervalMs);

  timer_t Timer_{};
};

// Arms the interrupter for the life of a scope.
class TArmedInterrupter {
 public:
  explicit TArmedInterrupter(TWriteInterrupter& AInterrupter) : Interrupter_(AInterrupter) {
    Interrupter_.Arm();
  }
  ~TArmedInterrupter() { Interrupter_.Disarm(); }
  TArmedInterrupter(const TArmedInterrupter&) = delete;
  TArmedInterrupter& operator=(const TArmedInterrupter&) = delete;

 private:
  TWriteInterrupter& Interrupter_;
};

}  // namespace ostrevan
