// SPDX-License-Identifier: MIT
#include "ostrevan/conn/component.h"

#include <atomic>

#include "ostrevan/net/stack.h"
#include "ostrevan/runtime/exception.h"
#include "ostrevan/runtime/format.h"

namespace ostrevan {

std::mutex ComponentCountLock;

namespace {

// The number of components alive, for LiveComponentCount.
std::atomic<int32_t> LiveComponents{0};

// The stack the live components share: each holds a reference, and the
// last reference to go frees it. Read and set under ComponentCountLock.
std::weak_ptr<TIdStack> SharedStack;

// Runs when the last component lets go of the stack. A component made
// meanwhile may have installed a new stack already; that one stays.
void FreeSharedStack(TIdStack* AStack) {
  std::lock_guard<std::mutex> guard(ComponentCountLock);
  if (GlobalStack() == AStack) SetGlobalStack(nullptr);
  std::unique_ptr<TIdStack> freed(AStack);
}

// The shared stack, made by the first component.
std::shared_ptr<TIdStack> AcquireSharedStack() {
  std::lock_guard<std::mutex> guard(ComponentCountLock);
  std::shared_ptr<TIdStack> stack = SharedStack.lock();
  if (stack != nullptr) return stack;
  stack = std::shared_ptr<TIdStack>(TIdStack::CreatePlatformStack().release(), FreeSharedStack);
  SharedStack = stack;
  SetGlobalStack(stack.get());
  return stack;
}

constexpr const char* StatusTexts[] = {
    "Resolving hostname %s.",  // hsResolving
    "Connecting to %s.",       // hsConnecting
    "Connected.",              // hsConnected
    "Disconnecting.",          // hsDisconnecting
    "Disconnected.",           // hsDisconnected
    "%s",                      // hsStatusText
    "%s",                      // ftpTransfer
    "%s",                      // ftpReady
    "%s",                      // ftpAborted
};

// Fills the %s placeholders of a format text with the texts in turn ("%%"
// is a percent sign). Every argument of a status is text, so nothing else
// is needed; a placeholder without a text, or another conversion, is a
// format error as in the runtime's Format.
std::string FormatTexts(const std::string& format, const std::vector<std::string>& args) {
  std::string result;
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      result += format[i];
      continue;
    }
    const char conversion = i + 1 < format.size() ? format[i + 1] : '\0';
    if (conversion == '%') {
      result += '%';
    } else if (conversion == 's' && next < args.size()) {
      result += args[next++];
    } else {
      throw EConvertError(
          Format("Format '%s' invalid or incompatible with argument", format.c_str()));
    }
    ++i;
  }
  return result;
}

}  // namespace

std::string StatusText(TIdStatus AStatus) { return StatusTexts[AStatus]; }

int32_t LiveComponentCount() { return LiveComponents.load(std::memory_order_acquire); }

TIdComponent::TIdComponent(TComponent* AOwner)
    : TIdBaseComponent(AOwner), Stack_(AcquireSharedStack()) {
  LiveComponents.fetch_add(1, std::memory_order_acq_rel);
}

TIdComponent::~TIdComponent() {
  // Owned components count too; they must go before this one lets go of
  // the stack.
  DestroyComponents();
  LiveComponents.fetch_sub(1, std::memory_order_acq_rel);
}

void TIdComponent::NotifyStatus(TIdStatus AStatus) { NotifyStatus(AStatus, {}); }

void TIdComponent::NotifyStatus(TIdStatus AStatus, const std::vector<std::string>& AArgs) {
  if (!OnStatus) return;
  // No arguments still fill one placeholder, with nothing: "Resolving
  // hostname ." keeps its blank.
  const std::string text =
      AArgs.empty() ? FormatTexts(StatusText(AStatus), {std::string()})
                    : FormatTexts(StatusText(AStatus), AArgs);
  OnStatus(this, AStatus, text);
}

void TIdComponent::WorkBegin(TWorkMode AWorkMode, int32_t ASize) {
  TWorkInfo& info = WorkInfos_[AWorkMode];
  ++info.Level;
  if (info.Level != 1) return;
  info.Max = ASize;
  info.Position = 0;
  if (OnWorkBegin) OnWorkBegin(this, AWorkMode, ASize);
}

void TIdComponent::WorkProgress(TWorkMode AWorkMode, int32_t ACount) {
  TWorkInfo& info = WorkInfos_[AWorkMode];
  if (info.Level <= 0) return;
  // 32-bit arithmetic that wraps rather than overflows on very long units.
  info.Position = static_cast<int32_t>(static_cast<uint32_t>(info.Position) +
                                       static_cast<uint32_t>(ACount));
  if (OnWork) OnWork(this, AWorkMode, info.Position);
}

void TIdComponent::WorkEnd(TWorkMode AWorkMode) {
  TWorkInfo& info = WorkInfos_[AWorkMode];
  // The level drops only after the handler returns: a raising OnWorkEnd
  // leaves the unit open, deliberately.
  if (info.Level == 1 && OnWorkEnd) OnWorkEnd(this, AWorkMode);
  --info.Level;
}

}  // namespace ostrevan
