// SPDX-License-Identifier: MIT
#include "ostrevan/conn/simple_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostrevan/conn/errors.h"

namespace ostrevan {
namespace {

struct TRemovals {
  std::vector<int32_t> Counts;
  TObject* LastSender = nullptr;
  TIdBufferBytesRemoved Handler() {
    return [this](TObject* sender, int32_t count) {
      LastSender = sender;
      Counts.push_back(count);
    };
  }
};

void Append(TStream& stream, const std::string& bytes) {
  stream.Seek(0, soEnd);
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

std::string Contents(TMemoryStream& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.Memory()), static_cast<size_t>(buffer.Size()));
}

TEST(SimpleBuffer, TakeTextRemovesTheFrontAndReportsIt) {
  TRemovals removals;
  TIdSimpleBuffer buffer(removals.Handler());
  Append(buffer, "0123456789");
  EXPECT_EQ(buffer.TakeText(4), "0123");
  EXPECT_EQ(Contents(buffer), "456789");
  EXPECT_EQ(buffer.TakeText(6), "456789");
  EXPECT_EQ(buffer.Size(), 0);
  buffer.Discard(0);
  EXPECT_EQ(removals.Counts, (std::vector<int32_t>{4, 6, 0}));
  EXPECT_EQ(removals.LastSender, &buffer);
}

TEST(SimpleBuffer, TooManyOrNegativeBytesLeaveTheBufferAlone) {
  TRemovals removals;
  TIdSimpleBuffer buffer(removals.Handler());
  Append(buffer, "0123456789");
  for (int32_t count : {11, -1, INT32_MIN}) {
    try {
      buffer.TakeText(count);
      ADD_FAILURE() << count;
    } catch (const EIdNotEnoughDataInBuffer& e) {
      EXPECT_STREQ(e.what(), "Not enough data in buffer.");
    }
    EXPECT_THROW(buffer.Discard(count), EIdNotEnoughDataInBuffer);
  }
  EXPECT_EQ(Contents(buffer), "0123456789");
  EXPECT_TRUE(removals.Counts.empty());
}

TEST(SimpleBuffer, PositionStaysOnItsByteAcrossARemoval) {
  TIdSimpleBuffer buffer;  // no event
  Append(buffer, "abcdefgh");
  buffer.SetPosition(5);
  buffer.Discard(3);
  char next = 0;
  ASSERT_EQ(buffer.Read(&next, 1), 1);
  EXPECT_EQ(next, 'f');
  buffer.SetPosition(1);
  buffer.Discard(3);
  EXPECT_EQ(buffer.Position(), 0);
  EXPECT_EQ(Contents(buffer), "gh");
}

TEST(SimpleBuffer, AnEventThatRaisesComesAfterTheRemoval) {
  TIdSimpleBuffer buffer([](TObject*, int32_t) { throw EIdException("from the event"); });
  Append(buffer, "abcdef");
  EXPECT_THROW(buffer.Discard(2), EIdException);
  EXPECT_EQ(Contents(buffer), "cdef");
}

}  // namespace
}  // namespace ostrevan
