// SPDX-License-Identifier: MIT
#include "ostrevan/time/time_server.h"

#include "ostrevan/server/peer_thread.h"
#include "ostrevan/time/clock.h"
#include "ostrevan/time/time_protocol_count.h"

namespace ostrevan {

TIdTimeServer::TIdTimeServer(TComponent* AOwner) : TIdTCPServer(AOwner) {
  SetDefaultPort(kDefaultTimePort);
  BaseDate_ = 2.0;
  // The answer is written and the connection closed in one step, so the
  // four bytes and the end of the stream can leave in one segment: one
  // packet less each way and one wake-up less for the client.
  SetCorkConnections(true);
}

bool TIdTimeServer::ExecutePeer(TIdPeerThread& AThread) {
  TIdTCPServerConnection* connection = AThread.Connection();
  const uint32_t count = TimeProtocolCount(CurrentDateTime(), BaseDate_);
  connection->WriteUInt32(count, true);
  connection->Disconnect();
  return true;
}

}  // namespace ostrevan
