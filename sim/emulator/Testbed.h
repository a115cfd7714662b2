// A umockdev testbed: the emulated sysfs, /dev and uevents that libudev and
// hidapi see in every process started with umockdev's preload library.
//
// The process that owns the testbed must itself run with the preload (its
// uevents are sent through it); quorta-gps-emulator starts itself again with
// it. The testbed is made before any thread starts: it sets UMOCKDEV_DIR.
// Every change goes through one lock, so changes from different threads never
// interleave.
#pragma once

#include <mutex>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace emu {

class Testbed {
  public:
    Testbed();  // throws std::runtime_error when umockdev cannot make one
    ~Testbed();
    Testbed(const Testbed&) = delete;
    Testbed& operator=(const Testbed&) = delete;

    // $UMOCKDEV_DIR: the folder that holds sys/, dev/ and proc/.
    const std::string& root() const { return root_; }

    // Adds devices (parents first); umockdev sends their "add" uevents in
    // that order.
    bool add(const std::string& text, std::string* error);
    // Sends "remove" for each device, deepest first, and takes them out of
    // sysfs with their /sys/class, /sys/bus and /sys/block entries.
    void remove(const std::vector<std::string>& syspathsParentsFirst,
                const std::vector<std::string>& blockNames = {});

    // Emulates read, write and ioctl on `devnode` ("/dev/hidraw0").
    bool attachIoctl(const std::string& devnode, UMockdevIoctlBase* handler, std::string* error);
    void detachIoctl(const std::string& devnode);

    // A file or link under root(), replaced whole so that no reader sees it
    // half written.
    bool writeFile(const std::string& relativePath, const std::string& contents);
    bool makeLink(const std::string& relativePath, const std::string& target);
    void removeEntry(const std::string& relativePath);

  private:
    UMockdevTestbed* bed_ = nullptr;
    std::string root_;
    std::mutex mutex_;
};

// True when this process runs with umockdev's preload library.
bool preloadActive();
// The preload's name as LD_PRELOAD takes it.
inline constexpr const char* kPreloadLibrary = "libumockdev-preload.so.0";

}  // namespace emu
