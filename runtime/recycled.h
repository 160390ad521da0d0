// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <mutex>
#include <new>

#include "ostrevan/export.h"

namespace ostrevan {

/// A small shared store of freed memory blocks of one size.
///
/// The objects of a connection (its thread, its connection object, its I/O
/// handler and socket) are made by the listener and freed by the connection's
/// own thread just before it ends. Handed back to the allocator, such a block
/// costs the ending thread a cache of its own that it sets up for a handful of
/// frees and gives back at its exit, under the lock of the listener's arena,
/// and the listener allocates from that arena again for the next connection.
/// Kept here instead, the block goes straight to the next object of its class.
///
/// Only blocks of exactly the store's size are kept (a derived class bigger
/// than the one that names the store goes to the allocator both ways), and
/// at most kCapacity of them; nothing is kept in builds with AddressSanitizer,
/// so that a use after free still shows there.
class OSTREVAN_EXPORT TRecycledStore {
 public:
  /// The most blocks a store keeps.
  static constexpr size_t kCapacity = 64;

  /// A store for blocks of ABlockSize bytes.
  explicit TRecycledStore(size_t ABlockSize) : BlockSize_(ABlockSize) {}
  /// Gives the kept blocks back.
  ~TRecycledStore();
  TRecycledStore(const TRecycledStore&) = delete;
  TRecycledStore& operator=(const TRecycledStore&) = delete;

  /// False in builds with AddressSanitizer: every block goes back at once.
  static bool KeepsBlocks();

  /// A kept block when there is one and ASize is the store's size, else a new one from the allocator.
  void* Take(size_t ASize);
  /// Keeps the block while there is room and ASize is the store's size, else frees it.
  void Give(void* ABlock, size_t ASize) noexcept;

 private:
  const size_t BlockSize_;
  std::mutex Lock_;
  size_t Count_ = 0;
  void* Blocks_[kCapacity] = {};
};

/// A base that gives T's objects their memory from a TRecycledStore. The
/// store lives as long as the process: objects freed during static
/// destruction still find it.
template <typename T>
class TRecycled {
 public:
  /// Memory for an object of the class, from its store.
  static void* operator new(size_t ASize) { return Store().Take(ASize); }
  /// Gives an object's memory back to its store.
  static void operator delete(void* ABlock, size_t ASize) noexcept { Store().Give(ABlock, ASize); }

 private:
  static TRecycledStore& Store() {
    static TRecycledStore* store = new TRecycledStore(sizeof(T));
    return *store;
  }
};

}  // namespace ostrevan
