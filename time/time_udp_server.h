// SPDX-License-Identifier: MIT
#pragma once

#include "ostrevan/export.h"
#include "ostrevan/server/udp_server.h"
#include "ostrevan/time/date_time.h"

namespace ostrevan {

/// The RFC 868 Time protocol over UDP: every datagram received, empty or
/// not, is answered with one datagram holding the four bytes the TCP service
/// sends for that instant: seconds since BaseDate, most significant first.
/// The datagram's content is never looked at. LoopGuard is on: a datagram
/// that may come from another service that answers every datagram (or from
/// this one elsewhere) is dropped unanswered, so that a forged datagram
/// cannot set two such services answering each other for ever.
///
/// Thread use as TIdUDPServer; DoUDPRead runs on the listener threads and
/// only reads BaseDate, which is set while the server is inactive.
class OSTREVAN_EXPORT TIdTimeUDPServer : public TIdUDPServer {
 public:
  /// The port a new time server listens on: 37, the Time protocol's.
  static constexpr int32_t kDefaultTimePort = 37;

  /// DefaultPort 37, BaseDate 1900-01-01 (2.0), LoopGuard on.
  explicit TIdTimeUDPServer(TComponent* AOwner);
  /// Retired first, so that a server that is not freed with delete (a local,
  /// a member) is stopped while it is whole as well.
  ~TIdTimeUDPServer() override { Retire(); }

  ///@{
  /// Only the whole days count.
  TDateTime BaseDate() const { return BaseDate_; }
  void SetBaseDate(TDateTime value) { BaseDate_ = value; }
  ///@}

  void DoUDPRead(const std::string& AData, TIdSocketHandle& ABinding, const std::string& APeerIP,
                 int32_t APeerPort) override;

 private:
  TDateTime BaseDate_ = 2.0;
};

}  // namespace ostrevan
