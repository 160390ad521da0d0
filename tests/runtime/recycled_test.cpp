// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "ostrevan/runtime/recycled.h"

namespace ostrevan {
namespace {

class TKept : public TRecycled<TKept> {
 public:
  virtual ~TKept() = default;
  int Value = 0;
};

class TLarger : public TKept {
 public:
  char Extra[256] = {};
};

TEST(Recycled, ABlockFreedOnAnotherThreadGoesToTheNextObjectOfItsSizeOnly) {
  if (!TRecycledStore::KeepsBlocks()) GTEST_SKIP() << "blocks are not kept under AddressSanitizer";
  auto* first = new TKept;
  const void* block = first;
  std::thread([first] { delete first; }).join();
  // Had the block gone back to the allocator, a plain allocation of its
  // size could take it now.
  void* plain = ::operator new(sizeof(TKept));
  // A larger derived object goes to the allocator and leaves the kept
  // block where it is.
  auto larger = std::make_unique<TLarger>();
  EXPECT_NE(static_cast<const void*>(larger.get()), block);
  std::unique_ptr<TKept> base_deleted(new TLarger);
  base_deleted.reset();
  auto second = std::make_unique<TKept>();
  EXPECT_EQ(static_cast<const void*>(second.get()), block);
  EXPECT_EQ(second->Value, 0);
  ::operator delete(plain);
}

TEST(Recycled, StoreKeepsAtMostItsCapacity) {
  TRecycledStore store(64);
  std::vector<void*> blocks;
  for (size_t i = 0; i < TRecycledStore::kCapacity + 4; ++i) blocks.push_back(store.Take(64));
  for (void* block : blocks) store.Give(block, 64);
  // Taken again, the kept blocks come back (last given, first taken); the
  // ones past the capacity went to the allocator.
  std::vector<void*> again;
  for (size_t i = 0; i < TRecycledStore::kCapacity; ++i) again.push_back(store.Take(64));
  if (TRecycledStore::KeepsBlocks()) {
    for (size_t i = 0; i < TRecycledStore::kCapacity; ++i) {
      EXPECT_EQ(again[i], blocks[TRecycledStore::kCapacity - 1 - i]);
    }
  }
  for (void* block : again) store.Give(block, 64);
}

}  // namespace
}  // namespace ostrevan
