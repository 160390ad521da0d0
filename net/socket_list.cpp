// SPDX-License-Identifier: MIT
#include "ostrevan/net/socket_list.h"

#include <algorithm>

#include "ostrevan/net/errors.h"

namespace ostrevan {

namespace {

std::unique_ptr<TIdSocketList> DefaultSocketListClass() {
  return std::make_unique<TIdSocketListLinux>();
}

TIdSocketListClass& PlatformSocketListClass() {
  static TIdSocketListClass listClass = DefaultSocketListClass;
  return listClass;
}

}  // namespace

std::unique_ptr<TIdSocketList> TIdSocketList::CreateSocketList() {
  return PlatformSocketListClass()();
}

void TIdSocketList::SetPlatformSocketListClass(TIdSocketListClass AClass) {
  if (!AClass) AClass = DefaultSocketListClass;
  PlatformSocketListClass() = std::move(AClass);
}

TIdSocketListLinux::TIdSocketListLinux() { FD_ZERO(&FDs_); }

void TIdSocketListLinux::CheckHandle(int32_t AHandle) {
  if (AHandle < 0 || AHandle >= FD_SETSIZE) throw EIdSetSizeExceeded();
}

int32_t TIdSocketListLinux::HandleAt(int32_t AIndex) const {
  int32_t seen = 0;
  for (int32_t handle = 0; handle < Bound_; ++handle) {
    if (!FD_ISSET(handle, &FDs_)) continue;
    if (seen == AIndex) return handle;
    ++seen;
  }
  return 0;
}

void TIdSocketListLinux::AddHandle(int32_t AHandle) {
  CheckHandle(AHandle);
  FD_SET(AHandle, &FDs_);
  Bound_ = std::max(Bound_, AHandle + 1);
}

void TIdSocketListLinux::RemoveHandle(int32_t AHandle) {
  CheckHandle(AHandle);
  FD_CLR(AHandle, &FDs_);
  if (AHandle + 1 < Bound_) return;
  Bound_ = 0;
  for (int32_t handle = FD_SETSIZE - 1; handle >= 0; --handle) {
    if (FD_ISSET(handle, &FDs_)) {
      Bound_ = handle + 1;
      break;
    }
  }
}

int32_t TIdSocketListLinux::HandleCount() const {
  int32_t count = 0;
  for (int32_t handle = 0; handle < Bound_; ++handle) {
    if (FD_ISSET(handle, &FDs_)) ++count;
  }
  return count;
}

}  // namespace ostrevan
