// SPDX-License-Identifier: MIT
#include "ostrevan/client/socks_info.h"

#include <gtest/gtest.h>

#include "ostrevan/client/socks_errors.h"
#include "ostrevan/server/rfc_reply.h"
#include "tests/support/raises.h"

namespace ostrevan {
namespace {

TEST(SocksInfo, StartsWithoutAProxy) {
  TIdSocksInfo info(nullptr);
  EXPECT_EQ(info.Version(), svNoSocks);
  EXPECT_EQ(info.Authentication(), saNoAuthentication);
  EXPECT_EQ(info.Port(), 1080);
  EXPECT_EQ(info.Host(), "");
  EXPECT_EQ(info.Username(), "");
  EXPECT_EQ(info.Password(), "");
  EXPECT_EQ(info.ProxyHandler(), nullptr);
  EXPECT_NO_THROW(info.NegotiateProxy("example.invalid", 80));
}

TEST(SocksInfo, CopiesEverySettingButTheHandler) {
  TIdSocksInfo source(nullptr);
  source.SetVersion(svSocks5);
  source.SetAuthentication(saUsernamePassword);
  source.SetHost("proxy");
  source.SetPort(1081);
  source.SetUsername("user");
  source.SetPassword("secret");
  TIdSocksInfo target(nullptr);
  target.Assign(&source);
  EXPECT_EQ(target.Version(), svSocks5);
  EXPECT_EQ(target.Authentication(), saUsernamePassword);
  EXPECT_EQ(target.Host(), "proxy");
  EXPECT_EQ(target.Port(), 1081);
  EXPECT_EQ(target.Username(), "user");
  EXPECT_EQ(target.Password(), "secret");
  EXPECT_EQ(target.ProxyHandler(), nullptr);

  TIdRFCReply other;
  EXPECT_EQ(testing::MessageOf<EConvertError>([&] { other.Assign(&source); }),
            "Cannot assign a TIdSocksInfo to a TIdRFCReply");
}

TEST(SocksInfo, NegotiatingWithoutAHandlerConnectedToTheProxyRaises) {
  TIdSocksInfo info(nullptr);
  for (TSocksVersion version : {svSocks4, svSocks4A, svSocks5}) {
    info.SetVersion(version);
    try {
      info.NegotiateProxy("example.invalid", 80);
      ADD_FAILURE() << "nothing raised";
    } catch (const EIdSocksError& e) {
      EXPECT_STREQ(e.what(), "Socks negotiation needs the I/O handler connected to the proxy.");
    }
  }
}

}  // namespace
}  // namespace ostrevan
