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
  EIdSocketError(int32_t errorNumber, std::string message)
      : EIdException(std::move(message)), ErrorNumber_(errorNumber) {}
  int32_t ErrorNumber() const { return ErrorNumber_; }

 private:
  int32_t ErrorNumber_;
};

OSTREVAN_EXCEPTION_MSG(EIdInvalidSocket, EIdException, "Cannot allocate socket.");
OSTREVAN_EXCEPTION_MSG(EIdSetSizeExceeded, EIdException, "Set Size Exceeded.");
OSTREVAN_EXCEPTION(EIdInvalidServiceName, EIdException);

/// An error that ends an operation without being worth a report.
OSTREVAN_EXCEPTION(EIdSilentException, EIdException);
OSTREVAN_EXCEPTION_MSG(EIdConnClosedGracefully, EIdSilentException, "Connection Closed Gracefully.");
OSTREVAN_EXCEPTION_MSG(EIdClosedSocket, EIdException, "Disconnected.");
OSTREVAN_EXCEPTION_MSG(EIdReadTimeout, EIdException, "Read Timeout");
OSTREVAN_EXCEPTION_MSG(EIdReadLnMaxLineLengthExceeded, EIdException, "Max line length exceeded.");
OSTREVAN_EXCEPTION_MSG(EIdConnectTimeout, EIdException, "Connect timed out.");
OSTREVAN_EXCEPTION(EIdConnectException, EIdException);

/// A reply whose code the caller did not allow: the code and the reply text.
class OSTREVAN_EXPORT EIdProtocolReplyError : public EIdException {
 public:
  EIdProtocolReplyError(int32_t replyCode, std::string message)
      : EIdException(std::move(message)), ReplyErrorCode_(replyCode) {}
  int32_t ReplyErrorCode() const { return ReplyErrorCode_; }

 private:
  int32_t ReplyErrorCode_;
};

/// Socket handles and bindings.
OSTREVAN_EXCEPTION(EIdSocketHandleError, EIdException);
OSTREVAN_EXCEPTION(EIdInvalidPortRange, EIdSocketHandleError);
OSTREVAN_EXCEPTION(EIdCanNotBindPortInRange, EIdSocketHandleError);
OSTREVAN_EXCEPTION_MSG(EIdCouldNotBindSocket, EIdSocketHandleError,
                       "Could not bind socket. Address and port are already in use.");

}  // namespace ostrevan
