#include "sim/emulator/PrivateBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/emulator/Processes.h"

namespace emu {

namespace {

// Named here, not taken from the updater's platform code: the emulator plays
// the desktop the updater talks to, so a wrong name on the updater's side
// fails a test instead of being agreed with.
constexpr const char* kUDisks = "org.freedesktop.UDisks2";
constexpr const char* kVolumePath = "/org/freedesktop/UDisks2/block_devices/sdb1";
constexpr const char* kDrivePath = "/org/freedesktop/UDisks2/drives/Quorta_GPS_0001";
constexpr const char* kFilesystemIface = "org.freedesktop.UDisks2.Filesystem";
constexpr const char* kDriveIface = "org.freedesktop.UDisks2.Drive";
constexpr const char* kMockIface = "org.freedesktop.DBus.Mock";
// Neither the daemon nor the mocks may be emulated themselves.
const std::vector<std::string> kNotEmulated = {"LD_PRELOAD", "UMOCKDEV_DIR"};

bool commandWorks(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

sd_bus* connect(const std::string& address) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return nullptr;
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

}  // namespace

std::string dbusmockPython() {
    static const std::string found = [] {
        for (const char* candidate : {"/usr/bin/python3", "python3"}) {
            // Found without importing it, which takes a while.
            if (commandWorks(std::string(candidate) +
                             " -c 'import importlib.util, sys; "
                             "sys.exit(importlib.util.find_spec(\"dbusmock\") is None)'")) {
                return std::string(candidate);
            }
        }
        return std::string();
    }();
    return found;
}

PrivateBus::PrivateBus(std::string folder) : folder_(std::move(folder)) {}

PrivateBus::~PrivateBus() {
    // All asked at once: each takes a moment to end.
    for (pid_t pid : mocks_) {
        if (pid > 0) ::kill(pid, SIGTERM);
    }
    for (pid_t& pid : mocks_) endProcess(pid);
    endProcess(daemon_);
}

std::string PrivateBus::start() {
    if (daemon_ > 0) return "";
    if (!commandWorks("dbus-daemon --version")) return "dbus-daemon is not installed";
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
    // The session bus's rules, except that every user may connect: the
    // program may run as another user than the emulator.
    const std::string config = folder_ + "/bus.conf";
    {
        std::FILE* f = std::fopen(config.c_str(), "w");
        if (!f) return "cannot write " + config;
        std::fputs(
            "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
            " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
            "<busconfig>\n"
            "  <include>/usr/share/dbus-1/session.conf</include>\n"
            "  <policy context=\"default\"><allow user=\"*\"/></policy>\n"
            "</busconfig>\n",
            f);
        std::fclose(f);
    }
    SpawnPlan plan;
    plan.argv = {"dbus-daemon",
                 "--config-file=" + config,
                 "--nofork",
                 "--nopidfile",
                 "--address=unix:path=" + folder_ + "/system_bus_socket",
                 "--print-address=" + std::to_string(fds[1])};
    plan.unset = kNotEmulated;
    plan.keepFds = {fds[1]};
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    plan.stderrFd = null;  // its notes on file limits are nobody's business
    daemon_ = spawnProcess(plan);
    ::close(null);
    ::close(fds[1]);
    char c;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') address_ += c;
    ::close(fds[0]);
    if (daemon_ < 0 || address_.empty()) return "dbus-daemon did not start";
    return "";
}

bool PrivateBus::nameHasOwner(const std::string& name) const {
    sd_bus* bus = connect(address_);
    if (!bus) return false;
    sd_bus_message* reply = nullptr;
    int has = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                           name.c_str()) >= 0) {
        sd_bus_message_read(reply, "b", &has);
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return has != 0;
}

std::string PrivateBus::startMock(const std::string& templateName, const std::string& service,
                                  const std::string& parametersJson) {
    const std::string python = dbusmockPython();
    if (python.empty()) return "python3-dbusmock is not installed";
    std::string why = start();
    if (!why.empty()) return why;
    SpawnPlan plan;
    plan.argv = {python,       "-m",         "dbusmock", "--system",
                 "--template", templateName, "-p",       parametersJson};
    plan.set = {"DBUS_SYSTEM_BUS_ADDRESS=" + address_};
    plan.unset = kNotEmulated;
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    plan.stdoutFd = null;
    const pid_t pid = spawnProcess(plan);
    ::close(null);
    if (pid < 0) return "cannot start dbusmock";
    mocks_.push_back(pid);
    services_.push_back(service);
    return "";
}

std::string PrivateBus::waitForMocks() {
    for (int i = 0; i < 400; ++i) {
        bool all = true;
        for (size_t m = 0; m < mocks_.size(); ++m) {
            int status;
            if (mocks_[m] > 0 && ::waitpid(mocks_[m], &status, WNOHANG) == mocks_[m]) {
                mocks_[m] = -1;
                return "the mock " + services_[m] + " ended";
            }
            if (!nameHasOwner(services_[m])) all = false;
        }
        if (all) return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return "the mocks did not appear on the bus";
}

// --- UDisksMock -----------------------------------------------------------------

UDisksMock::UDisksMock(std::string address, TakenAway onTakenAway)
    : address_(std::move(address)), onTakenAway_(std::move(onTakenAway)) {}

UDisksMock::~UDisksMock() {
    stopWatching();
    if (wakeFd_ >= 0) ::close(wakeFd_);
    sd_bus_flush_close_unref(signals_);
    sd_bus_flush_close_unref(calls_);
}

void UDisksMock::stopWatching() {
    stopping_ = true;
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        ssize_t n = ::write(wakeFd_, &one, sizeof one);
        (void)n;  // a counter cannot overflow from one write
    }
    if (thread_.joinable()) thread_.join();
}

bool UDisksMock::start(std::string* error) {
    calls_ = connect(address_);
    signals_ = connect(address_);
    if (!calls_ || !signals_) {
        if (error) *error = "cannot connect to the private system bus";
        return false;
    }
    if (sd_bus_match_signal(signals_, nullptr, nullptr, nullptr, "org.freedesktop.DBus.Properties",
                            "PropertiesChanged", &UDisksMock::onPropertiesChanged, this) < 0) {
        if (error) *error = "cannot watch the mock UDisks2";
        return false;
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { watch(); });
    return true;
}

void UDisksMock::watch() {
    while (!stopping_) {
        int r = sd_bus_process(signals_, nullptr);
        if (r < 0) return;
        if (r > 0) continue;
        pollfd fds[2] = {
            {sd_bus_get_fd(signals_), static_cast<short>(sd_bus_get_events(signals_)), 0},
            {wakeFd_, POLLIN, 0}};
        ::poll(fds, 2, 1000);
    }
}

int UDisksMock::onPropertiesChanged(sd_bus_message* m, void* self, sd_bus_error*) {
    auto* mock = static_cast<UDisksMock*>(self);
    const char* path = sd_bus_message_get_path(m);
    const char* iface = nullptr;
    if (!path || sd_bus_message_read(m, "s", &iface) < 0 || !iface) return 0;
    const bool volume =
        std::strcmp(path, kVolumePath) == 0 && std::strcmp(iface, kFilesystemIface) == 0;
    const bool drive = std::strcmp(path, kDrivePath) == 0 && std::strcmp(iface, kDriveIface) == 0;
    if (!volume && !drive) return 0;
    bool takenAway = false;
    if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return 0;
    while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
        const char* name = nullptr;
        if (sd_bus_message_read(m, "s", &name) < 0 || !name) return 0;
        if (volume && std::strcmp(name, "MountPoints") == 0) {
            if (sd_bus_message_enter_container(m, 'v', "aay") < 0) return 0;
            if (sd_bus_message_enter_container(m, 'a', "ay") < 0) return 0;
            const bool empty = sd_bus_message_at_end(m, false) > 0;
            sd_bus_message_skip(m, nullptr);
            sd_bus_message_exit_container(m);
            sd_bus_message_exit_container(m);
            if (empty) takenAway = true;
        } else if (drive && std::strcmp(name, "MediaAvailable") == 0) {
            int available = 1;
            if (sd_bus_message_read(m, "v", "b", &available) < 0) return 0;
            if (!available) takenAway = true;
        } else {
            sd_bus_message_skip(m, "v");
        }
        sd_bus_message_exit_container(m);
    }
    if (!takenAway) return 0;
    {
        // Our own "not mounted" (the GPS took its drive away) is no news.
        std::lock_guard lock(mock->mutex_);
        if (!mock->mounted_) return 0;
        mock->mounted_ = false;
    }
    if (mock->onTakenAway_) mock->onTakenAway_();
    return 0;
}

void UDisksMock::setMountPoint(const std::string& mountPoint) {
    std::lock_guard lock(mutex_);
    if (!calls_) return;
    mounted_ = !mountPoint.empty();
    sd_bus_message* call = nullptr;
    int r = sd_bus_message_new_method_call(calls_, &call, kUDisks, kVolumePath, kMockIface,
                                           "UpdateProperties");
    if (r >= 0) r = sd_bus_message_append(call, "s", kFilesystemIface);
    if (r >= 0) r = sd_bus_message_open_container(call, 'a', "{sv}");
    if (r >= 0) r = sd_bus_message_open_container(call, 'e', "sv");
    if (r >= 0) r = sd_bus_message_append(call, "s", "MountPoints");
    if (r >= 0) r = sd_bus_message_open_container(call, 'v', "aay");
    if (r >= 0) r = sd_bus_message_open_container(call, 'a', "ay");
    if (r >= 0 && mounted_) {
        // UDisks2 gives mount points as NUL-terminated byte strings.
        r = sd_bus_message_append_array(call, 'y', mountPoint.c_str(), mountPoint.size() + 1);
    }
    for (int i = 0; i < 4 && r >= 0; ++i) r = sd_bus_message_close_container(call);
    if (r >= 0) r = sd_bus_call(calls_, call, 0, nullptr, nullptr);
    sd_bus_message_unref(call);
    if (mounted_) {
        sd_bus_call_method(calls_, kUDisks, kDrivePath, kMockIface, "UpdateProperties", nullptr,
                           nullptr, "sa{sv}", kDriveIface, 1, "MediaAvailable", "b", 1);
    }
}

}  // namespace emu
