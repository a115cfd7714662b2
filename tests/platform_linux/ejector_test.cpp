#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "TempDir.h"
#include "platform/linux/UDisksVolumeEjector.h"

using testing_support::TempDir;

TEST(EjectorHelpers, PathIsUnderAMountPoint) {
    using platform::pathIsUnder;
    EXPECT_TRUE(pathIsUnder("/media/rider/QUORTA", "/media/rider/QUORTA"));
    EXPECT_TRUE(pathIsUnder("/media/rider/QUORTA/nrf_update.bin", "/media/rider/QUORTA/"));
    EXPECT_FALSE(pathIsUnder("/media/rider/QUORTA2/file", "/media/rider/QUORTA"));
    EXPECT_FALSE(pathIsUnder("/media/rider", "/media/rider/QUORTA"));
    EXPECT_FALSE(pathIsUnder("socket:[1234]", "/media/rider/QUORTA"));
    EXPECT_FALSE(pathIsUnder("", "/media"));
    EXPECT_TRUE(pathIsUnder("/anything", "/"));
    EXPECT_FALSE(pathIsUnder("/anything", ""));
}

TEST(EjectorHelpers, SeesAFileThisProcessHoldsOpen) {
    TempDir dir;
    std::string mount = dir.mkdir("QUORTA");
    EXPECT_FALSE(platform::mountInUse("/proc", mount));
    int fd = ::open(dir.write("QUORTA/nrf_update.bin", "x").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(platform::mountInUse("/proc", mount));
    EXPECT_FALSE(platform::mountInUse("/proc", dir.path() + "/QUORT"));
    ::close(fd);
    EXPECT_FALSE(platform::mountInUse("/proc", mount));
}

namespace {

bool commandWorks(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A private bus with a mock UDisks2 on it; both processes are ours and are
// ended by their ids.
class MockUDisks {
  public:
    ~MockUDisks() {
        stop(mock_);
        stop(daemon_);
    }

    // Empty when it runs; otherwise why it cannot run here.
    std::string start(const std::string& parametersJson) {
        if (!commandWorks("dbus-daemon --version")) return "dbus-daemon is not installed";
        std::string python;
        for (const char* candidate : {"/usr/bin/python3", "python3"}) {
            if (commandWorks(std::string(candidate) + " -c 'import dbusmock'")) {
                python = candidate;
                break;
            }
        }
        if (python.empty()) return "python3-dbusmock is not installed";

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

        logPath_ = dir_.path() + "/calls.log";
        std::string output = dir_.path() + "/mock.out";
        mock_ = ::fork();
        if (mock_ == 0) {
            ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
            int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::execlp(python.c_str(), python.c_str(), "-m", "dbusmock", "--session", "--template",
                     QUORTA_UDISKS_MOCK, "-l", logPath_.c_str(), "-p", parametersJson.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        // Setting up: wait for the mock to take its name.
        for (int i = 0; i < 200; ++i) {
            if (nameHasOwner()) return "";
            int status;
            if (::waitpid(mock_, &status, WNOHANG) == mock_) {
                mock_ = -1;
                std::ifstream in(output);
                std::stringstream text;
                text << in.rdbuf();
                ADD_FAILURE() << "the mock UDisks2 ended: " << text.str();
                return "mock failed";
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "the mock UDisks2 did not appear on the bus";
        return "mock did not appear";
    }

    const std::string& address() const { return address_; }

    // The UDisks2 methods called so far, in order (property reads left out).
    std::vector<std::string> calls() const {
        std::vector<std::string> names;
        std::ifstream in(logPath_);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::string stamp, name, next;
            words >> stamp >> name >> next;
            if (next == "raised:") continue;  // the mock's note on a call that failed
            if (name == "Unmount" || name == "Eject" || name == "PowerOff") names.push_back(name);
        }
        return names;
    }

  private:
    bool nameHasOwner() {
        sd_bus* bus = nullptr;
        bool owned = false;
        if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address_.c_str()) >= 0 &&
            sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0) {
            sd_bus_message* reply = nullptr;
            int has = 0;
            if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                                   "org.freedesktop.UDisks2") >= 0 &&
                sd_bus_message_read(reply, "b", &has) >= 0) {
                owned = has;
            }
            sd_bus_message_unref(reply);
        }
        sd_bus_flush_close_unref(bus);
        return owned;
    }

    static void stop(pid_t& pid) {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

    TempDir dir_;
    pid_t daemon_ = -1;
    pid_t mock_ = -1;
    std::string address_;
    std::string logPath_;
};

#define START_MOCK(mock, json)                                                                     \
    do {                                                                                           \
        std::string why = (mock).start(json);                                                      \
        if (why == "dbus-daemon is not installed" || why == "python3-dbusmock is not installed") { \
            GTEST_SKIP() << why;                                                                   \
        }                                                                                          \
        ASSERT_EQ(why, "");                                                                        \
    } while (0)

const std::vector<std::string> kUnmountEject = {"Unmount", "Eject"};

}  // namespace

TEST(UDisksVolumeEjector, UnmountsThenEjects) {
    MockUDisks mock;
    START_MOCK(mock, R"({"MountPoint": "/media/rider/QUORTA"})");
    bool askedToPowerOff = false;
    platform::UDisksVolumeEjector ejector(mock.address(), [&](uint64_t) {
        askedToPowerOff = true;
        return true;
    });

    std::unique_ptr<platform::VolumeHandle> volume = ejector.open("/media/rider/QUORTA/");
    ASSERT_TRUE(volume) << ejector.lastError();
    EXPECT_TRUE(volume->lock());  // nothing of ours is open there
    EXPECT_TRUE(volume->dismount());
    EXPECT_TRUE(volume->allowRemoval());
    EXPECT_TRUE(volume->eject());
    EXPECT_FALSE(askedToPowerOff);
    EXPECT_EQ(mock.calls(), kUnmountEject);

    // Unmounted now: a second dismount has nothing to do and asks nothing.
    EXPECT_TRUE(volume->dismount());
    EXPECT_EQ(mock.calls(), kUnmountEject);
}

TEST(UDisksVolumeEjector, OpensOnlyAMountedVolume) {
    MockUDisks mock;
    START_MOCK(mock, R"({"MountPoint": "/media/rider/QUORTA"})");
    platform::UDisksVolumeEjector ejector(mock.address());
    EXPECT_TRUE(ejector.open("/media/rider/QUORTA"));  // without the trailing slash too
    EXPECT_FALSE(ejector.open("/media/rider/OTHER/"));
    EXPECT_NE(ejector.lastError().find("/media/rider/OTHER"), std::string::npos);
    EXPECT_FALSE(ejector.open("/media/rider"));
    EXPECT_FALSE(ejector.open(""));
    EXPECT_FALSE(ejector.open("E:\\"));
    EXPECT_TRUE(mock.calls().empty());
}

TEST(UDisksVolumeEjector, ABusyUnmountIsReportedAsAFailedDismount) {
    MockUDisks mock;
    START_MOCK(mock, R"({"MountPoint": "/media/rider/QUORTA", "UnmountFails": true})");
    platform::UDisksVolumeEjector ejector(mock.address());
    auto volume = ejector.open("/media/rider/QUORTA/");
    ASSERT_TRUE(volume);
    EXPECT_FALSE(volume->dismount());
    EXPECT_EQ(mock.calls(), std::vector<std::string>{"Unmount"});
}

TEST(UDisksVolumeEjector, PowersOffOnlyWhenThePolicyAllows) {
    MockUDisks mock;
    START_MOCK(mock, R"({"MountPoint": "/media/rider/QUORTA", "EjectFails": true})");
    uint64_t askedFor = 0;
    bool allow = false;
    platform::UDisksVolumeEjector ejector(mock.address(), [&](uint64_t devnum) {
        askedFor = devnum;
        return allow;
    });
    auto volume = ejector.open("/media/rider/QUORTA/");
    ASSERT_TRUE(volume);
    ASSERT_TRUE(volume->dismount());
    EXPECT_FALSE(volume->eject());  // a composite device is not powered off
    EXPECT_EQ(askedFor, 0x811u);    // the GPS volume's block device, 8:17
    EXPECT_EQ(mock.calls(), kUnmountEject);

    allow = true;
    EXPECT_TRUE(volume->eject());
    EXPECT_EQ(mock.calls(), (std::vector<std::string>{"Unmount", "Eject", "Eject", "PowerOff"}));
}

TEST(UDisksVolumeEjector, LockWaitsForOpenFilesOnTheVolume) {
    TempDir volumeDir;
    std::string mount = volumeDir.mkdir("QUORTA");
    MockUDisks mock;
    START_MOCK(mock, "{\"MountPoint\": \"" + mount + "\"}");
    platform::UDisksVolumeEjector ejector(mock.address());
    auto volume = ejector.open(mount + "/");
    ASSERT_TRUE(volume) << ejector.lastError();

    int fd =
        ::open(volumeDir.write("QUORTA/nrf_update.bin", "image").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(volume->lock());  // a writer still has it open
    ::close(fd);
    EXPECT_TRUE(volume->lock());
    EXPECT_TRUE(mock.calls().empty());  // locking asks UDisks2 for nothing but the mount points
}

TEST(UDisksVolumeEjector, NoBusNoVolume) {
    TempDir dir;
    platform::UDisksVolumeEjector ejector("unix:path=" + dir.path() + "/no-bus");
    EXPECT_FALSE(ejector.open("/media/rider/QUORTA/"));
    EXPECT_NE(ejector.lastError().find("cannot connect"), std::string::npos) << ejector.lastError();
}
