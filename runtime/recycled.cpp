// SPDX-License-Identifier: MIT
#include "ostrevan/runtime/recycled.h"

namespace ostrevan {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kKeepBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kKeepBlocks = false;
#else
constexpr bool kKeepBlocks = true;
#endif
#else
constexpr bool kKeepBlocks = true;
#endif

}  // namespace

TRecycledStore::~TRecycledStore() {
  while (Count_ > 0) ::operator delete(Blocks_[--Count_]);
}

bool TRecycledStore::KeepsBlocks() { return kKeepBlocks; }

void* TRecycledStore::Take(size_t ASize) {
  if (kKeepBlocks && ASize == BlockSize_) {
    std::lock_guard<std::mutex> guard(Lock_);
    if (Count_ > 0) return Blocks_[--Count_];
  }
  return ::operator new(ASize);
}

void TRecycledStore::Give(void* ABlock, size_t ASize) noexcept {
  if (ABlock == nullptr) return;
  if (kKeepBlocks && ASize == BlockSize_) {
    std::lock_guard<std::mutex> guard(Lock_);
    if (Count_ < kCapacity) {
      Blocks_[Count_++] = ABlock;
      return;
    }
  }
  ::operator delete(ABlock);
}

}  // namespace ostrevan
