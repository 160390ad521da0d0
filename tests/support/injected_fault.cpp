// SPDX-License-Identifier: MIT
#include "tests/support/injected_fault.h"

#include <vector>

#include "tests/support/wait.h"

namespace ostrevan::testing {

TInjectedFault::TInjectedFault(pid_t pid, const TCall& call) {
  if (FindProgram("strace").empty()) {
    SkipReason_ = "strace is not installed";
    return;
  }
  const std::string when = call.Nth == 0 ? "1+" : std::to_string(call.Nth);
  std::vector<std::string> command{"strace", "-p", std::to_string(pid), "-o", Dir_.File("trace"),
                                   "-e", "trace=" + call.Name, "-e",
                                   "inject=" + call.Name + ":error=" + call.Error + ":when=" + when};
  if (!call.Path.empty()) command.insert(command.end(), {"-P", call.Path});
  if (call.EveryThread) command.push_back("-f");
  TSpawnedProcess::TOptions options;
  options.OutputFile = Dir_.File("messages");
  Strace_ = std::make_unique<TSpawnedProcess>(command, options);
  // strace says so once the thread is attached, or why it cannot be.
  const std::string attached = "Process " + std::to_string(pid) + " attached";
  auto isAttached = [&] { return Dir_.ReadFile("messages").find(attached) != std::string::npos; };
  PollUntil([&] { return isAttached() || !Strace_->Running(); }, kPatience, 10ms);
  if (!isAttached()) {
    const std::string messages = Dir_.ReadFile("messages");
    SkipReason_ = "strace cannot trace the program here: " + messages;
  }
}

TInjectedFault::~TInjectedFault() = default;  // strace detaches on SIGTERM

bool TInjectedFault::Injected(std::chrono::milliseconds timeout, size_t times) {
  return PollUntil([&] { return InjectedCount() >= times; }, timeout, 10ms);
}

size_t TInjectedFault::InjectedCount() {
  const std::string trace = Dir_.ReadFile("trace");
  size_t count = 0;
  for (size_t at = trace.find("(INJECTED)"); at != std::string::npos;
       at = trace.find("(INJECTED)", at + 1)) {
    ++count;
  }
  return count;
}

void TInjectedFault::Detach() {
  if (Strace_ != nullptr) Strace_->Stop();
}

}  // namespace ostrevan::testing
