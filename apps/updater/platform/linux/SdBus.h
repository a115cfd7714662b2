// What our D-Bus clients (logind, UDisks2, notifications) share: owning pointers for sd-bus
// objects and the connection to the system or session bus or to a given
// address (a private bus in the tests).
#pragma once

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

namespace platform::sdbus {

struct BusDeleter {
    void operator()(sd_bus* b) const { sd_bus_flush_close_unref(b); }
};
using BusPtr = std::unique_ptr<sd_bus, BusDeleter>;

struct MessageDeleter {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageDeleter>;

// "error N" for a negative sd-bus result.
std::string errnoText(int r);

enum class Bus { System, Session };

// The system bus (or the user's session bus) when `address` is empty, else
// the bus at `address`. Null, with `error` naming the bus and the reason,
// when it cannot be reached.
BusPtr connectBus(const std::string& address, std::string& error, Bus which = Bus::System);

}  // namespace platform::sdbus
