// SPDX-License-Identifier: MIT
#include "ostrevan/client/query/time_query.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <system_error>
#include <thread>

#include "ostrevan/client/socks_errors.h"
#include "ostrevan/client/socks_info.h"
#include "ostrevan/conn/io_handler_socket.h"
#include "ostrevan/conn/tcp_connection.h"
#include "ostrevan/net/errors.h"
#include "ostrevan/net/socket_handle.h"
#include "ostrevan/net/stack.h"

namespace ostrevan {

namespace {

constexpr int32_t AnswerLength = 4;
// How long a UDP query waits for an answer before it asks again.
constexpr int64_t kUdpRetryMs = 1000;
// Seconds from 1900-01-01 to 1970-01-01.
constexpr int64_t SecondsTo1970 = 2208988800;
constexpr int64_t CountWrap = int64_t{1} << 32;

// Closes the handler when the time is up, so that whatever waits on it (the
// proxy's answer, the server's bytes) ends at once. Lives on a thread of its
// own; Cancel and Expired come from the query's thread, and the handler's
// Close is safe from any thread.
class TDeadline {
 public:
  TDeadline(TIdIOHandlerSocket& AHandler, int32_t AMs) {
    try {
      Thread_ = std::thread([this, &AHandler, AMs] { Watch(AHandler, AMs); });
    } catch (const std::system_error& e) {
      // Under a process limit, for example: without the watch there is no
      // time-out, so the query does not start.
      throw EQueryFailed("cannot start the thread that enforces the time-out: " + e.code().message());
    }
  }
  ~TDeadline() { Cancel(); }
  TDeadline(const TDeadline&) = delete;
  TDeadline& operator=(const TDeadline&) = delete;

  void Cancel() {
    {
      std::lock_guard<std::mutex> guard(Lock_);
      Cancelled_ = true;
    }
    Wake_.notify_all();
    if (Thread_.joinable()) Thread_.join();
  }
  bool Expired() const { return Expired_.load(); }

 private:
  void Watch(TIdIOHandlerSocket& AHandler, int32_t AMs) {
    std::unique_lock<std::mutex> lock(Lock_);
    if (Wake_.wait_for(lock, std::chrono::milliseconds(AMs), [this] { return Cancelled_; })) return;
    Expired_ = true;
    lock.unlock();
    AHandler.Close();
  }

  std::mutex Lock_;  // guards Cancelled_
  std::condition_variable Wake_;
  bool Cancelled_ = false;
  std::atomic<bool> Expired_{false};
  std::thread Thread_;  // last: it starts watching once the rest exists
};

std::string VersionText(TSocksVersion AVersion) {
  switch (AVersion) {
    case svSocks4: return "4";
    case svSocks4A: return "4a";
    case svSocks5: return "5";
    case svNoSocks: break;
  }
  return "";
}

std::string ProxyText(const TQueryOptions& AOptions) {
  return "SOCKS " + VersionText(AOptions.Socks) + " proxy " +
         HostAndPort(AOptions.ProxyHost, AOptions.ProxyPort);
}

// Socket errors read "Socket Error # 111\r\nConnection refused."; the
// user gets one line.
std::string OneLine(const std::string& AMessage) {
  std::string line = AMessage;
  for (size_t at = line.find("\r\n"); at != std::string::npos; at = line.find("\r\n", at)) {
    line.replace(at, 2, ": ");
  }
  return line;
}

std::string ConnectFailure(const TQueryOptions& AOptions, const Exception& AError) {
  const std::string server = HostAndPort(AOptions.Host, AOptions.Port);
  if (AOptions.Socks == svNoSocks) return "cannot connect to " + server + ": " + OneLine(AError.Message());
  if (dynamic_cast<const EIdSocksError*>(&AError) != nullptr) {
    return ProxyText(AOptions) + " did not connect to " + server + ": " + AError.Message();
  }
  return "cannot connect to " + server + " through the " + ProxyText(AOptions) + ": " +
         OneLine(AError.Message());
}

std::string ConnectTimedOut(const TQueryOptions& AOptions) {
  std::string text = "timed out after " + std::to_string(AOptions.TimeoutMs) +
                     " ms connecting to " + HostAndPort(AOptions.Host, AOptions.Port);
  if (AOptions.Socks != svNoSocks) text += " through the " + ProxyText(AOptions);
  return text;
}

std::string ReadTimedOut(const TQueryOptions& AOptions) {
  return "timed out after " + std::to_string(AOptions.TimeoutMs) +
         " ms waiting for the time from " + HostAndPort(AOptions.Host, AOptions.Port);
}

void ConfigureProxy(TIdIOHandlerSocket& AHandler, const TQueryOptions& AOptions) {
  if (AOptions.Socks == svNoSocks) return;
  TIdSocksInfo& socks = *AHandler.SocksInfo();
  socks.SetVersion(AOptions.Socks);
  socks.SetHost(AOptions.ProxyHost);
  socks.SetPort(AOptions.ProxyPort);
  socks.SetAuthentication(AOptions.Authentication);
  socks.SetUsername(AOptions.Username);
  socks.SetPassword(AOptions.Password);
}

// Ends this side of the stream, as the client of RFC 868 closes once it has
// the time: a server that waits for that before it closes then does so.
// The receiving side stays open for the end of the answer.
void EndSending(TIdIOHandlerSocket& AHandler) {
  TIdIOHandlerSocket::TBindingUse use(AHandler);
  if (use.Acquired()) GlobalStack()->ShutdownSocket(AHandler.Binding()->Descriptor(), SHUT_WR);
}

uint32_t CountOf(const uint8_t* ABytes) {
  uint32_t count = 0;
  for (int32_t i = 0; i < AnswerLength; ++i) count = (count << 8) | ABytes[i];
  return count;
}

std::string UdpFailure(const TQueryOptions& AOptions, const std::string& AWhat) {
  return "asking " + HostAndPort(AOptions.Host, AOptions.Port) + " over UDP failed: " + AWhat;
}

// A connected datagram socket: the system then passes on only the server's
// datagrams, and reports a port that nobody serves as a refused connection.
// The empty datagram that asks is sent again each second, as datagrams may
// be lost; the first answer counts.
uint32_t QueryTimeOverUdp(const TQueryOptions& AOptions) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(AOptions.TimeoutMs);
  TIdComponent stackUser(nullptr);  // keeps the socket stack while the query runs
  TIdStack& stack = *GlobalStack();
  const TIdIPVersion version = TIdStack::IsIPv6Address(AOptions.Host)   ? Id_IPv6
                               : TIdStack::IsDottedAddress(AOptions.Host) ? Id_IPv4
                                                                          : AOptions.IPVersion;
  TIdSocketHandle socket(nullptr);
  try {
    socket.SetPeerAddress(stack.ResolveToAddress(AOptions.Host, version), AOptions.Port);
    socket.SetIPVersion(version);
    socket.Allocate(SOCK_DGRAM, 0);
    stack.CheckSocketResult(socket.ConnectToPeer(FamilyOf(version)));
  } catch (const Exception& e) {
    throw EQueryFailed(UdpFailure(AOptions, OneLine(e.Message())));
  }
  uint8_t answer[512];
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      throw EQueryFailed("timed out after " + std::to_string(AOptions.TimeoutMs) +
                         " ms waiting for the time from " +
                         HostAndPort(AOptions.Host, AOptions.Port) + " over UDP");
    }
    int32_t length = socket.SendBytes(answer, 0, 0);
    if (length != IdSocketError &&
        socket.WaitReadable(static_cast<int32_t>(std::min<int64_t>(left, kUdpRetryMs)))) {
      // MSG_TRUNC: the datagram's own length, also when it is longer than
      // the buffer.
      length = socket.ReceiveBytes(answer, sizeof(answer), MSG_TRUNC);
      if (length == AnswerLength) return CountOf(answer);
      if (length >= 0) {
        throw EQueryFailed(HostAndPort(AOptions.Host, AOptions.Port) + " answered with " +
                           std::to_string(length) + " bytes over UDP instead of the 4 of a time answer");
      }
    }
    if (length == IdSocketError) {
      try {
        stack.CheckSocketResult(length, {EINTR});
      } catch (const Exception& e) {
        throw EQueryFailed(UdpFailure(AOptions, OneLine(e.Message())));
      }
    }
  }
}

}  // namespace

std::string HostAndPort(const std::string& AHost, int32_t APort) {
  const bool ipv6 = AHost.find(':') != std::string::npos;
  return (ipv6 ? "[" + AHost + "]" : AHost) + ":" + std::to_string(APort);
}

uint32_t QueryTime(const TQueryOptions& AOptions) {
  if (AOptions.Udp) return QueryTimeOverUdp(AOptions);
  TIdIOHandlerSocket handler(nullptr);
  handler.SetIPVersion(AOptions.IPVersion);
  ConfigureProxy(handler, AOptions);
  TIdTCPConnection connection(nullptr);
  connection.SetIOHandler(&handler);
  TDeadline deadline(handler, AOptions.TimeoutMs);

  try {
    handler.ConnectTo(AOptions.Host, AOptions.Port, "", 0, 0, 0, AOptions.TimeoutMs);
  } catch (const EIdConnectTimeout&) {
    throw EQueryFailed(ConnectTimedOut(AOptions));
  } catch (const Exception& e) {
    throw EQueryFailed(deadline.Expired() ? ConnectTimedOut(AOptions) : ConnectFailure(AOptions, e));
  }

  // An answer is four bytes, which may come in pieces, and then the end of
  // the stream. Reading stops at the first receive that brings more, so a
  // server that sends without end is read no further than that.
  TIdManagedBuffer& answer = connection.InBuffer();
  try {
    while (answer.Size() <= AnswerLength && connection.FillInputBuffer(false, -2, false) > 0) {
      if (answer.Size() == AnswerLength) EndSending(handler);
    }
  } catch (const Exception& e) {
    if (!deadline.Expired()) {
      throw EQueryFailed("reading the time from " + HostAndPort(AOptions.Host, AOptions.Port) +
                         " failed: " + OneLine(e.Message()));
    }
  }
  deadline.Cancel();
  const std::string server = HostAndPort(AOptions.Host, AOptions.Port);
  if (answer.Size() > AnswerLength) {
    throw EQueryFailed(server + " sent more than the 4 bytes of a time answer");
  }
  if (answer.Size() < AnswerLength) {
    if (deadline.Expired()) throw EQueryFailed(ReadTimedOut(AOptions));
    throw EQueryFailed(server + " closed the connection after " + std::to_string(answer.Size()) +
                       " of the 4 bytes of a time answer");
  }
  if (deadline.Expired()) {
    throw EQueryFailed("timed out after " + std::to_string(AOptions.TimeoutMs) + " ms waiting for " +
                       server + " to close the connection after the 4 bytes of a time answer");
  }
  const std::string bytes = answer.TakeText(AnswerLength);
  return CountOf(reinterpret_cast<const uint8_t*>(bytes.data()));
}

std::string FormatTimeLine(uint32_t ACount) {
  const int64_t wraps = ACount < (uint32_t{1} << 31) ? 1 : 0;
  const std::time_t unixTime =
      static_cast<std::time_t>(int64_t{ACount} + wraps * CountWrap - SecondsTo1970);
  std::tm utc{};
  gmtime_r(&unixTime, &utc);
  char text[64];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S UTC", &utc);
  return std::string(text) + " (count " + std::to_string(ACount) + ")";
}

}  // namespace ostrevan
