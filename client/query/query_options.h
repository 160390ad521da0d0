// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

#include "ostrevan/client/socks_negotiation.h"
#include "ostrevan/net/stack.h"

namespace ostrevan {

// What ostrevan-query is asked to do.
struct TQueryOptions {
  std::string Host;
  int32_t Port = 37;
  TSocksVersion Socks = svNoSocks;
  std::string ProxyHost;
  int32_t ProxyPort = 1080;
  // SOCKS 5 logs in when a user name or a password is given.
  TSocksAuthentication Authentication = saNoAuthentication;
  std::string Username;
  std::string Password;
  int32_t TimeoutMs = 10000;
  // The family names are looked up in, for HOST or, through a proxy, for
  // the proxy; an address is of its own family.
  TIdIPVersion IPVersion = Id_IPv4;
  // Over UDP: one datagram asks, one of four bytes answers.
  bool Udp = false;
};

// The outcome of reading the command line: options to run with, the help
// text or the version to show, or what is wrong with it.
struct TQueryCommandLine {
  enum TKind { kRun, kHelp, kVersion, kError } Kind = kRun;
  TQueryOptions Options;
  std::string Error;  // kError: one line, without the program's name
};

TQueryCommandLine ParseQueryCommandLine(int argc, char** argv);
std::string QueryUsageText();

}  // namespace ostrevan
