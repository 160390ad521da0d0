// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ostrevan/export.h"
#include "ostrevan/runtime/component.h"

namespace ostrevan {

class TIdStack;

/// The states a component reports through OnStatus (see StatusText).
enum TIdStatus {
  hsResolving,
  hsConnecting,
  hsConnected,
  hsDisconnecting,
  hsDisconnected,
  hsStatusText,
  ftpTransfer,
  ftpReady,
  ftpAborted
};

/// The direction of a unit of work: reading or writing.
enum TWorkMode { wmRead, wmWrite };

/// Told of a status change with its formatted text.
using TIdStatusEvent =
    std::function<void(TObject* ASender, const TIdStatus AStatus, const std::string& AStatusText)>;
/// Told when an outermost unit of work begins, with its size (0: unknown).
using TWorkBeginEvent =
    std::function<void(TObject* Sender, TWorkMode AWorkMode, const int32_t AWorkCountMax)>;
/// Told of a unit of work's progress, with its running total.
using TWorkEvent =
    std::function<void(TObject* Sender, TWorkMode AWorkMode, const int32_t AWorkCount)>;
/// Told when an outermost unit of work ends.
using TWorkEndEvent = std::function<void(TObject* Sender, TWorkMode AWorkMode)>;

/// The format text of a status ("Connecting to %s.").
OSTREVAN_EXPORT std::string StatusText(TIdStatus AStatus);

/// Guards the creation and release of GlobalStack: the first component
/// makes the stack, the last reference to it frees it. No other lock is
/// taken while it is held.
extern std::mutex ComponentCountLock;
/// The number of TIdComponent objects alive.
OSTREVAN_EXPORT int32_t LiveComponentCount();

/// Root of every framework component.
class OSTREVAN_EXPORT TIdBaseComponent : public TComponent {
 public:
  /// A component of AOwner (none: ownerless).
  explicit TIdBaseComponent(TComponent* AOwner) : TComponent(AOwner) {}
};

/// Root of every component that talks to the network: keeps the shared socket
/// stack alive while it exists, and reports status and work progress.
/// Events run on the thread that performs the operation; the work state is
/// that thread's alone.
class OSTREVAN_EXPORT TIdComponent : public TIdBaseComponent {
 public:
  /// A component of AOwner (none: ownerless); the first one alive makes the socket stack.
  explicit TIdComponent(TComponent* AOwner);
  ~TIdComponent() override;

  ///@{
  /// Formats the status's text (with the one empty argument when none is
  /// given) and passes it to OnStatus; nothing happens without a handler.
  void NotifyStatus(TIdStatus AStatus);
  void NotifyStatus(TIdStatus AStatus, const std::vector<std::string>& AArgs);
  ///@}

  ///@{
  /// A unit of work in bytes. Units nest: only the outermost begin and end
  /// fire their events, and progress is reported as the unit's running total.
  virtual void WorkBegin(TWorkMode AWorkMode, int32_t ASize);
  virtual void WorkProgress(TWorkMode AWorkMode, int32_t ACount);
  virtual void WorkEnd(TWorkMode AWorkMode);
  ///@}

  /// The nesting depth of the mode's units; 0 when idle.
  int32_t WorkLevel(TWorkMode AWorkMode) const { return WorkInfos_[AWorkMode].Level; }

  ///@{
  /// The events of NotifyStatus and of the units of work (see WorkBegin).
  TIdStatusEvent OnStatus;
  TWorkEvent OnWork;
  TWorkBeginEvent OnWorkBegin;
  TWorkEndEvent OnWorkEnd;
  ///@}

 private:
  struct TWorkInfo {
    int32_t Position = 0;
    int32_t Max = 0;
    int32_t Level = 0;
  };
  TWorkInfo WorkInfos_[2];  ///< indexed by TWorkMode
  /// Keeps the shared stack (GlobalStack) alive while this component exists.
  std::shared_ptr<TIdStack> Stack_;
};

}  // namespace ostrevan
