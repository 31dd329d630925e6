// The suite's programs on the session bus: a program runs while its well-known name has an
// owner, and a program that is not running is started by asking the bus to activate its name
// (the bus runs the Exec line of the name's D-Bus service file).
//
// BusNames::current() talks to the user's session bus. An instance may be made for another
// bus address (a private bus, or a peer that answers like the bus, as tests do); only test
// builds can make such an instance the process's.
//
// The main thread only: activation answers arrive on the default main context.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace qby {

class BusNames {
 public:
  // The session bus.
  BusNames();
  // The bus at that address. A peer is a connection without the bus's own handshake.
  enum class Kind { MessageBus, Peer };
  BusNames(std::string address, Kind kind);
  ~BusNames();
  BusNames(const BusNames&) = delete;
  BusNames& operator=(const BusNames&) = delete;

  static BusNames& current();

  // Whether the name has an owner. False without a bus or for a text that is no bus name; a
  // call waits at most a second.
  bool nameHasOwner(const std::string& name);
  // Asks the bus to start the program that owns the name, without waiting for the answer.
  // A refusal (no such service, the program failed) is logged; false when the request could
  // not be sent at all.
  bool startServiceByName(const std::string& name);

#ifdef PORVANE_TEST_HOOKS
  class Override {
   public:
    explicit Override(BusNames& replacement);
    ~Override();
    Override(const Override&) = delete;
    Override& operator=(const Override&) = delete;

   private:
    BusNames* previous_;
  };
#endif

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qby
