// SPDX-License-Identifier: MIT
#include "ostrevan/conn/simple_buffer.h"

#include <algorithm>
#include <cstring>

#include "ostrevan/conn/errors.h"

namespace ostrevan {

TIdSimpleBuffer::TIdSimpleBuffer(TIdBufferBytesRemoved AOnRemoved) : OnRemoved(std::move(AOnRemoved)) {}

void TIdSimpleBuffer::CheckRemovable(int32_t ACount) {
  // A negative count would read before the block; it is refused like an
  // excessive one rather than moving memory that is not there.
  if (ACount < 0 || ACount > Size()) throw EIdNotEnoughDataInBuffer();
}

void TIdSimpleBuffer::NotifyRemoved(int32_t ACount) {
  if (OnRemoved) OnRemoved(this, ACount);
}

std::string TIdSimpleBuffer::TakeText(int32_t ACount) {
  CheckRemovable(ACount);
  std::string result;
  if (ACount > 0) result.assign(reinterpret_cast<const char*>(Memory()), static_cast<size_t>(ACount));
  Discard(ACount);
  return result;
}

void TIdSimpleBuffer::Discard(int32_t ACount) {
  CheckRemovable(ACount);
  int64_t size = BlockSize();
  if (ACount == size) {
    Clear();
  } else if (ACount > 0) {
    int64_t remaining = size - ACount;
    std::memmove(Block(), Block() + ACount, static_cast<size_t>(remaining));
    // The position stays on the byte it was on, or at the front if that byte went.
    int64_t position = std::max<int64_t>(BlockPosition() - ACount, 0);
    SetBlockSize(remaining);
    SeekBlock(position, soBeginning);
  }
  NotifyRemoved(ACount);
}

}  // namespace ostrevan
