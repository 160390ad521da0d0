// SPDX-License-Identifier: MIT
#include "ostrevan/client/query/query_options.h"

#include <limits>
#include <optional>
#include <string_view>
#include <vector>

namespace ostrevan {

namespace {

// A decimal number in [low, high], digits only: no sign, blank or base prefix.
std::optional<int64_t> ParseNumber(std::string_view text, int64_t low, int64_t high) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::optional<int32_t> ParsePort(std::string_view text) {
  const auto value = ParseNumber(text, 1, 65535);
  if (!value) return std::nullopt;
  return static_cast<int32_t>(*value);
}

std::optional<TSocksVersion> ParseSocksVersion(std::string_view text) {
  if (text == "4") return svSocks4;
  if (text == "4a" || text == "4A") return svSocks4A;
  if (text == "5") return svSocks5;
  return std::nullopt;
}

// One word of the command line; "--name=value" is the word "--name" with
// its value attached.
struct TWord {
  std::string Text;
  std::optional<std::string> Value;
};

std::vector<TWord> SplitWords(int argc, char** argv) {
  std::vector<TWord> words;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    const size_t equals = word.find('=');
    if (!optionsEnded && word.rfind("--", 0) == 0 && word.size() > 2 && equals != std::string::npos) {
      words.push_back({word.substr(0, equals), word.substr(equals + 1)});
    } else {
      words.push_back({word, std::nullopt});
    }
    if (word == "--") optionsEnded = true;
  }
  return words;
}

// What each option is; the long name is the one its messages use.
enum TOptionKind {
  okSocks, okProxy, okUser, okPassword, okTimeout, okIPv4, okIPv6, okUdp, okHelp, okVersion
};
struct TOptionEntry {
  const char* Short;  // nullptr: none
  const char* Long;
  TOptionKind Kind;
  bool TakesValue;
};
constexpr TOptionEntry OptionTable[] = {
    {"-s", "--socks", okSocks, true},        {"-x", "--proxy", okProxy, true},
    {"-u", "--user", okUser, true},          {"-p", "--password", okPassword, true},
    {"-t", "--timeout", okTimeout, true},    {"-4", "--ipv4", okIPv4, false},
    {"-6", "--ipv6", okIPv6, false},         {nullptr, "--udp", okUdp, false},
    {"-h", "--help", okHelp, false},         {nullptr, "--version", okVersion, false},
};

const TOptionEntry* FindOption(const std::string& word) {
  for (const TOptionEntry& known : OptionTable) {
    if (word == known.Long || (known.Short != nullptr && word == known.Short)) return &known;
  }
  return nullptr;
}

// Words that are arguments, not options: "-" alone, and a minus sign
// before a digit other than the options -4 and -6 ("-5" is a port to
// reject).
bool IsPositional(const std::string& word) {
  if (word == "-4" || word == "-6") return false;
  return word.size() < 2 || word[0] != '-' || (word[1] >= '0' && word[1] <= '9');
}

// "[ADDRESS]" is the IPv6 address ADDRESS, as in URLs.
std::string Unbracketed(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

// HOST[:PORT] of the proxy into host and port text; false without a port.
// "[::1]:1080", "[::1]" and "::1" are the IPv6 address ::1: an address with
// more than one colon needs the brackets to carry a port.
bool SplitHostAndPort(const std::string& value, std::string& host, std::string& port) {
  size_t colon = std::string::npos;
  if (value.rfind('[', 0) == 0) {
    const size_t close = value.find(']');
    if (close != std::string::npos && close + 1 < value.size() && value[close + 1] == ':') {
      colon = close + 1;
    }
  } else if (value.find(':') == value.rfind(':')) {
    colon = value.find(':');
  }
  host = Unbracketed(value.substr(0, colon));
  if (colon == std::string::npos) return false;
  port = value.substr(colon + 1);
  return true;
}

// What a host given as an address says of its family: IPv4, IPv6 or
// neither (a name). With -4 or -6 an address of the other family is wrong.
std::string FamilyConflict(const std::string& host, const char* what, TIdIPVersion version) {
  if (version == Id_IPv4 && TIdStack::IsIPv6Address(host)) {
    return std::string("-4 asks for IPv4, but ") + what + " " + host + " is an IPv6 address";
  }
  if (version == Id_IPv6 && TIdStack::IsDottedAddress(host)) {
    return std::string("-6 asks for IPv6, but ") + what + " " + host + " is an IPv4 address";
  }
  return "";
}

TQueryCommandLine Fail(std::string message) {
  TQueryCommandLine result;
  result.Kind = TQueryCommandLine::kError;
  result.Error = std::move(message);
  return result;
}

// Which of the options that others depend on were given.
struct TGiven {
  bool Proxy = false;
  bool User = false;
  bool Password = false;
  bool IPv4 = false;
  bool IPv6 = false;
};

// Cross-checks of options that are each valid alone.
std::string Inconsistency(const TQueryOptions& options, const TGiven& given) {
  if (options.Socks != svNoSocks && !given.Proxy) return "--socks needs --proxy HOST[:PORT]";
  if (options.Socks == svNoSocks && given.Proxy) return "--proxy needs --socks 4, 4a or 5";
  if (options.Socks == svNoSocks && (given.User || given.Password)) {
    return "--user and --password are for a SOCKS proxy (--socks)";
  }
  if ((options.Socks == svSocks4 || options.Socks == svSocks4A) && given.Password) {
    return "--password is for SOCKS 5 only";
  }
  if (options.Username.size() > IdSocksMaxFieldLength) return "--user is longer than 255 bytes";
  if (options.Password.size() > IdSocksMaxFieldLength) return "--password is longer than 255 bytes";
  if (options.Socks != svSocks5 && options.Username.find('\0') != std::string::npos) {
    return "--user contains a zero byte";
  }
  if (options.Socks != svNoSocks && options.Socks != svSocks4 &&
      options.Host.size() > IdSocksMaxFieldLength) {
    return "HOST is longer than 255 bytes, too long for the proxy";
  }
  if ((options.Socks == svSocks4 || options.Socks == svSocks4A) &&
      TIdStack::IsIPv6Address(options.Host)) {
    return "SOCKS 4 and 4a cannot reach an IPv6 HOST; --socks 5 can";
  }
  if (given.IPv4 && given.IPv6) return "-4 and -6 exclude each other";
  if (options.Udp && options.Socks != svNoSocks) return "--udp cannot go through a SOCKS proxy";
  if (given.IPv4 || given.IPv6) {
    // The family is that of the connection made here: to the proxy when
    // there is one.
    if (options.Socks != svNoSocks) return FamilyConflict(options.ProxyHost, "the proxy", options.IPVersion);
    return FamilyConflict(options.Host, "HOST", options.IPVersion);
  }
  return "";
}

// Takes the value of an option; what is wrong with it, or empty.
std::string ApplyValue(TOptionKind AKind, const std::string& AValue, TQueryOptions& options,
                       TGiven& given) {
  switch (AKind) {
    case okSocks: {
      const auto version = ParseSocksVersion(AValue);
      if (!version) return "--socks takes 4, 4a or 5, not \"" + AValue + "\"";
      options.Socks = *version;
      break;
    }
    case okProxy: {
      std::string port;
      if (SplitHostAndPort(AValue, options.ProxyHost, port)) {
        const auto number = ParsePort(port);
        if (!number) return "the proxy's port must be a number from 1 to 65535";
        options.ProxyPort = *number;
      }
      if (options.ProxyHost.empty()) return "--proxy needs a host";
      if (options.ProxyHost.find(':') != std::string::npos &&
          !TIdStack::IsIPv6Address(options.ProxyHost)) {
        return "--proxy " + AValue + " is not HOST[:PORT] (an IPv6 address with a port as [ADDRESS]:PORT)";
      }
      given.Proxy = true;
      break;
    }
    case okUser:
      options.Username = AValue;
      given.User = true;
      break;
    case okPassword:
      options.Password = AValue;
      given.Password = true;
      break;
    case okTimeout: {
      const auto ms = ParseNumber(AValue, 1, std::numeric_limits<int32_t>::max());
      if (!ms) return "--timeout takes milliseconds, a number from 1 to 2147483647";
      options.TimeoutMs = static_cast<int32_t>(*ms);
      break;
    }
    case okIPv4:
    case okIPv6:
    case okUdp:
    case okHelp:
    case okVersion:
      break;  // they take no value
  }
  return "";
}

// Sets what an option without a value stands for.
void ApplyFlag(TOptionKind AKind, TQueryOptions& options, TGiven& given) {
  switch (AKind) {
    case okIPv4:
      options.IPVersion = Id_IPv4;
      given.IPv4 = true;
      break;
    case okIPv6:
      options.IPVersion = Id_IPv6;
      given.IPv6 = true;
      break;
    case okUdp:
      options.Udp = true;
      break;
    default:
      break;
  }
}

}  // namespace

TQueryCommandLine ParseQueryCommandLine(int argc, char** argv) {
  TQueryCommandLine result;
  TQueryOptions& options = result.Options;
  const std::vector<TWord> words = SplitWords(argc, argv);
  std::vector<std::string> positional;
  TGiven given;
  bool optionsEnded = false;

  for (size_t next = 0; next < words.size();) {
    const TWord& word = words[next++];
    if (optionsEnded || IsPositional(word.Text)) {
      positional.push_back(word.Text);
      continue;
    }
    if (word.Text == "--") {
      optionsEnded = true;
      continue;
    }
    const TOptionEntry* known = FindOption(word.Text);
    if (known == nullptr) return Fail("unknown option " + word.Text);
    if (!known->TakesValue) {
      if (word.Value) return Fail(std::string(known->Long) + " takes no value");
      if (known->Kind == okHelp || known->Kind == okVersion) {
        result.Kind = known->Kind == okHelp ? TQueryCommandLine::kHelp : TQueryCommandLine::kVersion;
        return result;
      }
      ApplyFlag(known->Kind, options, given);
      continue;
    }
    if (!word.Value && next >= words.size()) return Fail(word.Text + " needs a value");
    const std::string value = word.Value ? *word.Value : words[next++].Text;
    const std::string wrong = ApplyValue(known->Kind, value, options, given);
    if (!wrong.empty()) return Fail(wrong);
  }

  if (positional.empty()) return Fail("no HOST given");
  if (positional.size() > 2) return Fail("too many arguments: " + positional[2]);
  options.Host = Unbracketed(positional[0]);
  if (options.Host.empty()) return Fail("HOST is empty");
  if (options.Host.find(':') != std::string::npos && !TIdStack::IsIPv6Address(options.Host)) {
    return Fail("HOST " + positional[0] + " is neither a name nor an address");
  }
  if (positional.size() == 2) {
    const auto port = ParsePort(positional[1]);
    if (!port) return Fail("PORT must be a number from 1 to 65535, not \"" + positional[1] + "\"");
    options.Port = *port;
  }
  const std::string wrong = Inconsistency(options, given);
  if (!wrong.empty()) return Fail(wrong);
  if (options.Socks == svSocks5 && (given.User || given.Password)) {
    options.Authentication = saUsernamePassword;
  }
  return result;
}

std::string QueryUsageText() {
  return R"(Usage: ostrevan-query [OPTIONS] HOST [PORT]

Asks the time server at HOST (a host name, an IPv4 address or an IPv6
address such as ::1) for the time over the Time protocol (RFC 868, port 37
unless PORT is given), over TCP, directly or through a SOCKS proxy, or over
UDP, and prints it in UTC together with the count of seconds since
1900-01-01 00:00 that the server sent, for example:

  2026-12-08 18:31:06 UTC (count 4005743466)

Options:
  -s, --socks VERSION      go through a SOCKS proxy speaking VERSION: 4, 4a or 5
  -x, --proxy HOST[:PORT]  the SOCKS proxy (PORT 1080 unless given); an IPv6
                           address with a port as [ADDRESS]:PORT, e.g. [::1]:1080
  -u, --user NAME          user name for the proxy: the user id of SOCKS 4 and
                           4a, or the login of SOCKS 5 (at most 255 bytes)
  -p, --password WORD      password of a SOCKS 5 login (at most 255 bytes); other
                           users of this machine can see it in the process list
  -4, --ipv4               look names up for IPv4 addresses (the default)
  -6, --ipv6               look names up for IPv6 addresses
      --udp                ask over UDP: one datagram, answered by one of four
                           bytes; asked again each second until the time-out
  -t, --timeout MS         give up after MS milliseconds in all (default 10000):
                           the connect, the proxy's answer, the four bytes and
                           the server's close
  -h, --help               show this text
      --version            show the program's version

-4 and -6 apply to the connection made from here: to HOST, or to the proxy
when there is one; an address is always of its own family. SOCKS 5 logs in
with a user name and password when --user or --password is given. With
SOCKS 4 HOST is looked up here (IPv4 only); with 4a and 5 the proxy looks it
up. An IPv6 HOST needs SOCKS 5.

The count is 32 bits wide and wraps on 2036-02-07 06:28:16 UTC; a count below
2^31 is read as lying after that day.

Exit status: 0 when the time was printed; 1 when the query failed or the
time could not be written, with the reason in one line on standard error;
2 when the command line is wrong.
)";
}

}  // namespace ostrevan
