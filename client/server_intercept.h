// SPDX-License-Identifier: MIT
#pragma once

#include "ostrevan/export.h"
#include "ostrevan/client/connection_intercept.h"
#include "ostrevan/conn/component.h"

namespace ostrevan {

class TIdTCPConnection;

/// A server's source of connection intercepts: the peer thread of every
/// accepted connection installs the intercept that InterceptFor returns.
/// Connections do not own their intercept, so an implementation keeps each
/// one alive while its connection lives (for example by creating it with the
/// connection as its owner). Used by the peer threads, several at once.
class OSTREVAN_EXPORT TIdServerIntercept : public TIdBaseComponent {
 public:
  /// An intercept of AOwner (none: ownerless).
  explicit TIdServerIntercept(TComponent* AOwner) : TIdBaseComponent(AOwner) {}

  /// Prepares the intercept for use.
  virtual void Init() = 0;
  /// The intercept for one connection.
  virtual TIdConnectionIntercept* InterceptFor(TIdTCPConnection* AConnection) = 0;
};

}  // namespace ostrevan
