// ostrevan-query: asks an RFC 868 time server for the time, directly or
// through a SOCKS 4, 4a or 5 proxy, and prints it.
#include <exception>
#include <iostream>

#include "client/query/query_options.h"
#include "client/query/time_query.h"

int main(int argc, char** argv) {
  using namespace ostrevan;
  const TQueryCommandLine commandLine = ParseQueryCommandLine(argc, argv);
  switch (commandLine.Kind) {
    case TQueryCommandLine::kHelp:
      std::cout << QueryUsageText() << std::flush;
      return 0;
    case TQueryCommandLine::kError:
      std::cerr << "ostrevan-query: " << commandLine.Error << " (see ostrevan-query --help)"
                << std::endl;
      return 2;
    case TQueryCommandLine::kRun:
      break;
  }
  try {
    std::cout << FormatTimeLine(QueryTime(commandLine.Options)) << std::endl;
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "ostrevan-query: " << e.what() << std::endl;
    return 1;
  }
}
