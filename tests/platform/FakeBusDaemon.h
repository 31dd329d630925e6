// A stand-in for the session bus's own object: a peer on a private socket that answers
// NameHasOwner from a set of names the test says are owned and counts StartServiceByName
// requests instead of starting anything. It runs on a thread of its own, so blocking calls
// from the test's main thread get their answers.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qby::test {

class FakeBusDaemon {
 public:
  FakeBusDaemon();
  ~FakeBusDaemon();
  FakeBusDaemon(const FakeBusDaemon&) = delete;
  FakeBusDaemon& operator=(const FakeBusDaemon&) = delete;

  // The address a client connects to (as a peer, without the bus handshake).
  std::string address() const;

  void setOwned(const std::string& name, bool owned);
  // The names StartServiceByName was asked for, in order.
  std::vector<std::string> startRequests() const;
  int nameHasOwnerCalls() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qby::test
