// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>

#include "ostrevan/export.h"
#include "ostrevan/runtime/component.h"

namespace ostrevan {

/// The process-wide owner of the program's components. It has no window and
/// runs no event loop; deleting it deletes everything it still owns.
class OSTREVAN_EXPORT TApplication : public TComponent {
 public:
  TApplication() : TComponent(nullptr) {}
  ~TApplication() override { DestroyComponents(); }

  /// Marks the application as terminating. Nothing waits on this mark: with
  /// no event loop it has no visible effect, but it is kept for callers.
  void Terminate() { Terminated_ = true; }
  /// True once Terminate was called.
  bool Terminated() const { return Terminated_; }

 private:
  std::atomic<bool> Terminated_{false};
};

}  // namespace ostrevan
