// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <string>

#include "ostrevan/client/query/query_options.h"
#include "ostrevan/runtime/exception.h"

namespace ostrevan {

// Why a time query failed, in one line for the user.
OSTREVAN_EXCEPTION(EQueryFailed, Exception);

// Connects to the time server (through the proxy the options name), reads
// the four bytes of its answer up to the server's close (more bytes are an
// error) and returns them as a number; or, over UDP, asks with a datagram
// and takes the four bytes of the answer. Everything is given up after the
// options' time-out. Failures raise EQueryFailed.
uint32_t QueryTime(const TQueryOptions& AOptions);

// "host:port", an IPv6 address in brackets: "[::1]:37".
std::string HostAndPort(const std::string& AHost, int32_t APort);

// "2026-12-08 18:31:06 UTC (count 4005743466)". A count below 2^31 is taken
// to lie after the wrap of 2036-02-07 06:28:16 UTC.
std::string FormatTimeLine(uint32_t ACount);

}  // namespace ostrevan
