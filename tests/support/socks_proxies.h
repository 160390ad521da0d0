// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/process.h"

namespace ostrevan::testing {

// Real SOCKS proxies from the system's packages, started by a test on
// 127.0.0.1 (or, where asked, on ::1 only) on ports chosen at run time, each with its own configuration in
// a temporary directory, and stopped (by PID, with whatever they forked) when
// the object goes. They may connect only to loopback destinations, and are
// only ever asked for loopback addresses or "localhost", so nothing is
// looked up outside the machine.
//
// When a proxy cannot run here (not installed, not root), SkipReason says
// why and Port is 0; a proxy that is there but fails to start raises
// std::runtime_error with its log.
class TSocksProxy {
 public:
  virtual ~TSocksProxy() = default;
  uint16_t Port() const { return Port_; }
  const std::string& SkipReason() const { return SkipReason_; }

 protected:
  TSocksProxy() = default;
  TTempDir Dir_;
  uint16_t Port_ = 0;
  std::string SkipReason_;
};

// danted, speaking SOCKS 4 and 5.
struct TDantedOptions {
  bool RequireUsername = false;  // SOCKS 5 user name and password, checked against the system's users
  uint16_t BlockedPort = 0;      // a rule refuses 127.0.0.1 on this port (0: none)
  bool IPv6 = false;             // on ::1, reaching only ::1, instead of IPv4
};
class TDantedProxy : public TSocksProxy {
 public:
  explicit TDantedProxy(const TDantedOptions& options);

 private:
  std::unique_ptr<TSpawnedProcess> Process_;
};

// microsocks, SOCKS 5 only; with a user name and password when given.
class TMicrosocksProxy : public TSocksProxy {
 public:
  TMicrosocksProxy(const std::string& username = "", const std::string& password = "");

 private:
  std::unique_ptr<TSpawnedProcess> Process_;
};

// An sshd of the test's own (throw-away keys, loopback only, forwarding only
// to loopback) and an ssh client with dynamic forwarding to it: SOCKS 4, 4A
// and 5 without authentication. It closes the connection instead of sending a
// failure reply. With IPv6 everything is on ::1, and it reaches only ::1.
class TSshDynamicProxy : public TSocksProxy {
 public:
  explicit TSshDynamicProxy(bool ipv6 = false);
  ~TSshDynamicProxy() override;

 private:
  std::unique_ptr<TSpawnedProcess> Server_;
  std::unique_ptr<TSpawnedProcess> Client_;
};

// A system user for danted to check SOCKS 5 logins against, made for one
// test: a name of its own (so that test processes running at the same time
// never share one) and a random password, and removed with its group when
// the object goes. Should the test process die first (a crash, a kill), a
// guard process outside its process tree removes them. Name is empty and
// WhyNot says why when no user can be made here (not root, no useradd).
class TSocksTestUser {
 public:
  TSocksTestUser();
  ~TSocksTestUser();
  TSocksTestUser(const TSocksTestUser&) = delete;
  TSocksTestUser& operator=(const TSocksTestUser&) = delete;

  const std::string& Name() const { return Name_; }
  const std::string& Password() const { return Password_; }
  const std::string& WhyNot() const { return WhyNot_; }

 private:
  void Remove();

  std::string Name_;
  std::string Password_;
  std::string WhyNot_;
  int GuardPipe_ = -1;  // its closing tells the guard to remove the user
};

}  // namespace ostrevan::testing
