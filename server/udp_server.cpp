// SPDX-License-Identifier: MIT
#include "ostrevan/server/udp_server.h"

#include <sys/socket.h>

#include "ostrevan/net/stack.h"
#include "ostrevan/server/listener_thread.h"
#include "ostrevan/server/udp_listener_thread.h"

namespace ostrevan {

namespace {

// The small services that answer every datagram, or take any: a datagram
// from one of them is an answer or a reflection, never a question.
constexpr int32_t kAnsweringServicePorts[] = {7, 9, 13, 19, 37};

bool MayFeedALoop(int32_t APeerPort, int32_t AOwnPort) {
  if (APeerPort == 0 || APeerPort == AOwnPort) return true;
  for (int32_t port : kAnsweringServicePorts) {
    if (APeerPort == port) return true;
  }
  return false;
}

}  // namespace

TIdUDPServer::TIdUDPServer(TComponent* AOwner)
    : TIdComponent(AOwner),
      Bindings_(std::make_unique<TIdSocketHandles>(this)),
      Counters_(std::make_unique<TIdUDPServerCounters>()) {}

TIdUDPServer::~TIdUDPServer() {
  Retire();
  Bindings_.reset();
}

void TIdUDPServer::operator delete(TIdUDPServer* AServer, std::destroying_delete_t) {
  AServer->Retire();
  DestroyAndFree(AServer);
}

void* TIdUDPServer::operator new(std::size_t ASize) { return ::operator new(ASize); }

void TIdUDPServer::operator delete(void* AMemory) { ::operator delete(AMemory); }

void TIdUDPServer::Retire() {
  try {
    SetActive(false);
  } catch (...) {
    // Stopping raises nothing the destruction could act on.
  }
}

void TIdUDPServer::SetActive(bool value) {
  // As a TCP server's: while designing or loading only the flag is kept.
  if (Designing() || Loading() || value == Active_) {
    Active_ = value;
    return;
  }
  if (value) {
    Activate();
  } else {
    StopListeners();
    CloseBindings();
  }
  Active_ = value;
}

void TIdUDPServer::Loaded() {
  TIdComponent::Loaded();
  if (Active_) {
    Active_ = false;
    SetActive(true);
  }
}

void TIdUDPServer::Activate() {
  if (Bindings_->Count() == 0) Bindings_->AddDefault();
  try {
    for (int i = 0; i < Bindings_->Count(); ++i) {
      TIdSocketHandle& binding = *Bindings_->Items(i);
      // An adopted socket is bound already.
      if (!binding.Adopted()) {
        binding.Allocate(SOCK_DGRAM, 0);
        binding.BindLocal();
      }
      ListenerThreads_.push_back(std::make_unique<TIdUDPListenerThread>(this, &binding));
      ListenerThreads_.back()->Start();
    }
  } catch (...) {
    // Nothing half-open stays behind a failed activation.
    StopListeners();
    CloseBindings();
    throw;
  }
}

void TIdUDPServer::StopListeners() {
  for (auto& listener : ListenerThreads_) StopListenerThread(*listener, *listener->Binding());
  ListenerThreads_.clear();
}

void TIdUDPServer::CloseBindings() {
  for (int i = 0; i < Bindings_->Count(); ++i) Bindings_->Items(i)->Close();
}

void TIdUDPServer::SendTo(TIdSocketHandle& ABinding, const std::string& APeerIP, int32_t APeerPort,
                          const void* AData, int32_t ALength) {
  TIdStack& stack = *GlobalStack();
  stack.CheckSocketResult(stack.SendToSocket(ABinding.Descriptor(), AData, ALength, 0, APeerIP,
                                             static_cast<uint16_t>(APeerPort),
                                             FamilyOf(ABinding.IPVersion())));
  TIdUDPServerCounters::Count(Counters_->Answered);
}

bool TIdUDPServer::ListenersAlive() const {
  if (!Active_ || ListenerThreads_.empty()) return false;
  for (const auto& listener : ListenerThreads_) {
    if (listener->TerminateRequested() || listener->Finished() || !listener->Binding()->Allocated()) {
      return false;
    }
  }
  return true;
}

void TIdUDPServer::DoUDPRead(const std::string& AData, TIdSocketHandle& ABinding,
                             const std::string& APeerIP, int32_t APeerPort) {
  if (OnUDPRead) OnUDPRead(*this, AData, ABinding, APeerIP, APeerPort);
}

void TIdUDPServer::UDPException(TIdUDPListenerThread& AThread, const std::exception& AException) {
  if (OnUDPException) OnUDPException(AThread, AException);
}

bool TIdUDPServer::DropsAsLoop(const TIdSocketHandle& ABinding, int32_t APeerPort) {
  if (!LoopGuard_ || !MayFeedALoop(APeerPort, ABinding.Port())) return false;
  TIdUDPServerCounters::Count(Counters_->Dropped);
  return true;
}

}  // namespace ostrevan
