// SPDX-License-Identifier: MIT
#include "ostrevan/conn/managed_buffer.h"

#include <algorithm>
#include <cstring>

namespace ostrevan {

TIdManagedBuffer::TIdManagedBuffer(TIdBufferBytesRemoved AOnRemoved)
    : TIdSimpleBuffer(std::move(AOnRemoved)) {}

void TIdManagedBuffer::KeepPositionInUnreadBytes() {
  if (BlockPosition() < ReadOffset_) SeekBlock(ReadOffset_, soBeginning);
}

int64_t TIdManagedBuffer::Seek(int64_t offset, TSeekOrigin origin) {
  if (origin == soBeginning) {
    SeekBlock(std::max<int64_t>(offset, 0) + ReadOffset_, soBeginning);
  } else {
    SeekBlock(offset, origin);
  }
  KeepPositionInUnreadBytes();
  return BlockPosition() - ReadOffset_;
}

void TIdManagedBuffer::SetSize(int64_t value) {
  if (value <= 0) {
    Clear();
    return;
  }
  SetBlockSize(value + ReadOffset_);
}

uint8_t* TIdManagedBuffer::Memory() { return Block() == nullptr ? nullptr : Block() + ReadOffset_; }

void TIdManagedBuffer::Clear() {
  TIdSimpleBuffer::Clear();
  ReadOffset_ = 0;
}

void TIdManagedBuffer::Discard(int32_t ACount) {
  CheckRemovable(ACount);
  if (ACount == Size()) {
    Clear();
  } else {
    ReadOffset_ += ACount;
    KeepPositionInUnreadBytes();
    if (ReadOffset_ >= CompactThreshold_) Compact();
  }
  NotifyRemoved(ACount);
}

void TIdManagedBuffer::Compact() {
  if (ReadOffset_ <= 0) return;
  int64_t unread = BlockSize() - ReadOffset_;
  int64_t position = BlockPosition() - ReadOffset_;
  std::memmove(Block(), Block() + ReadOffset_, static_cast<size_t>(unread));
  ReadOffset_ = 0;
  SetBlockSize(unread);
  SeekBlock(position, soBeginning);
}

}  // namespace ostrevan
