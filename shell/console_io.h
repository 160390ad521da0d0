// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "ostrevan/shell/write_interrupter.h"

namespace ostrevan {

// What one wait for console input brought.
enum class TConsoleEvent {
  Line,           // a line was read
  EndOfInput,     // standard input has ended; no more lines will come
  StopRequested,  // SIGTERM or SIGHUP: stop as the EXIT command does
};

// The operator's terminal: lines from standard input, texts to standard
// output, and the operator's signals (runtime/operator_signals.h), all on
// the main thread.
//
// The operator's signals are blocked in every thread and taken through a
// signal descriptor here, so a signal never interrupts the program at an
// arbitrary point. The console looks for one before every line it hands
// out, while it waits for input, and whenever a write to standard output
// does not complete at once (a TWriteInterrupter breaks a write that
// blocks). A signal taken during a write is acted on at the next read:
// SIGINT raises EControlC, SIGQUIT EQuit, SIGTERM and SIGHUP give
// StopRequested. From the moment a signal is taken the program is ending,
// so output that standard output does not take within one tick is dropped,
// with all that follows. SIGPIPE is ignored, so that a closed standard
// output is a failed write rather than a kill.
//
// A failed read or write raises EInOutError until EndOnStreamErrors is
// called; from then on it ends the console instead (see there).
class TConsole {
 public:
  // A longer line (carriage returns not counted) is read up to its line
  // feed and handed out as an empty line, so that no command runs from it
  // and its bytes are not kept.
  static constexpr size_t kMaxLineLength = 1024 * 1024;

  TConsole();
  ~TConsole();
  TConsole(const TConsole&) = delete;
  TConsole& operator=(const TConsole&) = delete;

  // The next line (without its line end; carriage returns are dropped
  // wherever they stand), the end of input, or a stop request; raises
  // EControlC or EQuit for those signals. A signal already taken comes
  // before any line still queued.
  TConsoleEvent ReadLine(std::string& line);
  // From now on an input or output error ends the console as the end of
  // input does, for a program whose service outlives its console: a failed
  // read drops the line it cut short, and ReadLine hands out the lines read
  // before it and then EndOfInput; a failed write drops all output from then
  // on, with every line not yet handed out, so that ReadLine gives
  // EndOfInput next. Nothing is raised for either.
  void EndOnStreamErrors() { EndOnStreamErrors_ = true; }
  // After the end of input: waits for a signal only. Returns StopRequested
  // for SIGTERM and SIGHUP; raises EControlC or EQuit for the other two.
  TConsoleEvent WaitForSignal();

  // Writes the text and a line feed, at once.
  void Print(std::string_view text);
  // Writes the text without a line end, at once.
  void Write(std::string_view text);

  // Makes sure descriptors 0, 1 and 2 are open (on /dev/null if not), so
  // that no socket the program opens later takes their place.
  static void EnsureStandardDescriptors();

 private:
  // Reads the signal descriptor without waiting; true once a signal has
  // been taken (now or before).
  bool TakeSignal();
  // What the signal taken means for the caller: raises or returns.
  TConsoleEvent ActOnSignal() const;
  // Waits until standard input (when AWatchInput) or the signal descriptor
  // is readable; true when input is.
  bool WaitReadable(bool AWatchInput);
  // Waits until standard output takes bytes again or a signal comes; for a
  // descriptor that someone else made non-blocking.
  void WaitWritable();
  void ReadInput();
  // Splits what was read into lines, enforcing kMaxLineLength.
  void Append(std::string_view data);
  // A read or write failed: raises EInOutError, or ends the console once
  // EndOnStreamErrors has been called.
  void InputFailed();
  void OutputFailed();

  int SignalFd_ = -1;
  int SignalTaken_ = 0;  // the first operator signal taken, 0 for none
  bool OutputDropped_ = false;
  bool EndOnStreamErrors_ = false;
  TWriteInterrupter Interrupter_;
  bool InputEnded_ = false;
  std::deque<std::string> Lines_;  // complete lines read but not yet handed out
  std::string Partial_;            // the line still being read
  bool Discarding_ = false;        // that line is too long and is being skipped
};

}  // namespace ostrevan
