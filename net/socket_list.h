// SPDX-License-Identifier: MIT
#pragma once

#include <sys/select.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "ostrevan/export.h"
#include "ostrevan/runtime/object.h"

namespace ostrevan {

class TIdSocketList;
/// Makes a new socket list of the platform's class.
using TIdSocketListClass = std::function<std::unique_ptr<TIdSocketList>()>;

/// A set of socket descriptors. Used by one thread at a time.
class OSTREVAN_EXPORT TIdSocketList : public TObject {
 public:
  /// The index-th descriptor of the set in ascending order; 0 past the end.
  virtual int32_t HandleAt(int32_t AIndex) const = 0;
  /// Adds the descriptor to the set.
  virtual void AddHandle(int32_t AHandle) = 0;
  /// Removes the descriptor from the set.
  virtual void RemoveHandle(int32_t AHandle) = 0;
  /// The number of descriptors in the set.
  virtual int32_t HandleCount() const = 0;

  /// A new list of the platform socket list class.
  static std::unique_ptr<TIdSocketList> CreateSocketList();
  /// Replaces the platform class (an empty one restores the default).
  static void SetPlatformSocketListClass(TIdSocketListClass AClass);
};

/// The set as a POSIX descriptor set, so it holds descriptors 0 to 1023 only;
/// others raise EIdSetSizeExceeded rather than touch memory beyond the set.
class OSTREVAN_EXPORT TIdSocketListLinux : public TIdSocketList {
 public:
  TIdSocketListLinux();

  int32_t HandleAt(int32_t AIndex) const override;
  void AddHandle(int32_t AHandle) override;
  void RemoveHandle(int32_t AHandle) override;
  int32_t HandleCount() const override;

 private:
  static void CheckHandle(int32_t AHandle);

  fd_set FDs_;
  int32_t Bound_ = 0;  ///< one more than the highest descriptor in the set
};

}  // namespace ostrevan
