// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <string>

#include "ostrevan/net/errors.h"

namespace ostrevan::testing {

// The message of the E that the action raises, or "nothing raised". Any
// other exception passes to the test, which then fails with it.
template <class E>
std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const E& e) {
    return e.Message();
  }
  return "nothing raised";
}

// "<error number>|<message>" of the EIdSocketError that the action raises,
// or "nothing raised".
inline std::string SocketErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EIdSocketError& e) {
    return std::to_string(e.ErrorNumber()) + "|" + e.Message();
  }
  return "nothing raised";
}

}  // namespace ostrevan::testing
