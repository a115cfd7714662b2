#include "sim/emulator/HidrawNode.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hidport/hidport.h"
#include "sim/emulator/Testbed.h"

namespace emu {

namespace {

// Reports taken from the device ahead of a handle's reads. The device keeps
// the rest itself: it sees a report as read once it is here, and a device
// that acts on a report being read (restarting once its last answer is out)
// must not act before the program could read it.
constexpr size_t kQueueReports = 1;
// A leaving device's reports still wait for a handle that has read within
// this long (real time); one that has not is given up.
constexpr auto kIdleReader = std::chrono::milliseconds(50);
// How long one read of the device waits (Clock ms) before the pump looks
// whether its handle is still wanted.
constexpr int kPumpWaitMs = 20;

// The kernel's limit of one hidraw transfer, and the USB layer's timeout of
// an interrupt OUT transfer.
constexpr size_t kMaxReport = 4096;
constexpr int kWriteTimeoutMs = 5000;
constexpr uint16_t kBusUsb = 3;

template <typename F>
GCallback callback(F* function) {
    // Through a plain function pointer type, which any other converts to.
    return reinterpret_cast<GCallback>(reinterpret_cast<void (*)()>(function));
}

bool tracing() {
    static const bool on = std::getenv("QUORTA_EMULATOR_TRACE") != nullptr;
    return on;
}

void trace(const char* what, const void* who, const uint8_t* data, size_t n, long extra) {
    if (!tracing()) return;
    std::fprintf(stderr, "[emu %lld] %s %p %ld:",
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now().time_since_epoch())
                                            .count()),
                 what, who, extra);
    for (size_t i = 0; i < std::min<size_t>(n, 16); ++i) std::fprintf(stderr, " %02x", data[i]);
    std::fprintf(stderr, "\n");
}

void complete(UMockdevIoctlClient* client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
}

}  // namespace

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

HidrawNode::HidrawNode(Testbed& testbed, Config config)
    : testbed_(testbed),
      config_(std::move(config)),
      descriptor_(reportDescriptor(config_.identity.numberedReports)) {
    std::lock_guard lock(mutex_);
    current_ = newPtyLocked();
    if (current_) {
        devMajor_ = major(current_->rdev);
        devMinor_ = minor(current_->rdev);
    }
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "client-connected", callback(&HidrawNode::onConnected), this);
    g_signal_connect(handler_, "client-vanished", callback(&HidrawNode::onVanished), this);
    g_signal_connect(handler_, "handle-read", callback(&HidrawNode::onRead), this);
    g_signal_connect(handler_, "handle-write", callback(&HidrawNode::onWrite), this);
    g_signal_connect(handler_, "handle-ioctl", callback(&HidrawNode::onIoctl), this);
}

HidrawNode::~HidrawNode() {
    unplug(std::chrono::milliseconds(0));
    std::vector<std::thread> pumps;
    {
        std::lock_guard lock(mutex_);
        pumps.swap(pumps_);
    }
    for (std::thread& t : pumps) t.join();
    if (late_.joinable()) late_.join();
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(handler_);
}

std::shared_ptr<HidrawNode::Pty> HidrawNode::newPtyLocked() {
    auto pty = std::make_shared<Pty>();
    if (::openpty(&pty->master, &pty->slave, nullptr, nullptr, nullptr) != 0) return nullptr;
    termios t{};
    ::tcgetattr(pty->slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(pty->slave, TCSANOW, &t);
    ::fcntl(pty->slave, F_SETFL, ::fcntl(pty->slave, F_GETFL) | O_NONBLOCK);
    ::fcntl(pty->master, F_SETFD, FD_CLOEXEC);
    ::fcntl(pty->slave, F_SETFD, FD_CLOEXEC);
    ::fchmod(pty->slave, finished_ || !config_.lateAccess ? config_.mode : 0600);
    if (leaving_) lockAgainstOpens(*pty);
    char name[64] = {};
    ::ptsname_r(pty->master, name, sizeof name);
    pty->name = name;
    struct stat st {};
    ::fstat(pty->slave, &st);
    pty->rdev = st.st_rdev;
    if (attached_) {
        // hidapi looks a handle up by the number fstat() gives it.
        const std::string dev =
            std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
        const std::string link = "sys/dev/char/" + dev;
        testbed_.makeLink(link, "../.." + config_.syspath.substr(4));
        links_.push_back(link);
        linkNodeLocked(*pty);
    }
    return pty;
}

bool HidrawNode::linkNodeLocked(const Pty& pty) {
    // A node udev has not made yet: a link to nothing, which open() and
    // stat() see as missing.
    const bool missing = !finished_ && !config_.lateAccess;
    return testbed_.makeLink("dev/" + config_.name, missing ? pty.name + ".not-yet" : pty.name);
}

void HidrawNode::finishLate() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, config_.late, [this] { return gone_; });
    if (gone_) return;
    finished_ = true;
    if (current_) {
        ::fchmod(current_->slave, config_.mode);
        linkNodeLocked(*current_);
    }
}

bool HidrawNode::attach(std::string* error) {
    std::lock_guard lock(mutex_);
    if (!current_) {
        if (error) *error = std::string("no pseudo-terminal for the node: ") + std::strerror(errno);
        return false;
    }
    finished_ = config_.late.count() <= 0;
    if (!finished_) ::fchmod(current_->slave, config_.lateAccess ? 0600 : config_.mode);
    if (!linkNodeLocked(*current_)) {
        if (error) *error = "cannot make /dev/" + config_.name + " in the testbed";
        return false;
    }
    if (!testbed_.attachIoctl("/dev/" + config_.name, handler_, error)) return false;
    attached_ = true;
    if (!finished_) late_ = std::thread(&HidrawNode::finishLate, this);
    return true;
}

void HidrawNode::unplug(std::chrono::milliseconds grace) {
    std::unique_lock lock(mutex_);
    if (gone_) return;
    // What the device sent before it left was already the kernel's: a handle
    // that is reading gets it, for at most `grace`.
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const bool drained = std::all_of(sessions_.begin(), sessions_.end(), [](const auto& s) {
            return s->closed || s->queue.empty() || !s->model;
        });
        const auto now = std::chrono::steady_clock::now();
        if (drained || now - start >= grace || now - std::max(start, lastRead_) >= kIdleReader) {
            break;
        }
        changed_.wait_for(lock, std::chrono::milliseconds(5));
    }
    gone_ = true;
    for (auto& s : sessions_) {
        s->queue.clear();
        if (s->waitingRead) {
            complete(s->waitingRead, -1, EIO);
            g_object_unref(s->waitingRead);
            s->waitingRead = nullptr;
        }
        if (s->pty) s->pty->hangUp();
    }
    if (current_) current_->hangUp();
    changed_.notify_all();
    const bool wasAttached = attached_;
    attached_ = false;
    const std::vector<std::string> links = std::move(links_);
    links_.clear();
    lock.unlock();
    if (wasAttached) {
        testbed_.detachIoctl("/dev/" + config_.name);
        testbed_.removeEntry("dev/" + config_.name);
    }
    for (const std::string& link : links) testbed_.removeEntry(link);
}

void HidrawNode::lockAgainstOpens(Pty& pty) {
    // A locked terminal refuses every open: as the kernel's node of a device
    // that is going away refuses them, at open() already.
    int locked = 1;
    if (pty.master >= 0) ::ioctl(pty.master, TIOCSPTLCK, &locked);
}

void HidrawNode::refuseNewOpens() {
    std::lock_guard lock(mutex_);
    leaving_ = true;
    if (current_) lockAgainstOpens(*current_);
}

HidrawNode::Counters HidrawNode::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

std::shared_ptr<HidrawNode::Session> HidrawNode::sessionOf(UMockdevIoctlClient* client) {
    for (const auto& s : sessions_) {
        if (s->client == client && !s->closed) return s;
    }
    return nullptr;
}

// --- umockdev's calls -----------------------------------------------------------

void HidrawNode::onConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* node = static_cast<HidrawNode*>(self);
    auto session = std::make_shared<Session>();
    session->client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    bool open;
    {
        std::lock_guard lock(node->mutex_);
        ++node->counters_.opens;
        open = !node->gone_;
        // The handle keeps the terminal it opened; the next open gets another.
        session->pty = node->current_;
        if (open) node->current_ = node->newPtyLocked();
    }
    if (node->config_.identity.numberedReports) {
        // A bootloader has one input queue for all its handles: the newest
        // takes it over. (umockdev may not have seen an older one closed
        // yet; it only finds out on this thread.)
        std::lock_guard lock(node->mutex_);
        for (const auto& s : node->sessions_) s->superseded = true;
    }
    hidport::hid_device* device = nullptr;
    if (open) {
        device = hidport::hid_open(node->config_.identity.vendorId,
                                   node->config_.identity.productId, nullptr);
    }
    std::lock_guard lock(node->mutex_);
    trace(device ? "open" : "open-refused", session.get(), nullptr, 0,
          node->config_.identity.productId);
    if (device) session->model = std::make_shared<ModelHandle>(device);
    node->sessions_.push_back(session);
    if (session->model) {
        node->pumping_.push_back(session);
        node->pumps_.emplace_back(&HidrawNode::pump, node, session);
    }
}

void HidrawNode::retireClosedLocked() {
    // umockdev tells of a closed handle only through its client's
    // "connected", which it clears without a signal.
    std::erase_if(sessions_, [&](const std::shared_ptr<Session>& s) {
        if (umockdev_ioctl_client_get_connected(s->client)) return false;
        s->closed = true;
        return true;
    });
    changed_.notify_all();
}

void HidrawNode::onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    auto* node = static_cast<HidrawNode*>(self);
    std::lock_guard lock(node->mutex_);
    std::erase_if(node->sessions_, [&](const std::shared_ptr<Session>& s) {
        if (s->client != client) return false;
        s->closed = true;
        return true;
    });
    node->changed_.notify_all();
}

int HidrawNode::onRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    static_cast<HidrawNode*>(self)->read(client);
    return TRUE;
}

int HidrawNode::onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    static_cast<HidrawNode*>(self)->write(client);
    return TRUE;
}

int HidrawNode::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* self) {
    static_cast<HidrawNode*>(self)->ioctl(client);
    return TRUE;
}

// --- The device's side ----------------------------------------------------------

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
