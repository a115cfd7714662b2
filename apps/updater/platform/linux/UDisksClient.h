// What the UDisks2 clients (safe removal, mounting the GPS drive) share: the
// connection, the block objects of GetManagedObjects, and calls that take an
// empty option dictionary.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/linux/SdBus.h"

namespace platform::udisks {

inline constexpr const char* kService = "org.freedesktop.UDisks2";
inline constexpr const char* kManagerPath = "/org/freedesktop/UDisks2";
inline constexpr const char* kBlockIface = "org.freedesktop.UDisks2.Block";
inline constexpr const char* kFilesystemIface = "org.freedesktop.UDisks2.Filesystem";
inline constexpr const char* kDriveIface = "org.freedesktop.UDisks2.Drive";
// Unmounting flushes the volume, and a slow stick may take a while; a mount
// may wait for the user to answer polkit.
inline constexpr uint64_t kCallTimeoutUs = 120ull * 1000 * 1000;

// An sd_bus_error freed on every path.
struct BusError {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&e); }
    // "name: message", or "error N" when the call failed without an error.
    std::string text(int r) const;
};

// The system bus (or the bus at `address`), allowed to let polkit ask the
// user. Null, with `error` set, when it cannot be reached.
sdbus::BusPtr connect(const std::string& address, std::string& error);

// Reads an "aay" of NUL-terminated paths at the current position.
int readByteStrings(sd_bus_message* m, std::vector<std::string>& out);

struct BlockObject {
    std::string path;
    std::string drive;
    uint64_t deviceNumber = 0;
    bool hasFilesystem = false;
    std::vector<std::string> mountPoints;
};

// GetManagedObjects of UDisks2, keeping the block objects. Negative, with
// `error` set for a failed call, when they cannot be had.
int listBlockObjects(sd_bus* bus, std::vector<BlockObject>& out, std::string& error);

// Calls `method` with an empty option dictionary, the only argument of the
// UDisks2 calls used here. The reply goes to `reply` when given.
bool callWithNoOptions(sd_bus* bus, const std::string& path, const char* iface, const char* method,
                       std::string& error, sdbus::MessagePtr* reply = nullptr);

// The current mount points of the file system at `path`; false when they
// cannot be read (the object has gone).
bool currentMountPoints(sd_bus* bus, const std::string& path, std::vector<std::string>& out);

}  // namespace platform::udisks
