// SPDX-License-Identifier: MIT
// rfc868-load: keeps N Time protocol clients busy against one port, checks
// every answer, and reports throughput and latency; optionally checks that
// the server process holds no more descriptors and threads afterwards.

#include <sys/resource.h>

#include <cinttypes>
#include <cstdio>
#include <exception>
#include <string>

#include "ostrevan/bench/command_line.h"
#include "ostrevan/bench/responder_main.h"
#include "ostrevan/bench/latency_stats.h"
#include "ostrevan/bench/load_run.h"
#include "ostrevan/bench/process_counts.h"

namespace ostrevan::bench {
namespace {

enum ExitStatus {
  kAllGood = 0,
  kConnectionsFailed = 1,
  kUsageError = 2,
  kResourcesGrew = 3,
  kLocalError = 4,
};

const char kUsage[] =
    "usage: rfc868-load --port PORT [options]\n"
    "  --address A         IPv4 loopback address of the server (127.0.0.1)\n"
    "  --clients N         connections kept open at once (4)\n"
    "  --connections N     connections in total, 0 for no count bound (10000)\n"
    "  --duration-ms MS    start no connection after MS milliseconds (no bound)\n"
    "  --time-limit-ms MS  hard bound of the whole run (120000)\n"
    "  --timeout-ms MS     bound of one connection, connect to end of stream (5000)\n"
    "  --tolerance S       seconds the count may stray from the local clock (2)\n"
    "  --threads T         event loops sharing the clients, 0 for one per CPU (0)\n"
    "  --sources K         spread sources over 127.0.0.1 .. 127.0.0.K (1)\n"
    "  --reset-on-close    close with a reset instead of a FIN\n"
    "  --format text|kv    human lines, or one line of key=value pairs (text)\n"
    "  --watch-pid PID     count /proc/PID/fd and /proc/PID/task before and after\n"
    "  --settle-ms MS      how long the counts may take to fall back (10000)\n"
    "exit status: 0 all good, 1 a connection failed or the time limit cut the\n"
    "run short, 2 usage, 3 the watched process kept more descriptors or\n"
    "threads, 4 local error\n";

struct Settings {
  LoadOptions Load;
  bool KeyValue = false;
  int64_t WatchPid = 0;
  int64_t SettleMs = 10000;
};

bool ParseSettings(int argc, char** argv, Settings& settings) {
  ArgumentReader reader(argc, argv);
  LoadOptions& load = settings.Load;
  const int64_t kMaxMs = int64_t{1} << 40;
  while (reader.Next()) {
    const std::string_view name = reader.Name();
    int64_t number = 0;
    bool ok = true;
    if (name == "--port") {
      ok = reader.Number(1, 65535, number);
      load.Port = static_cast<uint16_t>(number);
    } else if (name == "--address") {
      ok = reader.Value(load.Address);
    } else if (name == "--clients") {
      ok = reader.Number(1, 65536, number);
      load.Clients = static_cast<int>(number);
    } else if (name == "--connections") {
      ok = reader.Number(0, kMaxMs, number);
      load.Connections = static_cast<uint64_t>(number);
    } else if (name == "--duration-ms") {
      ok = reader.Number(0, kMaxMs, load.DurationMs);
    } else if (name == "--time-limit-ms") {
      ok = reader.Number(1, kMaxMs, load.TimeLimitMs);
    } else if (name == "--timeout-ms") {
      ok = reader.Number(1, kMaxMs, load.ConnectionTimeoutMs);
    } else if (name == "--tolerance") {
      ok = reader.Number(0, 86400, number);
      load.ToleranceSeconds = static_cast<uint32_t>(number);
    } else if (name == "--threads") {
      ok = reader.Number(0, 256, number);
      load.Threads = static_cast<int>(number);
    } else if (name == "--sources") {
      ok = reader.Number(1, 254, number);
      load.Sources = static_cast<int>(number);
    } else if (name == "--reset-on-close") {
      load.ResetOnClose = true;
    } else if (name == "--format") {
      std::string format;
      ok = reader.Value(format) && (format == "text" || format == "kv");
      settings.KeyValue = format == "kv";
    } else if (name == "--watch-pid") {
      ok = reader.Number(1, 1 << 30, settings.WatchPid);
    } else if (name == "--settle-ms") {
      ok = reader.Number(0, kMaxMs, settings.SettleMs);
    } else {
      std::fprintf(stderr, "rfc868-load: unknown argument %.*s\n", static_cast<int>(name.size()),
                   name.data());
      return false;
    }
    if (!ok) {
      std::fprintf(stderr, "rfc868-load: %.*s needs a valid value\n",
                   static_cast<int>(name.size()), name.data());
      return false;
    }
  }
  const std::string problem = ValidateLoadOptions(load);
  if (!problem.empty()) {
    std::fprintf(stderr, "rfc868-load: %s\n", problem.c_str());
    return false;
  }
  return true;
}

double Microseconds(uint64_t ns) { return static_cast<double>(ns) / 1000.0; }

// User and system CPU time of this process so far, in seconds.
double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// How busy the generator's loops were, in per cent of their wall time: near
// 100 means the generator, not the server, may be what limits the figures.
double LoopBusyPercent(const LoadResult& result, double cpuSeconds) {
  if (result.ElapsedSeconds <= 0 || result.Loops <= 0) return 0;
  return 100.0 * cpuSeconds / (result.ElapsedSeconds * result.Loops);
}

void PrintText(const LoadOptions& load, LoadResult& result, const LatencySummary& latency,
               double cpuSeconds) {
  std::printf("%s:%u  %d clients  %" PRIu64 " connections (%" PRIu64 " ok, %" PRIu64
              " failed) in %.3f s\n",
              load.Address.c_str(), load.Port, load.Clients, result.Attempted, result.Succeeded,
              result.FailureCount(), result.ElapsedSeconds);
  std::printf("connections/s %.0f\n", result.ConnectionsPerSecond());
  std::printf("latency p50 %.1f us  p99 %.1f us  max %.1f us\n", Microseconds(latency.P50),
              Microseconds(latency.P99), Microseconds(latency.Max));
  if (result.FailureCount() == 0) {
    std::printf("failures: none\n");
  } else {
    std::printf("failures:");
    for (size_t i = 0; i < kFailureKindCount; ++i) {
      if (result.Failures[i] != 0) {
        std::printf(" %s %" PRIu64, FailureKindName(static_cast<FailureKind>(i)),
                    result.Failures[i]);
      }
    }
    std::printf("\n");
  }
  if (!result.FirstOtherError.empty()) {
    std::printf("first local error: %s\n", result.FirstOtherError.c_str());
  }
  if (result.HitTimeLimit) std::printf("the run hit its time limit\n");
  std::printf("generator CPU %.3f s, its %d loops %.0f%% busy\n", cpuSeconds, result.Loops,
              LoopBusyPercent(result, cpuSeconds));
}

void PrintKeyValue(LoadResult& result, const LatencySummary& latency, double cpuSeconds) {
  std::printf("attempted=%" PRIu64 " ok=%" PRIu64 " failed=%" PRIu64
              " seconds=%.6f cps=%.1f p50_us=%.1f p99_us=%.1f max_us=%.1f time_limit_hit=%d",
              result.Attempted, result.Succeeded, result.FailureCount(), result.ElapsedSeconds,
              result.ConnectionsPerSecond(), Microseconds(latency.P50),
              Microseconds(latency.P99), Microseconds(latency.Max), result.HitTimeLimit ? 1 : 0);
  for (size_t i = 0; i < kFailureKindCount; ++i) {
    std::printf(" %s=%" PRIu64, FailureKindName(static_cast<FailureKind>(i)), result.Failures[i]);
  }
  std::printf(" loops=%d cpu_s=%.3f busy_pct=%.0f\n", result.Loops, cpuSeconds,
              LoopBusyPercent(result, cpuSeconds));
}

void PrintCounts(const char* label, const ProcessCounts& counts, bool keyValue) {
  if (keyValue) {
    std::printf("%s_fds=%" PRId64 " %s_threads=%" PRId64 "\n", label, counts.Descriptors, label,
                counts.Threads);
  } else {
    std::printf("watched process %s: %" PRId64 " descriptors, %" PRId64 " threads\n", label,
                counts.Descriptors, counts.Threads);
  }
}

int Main(int argc, char** argv) {
  Settings settings;
  if (!ParseSettings(argc, argv, settings)) {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  const pid_t watched = static_cast<pid_t>(settings.WatchPid);
  ProcessCounts before;
  if (watched != 0) {
    before = CountProcess(watched);
    if (!before.Readable()) {
      std::fprintf(stderr, "rfc868-load: cannot read /proc/%d\n", static_cast<int>(watched));
      return kLocalError;
    }
  }

  const double cpuBefore = ProcessCpuSeconds();
  LoadResult result = RunLoad(settings.Load);
  const double cpuSeconds = ProcessCpuSeconds() - cpuBefore;
  LatencySummary latency = Summarize(result.LatenciesNs);
  if (settings.KeyValue) {
    PrintKeyValue(result, latency, cpuSeconds);
  } else {
    PrintText(settings.Load, result, latency, cpuSeconds);
  }

  int status = result.AllSucceeded() ? kAllGood : kConnectionsFailed;
  if (watched != 0) {
    const ProcessCounts after = WaitForCountsAtMost(watched, before, settings.SettleMs);
    PrintCounts("before", before, settings.KeyValue);
    PrintCounts("after", after, settings.KeyValue);
    if (!after.Readable()) {
      std::printf("watched process is gone\n");
      status = kResourcesGrew;
    } else if (!after.AtMost(before)) {
      std::printf("watched process holds more than before\n");
      status = kResourcesGrew;
    }
  }
  std::fflush(stdout);
  return status;
}

}  // namespace
}  // namespace ostrevan::bench

int main(int argc, char** argv) {
  return ostrevan::bench::RunReporting("rfc868-load", ostrevan::bench::Main, argc, argv,
                                       ostrevan::bench::kLocalError);
}
