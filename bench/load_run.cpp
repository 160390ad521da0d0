// SPDX-License-Identifier: MIT
#include "ostrevan/bench/load_run.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "ostrevan/bench/rfc868_clock.h"

namespace ostrevan::bench {

namespace {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kNsPerMs = 1000000;

uint64_t MonotonicNs() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

uint64_t AfterMs(uint64_t startNs, int64_t ms) {
  return ms <= 0 ? kNever : startNs + static_cast<uint64_t>(ms) * kNsPerMs;
}

FailureKind KindOfError(int error) {
  switch (error) {
    case ECONNREFUSED:
      return FailureKind::Refused;
    case ECONNRESET:
    case EPIPE:
      return FailureKind::Reset;
    case ETIMEDOUT:
      return FailureKind::Timeout;
    default:
      return FailureKind::Other;
  }
}

// What the event loops of one run share. Everything but the two atomics is
// fixed before the loops start.
struct SharedRun {
  const LoadOptions& Options;
  sockaddr_in Target{};
  uint64_t StopStartingNs = kNever;
  uint64_t HardDeadlineNs = kNever;
  std::atomic<uint64_t> Started{0};
  // Set when the hard deadline kept a connection from starting: the run is
  // then cut short even if no connection was in flight to fail.
  std::atomic<bool> CutShort{false};

  explicit SharedRun(const LoadOptions& options) : Options(options) {}

  bool CountReached() const {
    return Options.Connections != 0 &&
           Started.load(std::memory_order_relaxed) >= Options.Connections;
  }

  // Takes the next connection's sequence number, or false once no further
  // connection may start.
  bool Claim(uint64_t nowNs, uint64_t& sequence) {
    if (nowNs >= StopStartingNs || CountReached()) return false;
    if (nowNs >= HardDeadlineNs) {
      CutShort.store(true, std::memory_order_relaxed);
      return false;
    }
    sequence = Started.fetch_add(1, std::memory_order_relaxed);
    return Options.Connections == 0 || sequence < Options.Connections;
  }
};

// One connection in flight.
struct Slot {
  int Fd = -1;
  uint64_t StartNs = 0;
  uint64_t DeadlineNs = 0;
  uint32_t CountBefore = 0;
  uint32_t Received = 0;
  unsigned char Bytes[4]{};
};

// One epoll loop keeping its share of the clients busy. Used only by the
// thread that runs it.
class LoadLoop {
 public:
  LoadLoop(SharedRun& shared, int clients) : Shared_(shared), Slots_(static_cast<size_t>(clients)) {
    Epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (Epoll_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
  }
  ~LoadLoop() {
    for (Slot& slot : Slots_) CloseSocket(slot);
    close(Epoll_);
  }
  LoadLoop(const LoadLoop&) = delete;
  LoadLoop& operator=(const LoadLoop&) = delete;

  void Run();
  LoadResult& Result() { return Result_; }
  uint64_t FirstStartNs() const { return FirstStartNs_; }
  uint64_t LastEndNs() const { return LastEndNs_; }

 private:
  void StartNext(Slot& slot);
  bool Open(Slot& slot, uint64_t sequence);
  void OnReadable(Slot& slot);
  void OnEndOfStream(Slot& slot);
  void Succeed(Slot& slot, uint64_t endNs);
  void Fail(Slot& slot, FailureKind kind, int error = 0, const char* step = nullptr);
  void Retire(Slot& slot, uint64_t endNs);
  void CloseSocket(Slot& slot);
  void ExpireOverdue(uint64_t nowNs);
  int WaitMs(uint64_t nowNs) const;

  SharedRun& Shared_;
  std::vector<Slot> Slots_;
  int Epoll_ = -1;
  int Active_ = 0;
  LoadResult Result_;
  uint64_t FirstStartNs_ = kNever;
  uint64_t LastEndNs_ = 0;
};

void LoadLoop::Run() {
  for (Slot& slot : Slots_) StartNext(slot);
  std::vector<epoll_event> events(Slots_.size());
  while (Active_ > 0) {
    uint64_t now = MonotonicNs();
    if (now >= Shared_.HardDeadlineNs) {
      Result_.HitTimeLimit = true;
      for (Slot& slot : Slots_) {
        if (slot.Fd >= 0) Fail(slot, FailureKind::Timeout);
      }
      break;
    }
    const int ready = epoll_wait(Epoll_, events.data(), static_cast<int>(events.size()), WaitMs(now));
    if (ready < 0 && errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "epoll_wait");
    }
    for (int i = 0; i < ready; ++i) {
      Slot& slot = Slots_[events[static_cast<size_t>(i)].data.u32];
      if (slot.Fd >= 0) OnReadable(slot);
    }
    ExpireOverdue(MonotonicNs());
  }
}

// The epoll wait ends at the earliest connection deadline or the run's
// hard deadline, rounded up so that the loop does not spin on a deadline
// less than a millisecond away.
int LoadLoop::WaitMs(uint64_t nowNs) const {
  uint64_t earliest = Shared_.HardDeadlineNs;
  for (const Slot& slot : Slots_) {
    if (slot.Fd >= 0) earliest = std::min(earliest, slot.DeadlineNs);
  }
  if (earliest == kNever) return -1;
  if (earliest <= nowNs) return 0;
  const uint64_t ms = (earliest - nowNs + kNsPerMs - 1) / kNsPerMs;
  return static_cast<int>(std::min<uint64_t>(ms, 1000));
}

void LoadLoop::ExpireOverdue(uint64_t nowNs) {
  for (Slot& slot : Slots_) {
    if (slot.Fd >= 0 && nowNs >= slot.DeadlineNs) {
      Fail(slot, FailureKind::Timeout);
      StartNext(slot);
    }
  }
}

// Opens connections on the slot until one is in flight or none may start;
// a connection that fails at once is counted and replaced.
void LoadLoop::StartNext(Slot& slot) {
  uint64_t sequence = 0;
  while (Shared_.Claim(MonotonicNs(), sequence)) {
    if (Open(slot, sequence)) return;
  }
}

bool LoadLoop::Open(Slot& slot, uint64_t sequence) {
  ++Result_.Attempted;
  ++Active_;
  slot.StartNs = MonotonicNs();
  slot.DeadlineNs = AfterMs(slot.StartNs, Shared_.Options.ConnectionTimeoutMs);
  slot.CountBefore = CurrentRfc868Count();
  slot.Received = 0;
  FirstStartNs_ = std::min(FirstStartNs_, slot.StartNs);

  slot.Fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (slot.Fd < 0) {
    Fail(slot, FailureKind::Other, errno, "socket");
    return false;
  }
  if (Shared_.Options.Sources > 1) {
    // Without IP_BIND_ADDRESS_NO_PORT, bind would pick the port at once,
    // blind to the destination, and run out of ports far sooner.
    const int on = 1;
    setsockopt(slot.Fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(INADDR_LOOPBACK + static_cast<uint32_t>(
                                                         sequence % static_cast<uint64_t>(Shared_.Options.Sources)));
    if (bind(slot.Fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
      Fail(slot, FailureKind::Other, errno, "bind");
      return false;
    }
  }
  if (connect(slot.Fd, reinterpret_cast<const sockaddr*>(&Shared_.Target),
              sizeof Shared_.Target) != 0 &&
      errno != EINPROGRESS) {
    const int error = errno;
    const FailureKind kind = KindOfError(error);
    Fail(slot, kind, error, "connect");
    return false;
  }
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.u32 = static_cast<uint32_t>(&slot - Slots_.data());
  if (epoll_ctl(Epoll_, EPOLL_CTL_ADD, slot.Fd, &event) != 0) {
    Fail(slot, FailureKind::Other, errno, "epoll_ctl");
    return false;
  }
  return true;
}

// A pending connect that fails also lands here: recv then reports the
// socket's error.
void LoadLoop::OnReadable(Slot& slot) {
  for (;;) {
    unsigned char buffer[64];
    const ssize_t got = recv(slot.Fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      // A fifth byte fails the exchange at once, whether or not the
      // server ever closes.
      if (slot.Received + static_cast<uint32_t>(got) > sizeof slot.Bytes) {
        Fail(slot, FailureKind::ExtraBytes);
        StartNext(slot);
        return;
      }
      std::memcpy(slot.Bytes + slot.Received, buffer, static_cast<size_t>(got));
      slot.Received += static_cast<uint32_t>(got);
      continue;
    }
    if (got == 0) {
      OnEndOfStream(slot);
      StartNext(slot);
      return;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    const int error = errno;
    Fail(slot, KindOfError(error), error, "recv");
    StartNext(slot);
    return;
  }
}

void LoadLoop::OnEndOfStream(Slot& slot) {
  const uint64_t endNs = MonotonicNs();
  if (slot.Received < sizeof slot.Bytes) {
    Fail(slot, FailureKind::ShortRead);
    return;
  }
  const uint32_t received = DecodeCount(slot.Bytes);
  if (!IsPlausibleCount(received, slot.CountBefore, CurrentRfc868Count(),
                        Shared_.Options.ToleranceSeconds)) {
    Fail(slot, FailureKind::WrongValue);
    return;
  }
  Succeed(slot, endNs);
}

void LoadLoop::Succeed(Slot& slot, uint64_t endNs) {
  ++Result_.Succeeded;
  Result_.LatenciesNs.push_back(endNs - slot.StartNs);
  Retire(slot, endNs);
}

void LoadLoop::Fail(Slot& slot, FailureKind kind, int error, const char* step) {
  ++Result_.Failures[static_cast<size_t>(kind)];
  if (kind == FailureKind::Other && Result_.FirstOtherError.empty()) {
    Result_.FirstOtherError = std::string(step ? step : "?") + ": " +
                              std::error_code(error, std::generic_category()).message();
  }
  Retire(slot, MonotonicNs());
}

void LoadLoop::Retire(Slot& slot, uint64_t endNs) {
  LastEndNs_ = std::max(LastEndNs_, endNs);
  CloseSocket(slot);
  --Active_;
}

void LoadLoop::CloseSocket(Slot& slot) {
  if (slot.Fd < 0) return;
  if (Shared_.Options.ResetOnClose) {
    const linger abortive{1, 0};
    setsockopt(slot.Fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  }
  // Closing also takes the socket out of the epoll set.
  close(slot.Fd);
  slot.Fd = -1;
}

void Merge(LoadResult& into, LoadResult& from) {
  into.Attempted += from.Attempted;
  into.Succeeded += from.Succeeded;
  for (size_t i = 0; i < kFailureKindCount; ++i) into.Failures[i] += from.Failures[i];
  into.LatenciesNs.insert(into.LatenciesNs.end(), from.LatenciesNs.begin(),
                          from.LatenciesNs.end());
  into.HitTimeLimit = into.HitTimeLimit || from.HitTimeLimit;
  if (into.FirstOtherError.empty()) into.FirstOtherError = from.FirstOtherError;
}

}  // namespace

const char* FailureKindName(FailureKind kind) {
  switch (kind) {
    case FailureKind::Refused:
      return "refused";
    case FailureKind::Reset:
      return "reset";
    case FailureKind::ShortRead:
      return "short";
    case FailureKind::ExtraBytes:
      return "extra";
    case FailureKind::WrongValue:
      return "wrong_value";
    case FailureKind::Timeout:
      return "timeout";
    case FailureKind::Other:
      return "other";
  }
  return "?";
}

uint64_t LoadResult::FailureCount() const {
  uint64_t total = 0;
  for (uint64_t count : Failures) total += count;
  return total;
}

double LoadResult::ConnectionsPerSecond() const {
  return ElapsedSeconds > 0 ? static_cast<double>(Succeeded) / ElapsedSeconds : 0;
}

std::string ValidateLoadOptions(const LoadOptions& options) {
  in_addr address{};
  if (inet_pton(AF_INET, options.Address.c_str(), &address) != 1) {
    return "the address must be a dotted IPv4 address";
  }
  if ((ntohl(address.s_addr) >> 24) != 127) return "the address must be a loopback address";
  if (options.Port == 0) return "a port is needed";
  if (options.Clients < 1 || options.Clients > 65536) return "clients must be 1 to 65536";
  if (options.Threads < 0 || options.Threads > options.Clients) {
    return "threads must be 0 (one per CPU) to the number of clients";
  }
  if (options.Connections == 0 && options.DurationMs <= 0) {
    return "a connection count or a duration is needed";
  }
  if (options.TimeLimitMs <= 0) return "the time limit must be positive";
  if (options.ConnectionTimeoutMs <= 0) return "the connection timeout must be positive";
  if (options.Sources < 1 || options.Sources > 254) return "sources must be 1 to 254";
  return "";
}

LoadResult RunLoad(const LoadOptions& options) {
  const std::string problem = ValidateLoadOptions(options);
  if (!problem.empty()) throw std::invalid_argument(problem);

  SharedRun shared(options);
  shared.Target.sin_family = AF_INET;
  shared.Target.sin_port = htons(options.Port);
  inet_pton(AF_INET, options.Address.c_str(), &shared.Target.sin_addr);
  const uint64_t startNs = MonotonicNs();
  shared.StopStartingNs = AfterMs(startNs, options.DurationMs);
  shared.HardDeadlineNs = AfterMs(startNs, options.TimeLimitMs);

  int threads = options.Threads;
  if (threads == 0) {
    threads = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, options.Clients);
  }
  std::vector<std::unique_ptr<LoadLoop>> loops;
  for (int i = 0; i < threads; ++i) {
    const int share = options.Clients / threads + (i < options.Clients % threads);
    loops.push_back(std::make_unique<LoadLoop>(shared, share));
  }
  // One slot per loop, so that loops failing at once do not race.
  std::vector<std::exception_ptr> failures(loops.size());
  std::vector<std::thread> helpers;
  try {
    for (size_t i = 1; i < loops.size(); ++i) {
      helpers.emplace_back([&loop = *loops[i], &failure = failures[i]] {
        try {
          loop.Run();
        } catch (...) {
          failure = std::current_exception();
        }
      });
    }
    loops[0]->Run();
  } catch (...) {
    // The other loops still end on their own bounds; they are joined first.
    failures[0] = std::current_exception();
  }
  for (std::thread& helper : helpers) helper.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }

  LoadResult result;
  result.Loops = threads;
  result.HitTimeLimit = shared.CutShort.load();
  uint64_t firstStartNs = kNever;
  uint64_t lastEndNs = 0;
  for (auto& loop : loops) {
    Merge(result, loop->Result());
    firstStartNs = std::min(firstStartNs, loop->FirstStartNs());
    lastEndNs = std::max(lastEndNs, loop->LastEndNs());
  }
  if (lastEndNs > firstStartNs) result.ElapsedSeconds = static_cast<double>(lastEndNs - firstStartNs) / 1e9;
  return result;
}

}  // namespace ostrevan::bench
