// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ostrevan/export.h"
#include "ostrevan/runtime/stream.h"

namespace ostrevan {

/// Told after bytes were removed from the front of a buffer: the buffer and
/// how many bytes went.
using TIdBufferBytesRemoved = std::function<void(TObject* Sender, int32_t ACount)>;

/// A growable block of bytes that gives up bytes from its front and reports
/// every such removal. A connection uses one as the block a receive fills and
/// one for each write. Used only by the thread that uses its connection.
class OSTREVAN_EXPORT TIdSimpleBuffer : public TMemoryStream {
 public:
  /// An empty buffer; AOnRemoved is told of every removal.
  explicit TIdSimpleBuffer(TIdBufferBytesRemoved AOnRemoved = nullptr);

  /// The first ACount bytes as text (one character per byte), removed.
  virtual std::string TakeText(int32_t ACount);
  /// Removes the first ACount bytes. Taking or discarding more bytes than the
  /// buffer holds, or a negative count, raises EIdNotEnoughDataInBuffer and
  /// leaves the buffer as it was, without calling OnRemoved. An exception
  /// from OnRemoved reaches the caller after the bytes are gone.
  virtual void Discard(int32_t ACount);

  /// Called after every removal, a removal of 0 bytes included.
  TIdBufferBytesRemoved OnRemoved;

 protected:
  /// Raises EIdNotEnoughDataInBuffer unless ACount bytes (ACount 0 or more) can be removed.
  void CheckRemovable(int32_t ACount);
  /// Calls OnRemoved with ACount, when set.
  void NotifyRemoved(int32_t ACount);
};

}  // namespace ostrevan
