#pragma once

#include <functional>
#include <string>

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

}  // namespace ostrevan::testing
