#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace ostrevan::testing {

// How a child process is set up before its body runs.
struct TChildSetup {
  bool OwnNetworkNamespace = false;  // a network of its own: no route out
  bool DropToNobody = false;         // run as uid and gid 65534
};

// What the child reported: its body's text, or the reason it could not be
// set up (Skipped), for tests that cannot run on this machine.
struct TChildOutcome {
  bool Skipped = false;
  std::string Text;
};

// Runs body in a forked child and returns the text it returned. An exception
// escaping the body is reported as "exception: <what>". Fork only while the
// test process has no other threads.
TChildOutcome RunInChild(const TChildSetup& setup, const std::function<std::string()>& body);

}  // namespace ostrevan::testing
