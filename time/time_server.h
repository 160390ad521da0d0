// SPDX-License-Identifier: MIT
#pragma once

#include "ostrevan/export.h"
#include "ostrevan/server/tcp_server.h"
#include "ostrevan/time/date_time.h"

namespace ostrevan {

/// The RFC 868 Time protocol over TCP: every connection receives the local
/// time as four bytes, seconds since BaseDate, most significant byte first,
/// and is closed. Nothing is read from the client.
///
/// Thread use as TIdTCPServer; ExecutePeer runs on many peer threads at once
/// and only reads BaseDate, which is set while the server is inactive.
class OSTREVAN_EXPORT TIdTimeServer : public TIdTCPServer {
 public:
  /// The port a new time server listens on: 37, the Time protocol's.
  static constexpr int32_t kDefaultTimePort = 37;

  /// DefaultPort 37, BaseDate 1900-01-01 (2.0), CorkConnections true.
  explicit TIdTimeServer(TComponent* AOwner);
  /// Retired first, so that a server that is not freed with delete (a local,
  /// a member) is stopped while it is whole as well.
  ~TIdTimeServer() override { Retire(); }

  ///@{
  /// Only the whole days count.
  TDateTime BaseDate() const { return BaseDate_; }
  void SetBaseDate(TDateTime value) { BaseDate_ = value; }
  ///@}

  /// Writes the count and disconnects; the command handlers and OnExecute
  /// are never used.
  bool ExecutePeer(TIdPeerThread& AThread) override;

 private:
  TDateTime BaseDate_ = 2.0;
};

}  // namespace ostrevan
