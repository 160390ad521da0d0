// SPDX-License-Identifier: MIT
#pragma once

// Test doubles for the worker thread tests: a journal of
// what the thread did, and a TIdThread that writes every hook it runs into
// the journal and can be told to act or raise in any of them.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/wait.h"
#include "ostrevan/threads/id_thread.h"

namespace ostrevan::testing {

// A stack size no system grants: three quarters of the address space
// (12 EiB on 64-bit systems, 3 GiB on 32-bit ones).
constexpr size_t kImpossibleStackSize = std::numeric_limits<size_t>::max() / 4 * 3;

class Journal {
 public:
  void Add(const std::string& entry) {
    std::lock_guard<std::mutex> lock(Lock_);
    Entries_.push_back(entry);
    Cond_.notify_all();
  }
  std::vector<std::string> Entries() const {
    std::lock_guard<std::mutex> lock(Lock_);
    return Entries_;
  }
  int Count(const std::string& entry) const {
    std::lock_guard<std::mutex> lock(Lock_);
    return static_cast<int>(std::count(Entries_.begin(), Entries_.end(), entry));
  }
  // Waits until entry has been added at least n times.
  bool WaitCount(const std::string& entry, int n) {
    std::unique_lock<std::mutex> lock(Lock_);
    return Cond_.wait_for(lock, kPatience, [&] {
      return std::count(Entries_.begin(), Entries_.end(), entry) >= n;
    });
  }

 private:
  mutable std::mutex Lock_;
  std::condition_variable Cond_;
  std::vector<std::string> Entries_;
};

// Writes "DataObject freed" into the journal when deleted.
class TrackedData : public TObject {
 public:
  explicit TrackedData(std::shared_ptr<Journal> journal) : Journal_(std::move(journal)) {}
  ~TrackedData() override { Journal_->Add("DataObject freed"); }

 private:
  std::shared_ptr<Journal> Journal_;
};

// Every hook writes its name, then runs the action set for it, if any. The
// actions are set before Start and run on the thread. Run's action gets the
// number of the step (1 for the first); without one, Run stops the thread.
class ProbeThread : public TIdThread {
 public:
  explicit ProbeThread(std::shared_ptr<Journal> journal) : TIdThread(true), Journal_(journal) {}
  ~ProbeThread() override {
    if (OnDestroy) OnDestroy();
  }

  std::map<std::string, std::function<void()>> Actions;
  std::function<void(int step)> RunAction;
  std::function<void()> OnDestroy;
  std::atomic<int> TerminateCalls{0};
  std::atomic<int> StoppedNotices{0};  // counted after NotifyStopped wrote its entry

  void Terminate() override {
    ++TerminateCalls;
    TIdThread::Terminate();
  }

 protected:
  void BeforeLoop() override { Hook("BeforeLoop"); }
  void BeforeRun() override { Hook("BeforeRun"); }
  void AfterRun() override { Hook("AfterRun"); }
  void AfterLoop() override { Hook("AfterLoop"); }
  void Cleanup() override {
    Hook("Cleanup");
    TIdThread::Cleanup();
  }
  void NotifyStopped() override {
    Hook("NotifyStopped");
    TIdThread::NotifyStopped();
    ++StoppedNotices;
  }
  void HandleThreadException(const std::exception& e) override {
    Journal_->Add(std::string("HandleThreadException: ") + e.what());
    TIdThread::HandleThreadException(e);
  }
  void Run() override {
    Journal_->Add("Run");
    ++Steps_;
    if (RunAction) {
      RunAction(Steps_);
    } else {
      Stop();
    }
  }

 private:
  void Hook(const std::string& name) {
    Journal_->Add(name);
    auto action = Actions.find(name);
    if (action != Actions.end()) action->second();
  }

  std::shared_ptr<Journal> Journal_;
  int Steps_ = 0;
};

}  // namespace ostrevan::testing
