#pragma once

#include <string>
#include <string_view>

namespace ostrevan {

// What one wait for console input brought.
enum class TConsoleEvent {
  Line,           // a line was read
  EndOfInput,     // standard input has ended; no more lines will come
  StopRequested,  // SIGTERM: stop as the EXIT command does
};

// The operator's terminal: lines from standard input, texts to standard
// output, and the process's terminating signals, all on the main thread.
//
// SIGINT, SIGQUIT and SIGTERM are blocked in every thread and taken through
// a signalfd here, so a signal never interrupts the program at an arbitrary
// point: it is seen while the console waits, where SIGINT becomes EControlC,
// SIGQUIT becomes EQuit and SIGTERM a stop request. Worker threads inherit the
// blocked mask and never see them. SIGPIPE is ignored, so that a closed
// standard output is an EInOutError from the write rather than a kill.
class TConsole {
 public:
  TConsole();
  ~TConsole();
  TConsole(const TConsole&) = delete;
  TConsole& operator=(const TConsole&) = delete;

  // Waits for the next line (without its line end; carriage returns are
  // dropped wherever they stand), the end of input, or a signal.
  TConsoleEvent ReadLine(std::string& line);
  // After the end of input: waits for a signal only. Returns StopRequested
  // for SIGTERM; raises EControlC or EQuit for the other two.
  TConsoleEvent WaitForSignal();

  // Writes the text and a line feed, at once. Raises EInOutError on failure.
  void Print(std::string_view text);
  // Writes the text without a line end, at once.
  void Write(std::string_view text);

  // Makes sure descriptors 0, 1 and 2 are open (on /dev/null if not), so
  // that no socket the program opens later takes their place.
  static void EnsureStandardDescriptors();

 private:
  // Waits until standard input (when watch_input) or the signal descriptor is
  // readable; handles a signal if one came. True when input is readable.
  bool WaitReadable(bool watch_input, TConsoleEvent& signal_event);
  bool TakeBufferedLine(std::string& line);

  int SignalFd_ = -1;
  bool InputEnded_ = false;
  std::string Pending_;  // bytes read but not yet returned as a line
};

}  // namespace ostrevan
