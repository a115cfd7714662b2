// Shared pieces of the data-workflow suites: a file service with faults on
// request around the real one, and a fixture with a private cache folder, a
// folder that plays the GPS drive, and every status and wait recorded.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "CoreTestSupport.h"
#include "TempDir.h"
#include "core/DeviceRecord.h"
#include "core/ReportCallbacks.h"
#include "core/UpdaterState.h"
#include "platform/Files.h"
#include "platform/ForwardingFiles.h"
#include "platform/linux/LinuxFiles.h"
#include "platform/linux/XdgPaths.h"

namespace testing_support {

namespace fs = std::filesystem;

// The real file service, with faults: a folder that refuses every write as a
// read-only file system does, a disk that fills after a number of bytes
// written to new files, locks refused, and a hook after each tree copy.
class FaultyFiles : public platform::ForwardingFiles {
  public:
    FaultyFiles() : ForwardingFiles(real) {}

    std::string readOnlyRoot;           // writes below it fail
    std::optional<size_t> writeBudget;  // bytes createFile's files may still take
    bool refuseLock = false;
    std::function<void(const std::string& to)> afterCopyTree;
    // Runs before copyMissing does its work (a drive that goes away).
    std::function<void()> beforeCopyMissing;
    std::vector<std::string> created;  // every path given to createFile
    std::string unknownBelow;          // presence() cannot tell what is below it

    bool createFolder(const std::string& path, bool privateMode, std::string* error) override {
        if (readOnly(path, error)) return false;
        return real.createFolder(path, privateMode, error);
    }
    std::unique_ptr<platform::WritableFile> createFile(const std::string& path,
                                                       std::string* error) override {
        created.push_back(path);
        if (readOnly(path, error)) return nullptr;
        auto file = real.createFile(path, error);
        if (!file) return nullptr;
        return std::make_unique<Faulty>(std::move(file), *this);
    }
    bool deleteFile(const std::string& path, std::string* error) override {
        if (readOnly(path, error)) return false;
        return real.deleteFile(path, error);
    }
    bool copyFile(const std::string& from, const std::string& to, std::string* error) override {
        if (readOnly(to, error)) return false;
        return real.copyFile(from, to, error);
    }
    platform::TreeResult copyTree(const std::string& from, const std::string& to) override {
        platform::TreeResult r;
        if (readOnly(to, &r.error)) return r;
        r = real.copyTree(from, to);
        if (afterCopyTree) afterCopyTree(to);
        return r;
    }
    platform::TreeResult deleteTree(const std::string& path) override {
        platform::TreeResult r;
        if (readOnly(path, &r.error)) return r;
        return real.deleteTree(path);
    }
    bool renameFolder(const std::string& from, const std::string& to, std::string* error) override {
        if (readOnly(from, error) || readOnly(to, error)) return false;
        return real.renameFolder(from, to, error);
    }
    platform::TreeResult copyMissing(const std::string& from, const std::string& to) override {
        platform::TreeResult r;
        if (readOnly(to, &r.error)) return r;
        if (beforeCopyMissing) beforeCopyMissing();
        return real.copyMissing(from, to);
    }
    platform::Presence presence(const std::string& path, std::string* error) override {
        if (!unknownBelow.empty() && path.size() > unknownBelow.size() &&
            path.compare(0, unknownBelow.size(), unknownBelow) == 0) {
            if (error) *error = "cannot look at " + path + ": Permission denied";
            return platform::Presence::Unknown;
        }
        return real.presence(path, error);
    }

    platform::LinuxFiles real;

  private:
    class Faulty : public platform::ForwardingWritableFile {
      public:
        Faulty(std::unique_ptr<platform::WritableFile> inner, FaultyFiles& owner)
            : ForwardingWritableFile(std::move(inner)), owner_(owner) {}
        bool lock(uint64_t offset, uint64_t length) override {
            return !owner_.refuseLock && inner().lock(offset, length);
        }
        size_t write(const uint8_t* data, size_t length) override {
            size_t allowed = length;
            if (owner_.writeBudget) {
                allowed = std::min(length, *owner_.writeBudget);
                *owner_.writeBudget -= allowed;
            }
            size_t done = inner().write(data, allowed);
            if (allowed < length) full_ = true;
            return done;
        }
        std::string error() const override {
            return full_ ? "No space left on device" : inner().error();
        }

      private:
        FaultyFiles& owner_;
        bool full_ = false;
    };

    bool readOnly(const std::string& path, std::string* error) {
        if (readOnlyRoot.empty() || path.compare(0, readOnlyRoot.size(), readOnlyRoot) != 0)
            return false;
        if (error) *error = path + ": Read-only file system";
        return true;
    }
};

inline std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Bytes of every value, in an order set by `seed`.
inline std::vector<uint8_t> binaryBytes(size_t length, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<uint8_t>(gen());
    return bytes;
}

struct Status {
    int isComplete;
    std::optional<std::string> title;
    std::optional<std::string> detail;
};

class DataTest : public CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        paths = std::make_unique<platform::XdgPaths>(base.path() + "/cache");
        driveFolder = base.mkdir("drive");
        services.paths = paths.get();
        services.files = &files;
        wireData();
    }

    // Gives the current context the collaborators, the drive and the
    // recording report table.
    void wireData() {
        wireCore();
        core::reportCallbacks().reportStatus = [this](int c, const char* t, const char* d) {
            std::lock_guard lock(statusMutex);
            statuses.push_back({c, t ? std::optional<std::string>(t) : std::nullopt,
                                d ? std::optional<std::string>(d) : std::nullopt});
        };
        core::reportCallbacks().waitSeconds = [this](int s) {
            std::lock_guard lock(statusMutex);
            waits.push_back(s);
        };
        core::state().setGpsDriveRoot(driveRoot());
    }

    void TearDown() override {
        // The end of the log tells most about a failure.
        if (HasFailure()) {
            const std::string all = logText();
            std::fprintf(stderr, "--- log (end) ---\n%s\n",
                         all.substr(all.size() > 4000 ? all.size() - 4000 : 0).c_str());
        }
    }

    std::string driveRoot() const { return driveFolder + "/"; }
    std::string stagingDir() { return paths->stagingDir(); }
    std::string backupDir() { return paths->tempDir() + "Quorta"; }

    // Publishes the connected device's record.
    void connect(int type, int major, int minor, int dlv) {
        core::DeviceRecord r;
        r.deviceType = type;
        r.versionMajor = major;
        r.versionMinor = minor;
        r.dlv = dlv;
        r.rawId = type + (dlv == 60 ? 60 : 0);
        r.modelName = core::deviceTypeName(type);
        core::deviceRecord().store(r);
        core::reportCallbacks().currentDevice = &core::deviceRecord();
        core::state().GNormDevID = type;
        core::state().GRawDevID = r.rawId;
    }

    bool statusWith(const std::string& title, const std::string& detail = "") {
        std::lock_guard lock(statusMutex);
        for (const Status& s : statuses) {
            if ((title.empty() || s.title == title) && (detail.empty() || s.detail == detail))
                return true;
        }
        return false;
    }
    // A status with this title whose detail's last line is `lastLine`.
    bool statusEndingWith(const std::string& title, const std::string& lastLine) {
        std::lock_guard lock(statusMutex);
        for (const Status& s : statuses) {
            const std::string detail = s.detail.value_or("");
            const size_t at = detail.rfind('\n');
            const std::string last = at == std::string::npos ? detail : detail.substr(at + 1);
            if (s.title == title && last == lastLine) return true;
        }
        return false;
    }
    std::vector<int> waitsSoFar() {
        std::lock_guard lock(statusMutex);
        return waits;
    }

    TempDir base;
    std::unique_ptr<platform::XdgPaths> paths;
    FaultyFiles files;
    std::string driveFolder;
    std::mutex statusMutex;
    std::vector<Status> statuses;
    std::vector<int> waits;
};

}  // namespace testing_support
