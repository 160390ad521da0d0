// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <cstdint>

#include "ostrevan/export.h"

namespace ostrevan {

/// What a TIdTCPServer has done with its connections since the server object
/// was made. Nothing resets the counts: deactivation and a new activation
/// go on counting, and only a new server object starts again from zero.
///
/// Each count is exact on its own, but a snapshot reads them one after the
/// other while listener and peer threads go on, so a sum of several fields
/// may be off by the connections in flight at that moment. Accepted equals
/// Filtered + Refused + Served + Failed + CurrentPeers, plus the connections
/// a failed listener pass dropped before a peer thread took them.
struct OSTREVAN_EXPORT TIdTCPServerStatistics {
  /// Connections the listeners accepted, on every binding.
  uint64_t Accepted = 0;
  /// Connections the connection filter (OnFilterConnection) refused.
  uint64_t Filtered = 0;
  /// Connections refused because MaxConnections peer threads were live.
  uint64_t Refused = 0;
  /// Connections whose peer thread served them to the end: the execute step
  /// closed them, or the client did.
  uint64_t Served = 0;
  /// Connections that an error ended or cut short: an exception other than
  /// the client's close was raised while serving them (including those cut
  /// by a deactivation).
  uint64_t Failed = 0;
  /// Peer threads serving a connection now.
  uint64_t CurrentPeers = 0;
  /// The most peer threads that served connections at one time.
  uint64_t PeakPeers = 0;
  /// Listener passes that failed: an error reported through
  /// OnListenException, or an accept that failed with an error the accept
  /// step tolerates (an interrupted call).
  uint64_t ListenerFailures = 0;
};

/// What a TIdUDPServer has done with its datagrams since the server object
/// was made; reset by nothing but a new server object. Read as
/// TIdTCPServerStatistics is: each count exact, a sum of several a moment
/// apart.
struct OSTREVAN_EXPORT TIdUDPServerStatistics {
  /// Datagrams taken from the bindings' sockets, dropped ones included.
  uint64_t Received = 0;
  /// Datagrams sent with SendTo, the answers.
  uint64_t Answered = 0;
  /// Datagrams LoopGuard dropped before DoUDPRead.
  uint64_t Dropped = 0;
  /// Datagrams whose handling raised (DoUDPRead or its SendTo), and
  /// receives that failed.
  uint64_t Failed = 0;
};

/// The counters behind a server's statistics: relaxed atomics, kept
/// together in one cache line of their own per server, so that counting
/// costs each connection a few uncontended increments and never shares a
/// line with the server's other fields. Used by the servers and their
/// listener and peer threads; read through the servers' Statistics.
struct alignas(64) TIdTCPServerCounters {
  ///@{
  /// The fields of TIdTCPServerStatistics, counted as they say.
  std::atomic<uint64_t> Accepted{0};
  std::atomic<uint64_t> Filtered{0};
  std::atomic<uint64_t> Refused{0};
  std::atomic<uint64_t> Served{0};
  std::atomic<uint64_t> Failed{0};
  std::atomic<uint64_t> CurrentPeers{0};
  std::atomic<uint64_t> PeakPeers{0};
  std::atomic<uint64_t> ListenerFailures{0};
  ///@}

  /// Adds one to the counter.
  static void Count(std::atomic<uint64_t>& ACounter) { ACounter.fetch_add(1, std::memory_order_relaxed); }

  /// A peer thread begins to serve a connection: counts it live and raises
  /// the peak when it is passed.
  void PeerStarted() {
    const uint64_t now = CurrentPeers.fetch_add(1, std::memory_order_relaxed) + 1;
    uint64_t peak = PeakPeers.load(std::memory_order_relaxed);
    while (peak < now && !PeakPeers.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
  }
  /// A peer thread has ended its connection, served or failed.
  void PeerEnded(bool AFailed) {
    Count(AFailed ? Failed : Served);
    CurrentPeers.fetch_sub(1, std::memory_order_relaxed);
  }
  /// A peer thread counted by PeerStarted that never ran.
  void PeerNotStarted() { CurrentPeers.fetch_sub(1, std::memory_order_relaxed); }

  /// The counts now, each read on its own.
  TIdTCPServerStatistics Snapshot() const {
    TIdTCPServerStatistics s;
    s.Accepted = Accepted.load(std::memory_order_relaxed);
    s.Filtered = Filtered.load(std::memory_order_relaxed);
    s.Refused = Refused.load(std::memory_order_relaxed);
    s.Served = Served.load(std::memory_order_relaxed);
    s.Failed = Failed.load(std::memory_order_relaxed);
    s.CurrentPeers = CurrentPeers.load(std::memory_order_relaxed);
    s.PeakPeers = PeakPeers.load(std::memory_order_relaxed);
    s.ListenerFailures = ListenerFailures.load(std::memory_order_relaxed);
    return s;
  }
};

/// The UDP server's counters, as TIdTCPServerCounters.
struct alignas(64) TIdUDPServerCounters {
  ///@{
  /// The fields of TIdUDPServerStatistics, counted as they say.
  std::atomic<uint64_t> Received{0};
  std::atomic<uint64_t> Answered{0};
  std::atomic<uint64_t> Dropped{0};
  std::atomic<uint64_t> Failed{0};
  ///@}

  /// Adds one to the counter.
  static void Count(std::atomic<uint64_t>& ACounter) { ACounter.fetch_add(1, std::memory_order_relaxed); }

  /// The counts now, each read on its own.
  TIdUDPServerStatistics Snapshot() const {
    TIdUDPServerStatistics s;
    s.Received = Received.load(std::memory_order_relaxed);
    s.Answered = Answered.load(std::memory_order_relaxed);
    s.Dropped = Dropped.load(std::memory_order_relaxed);
    s.Failed = Failed.load(std::memory_order_relaxed);
    return s;
  }
};

}  // namespace ostrevan
