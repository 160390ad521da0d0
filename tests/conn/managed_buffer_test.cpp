// SPDX-License-Identifier: MIT
#include "ostrevan/conn/managed_buffer.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "ostrevan/conn/errors.h"

namespace ostrevan {
namespace {

void Append(TStream& stream, const std::string& bytes) {
  stream.Seek(0, soEnd);
  stream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

std::string Contents(TMemoryStream& buffer) {
  if (buffer.Size() == 0) return {};
  return std::string(reinterpret_cast<const char*>(buffer.Memory()), static_cast<size_t>(buffer.Size()));
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 23);
  return bytes;
}

TEST(ManagedBuffer, ConsumingAdvancesTheViewWithoutMovingBytes) {
  std::vector<int32_t> removed;
  TIdManagedBuffer buffer([&removed](TObject*, int32_t count) { removed.push_back(count); });
  EXPECT_EQ(buffer.CompactThreshold(), 32768);
  Append(buffer, "0123456789");
  const uint8_t* start = buffer.Memory();

  EXPECT_EQ(buffer.TakeText(4), "0123");
  EXPECT_EQ(buffer.Size(), 6);
  EXPECT_EQ(buffer.Memory(), start + 4);
  EXPECT_EQ(buffer.ReadOffset(), 4);
  EXPECT_EQ(removed, (std::vector<int32_t>{4}));

  EXPECT_THROW(buffer.TakeText(7), EIdNotEnoughDataInBuffer);
  EXPECT_THROW(buffer.Discard(-1), EIdNotEnoughDataInBuffer);
  EXPECT_EQ(Contents(buffer), "456789");
  EXPECT_EQ(buffer.ReadOffset(), 4);

  buffer.Discard(0);
  EXPECT_EQ(removed, (std::vector<int32_t>{4, 0}));
  EXPECT_EQ(buffer.TakeText(6), "456789");  // all of it: cleared, nothing moved
  EXPECT_EQ(buffer.ReadOffset(), 0);
  EXPECT_EQ(buffer.Size(), 0);
}

TEST(ManagedBuffer, AppendAndSeekSeeOnlyTheUnreadBytes) {
  TIdManagedBuffer buffer;
  Append(buffer, "abcdef");
  buffer.Discard(2);
  Append(buffer, "gh");
  EXPECT_EQ(buffer.Position(), 6);
  EXPECT_EQ(buffer.Seek(0, soEnd), 6);
  EXPECT_EQ(buffer.Seek(0, soBeginning), 0);
  char first = 0;
  ASSERT_EQ(buffer.Read(&first, 1), 1);
  EXPECT_EQ(first, 'c');
  // No seek reaches into the consumed prefix.
  EXPECT_EQ(buffer.Seek(-100, soCurrent), 0);
  EXPECT_EQ(buffer.Seek(-100, soBeginning), 0);
  EXPECT_EQ(buffer.Seek(-100, soEnd), 0);
  buffer.SetPosition(1);  // on 'd'
  buffer.Discard(3);      // 'd' is gone: the position moves to the first unread byte
  EXPECT_EQ(buffer.Position(), 0);
  EXPECT_EQ(Contents(buffer), "fgh");
  buffer.SetSize(2);
  EXPECT_EQ(Contents(buffer), "fg");
  buffer.Compact();
  EXPECT_EQ(buffer.ReadOffset(), 0);
  EXPECT_EQ(Contents(buffer), "fg");
  buffer.Discard(1);
  buffer.SetSize(0);
  EXPECT_EQ(buffer.ReadOffset(), 0);
}

TEST(ManagedBuffer, CompactsExactlyWhenTheConsumedPrefixReachesTheThreshold) {
  const std::string bytes = Pattern(40000);
  TIdManagedBuffer buffer;
  Append(buffer, bytes);
  const uint8_t* start = buffer.Memory();
  int64_t consumed = 0;
  while (consumed + 7 < 32768) {
    buffer.Discard(7);
    consumed += 7;
    ASSERT_EQ(buffer.ReadOffset(), consumed);
    ASSERT_EQ(buffer.Memory(), start + consumed);
  }
  buffer.SetPosition(10);  // compaction keeps the position on its byte
  buffer.Discard(7);       // the prefix reaches 32768 here for the first time
  consumed += 7;
  ASSERT_GE(consumed, 32768);
  EXPECT_EQ(buffer.ReadOffset(), 0);
  EXPECT_EQ(buffer.Memory(), start);
  EXPECT_EQ(buffer.Position(), 3);
  EXPECT_EQ(Contents(buffer), bytes.substr(static_cast<size_t>(consumed)));

  // Taking everything clears the buffer rather than compacting it.
  buffer.Discard(static_cast<int32_t>(buffer.Size()));
  EXPECT_EQ(buffer.Size(), 0);
  EXPECT_EQ(buffer.ReadOffset(), 0);
}

// Random appends, takes, discards, seeks and reads against a plain string.
TEST(ManagedBuffer, BehavesLikeAStringQueue) {
  std::mt19937 random(20261208);
  int64_t reported = 0;
  TIdManagedBuffer buffer([&reported](TObject*, int32_t count) { reported += count; });
  buffer.SetCompactThreshold(1000);  // compact often enough to be exercised
  std::string model;
  int64_t removed = 0;
  for (int step = 0; step < 20000; ++step) {
    switch (random() % 4) {
      case 0: {
        std::string bytes = Pattern(random() % 300);
        for (char& c : bytes) c = static_cast<char>(c + step % 3);
        Append(buffer, bytes);
        model += bytes;
        break;
      }
      case 1: {
        auto count = static_cast<int32_t>(random() % 200);
        if (count > static_cast<int32_t>(model.size())) {
          ASSERT_THROW(buffer.TakeText(count), EIdNotEnoughDataInBuffer);
        } else {
          ASSERT_EQ(buffer.TakeText(count), model.substr(0, static_cast<size_t>(count)));
          model.erase(0, static_cast<size_t>(count));
          removed += count;
        }
        break;
      }
      case 2: {
        auto count = static_cast<int32_t>(random() % (model.size() + 1));
        buffer.Discard(count);
        model.erase(0, static_cast<size_t>(count));
        removed += count;
        break;
      }
      default: {
        auto at = static_cast<int64_t>(random() % (model.size() + 1));
        ASSERT_EQ(buffer.Seek(at, soBeginning), at);
        char byte = 0;
        if (at < static_cast<int64_t>(model.size())) {
          ASSERT_EQ(buffer.Read(&byte, 1), 1);
          ASSERT_EQ(byte, model[static_cast<size_t>(at)]);
        }
        break;
      }
    }
    ASSERT_EQ(buffer.Size(), static_cast<int64_t>(model.size()));
    ASSERT_LT(buffer.ReadOffset(), 1000);
  }
  EXPECT_EQ(Contents(buffer), model);
  EXPECT_EQ(reported, removed);
}

}  // namespace
}  // namespace ostrevan
