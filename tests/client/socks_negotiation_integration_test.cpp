// SPDX-License-Identifier: MIT
// The SOCKS negotiation against scripted proxies: exact request bytes, every
// reply code, and the replies real proxies do not produce (pieces, cut-short
// replies, resets, every bound address type).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostrevan/client/socks_negotiation.h"
#include "tests/support/scripted_socks_proxy.h"
#include "tests/support/socks_test_client.h"

namespace ostrevan::testing {
namespace {

TBytes Concat(std::initializer_list<TBytes> parts) {
  TBytes all;
  for (const TBytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
TBytes Text(const std::string& text) { return TBytes(text.begin(), text.end()); }

const TBytes Socks4Granted{0, 90, 0, 0, 0, 0, 0, 0};
const TBytes Socks5NoAuthChosen{5, 0};
const TBytes Socks5Granted{5, 0, 0, 1, 127, 0, 0, 1, 0, 80};
// What the "destination" says once the proxy has connected on.
const std::string Greeting = "DATA";
const TBytes GreetingBytes = Text(Greeting);

// A SOCKS 5 exchange without authentication up to the connect request for
// a host of the given length.
std::vector<TProxyStep> Socks5Opening(size_t hostLength) {
  return {Read(3), Write(Socks5NoAuthChosen), Read(7 + hostLength)};
}

TEST(SocksRequestBytes, Socks4And4A) {
  {
    TScriptedSocksProxy proxy({Read(9), Write(Socks4Granted), Write(GreetingBytes)});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4), "10.1.2.3", 80), Greeting);
    EXPECT_EQ(proxy.Received(), (TBytes{4, 1, 0, 80, 10, 1, 2, 3, 0}));
  }
  {  // "localhost" is resolved on this side without a look-up.
    TScriptedSocksProxy proxy({Read(12), Write(Socks4Granted)});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4, "abc"), "LocalHost", 0x1234), "");
    EXPECT_EQ(proxy.Received(), (TBytes{4, 1, 0x12, 0x34, 127, 0, 0, 1, 'a', 'b', 'c', 0}));
  }
  {
    TScriptedSocksProxy proxy({Read(22), Write(Socks4Granted)});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4A, "abc"), "localhost", 80), "");
    EXPECT_EQ(proxy.Received(), Concat({{4, 1, 0, 80, 0, 0, 0, 1, 'a', 'b', 'c', 0},
                                        Text("localhost"), {0}}));
  }
}

TEST(SocksRequestBytes, Socks5WithAndWithoutPassword) {
  {
    TScriptedSocksProxy proxy({Read(3), Write(Socks5NoAuthChosen), Read(18),
                               Write(Socks5Granted), Write(GreetingBytes)});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "example.com", 443), Greeting);
    EXPECT_EQ(proxy.Received(), Concat({{5, 1, 0}, {5, 1, 0, 3, 11}, Text("example.com"),
                                        {1, 187}}));
  }
  {  // Dotted text also goes as a name: the proxy resolves it.
    TScriptedSocksProxy proxy({Read(3), Write({5, 2}), Read(13), Write({1, 0}), Read(16),
                               Write(Socks5Granted)});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5, "user", "secret"), "127.0.0.1", 37), "");
    EXPECT_EQ(proxy.Received(),
              Concat({{5, 1, 2}, {1, 4}, Text("user"), {6}, Text("secret"),
                      {5, 1, 0, 3, 9}, Text("127.0.0.1"), {0, 37}}));
  }
}

// SOCKS 5 carries an IPv6 destination as address type 4; SOCKS 4 and 4A
// cannot, and refuse it before sending anything.
TEST(SocksRequestBytes, IPv6Destinations) {
  {
    TScriptedSocksProxy proxy({Read(3), Write(Socks5NoAuthChosen), Read(22), Write(Socks5Granted),
                               Write(GreetingBytes)});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "2001:db8::1", 37), Greeting);
    EXPECT_EQ(proxy.Received(), Concat({{5, 1, 0}, {5, 1, 0, 4, 0x20, 0x01, 0x0D, 0xB8},
                                        TBytes(11, 0), {1}, {0, 37}}));
  }
  for (TSocksVersion version : {svSocks4, svSocks4A}) {
    TScriptedSocksProxy proxy({});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(version), "::1", 37),
              "raised: Socks 4 cannot reach the IPv6 address ::1; Socks 5 can.");
    EXPECT_EQ(proxy.Received(), TBytes{});
  }
}

TEST(SocksReplies, Socks4Codes) {
  const std::vector<std::pair<uint8_t, std::string>> cases{
      {90, Greeting},
      {91, "raised: Request rejected or failed."},
      {92, "raised: Request rejected because SOCKS server cannot connect."},
      {93, "raised: Request rejected because the client program and identd report different "
           "user-ids."},
      {95, "raised: Unknown socks error."},
      {0, "raised: Unknown socks error."}};
  for (const auto& [code, outcome] : cases) {
    TScriptedSocksProxy proxy({Read(9), Write({0, code, 0, 0, 0, 0, 0, 0}), Write(GreetingBytes)});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4), "127.0.0.1", 37), outcome) << int(code);
  }
}

TEST(SocksReplies, Socks5Codes) {
  const std::vector<std::string> messages{
      "General SOCKS server failure.", "Connection not allowed by ruleset.",
      "Network unreachable.", "Host unreachable.", "Connection refused.", "TTL expired.",
      "Command not supported.", "Address type not supported.", "Unknown socks error."};
  for (uint8_t code = 1; code <= 9; ++code) {
    std::vector<TProxyStep> script = Socks5Opening(9);
    script.push_back(Write({5, code, 0, 1, 0, 0, 0, 0, 0, 0}));
    TScriptedSocksProxy proxy(script);
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "127.0.0.1", 37),
              "raised: " + messages[code - 1])
        << int(code);
  }
}

TEST(SocksReplies, Socks5MethodAndLogin) {
  const std::string methodError = "raised: Invalid socks authentication method.";
  {  // No authentication offered, user name and password chosen.
    TScriptedSocksProxy proxy({Read(3), Write({5, 2})});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "localhost", 37), methodError);
  }
  {  // Nothing acceptable, whatever was offered.
    TScriptedSocksProxy proxy({Read(3), Write({5, 255})});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "localhost", 37), methodError);
  }
  {
    TScriptedSocksProxy proxy({Read(3), Write({5, 255})});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5, "u", "p"), "localhost", 37), methodError);
  }
  {  // Any status but 0 is a refusal.
    TScriptedSocksProxy proxy({Read(3), Write({5, 2}), Read(5), Write({1, 1})});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5, "u", "p"), "localhost", 37),
              "raised: Authentication error to socks server.");
  }
}

// The login status must be of version 1 and the connect reply of version 5;
// the version bytes of the SOCKS 4 reply and of the method choice are not
// looked at. A wrong version is reported before the code it comes with.
TEST(SocksReplies, VersionBytes) {
  const std::string wrongLogin = "raised: Socks server replied to the login with version ";
  const std::string wrongConnect = "raised: Socks server replied to the connect request with version ";
  struct TCase {
    std::vector<TProxyStep> Script;
    TIdSocksSettings Settings;
    std::string Outcome;
  };
  const std::vector<TCase> cases{
      {{Read(9), Write({4, 90, 0, 0, 0, 0, 0, 0}), Write(GreetingBytes)}, Socks(svSocks4), Greeting},
      {{Read(3), Write({4, 0}), Read(16), Write(Socks5Granted), Write(GreetingBytes)}, Socks(svSocks5),
       Greeting},
      {{Read(3), Write({5, 2}), Read(5), Write({5, 0})}, Socks(svSocks5, "u", "p"),
       wrongLogin + "5 instead of 1."},
      {{Read(3), Write({5, 2}), Read(5), Write({0, 1})}, Socks(svSocks5, "u", "p"),
       wrongLogin + "0 instead of 1."},
      {{Read(3), Write(Socks5NoAuthChosen), Read(16), Write({4, 0, 0, 1, 0, 0, 0, 0, 0, 0})},
       Socks(svSocks5), wrongConnect + "4 instead of 5."},
      {{Read(3), Write(Socks5NoAuthChosen), Read(16), Write({1, 5, 0, 1, 0, 0, 0, 0, 0, 0})},
       Socks(svSocks5), wrongConnect + "1 instead of 5."}};  // and code 5, refused
  for (const TCase& c : cases) {
    TScriptedSocksProxy proxy(c.Script);
    EXPECT_EQ(OutcomeOf(proxy.Port(), c.Settings, "127.0.0.1", 37), c.Outcome);
  }
}

// The bound address is read whole, so the destination's first byte is the
// first one the caller gets, whatever the address type.
TEST(SocksReplies, Socks5BoundAddressTypes) {
  const std::vector<TBytes> replies{
      {5, 0, 0, 1, 10, 0, 0, 1, 0x12, 0x34},
      Concat({{5, 0, 0, 3, 13}, Text("proxy.example"), {0x12, 0x34}}),
      Concat({{5, 0, 0, 4}, TBytes(16, 0xFE), {0x12, 0x34}}),
      {5, 0, 0, 3, 0, 0x12, 0x34}};  // an empty name
  for (const TBytes& reply : replies) {
    std::vector<TProxyStep> script = Socks5Opening(9);
    script.push_back(Write(reply));
    script.push_back(Write(GreetingBytes));
    TScriptedSocksProxy proxy(script);
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "127.0.0.1", 37), Greeting)
        << int(reply[3]);
  }
  // An unknown type cannot be measured: refused, not guessed at.
  std::vector<TProxyStep> script = Socks5Opening(9);
  script.push_back(Write({5, 0, 0, 7, 1, 2, 3, 4, 5, 6}));
  TScriptedSocksProxy proxy(script);
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "127.0.0.1", 37),
            "raised: Socks server replied with an unknown address type (7).");
}

TEST(SocksReplies, ArrivingInPiecesAreReadWhole) {
  {
    TScriptedSocksProxy proxy({Read(9), Write(Socks4Granted, 1), Write(GreetingBytes)});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4), "127.0.0.1", 37), Greeting);
  }
  {
    TScriptedSocksProxy proxy(
        {Read(3), Write({5, 2}, 1), Read(5), Write({1, 0}, 1), Read(16),
         Write(Concat({{5, 0, 0, 3, 4}, Text("name"), {0, 1}}), 3), Write(GreetingBytes)});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5, "u", "p"), "127.0.0.1", 37), Greeting);
  }
}

TEST(SocksReplies, CutShortOrReset) {
  const std::string noAnswer = "raised: Socks server did not respond.";
  {
    TScriptedSocksProxy proxy({Read(9), Write({0, 90, 0}), Close()});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4), "127.0.0.1", 37), noAnswer);
  }
  {
    TScriptedSocksProxy proxy({Read(9), Close()});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4), "127.0.0.1", 37), noAnswer);
  }
  {
    TScriptedSocksProxy proxy({Read(3), Close()});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "127.0.0.1", 37), noAnswer);
  }
  {
    TScriptedSocksProxy proxy({Read(3), Write({5, 2}), Read(5), Write({1}), Close()});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5, "u", "p"), "127.0.0.1", 37), noAnswer);
  }
  for (const TBytes& partial : {TBytes{5, 0, 0, 1}, TBytes{5, 0, 0, 1, 127, 0, 0},
                                TBytes{5, 0, 0, 3, 10, 'a', 'b'}}) {
    std::vector<TProxyStep> script = Socks5Opening(9);
    script.push_back(Write(partial));
    script.push_back(Close());
    TScriptedSocksProxy proxy(script);
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "127.0.0.1", 37), noAnswer)
        << partial.size();
  }
  // A reset is a socket error: it passes as such with SOCKS 4 and becomes
  // "did not respond" with SOCKS 5.
  {
    TScriptedSocksProxy proxy({Read(9), Reset()});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks4), "127.0.0.1", 37),
              "raised: Socket Error # 104\r\nConnection reset by peer.");
  }
  {
    TScriptedSocksProxy proxy({Read(3), Reset()});
    EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5), "127.0.0.1", 37), noAnswer);
  }
}

// Fields the request cannot carry whole are refused before anything is sent.
TEST(SocksRequestLimits, RefusedBeforeSending) {
  const std::string long256(256, 'x');
  struct TCase {
    TIdSocksSettings Settings;
    std::string Host;
    std::string Message;
  };
  const std::vector<TCase> cases{
      {Socks(svSocks4, long256), "127.0.0.1",
       "Socks user name is 256 bytes long; at most 255 can be sent."},
      {Socks(svSocks4A, std::string("a\0b", 3)), "localhost", "Socks user name contains a zero byte."},
      {Socks(svSocks4A), long256, "Socks host name is 256 bytes long; at most 255 can be sent."},
      {Socks(svSocks4A), std::string("local\0host", 10), "Socks host name contains a zero byte."},
      {Socks(svSocks5, long256, "p"), "localhost",
       "Socks user name is 256 bytes long; at most 255 can be sent."},
      {Socks(svSocks5, "u", long256), "localhost",
       "Socks password is 256 bytes long; at most 255 can be sent."},
      {Socks(svSocks5), long256 + long256, "Socks host name is 512 bytes long; at most 255 can be sent."}};
  for (const TCase& c : cases) {
    TScriptedSocksProxy proxy({Read(1)});
    EXPECT_EQ(OutcomeOf(proxy.Port(), c.Settings, c.Host, 37), "raised: " + c.Message);
    EXPECT_EQ(proxy.Received(), TBytes{}) << c.Message;
  }
}

TEST(SocksRequestLimits, FullLengthFieldsGoWhole) {
  const std::string user(255, 'u'), password(255, 'p'), host(255, 'h');
  TScriptedSocksProxy proxy({Read(3), Write({5, 2}), Read(3 + 255 + 255), Write({1, 0}),
                             Read(7 + 255), Write({5, 0, 0, 3, 255}), Write(TBytes(257, 'b')),
                             Write(GreetingBytes)});
  EXPECT_EQ(OutcomeOf(proxy.Port(), Socks(svSocks5, user, password), host, 37), Greeting);
  const TBytes received = proxy.Received();
  ASSERT_EQ(received.size(), 3u + 513 + 262);
  EXPECT_EQ(received[4], 255);               // user name length
  EXPECT_EQ(received[3 + 1 + 1 + 255], 255);  // password length
  EXPECT_EQ(received[3 + 513 + 4], 255);     // host length
}

}  // namespace
}  // namespace ostrevan::testing
