// One enumeration of an emulated hidraw node (/dev/hidraw0), as the kernel's
// hidraw driver serves it to every process of the testbed, with the device
// behind it reached through hidport (the simulated GPS's own seam).
//
// What a program sees, as with the real driver:
// - Every open is a handle of its own that gets its own copy of every input
//   report from the time it opened (each open gets a pseudo-terminal of its
//   own, whose readability is what poll() sees: one byte per report waiting).
// - Report boundaries hold: one write is one output report, one read one
//   input report.
// - Without numbered reports a write's leading 0 does not reach the device
//   and reads carry no id; with numbered reports the id is the first byte of
//   both.
// - HIDIOCGRDESCSIZE, HIDIOCGRDESC, HIDIOCGRAWINFO, HIDIOCGRAWNAME,
//   HIDIOCGRAWPHYS and HIDIOCGRAWUNIQ answer from the descriptor and ids.
// - Once the device has left, handles opened before fail: writes and ioctls
//   with ENODEV, reads with EIO once nothing the device sent before is left,
//   poll() with POLLHUP.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/emulator/DeviceTrees.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;

namespace emu {

class Testbed;

class HidrawNode {
  public:
    struct Config {
        std::string name = "hidraw0";
        UsbIdentity identity;
        std::string syspath;  // the hidraw device's sysfs path
        mode_t mode = 0666;   // who may open the node
        // udev finishes a node after the device is announced: for this long
        // (real time) after attach() the node is missing (opens fail with
        // ENOENT) or, with `lateAccess`, only its owner may open it (EACCES
        // for anybody else) until `mode` is applied.
        std::chrono::milliseconds late{0};
        bool lateAccess = false;
    };

    // Makes the node's first pseudo-terminal; nothing is visible yet.
    HidrawNode(Testbed& testbed, Config config);
    ~HidrawNode();  // after unplug(); joins what it started
    HidrawNode(const HidrawNode&) = delete;
    HidrawNode& operator=(const HidrawNode&) = delete;

    // The char device number the node's sysfs entry names (its first
    // pseudo-terminal's, which is what fstat() of an open handle gives).
    unsigned devMajor() const { return devMajor_; }
    unsigned devMinor() const { return devMinor_; }

    // Puts /dev/<name> in place and starts answering it. Before the device's
    // sysfs entries are added, so that nobody told of them finds no node.
    bool attach(std::string* error);

    // The device has left: reports it sent before are still read by a
    // handle that is reading, for at most `grace` (the kernel had them
    // already); then every handle fails.
    void unplug(std::chrono::milliseconds grace);
    // The device is leaving: opens from now on fail (handles already open
    // are not touched). Called the moment the device leaves, before the
    // rest of unplug() catches up.
    void refuseNewOpens();

    // For the benchmark and the tests of the emulator itself.
    struct Counters {
        uint64_t opens = 0;
        uint64_t writes = 0;
        uint64_t reads = 0;
    };
    Counters counters() const;

    // GObject signal entry points (umockdev's ioctl thread).
    static void onConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static int onRead(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static int onWrite(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);
    static int onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient*, void* self);

  private:
    struct Pty;
    struct Session;
    struct ModelHandle;

    std::shared_ptr<Pty> newPtyLocked();
    bool linkNodeLocked(const Pty& pty);
    void finishLate();
    static void lockAgainstOpens(Pty& pty);
    std::shared_ptr<Session> sessionOf(UMockdevIoctlClient* client);
    void retireClosedLocked();
    void pump(std::shared_ptr<Session> session);
    void read(UMockdevIoctlClient* client);
    void write(UMockdevIoctlClient* client);
    void ioctl(UMockdevIoctlClient* client);
    bool deliverLocked(Session& session, UMockdevIoctlClient* client);

    Testbed& testbed_;
    const Config config_;
    const std::vector<uint8_t> descriptor_;
    UMockdevIoctlBase* handler_ = nullptr;
    unsigned devMajor_ = 0;
    unsigned devMinor_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool attached_ = false;
    bool gone_ = false;      // the device left
    bool leaving_ = false;   // new opens are refused
    bool finished_ = false;  // udev's late work on the node is done
    std::thread late_;
    std::shared_ptr<Pty> current_;    // what the next open gets
    std::vector<std::string> links_;  // /sys/dev/char entries made for later ptys
    std::vector<std::shared_ptr<Session>> sessions_;
    std::vector<std::shared_ptr<Session>> pumping_;  // whose pumps run
    std::vector<std::thread> pumps_;
    Counters counters_;
    std::chrono::steady_clock::time_point lastRead_{};
};

}  // namespace emu
