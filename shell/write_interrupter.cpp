// SPDX-License-Identifier: MIT
#include "ostrevan/shell/write_interrupter.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "ostrevan/runtime/exception.h"
#include "ostrevan/runtime/format.h"
#include "ostrevan/runtime/sysutils.h"

namespace ostrevan {

namespace {

// A real-time signal: nobody sends it to this process by chance, and the
// C library keeps the ones below SIGRTMIN for itself.
int TickSignal() { return SIGRTMIN; }

std::atomic<uint64_t> ticks{0};

// Its only work is to have run: the interrupted call returns.
void OnTick(int) { ticks.fetch_add(1, std::memory_order_relaxed); }

[[noreturn]] void RaiseSetupError(const char* what) {
  throw EInOutError(Format("%s: %s", what, SysErrorMessage(errno).c_str()));
}

}  // namespace

TWriteInterrupter::TWriteInterrupter() {
  struct sigaction action {};
  action.sa_handler = OnTick;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: that is the point
  if (sigaction(TickSignal(), &action, nullptr) != 0) RaiseSetupError("sigaction");
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = TickSignal();
  event._sigev_un._tid = gettid();  // glibc names no accessor for the thread id
  if (timer_create(CLOCK_MONOTONIC, &event, &Timer_) != 0) RaiseSetupError("timer_create");
}

TWriteInterrupter::~TWriteInterrupter() { timer_delete(Timer_); }

void TWriteInterrupter::Arm() { SetTimer(kInterval); }

void TWriteInterrupter::Disarm() { SetTimer(0); }

uint64_t TWriteInterrupter::Ticks() const { return ticks.load(std::memory_order_relaxed); }

void TWriteInterrupter::SetTimer(int32_t intervalMs) {
  const timespec period{intervalMs / 1000, (intervalMs % 1000) * 1000000L};
  const itimerspec schedule{period, period};
  // Cannot fail with a valid timer and these values.
  timer_settime(Timer_, 0, &schedule, nullptr);
}

}  // namespace ostrevan
