// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "ostrevan/bench/command_line.h"

namespace ostrevan::bench {

// What the three responders share: the command line "[PORT]
// [--ignore-stdin]" with options of their own, the stop signals, the wait
// for a stop, and main's report of an escaping exception.
struct ResponderArguments {
  int64_t Port = 0;
  bool WatchInput = true;
};

// A responder's own option: nullopt when the argument is none of its own,
// else whether its value was valid.
using OwnOption = std::function<std::optional<bool>(ArgumentReader&)>;

// Reads the arguments; any other than the own options and --ignore-stdin
// is the port. On a bad one prints AUsage to standard error and returns
// false.
bool ReadResponderArguments(int argc, char** argv, const char* AUsage,
                            ResponderArguments& AArguments, const OwnOption& AOwn = {});

// Blocks SIGTERM and SIGINT in the calling thread, and so in every thread
// it starts from then on, and returns a signalfd that reports them; -1 when
// that fails. Called before any thread starts.
int BlockStopSignals();

// Standard input when AWatch and it can end (a pipe, socket or terminal: a
// script's background job gets /dev/null, which must not stop the server);
// else -1.
int StopInput(bool AWatch);

// Returns when a stop signal arrives on AStopFd or AInputFd (-1: none) ends.
void WaitForStop(int AStopFd, int AInputFd);

// main's body: AMain's status, or AFailure after printing "ANAME: what" for
// an exception that escapes it.
int RunReporting(const char* AName, int (*AMain)(int, char**), int argc, char** argv,
                 int AFailure = 1);

}  // namespace ostrevan::bench
