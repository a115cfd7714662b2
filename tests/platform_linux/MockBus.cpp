#include "MockBus.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace testing_support {

namespace {

constexpr const char* kNoDaemon = "dbus-daemon is not installed";
constexpr const char* kNoDbusmock = "python3-dbusmock is not installed";

bool commandWorks(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

MockBus::~MockBus() {
    stop(mock_);
    stop(daemon_);
}

bool MockBus::isMissingTool(const std::string& why) {
    return why == kNoDaemon || why == kNoDbusmock;
}

std::string MockBus::startBus() {
    if (daemon_ > 0) return "";
    if (!commandWorks("dbus-daemon --version")) return kNoDaemon;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return "pipe failed";
    daemon_ = ::fork();
    if (daemon_ == 0) {
        ::close(pipeFds[0]);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);  // its notes on fd limits are not the test's business
        std::string fdArg = "--print-address=" + std::to_string(pipeFds[1]);
        ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
                 fdArg.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    char c;
    while (::read(pipeFds[0], &c, 1) == 1 && c != '\n') address_ += c;
    ::close(pipeFds[0]);
    if (address_.empty()) return "dbus-daemon did not start";
    return "";
}

std::string MockBus::startMock(const std::string& templateName, const std::string& serviceName,
                               const std::string& parametersJson) {
    for (const char* candidate : {"/usr/bin/python3", "python3"}) {
        if (commandWorks(std::string(candidate) + " -c 'import dbusmock'")) {
            python_ = candidate;
            break;
        }
    }
    if (python_.empty()) return kNoDbusmock;
    std::string why = startBus();
    if (!why.empty()) return why;

    logPath_ = dir_.path() + "/calls.log";
    std::string output = dir_.path() + "/mock.out";
    mock_ = ::fork();
    if (mock_ == 0) {
        ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
        int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execlp(python_.c_str(), python_.c_str(), "-m", "dbusmock", "--session", "--template",
                 templateName.c_str(), "-l", logPath_.c_str(), "-p", parametersJson.c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Setting up: wait for the mock to take its name.
    for (int i = 0; i < 200; ++i) {
        if (nameHasOwner(serviceName)) return "";
        int status;
        if (::waitpid(mock_, &status, WNOHANG) == mock_) {
            mock_ = -1;
            std::ifstream in(output);
            std::stringstream text;
            text << in.rdbuf();
            ADD_FAILURE() << "the mock " << serviceName << " ended: " << text.str();
            return "mock failed";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << "the mock " << serviceName << " did not appear on the bus";
    return "mock did not appear";
}

bool MockBus::nameHasOwner(const std::string& name) const {
    sd_bus* bus = nullptr;
    bool owned = false;
    if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address_.c_str()) >= 0 &&
        sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0) {
        sd_bus_message* reply = nullptr;
        int has = 0;
        if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                               name.c_str()) >= 0 &&
            sd_bus_message_read(reply, "b", &has) >= 0) {
            owned = has;
        }
        sd_bus_message_unref(reply);
    }
    sd_bus_flush_close_unref(bus);
    return owned;
}

std::vector<MockBus::Inhibitor> MockBus::logindInhibitors() const {
    std::vector<Inhibitor> out;
    sd_bus* bus = nullptr;
    sd_bus_message* reply = nullptr;
    if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address_.c_str()) >= 0 &&
        sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0 &&
        sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "ListInhibitors", nullptr, &reply,
                           "") >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "(ssssuu)") >= 0) {
        const char *what, *who, *why, *mode;
        uint32_t uid, pid;
        while (sd_bus_message_read(reply, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid) > 0)
            out.emplace_back(what, who, why, mode);
    } else {
        ADD_FAILURE() << "ListInhibitors failed";
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return out;
}

void MockBus::stop(pid_t& pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
}

}  // namespace testing_support
