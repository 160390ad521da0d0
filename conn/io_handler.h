// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

#include "ostrevan/export.h"
#include "ostrevan/conn/component.h"

namespace ostrevan {

/// The transport under one connection: the connection never touches a socket
/// itself but asks its handler whether it is connected, waits on it for
/// readability, and receives and sends raw blocks through it.
///
/// Used by the thread of its connection; Close may also come from another
/// thread (the server's shutdown), and a transport must allow that.
class OSTREVAN_EXPORT TIdIOHandler : public TIdComponent {
 public:
  /// A handler of AOwner (none: ownerless).
  explicit TIdIOHandler(TComponent* AOwner) : TIdComponent(AOwner) {}
  /// A derived transport closes itself in its own destructor: by the time
  /// this one runs, the derived Close no longer exists.
  ~TIdIOHandler() override;

  /// Called by the peer thread before it serves an accepted connection.
  virtual void PrepareAccepted() {}
  /// Ends the transport; a blocked wait or receive on another thread ends.
  virtual void Close() {}
  /// A client connect to host and port, from the given local address and
  /// port (or port range), within the time (ms; -1 or 0: a plain blocking
  /// connect; -2: a timed connect without limit).
  virtual void ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP = "",
                         int32_t ABoundPort = 0, int32_t ABoundPortMin = 0,
                         int32_t ABoundPortMax = 0, int32_t ATimeout = -1);
  /// True while the transport is open.
  virtual bool Connected() = 0;
  /// Makes the transport ready for an accept or a connect.
  virtual void Open() {}
  /// True when data (or the peer's close) is there within the time (ms;
  /// -2: no limit).
  virtual bool WaitReadable(int32_t AMSec) = 0;
  ///@{
  /// One receive or send; the raw result: a byte count, 0 when the peer has
  /// closed (receive), or -1 with the error left for the caller's check.
  virtual int32_t Receive(void* ABuffer, int32_t ALength) = 0;
  virtual int32_t Send(const void* ABuffer, int32_t ALength) = 0;
  ///@}
};

}  // namespace ostrevan
