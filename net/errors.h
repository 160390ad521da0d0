// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

#include "ostrevan/export.h"
#include "ostrevan/runtime/exception.h"

namespace ostrevan {

/// A failed socket call: the error number (errno, or h_errno for a host
/// look-up) and the text the stack's table gives for it.
class OSTREVAN_EXPORT EIdSocketError : public EIdException {
 public:
  /// An error for the error number with its text.
  EIdSocketError(int32_t errorNumber, std::string message)
      : EIdException(std::move(message)), ErrorNumber_(errorNumber) {}
  /// The error number.
  int32_t ErrorNumber() const { return ErrorNumber_; }

 private:
  int32_t ErrorNumber_;
};

/// Raised with "Cannot allocate socket.".
OSTREVAN_EXCEPTION_MSG(EIdInvalidSocket, EIdException, "Cannot allocate socket.");
/// Raised with "Set Size Exceeded.".
OSTREVAN_EXCEPTION_MSG(EIdSetSizeExceeded, EIdException, "Set Size Exceeded.");
/// A service name the system does not know: "<name> is not a valid service.".
OSTREVAN_EXCEPTION(EIdInvalidServiceName, EIdException);

/// An error that ends an operation without being worth a report.
OSTREVAN_EXCEPTION(EIdSilentException, EIdException);
/// Raised with "Connection Closed Gracefully.".
OSTREVAN_EXCEPTION_MSG(EIdConnClosedGracefully, EIdSilentException, "Connection Closed Gracefully.");
/// Raised with "Disconnected.".
OSTREVAN_EXCEPTION_MSG(EIdClosedSocket, EIdException, "Disconnected.");
/// Raised with "Read Timeout".
OSTREVAN_EXCEPTION_MSG(EIdReadTimeout, EIdException, "Read Timeout");
/// Raised with "Max line length exceeded.".
OSTREVAN_EXCEPTION_MSG(EIdReadLnMaxLineLengthExceeded, EIdException, "Max line length exceeded.");
/// Raised with "Connect timed out.".
OSTREVAN_EXCEPTION_MSG(EIdConnectTimeout, EIdException, "Connect timed out.");
/// A connection attempt that failed, with the reason the connect gave.
OSTREVAN_EXCEPTION(EIdConnectException, EIdException);

/// A reply whose code the caller did not allow: the code and the reply text.
class OSTREVAN_EXPORT EIdProtocolReplyError : public EIdException {
 public:
  /// An error for the reply code with the reply's text.
  EIdProtocolReplyError(int32_t replyCode, std::string message)
      : EIdException(std::move(message)), ReplyErrorCode_(replyCode) {}
  /// The reply's code.
  int32_t ReplyErrorCode() const { return ReplyErrorCode_; }

 private:
  int32_t ReplyErrorCode_;
};

/// Root of the errors of socket handles and bindings.
OSTREVAN_EXCEPTION(EIdSocketHandleError, EIdException);
/// A binding's port range whose lower end is above its upper end.
OSTREVAN_EXCEPTION(EIdInvalidPortRange, EIdSocketHandleError);
/// No port of a binding's port range could be bound.
OSTREVAN_EXCEPTION(EIdCanNotBindPortInRange, EIdSocketHandleError);
/// Raised with "Could not bind socket. Address and port are already in use.".
OSTREVAN_EXCEPTION_MSG(EIdCouldNotBindSocket, EIdSocketHandleError,
                       "Could not bind socket. Address and port are already in use.");

}  // namespace ostrevan
