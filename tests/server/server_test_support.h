// SPDX-License-Identifier: MIT
#pragma once

// Helpers for the server tests: activation on a loopback port the system
// chooses, and journal entries for exceptions.

#include <cstdint>
#include <exception>
#include <string>

#include "ostrevan/net/errors.h"
#include "ostrevan/runtime/object.h"
#include "ostrevan/server/tcp_server.h"

namespace ostrevan::testing {

// Adds a binding on 127.0.0.1 with a port the system chooses, activates the
// server and returns that port.
inline uint16_t ActivateOnLoopback(TIdTCPServer& server) {
  TIdSocketHandle* binding = server.Bindings().Add();
  binding->SetIP("127.0.0.1");
  binding->SetPort(0);
  server.SetActive(true);
  return static_cast<uint16_t>(binding->Port());
}

// "<class>: <message>", with the error number of a socket error.
inline std::string Describe(const std::exception& e) {
  std::string text = ClassNameOf(typeid(e));
  if (auto* socketError = dynamic_cast<const EIdSocketError*>(&e)) {
    text += ' ';
    text += std::to_string(socketError->ErrorNumber());
  }
  text += ": ";
  text += e.what();
  return text;
}

}  // namespace ostrevan::testing
