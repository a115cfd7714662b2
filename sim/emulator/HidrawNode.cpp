#include "sim/emulator/HidrawNode.h"

#include <fcntl.h>
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
#include "sim/emulator/HidrawNodeParts.h"
#include "sim/emulator/Testbed.h"

namespace emu {

namespace {

// A leaving device's reports still wait for a handle that has read within
// this long (real time); one that has not is given up.
constexpr auto kIdleReader = std::chrono::milliseconds(50);

template <typename F>
GCallback callback(F* function) {
    // Through a plain function pointer type, which any other converts to.
    return reinterpret_cast<GCallback>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

namespace hidraw {

void trace(const char* what, const void* who, const uint8_t* data, size_t n, long extra) {
    static const bool on = std::getenv("QUORTA_EMULATOR_TRACE") != nullptr;
    if (!on) return;
    std::fprintf(stderr, "[emu %lld] %s %p %ld:",
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now().time_since_epoch())
                                            .count()),
                 what, who, extra);
    for (size_t i = 0; i < std::min<size_t>(n, 16); ++i) std::fprintf(stderr, " %02x", data[i]);
    std::fprintf(stderr, "\n");
}

}  // namespace hidraw

using hidraw::complete;
using hidraw::trace;

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

}  // namespace emu
