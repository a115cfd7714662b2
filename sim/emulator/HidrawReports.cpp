// The device's side of an emulated hidraw node: each open's pump of input
// reports, and the reads, writes and ioctls a program makes on its handle.
#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/emulator/HidrawNodeParts.h"

namespace emu {

namespace {

// Reports taken from the device ahead of a handle's reads. The device keeps
// the rest itself: it sees a report as read once it is here, and a device
// that acts on a report being read (restarting once its last answer is out)
// must not act before the program could read it.
constexpr size_t kQueueReports = 1;
// How long one read of the device waits (Clock ms) before the pump looks
// whether its handle is still wanted.
constexpr int kPumpWaitMs = 20;

// The kernel's limit of one hidraw transfer, and the USB layer's timeout of
// an interrupt OUT transfer.
constexpr size_t kMaxReport = 4096;
constexpr int kWriteTimeoutMs = 5000;
constexpr uint16_t kBusUsb = 3;

}  // namespace

using hidraw::complete;
using hidraw::trace;

void HidrawNode::pump(std::shared_ptr<Session> session) {
    std::vector<uint8_t> buffer(kMaxReport);
    std::shared_ptr<ModelHandle> model;
    {
        std::lock_guard lock(mutex_);
        model = session->model;
    }
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (!session->closed && !umockdev_ioctl_client_get_connected(session->client)) {
                retireClosedLocked();
            }
            if (session->closed || session->superseded || gone_) break;
            session->reading = true;
        }
        const int n =
            hidport::hid_read_timeout(model->device, buffer.data(), buffer.size(), kPumpWaitMs);
        std::unique_lock lock(mutex_);
        session->reading = false;
        changed_.notify_all();
        if (n < 0) break;  // the device behind the handle has left
        if (n == 0) continue;
        // What an older handle still read came before the newest wrote
        // anything: nobody's answer.
        if (session->superseded || session->closed) break;
        changed_.wait(lock, [&] {
            return session->closed || gone_ || session->queue.size() < kQueueReports;
        });
        if (session->closed || gone_) break;
        Session::Report report;
        report.bytes.assign(buffer.begin(), buffer.begin() + n);
        trace("pump", session.get(), buffer.data(), static_cast<size_t>(n), n);
        if (session->waitingRead) {
            session->queue.push_back(std::move(report));
            UMockdevIoctlClient* waiting = session->waitingRead;
            session->waitingRead = nullptr;
            deliverLocked(*session, waiting);
            g_object_unref(waiting);
            continue;
        }
        report.announced = session->pty && session->pty->master >= 0;
        if (report.announced) {
            const char bell = 1;
            report.announced = ::write(session->pty->master, &bell, 1) == 1;
        }
        session->queue.push_back(std::move(report));
    }
    // The last user of the handle closes it (a write may still be using it).
    std::lock_guard lock(mutex_);
    session->model.reset();
    std::erase(pumping_, session);
    changed_.notify_all();
}

bool HidrawNode::deliverLocked(Session& session, UMockdevIoctlClient* client) {
    if (session.queue.empty()) return false;
    Session::Report report = std::move(session.queue.front());
    session.queue.pop_front();
    if (report.announced && session.pty) {
        char bell;
        ssize_t drained = ::read(session.pty->slave, &bell, 1);
        (void)drained;  // a terminal hung up has nothing left to drain
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const size_t n = std::min(report.bytes.size(), static_cast<size_t>(std::max(arg->data_len, 0)));
    std::memcpy(arg->data, report.bytes.data(), n);
    trace("read", &session, report.bytes.data(), n, static_cast<long>(n));
    ++counters_.reads;
    lastRead_ = std::chrono::steady_clock::now();
    complete(client, static_cast<long>(n), 0);
    changed_.notify_all();
    return true;
}

void HidrawNode::read(UMockdevIoctlClient* client) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<Session> session = sessionOf(client);
    if (!session) {
        complete(client, -1, EBADF);
        return;
    }
    if (deliverLocked(*session, client)) return;
    trace("read-empty", session.get(), nullptr, 0, 0);
    if (gone_ || !session->model) {
        complete(client, -1, EIO);
        return;
    }
    // Nothing for this handle. A handle woken by poll() found a report of
    // another one that shares its terminal (two opens at the same instant):
    // nothing yet. Otherwise the read blocks, as on a blocking hidraw handle,
    // until a report comes.
    int waiting = 0;
    if (session->pty && ::ioctl(session->pty->slave, FIONREAD, &waiting) == 0 && waiting > 0) {
        complete(client, -1, EAGAIN);
        return;
    }
    if (session->waitingRead) g_object_unref(session->waitingRead);
    session->waitingRead = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
}

void HidrawNode::write(UMockdevIoctlClient* client) {
    std::shared_ptr<ModelHandle> model;
    {
        std::unique_lock lock(mutex_);
        ++counters_.writes;
        std::shared_ptr<Session> session = sessionOf(client);
        if (!session) {
            complete(client, -1, EBADF);
            return;
        }
        if (gone_ || !session->model) {
            complete(client, -1, ENODEV);
            return;
        }
        model = session->model;
        // With one input queue for all handles, nothing this write brings
        // back may go to the read still in progress for an older handle
        // (superseded or closed; it ends within one pump wait).
        if (config_.identity.numberedReports) {
            changed_.wait(lock, [&] {
                return std::none_of(pumping_.begin(), pumping_.end(),
                                    [&](const auto& s) { return s != session && s->reading; });
            });
        }
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const size_t count = static_cast<size_t>(std::max(arg->data_len, 0));
    if (count < 2 || count > kMaxReport) {
        complete(client, -1, EINVAL);
        return;
    }
    // The kernel does not send a report id of 0: the device gets the rest.
    const uint8_t* data = arg->data;
    size_t length = count;
    if (data[0] == 0) {
        ++data;
        --length;
    }
    std::vector<uint8_t> report;
    if (config_.identity.numberedReports) {
        report.assign(data, data + length);
    } else {
        // The simulated device takes its reports as hidapi writes them:
        // report id 0, then the 64 bytes the device received.
        report.push_back(0);
        report.insert(report.end(), data, data + std::min<size_t>(length, 64));
    }
    trace("write", model.get(), report.data(), report.size(), static_cast<long>(report.size()));
    const auto start = std::chrono::steady_clock::now();
    const int r =
        hidport::hid_write_timeout(model->device, report.data(), report.size(), kWriteTimeoutMs);
    if (r < 0) {
        const bool timedOut =
            std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(kWriteTimeoutMs);
        complete(client, -1, timedOut ? ETIMEDOUT : ENODEV);
        return;
    }
    complete(client, static_cast<long>(count), 0);
}

void HidrawNode::ioctl(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(mutex_);
        if (gone_) {
            complete(client, -1, ENODEV);
            return;
        }
        session = sessionOf(client);
    }
    if (_IOC_TYPE(request) != 'H') {
        complete(client, -1, EINVAL);
        return;
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    // Fills the caller's memory behind the argument; `fill` gives the result.
    auto answer = [&](size_t length, auto&& fill) {
        GError* e = nullptr;
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, length, &e);
        if (!data) {
            if (e) g_error_free(e);
            complete(client, -1, EFAULT);
            return;
        }
        const long result = fill(data->data);
        complete(client, result, 0);
        g_object_unref(data);
    };
    auto text = [&](const std::string& value) {
        const size_t size = _IOC_SIZE(request);
        const size_t length = std::min(value.size() + 1, size);
        answer(size, [&](uint8_t* out) {
            std::memcpy(out, value.c_str(), length);
            return static_cast<long>(length);
        });
    };
    const UsbIdentity& id = config_.identity;
    switch (_IOC_NR(request)) {
        case _IOC_NR(HIDIOCGRDESCSIZE):
            // A device that refused the open fails the first question hidapi asks.
            if (!session || !session->model) {
                complete(client, -1, EIO);
                return;
            }
            answer(sizeof(int), [&](uint8_t* out) {
                const int size = static_cast<int>(descriptor_.size());
                std::memcpy(out, &size, sizeof size);
                return 0L;
            });
            return;
        case _IOC_NR(HIDIOCGRDESC):
            answer(sizeof(hidraw_report_descriptor), [&](uint8_t* out) {
                uint32_t wanted = 0;
                std::memcpy(&wanted, out, sizeof wanted);
                const size_t n = std::min<size_t>(descriptor_.size(), wanted);
                std::memcpy(out + offsetof(hidraw_report_descriptor, value), descriptor_.data(), n);
                return 0L;
            });
            return;
        case _IOC_NR(HIDIOCGRAWINFO):
            answer(sizeof(hidraw_devinfo), [&](uint8_t* out) {
                hidraw_devinfo info{};
                info.bustype = kBusUsb;
                info.vendor = static_cast<int16_t>(id.vendorId);
                info.product = static_cast<int16_t>(id.productId);
                std::memcpy(out, &info, sizeof info);
                return 0L;
            });
            return;
        case _IOC_NR(HIDIOCGRAWNAME(0)):
            text(id.manufacturer.empty() ? id.product : id.manufacturer + " " + id.product);
            return;
        case _IOC_NR(HIDIOCGRAWPHYS(0)):
            text("usb-0000:00:14.0-1/input0");
            return;
        case 0x08:  // HIDIOCGRAWUNIQ
            text(id.serial);
            return;
        case _IOC_NR(HIDIOCSFEATURE(0)):
        case _IOC_NR(HIDIOCGFEATURE(0)):
        case 0x09:  // HIDIOCSINPUT
        case 0x0A:  // HIDIOCGINPUT
        case 0x0B:  // HIDIOCSOUTPUT
        case 0x0C:  // HIDIOCGOUTPUT
            // The GPS has no such reports: its endpoint stalls.
            complete(client, -1, EPIPE);
            return;
        default:
            complete(client, -1, ENOTTY);
            return;
    }
}

}  // namespace emu
