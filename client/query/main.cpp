// SPDX-License-Identifier: MIT
// ostrevan-query: asks an RFC 868 time server for the time, directly or
// through a SOCKS 4, 4a or 5 proxy, and prints it.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <iostream>
#include <string>

#include "ostrevan/client/query/query_options.h"
#include "ostrevan/client/query/time_query.h"
#include "ostrevan/runtime/sysutils.h"

namespace {

using namespace ostrevan;

// Writes all of the text to standard output; the errno of a failure, or 0.
int WriteToStandardOutput(const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int Fail(const std::string& what) {
  std::cerr << "ostrevan-query: " << what << std::endl;
  return 1;
}

// Status 0 only when the text really reached standard output.
int Show(const std::string& text, const char* what) {
  const int error = WriteToStandardOutput(text);
  if (error == 0) return 0;
  return Fail(std::string("cannot write ") + what + " to standard output: " + SysErrorMessage(error));
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe on standard output is a write error to report, not a kill.
  signal(SIGPIPE, SIG_IGN);
  const TQueryCommandLine commandLine = ParseQueryCommandLine(argc, argv);
  switch (commandLine.Kind) {
    case TQueryCommandLine::kHelp:
      return Show(QueryUsageText(), "the help text");
    case TQueryCommandLine::kVersion:
      return Show("ostrevan-query " OSTREVAN_QUERY_VERSION "\n", "the version");
    case TQueryCommandLine::kError:
      std::cerr << "ostrevan-query: " << commandLine.Error << " (see ostrevan-query --help)"
                << std::endl;
      return 2;
    case TQueryCommandLine::kRun:
      break;
  }
  const TQueryOptions& options = commandLine.Options;
  std::string line;
  try {
    line = FormatTimeLine(QueryTime(options));
  } catch (const EQueryFailed& e) {
    return Fail(e.Message());
  } catch (const std::exception& e) {
    return Fail("asking " + HostAndPort(options.Host, options.Port) + " for the time failed: " +
                e.what());
  }
  return Show(line + "\n", "the time");
}
