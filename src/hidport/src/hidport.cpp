#include "hidport/hidport.h"

#include <hidapi/hidapi.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

namespace hidport {

struct hid_device {
    ::hid_device* real = nullptr;
    std::shared_ptr<SimulatedHidDevice> sim;
    int external = 0;  // the external backend's handle number
    std::wstring error;
    std::vector<unsigned char> padded;  // reused for padding short writes
};

namespace {

std::atomic<Backend> gBackend{Backend::Real};
std::mutex gMutex;  // guards the registry and the open-failure text
std::vector<std::shared_ptr<SimulatedHidDevice>> gDevices;
std::wstring gOpenError;
std::string gPermissionNode;
bool gOpenRefused = false;
std::atomic<int> gSimOpens{0};
std::atomic<int> gExits{0};
std::atomic<ExternalBackend*> gExternal{nullptr};
std::atomic<Observer*> gObserver{nullptr};
// hidapi's library-wide state (its text of the last failed open, freed and
// replaced by every open, enumeration and hid_exit) is not safe to touch from
// two threads at once, and the window thread and the workers do open at the
// same time: those calls take turns. Reads and writes on a handle need not.
std::mutex gRealMutex;

std::wstring widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

// After a failed real open: find the node of that id and tell a permission
// problem apart from an absent device, so the user can be told how to fix it.
void notePermissionProblem(unsigned short vid, unsigned short pid) {
    std::string node;
    bool present = false;
    if (hid_device_info* list = ::hid_enumerate(vid, pid)) {
        present = true;
        for (hid_device_info* d = list; d; d = d->next) {
            if (d->path && ::access(d->path, R_OK | W_OK) != 0 && errno == EACCES) {
                node = d->path;
                break;
            }
        }
        ::hid_free_enumeration(list);
    }
    std::lock_guard lock(gMutex);
    gPermissionNode = node;
    gOpenRefused = present;
    gOpenError = node.empty() ? L"device not found" : widen("permission denied: " + node);
}

}  // namespace

void setBackend(Backend b) {
    gBackend.store(b);
}
Backend backend() {
    return gBackend.load();
}

void addSimulatedDevice(std::shared_ptr<SimulatedHidDevice> device) {
    std::lock_guard lock(gMutex);
    gDevices.push_back(std::move(device));
}

void removeSimulatedDevice(const SimulatedHidDevice* device) {
    std::lock_guard lock(gMutex);
    std::erase_if(gDevices, [device](const auto& d) { return d.get() == device; });
}

void clearSimulatedDevices() {
    std::lock_guard lock(gMutex);
    gDevices.clear();
}

int simulatedOpenCount() {
    return gSimOpens.load();
}
int exitCount() {
    return gExits.load();
}

std::string lastPermissionDeniedNode() {
    std::lock_guard lock(gMutex);
    return gPermissionNode;
}

bool lastOpenRefused() {
    std::lock_guard lock(gMutex);
    return gOpenRefused;
}

namespace {

struct OpenResult {
    hid_device* handle = nullptr;
    int errorNumber = 0;
};

OpenResult openExternal(unsigned short vendorId, unsigned short productId) {
    std::wstring error;
    std::string node;
    ExternalBackend* external = gExternal.load();
    const int id = external ? external->open(vendorId, productId, error, node) : 0;
    std::lock_guard lock(gMutex);
    gPermissionNode = id > 0 ? std::string() : node;
    // A recorded trace tells a refusal from an absent device only by its node.
    gOpenRefused = id <= 0 && !node.empty();
    if (id <= 0) {
        gOpenError = error.empty() ? L"device not found" : error;
        return {nullptr, node.empty() ? ENOENT : EACCES};
    }
    auto* h = new hid_device;
    h->external = id;
    return {h, 0};
}

OpenResult openBackend(unsigned short vendorId, unsigned short productId) {
    if (backend() == Backend::External) return openExternal(vendorId, productId);
    if (backend() == Backend::Simulated) {
        std::vector<std::shared_ptr<SimulatedHidDevice>> candidates;
        {
            std::lock_guard lock(gMutex);
            for (const auto& d : gDevices) {
                if (d->vendorId() == vendorId && d->productId() == productId) {
                    candidates.push_back(d);
                }
            }
        }
        std::string denied;
        for (auto& d : candidates) {
            if (d->open()) {
                ++gSimOpens;
                {
                    std::lock_guard lock(gMutex);
                    gPermissionNode.clear();
                    gOpenRefused = false;
                }
                auto* h = new hid_device;
                h->sim = d;
                return {h, 0};
            }
            if (denied.empty()) denied = d->permissionDeniedNode();
        }
        std::lock_guard lock(gMutex);
        gPermissionNode = denied;
        gOpenRefused = !candidates.empty();
        if (candidates.empty()) {
            gOpenError = L"device not found";
            return {nullptr, ENOENT};
        }
        if (!denied.empty()) {
            gOpenError = widen("permission denied: " + denied);
            return {nullptr, EACCES};
        }
        gOpenError = L"device could not be opened";
        return {nullptr, EBUSY};
    }
    errno = 0;
    std::unique_lock realLock(gRealMutex);
    ::hid_device* real = ::hid_open(vendorId, productId, nullptr);
    if (!real) {
        const int errorNumber = errno;
        notePermissionProblem(vendorId, productId);
        return {nullptr, errorNumber};
    }
    {
        std::lock_guard lock(gMutex);
        gPermissionNode.clear();
        gOpenRefused = false;
    }
    auto* h = new hid_device;
    h->real = real;
    return {h, 0};
}

int readBackend(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    if (dev->external) {
        ExternalBackend* external = gExternal.load();
        return external ? external->read(dev->external, data, length, milliseconds) : -1;
    }
    if (dev->sim) return dev->sim->read(data, length, milliseconds);
    return ::hid_read_timeout(dev->real, data, length, milliseconds);
}

int writeBackend(hid_device* dev, const unsigned char* data, size_t length, int milliseconds) {
    if (dev->external) {
        ExternalBackend* external = gExternal.load();
        std::wstring error;
        const int r =
            external ? external->write(dev->external, data, length, milliseconds, error) : -1;
        if (r < 0) dev->error = error.empty() ? L"write failed" : error;
        return r;
    }
    if (dev->sim) {
        size_t reportLength = std::max(length, dev->sim->outputReportLength());
        dev->padded.assign(reportLength, 0);
        std::copy(data, data + length, dev->padded.begin());
        return dev->sim->write(dev->padded.data(), reportLength, milliseconds);
    }
    // hidraw takes the report as written and the kernel's USB layer pads and
    // bounds the transfer (its own timeout is 5 s for interrupt OUT), so the
    // write below cannot block for ever; callers always pass whole reports.
    int r = ::hid_write(dev->real, data, length);
    if (r < 0) {
        const wchar_t* e = ::hid_error(dev->real);
        dev->error = e ? e : L"write failed";
        return -1;
    }
    return r;
}

}  // namespace

void setExternalBackend(ExternalBackend* external) {
    gExternal.store(external);
}

void setObserver(Observer* observer) {
    gObserver.store(observer);
}

hid_device* hid_open(unsigned short vendorId, unsigned short productId, const wchar_t*) {
    const OpenResult result = openBackend(vendorId, productId);
    if (Observer* observer = gObserver.load()) {
        std::wstring error;
        std::string node;
        if (!result.handle) {
            std::lock_guard lock(gMutex);
            error = gOpenError;
            node = gPermissionNode;
        }
        observer->opened(vendorId, productId, result.handle, error, result.errorNumber, node);
    }
    return result.handle;
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    if (!dev || !data) return -1;
    const int r = readBackend(dev, data, length, milliseconds);
    if (Observer* observer = gObserver.load()) observer->read(dev, data, length, milliseconds, r);
    return r;
}

int hid_write_timeout(hid_device* dev, const unsigned char* data, size_t length, int milliseconds) {
    if (!dev || !data || length == 0) return -1;
    const int r = writeBackend(dev, data, length, milliseconds);
    if (Observer* observer = gObserver.load()) observer->wrote(dev, data, length, r);
    return r;
}

void hid_close(hid_device* dev) {
    if (!dev) return;
    if (dev->external) {
        if (ExternalBackend* external = gExternal.load()) external->close(dev->external);
    }
    if (dev->sim) dev->sim->close();
    if (dev->real) ::hid_close(dev->real);
    if (Observer* observer = gObserver.load()) observer->closed(dev);
    delete dev;
}

int hid_exit() {
    ++gExits;
    int r = 0;
    if (backend() == Backend::Real) {
        std::lock_guard lock(gRealMutex);
        r = ::hid_exit();
    }
    if (backend() == Backend::External) {
        if (ExternalBackend* external = gExternal.load()) external->exit();
    }
    if (Observer* observer = gObserver.load()) observer->exited();
    return r;
}

const wchar_t* hid_error(hid_device* dev) {
    if (!dev) {
        std::lock_guard lock(gMutex);
        static thread_local std::wstring copy;
        copy = gOpenError;
        return copy.empty() ? nullptr : copy.c_str();
    }
    if (dev->real && dev->error.empty()) return ::hid_error(dev->real);
    return dev->error.empty() ? nullptr : dev->error.c_str();
}

}  // namespace hidport
