// What the two halves of HidrawNode share: a pseudo-terminal per open, the
// device's handle behind it, and one open's session. Private to
// HidrawNode.cpp (the node and umockdev's calls) and HidrawReports.cpp (the
// device's side: reports, reads, writes, ioctls).
#pragma once

#include <umockdev.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "hidport/hidport.h"
#include "sim/emulator/HidrawNode.h"

namespace emu {

namespace hidraw {

// One line on standard error per report, with QUORTA_EMULATOR_TRACE set.
void trace(const char* what, const void* who, const uint8_t* data, size_t n, long extra);

inline void complete(UMockdevIoctlClient* client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
}

}  // namespace hidraw

struct HidrawNode::Pty {
    int master = -1;
    int slave = -1;
    std::string name;  // "/dev/pts/7"
    dev_t rdev = 0;
    ~Pty() {
        if (master >= 0) ::close(master);
        if (slave >= 0) ::close(slave);
    }
    // The device left: every handle on this terminal sees POLLHUP.
    void hangUp() {
        if (master >= 0) ::close(master);
        master = -1;
    }
};

struct HidrawNode::ModelHandle {
    hidport::hid_device* device;
    explicit ModelHandle(hidport::hid_device* d) : device(d) {}
    ~ModelHandle() { hidport::hid_close(device); }
};

struct HidrawNode::Session {
    UMockdevIoctlClient* client = nullptr;  // one reference held
    std::shared_ptr<Pty> pty;
    std::shared_ptr<ModelHandle> model;  // null: the device refused the open
    struct Report {
        std::vector<uint8_t> bytes;
        bool announced = false;  // a byte on the terminal tells poll() of it
    };
    std::deque<Report> queue;
    UMockdevIoctlClient* waitingRead = nullptr;  // a blocking read, one reference held
    bool closed = false;
    // A newer handle of a device with one input queue for all its handles
    // (a bootloader) takes the input from here on.
    bool superseded = false;
    bool reading = false;  // its pump is inside a read of the device
    ~Session() {
        if (waitingRead) g_object_unref(waitingRead);
        if (client) g_object_unref(client);
    }
};

}  // namespace emu
