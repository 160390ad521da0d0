// SPDX-License-Identifier: MIT
#include "ostrevan/time/time_udp_server.h"

#include "ostrevan/net/stack.h"
#include "ostrevan/time/clock.h"
#include "ostrevan/time/time_protocol_count.h"

namespace ostrevan {

TIdTimeUDPServer::TIdTimeUDPServer(TComponent* AOwner) : TIdUDPServer(AOwner) {
  SetDefaultPort(kDefaultTimePort);
  SetLoopGuard(true);
}

void TIdTimeUDPServer::DoUDPRead(const std::string&, TIdSocketHandle& ABinding,
                                 const std::string& APeerIP, int32_t APeerPort) {
  const uint32_t count = TimeProtocolCount(CurrentDateTime(), BaseDate_);
  const uint32_t wire = GlobalStack()->HostToNetLong(count);
  SendTo(ABinding, APeerIP, APeerPort, &wire, sizeof(wire));
}

}  // namespace ostrevan
