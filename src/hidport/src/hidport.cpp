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

struct Context {
    explicit Context(Backend b) : backend(b) {}
    std::atomic<Backend> backend;
    std::mutex mutex;  // guards the registry and the open-failure text
    std::vector<std::shared_ptr<SimulatedHidDevice>> devices;
    std::wstring openError;
    std::string permissionNode;
    bool openRefused = false;  // the last open found our device but its node refused
    std::atomic<int> simOpens{0};
    std::atomic<int> exits{0};
    std::atomic<ExternalBackend*> external{nullptr};
    std::atomic<Observer*> observer{nullptr};
};

namespace {

std::atomic<Context*> gCurrent{nullptr};

Context& current() {
    if (Context* c = gCurrent.load(std::memory_order_acquire)) return *c;
    static Context process(Backend::Real);
    return process;
}

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
    Context& c = current();
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
    std::lock_guard lock(c.mutex);
    c.permissionNode = node;
    c.openError = node.empty() ? L"device not found" : widen("permission denied: " + node);
    c.openRefused = present;
}

}  // namespace

ScopedContext::ScopedContext(Backend backend)
    : context_(std::make_unique<Context>(backend)),
      previous_(gCurrent.exchange(context_.get(), std::memory_order_acq_rel)) {}

ScopedContext::~ScopedContext() {
    gCurrent.store(previous_, std::memory_order_release);
}

void setBackend(Backend b) {
    current().backend.store(b);
}
Backend backend() {
    return current().backend.load();
}

void addSimulatedDevice(std::shared_ptr<SimulatedHidDevice> device) {
    Context& c = current();
    std::lock_guard lock(c.mutex);
    c.devices.push_back(std::move(device));
}

void removeSimulatedDevice(const SimulatedHidDevice* device) {
    Context& c = current();
    std::lock_guard lock(c.mutex);
    std::erase_if(c.devices, [device](const auto& d) { return d.get() == device; });
}

void clearSimulatedDevices() {
    Context& c = current();
    std::lock_guard lock(c.mutex);
    c.devices.clear();
}

int simulatedOpenCount() {
    return current().simOpens.load();
}
int exitCount() {
    return current().exits.load();
}

std::string lastPermissionDeniedNode() {
    Context& c = current();
    std::lock_guard lock(c.mutex);
    return c.permissionNode;
}

bool lastOpenRefused() {
    Context& c = current();
    std::lock_guard lock(c.mutex);
    return c.openRefused;
}

namespace {

struct OpenResult {
    hid_device* handle = nullptr;
    int errorNumber = 0;
};

OpenResult openExternal(unsigned short vendorId, unsigned short productId) {
    Context& c = current();
    std::wstring error;
    std::string node;
    ExternalBackend* external = c.external.load();
    const int id = external ? external->open(vendorId, productId, error, node) : 0;
    std::lock_guard lock(c.mutex);
    c.permissionNode = id > 0 ? std::string() : node;
    // A recorded trace tells a refusal from an absent device only by its node.
    c.openRefused = id <= 0 && !node.empty();
    if (id <= 0) {
        c.openError = error.empty() ? L"device not found" : error;
        return {nullptr, node.empty() ? ENOENT : EACCES};
    }
    auto* h = new hid_device;
    h->external = id;
    return {h, 0};
}

OpenResult openBackend(unsigned short vendorId, unsigned short productId) {
    Context& c = current();
    if (backend() == Backend::External) return openExternal(vendorId, productId);
    if (backend() == Backend::Simulated) {
        std::vector<std::shared_ptr<SimulatedHidDevice>> candidates;
        {
            std::lock_guard lock(c.mutex);
            for (const auto& d : c.devices) {
                if (d->vendorId() == vendorId && d->productId() == productId) {
                    candidates.push_back(d);
                }
            }
        }
        std::string denied;
        for (auto& d : candidates) {
            if (d->open()) {
                ++c.simOpens;
                {
                    std::lock_guard lock(c.mutex);
                    c.permissionNode.clear();
                    c.openRefused = false;
                }
                auto* h = new hid_device;
                h->sim = d;
                return {h, 0};
            }
            if (denied.empty()) denied = d->permissionDeniedNode();
        }
        std::lock_guard lock(c.mutex);
        c.permissionNode = denied;
        c.openRefused = !candidates.empty();
        if (candidates.empty()) {
            c.openError = L"device not found";
            return {nullptr, ENOENT};
        }
        if (!denied.empty()) {
            c.openError = widen("permission denied: " + denied);
            return {nullptr, EACCES};
        }
        c.openError = L"device could not be opened";
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
        std::lock_guard lock(c.mutex);
        c.permissionNode.clear();
        c.openRefused = false;
    }
    auto* h = new hid_device;
    h->real = real;
    return {h, 0};
}

int readBackend(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    Context& c = current();
    if (dev->external) {
        ExternalBackend* external = c.external.load();
        return external ? external->read(dev->external, data, length, milliseconds) : -1;
    }
    if (dev->sim) return dev->sim->read(data, length, milliseconds);
    return ::hid_read_timeout(dev->real, data, length, milliseconds);
}

int writeBackend(hid_device* dev, const unsigned char* data, size_t length, int milliseconds) {
    Context& c = current();
    if (dev->external) {
        ExternalBackend* external = c.external.load();
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
    current().external.store(external);
}

void setObserver(Observer* observer) {
    current().observer.store(observer);
}

hid_device* hid_open(unsigned short vendorId, unsigned short productId, const wchar_t*) {
    Context& c = current();
    const OpenResult result = openBackend(vendorId, productId);
    if (Observer* observer = c.observer.load()) {
        std::wstring error;
        std::string node;
        if (!result.handle) {
            std::lock_guard lock(c.mutex);
            error = c.openError;
            node = c.permissionNode;
        }
        observer->opened(vendorId, productId, result.handle, error, result.errorNumber, node);
    }
    return result.handle;
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    Context& c = current();
    if (!dev || !data) return -1;
    const int r = readBackend(dev, data, length, milliseconds);
    if (Observer* observer = c.observer.load()) observer->read(dev, data, length, milliseconds, r);
    return r;
}

int hid_write_timeout(hid_device* dev, const unsigned char* data, size_t length, int milliseconds) {
    Context& c = current();
    if (!dev || !data || length == 0) return -1;
    const int r = writeBackend(dev, data, length, milliseconds);
    if (Observer* observer = c.observer.load()) observer->wrote(dev, data, length, r);
    return r;
}

void hid_close(hid_device* dev) {
    Context& c = current();
    if (!dev) return;
    if (dev->external) {
        if (ExternalBackend* external = c.external.load()) external->close(dev->external);
    }
    if (dev->sim) dev->sim->close();
    if (dev->real) ::hid_close(dev->real);
    if (Observer* observer = c.observer.load()) observer->closed(dev);
    delete dev;
}

int hid_exit() {
    Context& c = current();
    ++c.exits;
    int r = 0;
    if (backend() == Backend::Real) {
        std::lock_guard lock(gRealMutex);
        r = ::hid_exit();
    }
    if (backend() == Backend::External) {
        if (ExternalBackend* external = c.external.load()) external->exit();
    }
    if (Observer* observer = c.observer.load()) observer->exited();
    return r;
}

const wchar_t* hid_error(hid_device* dev) {
    Context& c = current();
    if (!dev) {
        std::lock_guard lock(c.mutex);
        static thread_local std::wstring copy;
        copy = c.openError;
        return copy.empty() ? nullptr : copy.c_str();
    }
    if (dev->real && dev->error.empty()) return ::hid_error(dev->real);
    return dev->error.empty() ? nullptr : dev->error.c_str();
}

}  // namespace hidport
