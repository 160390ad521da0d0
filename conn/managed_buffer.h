// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

#include "ostrevan/export.h"
#include "ostrevan/conn/simple_buffer.h"

namespace ostrevan {

/// A connection's input buffer: received bytes are appended at the end
/// (Seek(0, soEnd), then Write) and consumed from the front. Consuming only
/// advances ReadOffset; the block is compacted once the consumed prefix
/// reaches CompactThreshold bytes, and consuming everything clears it without
/// moving anything.
///
/// Every view it gives is of the unread bytes only: Size, Memory, Seek,
/// Position, Read and Write all count from the first unread byte, and the
/// position never moves into the consumed prefix.
/// Used only by the thread that uses its connection.
class OSTREVAN_EXPORT TIdManagedBuffer : public TIdSimpleBuffer {
 public:
  /// The CompactThreshold a new buffer starts with.
  static constexpr int32_t kDefaultCompactThreshold = 32768;

  /// An empty buffer; AOnRemoved is told of every removal.
  explicit TIdManagedBuffer(TIdBufferBytesRemoved AOnRemoved = nullptr);

  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return BlockSize() - ReadOffset_; }
  /// Sets the unread size; 0 or less clears the buffer.
  void SetSize(int64_t value) override;
  uint8_t* Memory() override;
  /// Empties the buffer: size 0 and ReadOffset 0.
  void Clear() override;
  void Discard(int32_t ACount) override;
  /// Moves the unread bytes to the block start; nothing when ReadOffset is 0.
  void Compact();

  ///@{
  /// The size of the consumed prefix at which the block is compacted.
  int32_t CompactThreshold() const { return CompactThreshold_; }
  void SetCompactThreshold(int32_t value) { CompactThreshold_ = value; }
  ///@}
  /// How many consumed bytes lie in front of the unread ones.
  int64_t ReadOffset() const { return ReadOffset_; }

 private:
  void KeepPositionInUnreadBytes();

  int32_t CompactThreshold_ = kDefaultCompactThreshold;
  int64_t ReadOffset_ = 0;
};

}  // namespace ostrevan
