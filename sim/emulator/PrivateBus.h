// A private system bus for the emulated computer, with UDisks2 and logind
// played by python3-dbusmock, as the platform's own tests play them. The
// child gets it as DBUS_SYSTEM_BUS_ADDRESS. Every process here is ours and
// is ended by its id.
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace emu {

class PrivateBus {
  public:
    explicit PrivateBus(std::string folder);  // where its socket lives
    ~PrivateBus();                            // ends the mocks, then the daemon
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Empty when it runs, otherwise why not (dbus-daemon missing, ...).
    std::string start();
    // Starts a dbusmock service from `templateName` (a file, or one of
    // dbusmock's own templates) with JSON parameters, to own `service`.
    std::string startMock(const std::string& templateName, const std::string& service,
                          const std::string& parametersJson = "{}");
    // Returns once every mock started owns its service.
    std::string waitForMocks();

    const std::string& address() const { return address_; }

  private:
    bool nameHasOwner(const std::string& name) const;

    std::string folder_;
    std::string address_;
    pid_t daemon_ = -1;
    std::vector<pid_t> mocks_;
    std::vector<std::string> services_;
};

// The link to the mock UDisks2 of udisks2_mock.py: tells it where the GPS's
// volume is mounted, and hears when the computer unmounted it (MountPoints
// emptied by Filesystem.Unmount) or ejected it (Drive.MediaAvailable false).
class UDisksMock {
  public:
    using TakenAway = std::function<void()>;
    UDisksMock(std::string address, TakenAway onTakenAway);
    ~UDisksMock();
    UDisksMock(const UDisksMock&) = delete;
    UDisksMock& operator=(const UDisksMock&) = delete;

    bool start(std::string* error);
    // No more news from the bus after this returns.
    void stopWatching();
    // The volume is mounted at `mountPoint`; empty: not mounted.
    void setMountPoint(const std::string& mountPoint);

  private:
    void watch();
    static int onPropertiesChanged(sd_bus_message* m, void* self, sd_bus_error* error);

    std::string address_;
    TakenAway onTakenAway_;
    std::mutex mutex_;  // the calling connection and `mounted_`
    sd_bus* calls_ = nullptr;
    sd_bus* signals_ = nullptr;
    bool mounted_ = false;
    int wakeFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// The python that has dbusmock (Debian's is /usr/bin/python3); empty if none.
std::string dbusmockPython();

}  // namespace emu
