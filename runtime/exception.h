// SPDX-License-Identifier: MIT
#pragma once

#include <exception>
#include <string>

#include "ostrevan/export.h"

namespace ostrevan {

/// Root of every exception the system raises: a message text.
class OSTREVAN_EXPORT Exception : public std::exception {
 public:
  /// An exception with the given message.
  explicit Exception(std::string message = {}) : Message_(std::move(message)) {}
  /// The message.
  const char* what() const noexcept override { return Message_.c_str(); }
  /// The message.
  const std::string& Message() const { return Message_; }

 private:
  std::string Message_;
};

// Declares an exception class that only carries a message. A default
// message, when given, is what the class is raised with elsewhere, so that
// `throw EIdNotConnected();` always says "Not Connected".
#define OSTREVAN_EXCEPTION(Name, Base)         \
  class OSTREVAN_EXPORT Name : public Base {   \
   public:                                     \
    using Base::Base;                          \
  }

#define OSTREVAN_EXCEPTION_MSG(Name, Base, Text)             \
  class OSTREVAN_EXPORT Name : public Base {                 \
   public:                                                   \
    Name() : Base(Text) {}                                   \
    explicit Name(std::string message) : Base(std::move(message)) {} \
  }

/// A text could not be converted, or an object could not be assigned.
OSTREVAN_EXCEPTION(EConvertError, Exception);
/// An index outside a list.
OSTREVAN_EXCEPTION(EListError, Exception);
/// A failure of the platform thread object.
OSTREVAN_EXCEPTION(EThread, Exception);
/// A file could not be opened or created.
OSTREVAN_EXCEPTION(EFOpenError, Exception);
/// A read or write on a stream failed.
OSTREVAN_EXCEPTION(EStreamError, Exception);
/// An input or output error on the standard streams.
OSTREVAN_EXCEPTION(EInOutError, Exception);
/// The terminal interrupt (SIGINT) and quit (SIGQUIT) signals, turned into errors.
OSTREVAN_EXCEPTION_MSG(EControlC, Exception, "Control-C hit");
/// Raised with "Quit".
OSTREVAN_EXCEPTION_MSG(EQuit, Exception, "Quit");

/// Root of every error the network framework raises.
OSTREVAN_EXCEPTION(EIdException, Exception);

}  // namespace ostrevan
