#include "conn/component.h"

#include <atomic>

#include "net/stack.h"
#include "runtime/exception.h"
#include "runtime/format.h"

namespace ostrevan {

std::mutex ComponentCountLock;

namespace {

// Changed without the lock while it stays above zero (a connection and its
// handler come and go with every client, on the listener and peer threads);
// the steps from 0 to 1 and from 1 to 0, which create and free the stack,
// are made under ComponentCountLock.
std::atomic<int32_t> LiveComponents{0};

// Counts one more component when there is one already, and so a stack.
bool TryAddToLiveCount() {
  int32_t count = LiveComponents.load(std::memory_order_relaxed);
  while (count > 0) {
    if (LiveComponents.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel)) {
      return true;
    }
  }
  return false;
}

// Counts one component less when it is not the last one.
bool TryRemoveFromLiveCount() {
  int32_t count = LiveComponents.load(std::memory_order_relaxed);
  while (count > 1) {
    if (LiveComponents.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
      return true;
    }
  }
  return false;
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

TIdComponent::TIdComponent(TComponent* AOwner) : TIdBaseComponent(AOwner) {
  if (TryAddToLiveCount()) return;
  std::lock_guard<std::mutex> guard(ComponentCountLock);
  if (LiveComponents.load(std::memory_order_relaxed) > 0) {
    LiveComponents.fetch_add(1, std::memory_order_acq_rel);
    return;
  }
  // The first component: the stack is installed before the count says so,
  // so that nobody counting itself in without the lock finds none.
  SetGlobalStack(TIdStack::CreatePlatformStack().release());
  LiveComponents.store(1, std::memory_order_release);
}

TIdComponent::~TIdComponent() {
  // Owned components count too; they must go before this one's decrement.
  DestroyComponents();
  if (TryRemoveFromLiveCount()) return;
  std::lock_guard<std::mutex> guard(ComponentCountLock);
  // A component made meanwhile without the lock keeps the stack alive.
  if (LiveComponents.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  TIdStack* stack = GlobalStack();
  SetGlobalStack(nullptr);
  // The last component frees the stack that the first one made.
  delete stack;
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
