// SPDX-License-Identifier: MIT
#pragma once

#include <cerrno>
#include <memory>

#include "ostrevan/net/stack.h"
#include "ostrevan/net/stack_linux.h"

namespace ostrevan::testing {

// A stack on a system without IPv6: creating an IPv6 socket fails with
// EAFNOSUPPORT, as on a kernel built or booted without it.
class TNoIPv6Stack : public TIdStackLinux {
 public:
  int32_t OpenSocket(int32_t AFamily, int32_t AStruct, int32_t AProtocol) override {
    if (AFamily != AF_INET6) return TIdStackLinux::OpenSocket(AFamily, AStruct, AProtocol);
    return Failed(EAFNOSUPPORT);
  }
};

// Makes S the platform stack while it lives; to be made while no component
// (and so no shared stack) exists.
template <class S>
class TPlatformStackInUse {
 public:
  TPlatformStackInUse() {
    TIdStack::SetPlatformStackClass([] { return std::make_unique<S>(); });
  }
  ~TPlatformStackInUse() { TIdStack::SetPlatformStackClass(nullptr); }
  TPlatformStackInUse(const TPlatformStackInUse&) = delete;
  TPlatformStackInUse& operator=(const TPlatformStackInUse&) = delete;
};

}  // namespace ostrevan::testing
