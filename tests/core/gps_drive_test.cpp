#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>

#include "CoreTestSupport.h"
#include "core/GpsDrive.h"
#include "core/LanguagePacks.h"
#include "core/UpdaterState.h"
#include "platform/DriveMounter.h"

namespace {

// Volumes from a fixture: each with its root listing.
class FixtureVolumes : public platform::Volumes {
  public:
    void add(std::string root, bool removable, std::string label, std::string fs,
             std::vector<platform::DirEntry> entries = {}) {
        platform::VolumeInfo v;
        v.root = root;
        v.removable = removable;
        v.label = std::move(label);
        v.fileSystem = std::move(fs);
        volumes.push_back(std::move(v));
        rootEntries[root] = std::move(entries);
    }
    bool list(std::vector<platform::VolumeInfo>& out) override {
        ++listCalls;
        if (fails) return false;
        out = volumes;
        return true;
    }
    bool listRoot(const std::string& root, std::vector<platform::DirEntry>& out) override {
        listedRoots.push_back(root);
        auto it = rootEntries.find(root);
        if (it == rootEntries.end()) return false;
        out = it->second;
        return true;
    }

    std::vector<platform::VolumeInfo> volumes;
    std::map<std::string, std::vector<platform::DirEntry>> rootEntries;
    std::vector<std::string> listedRoots;
    bool fails = false;
    int listCalls = 0;
};

// A mounter whose answers the test gives, one list per call.
class ScriptedMounter : public platform::DriveMounter {
  public:
    std::vector<platform::DriveMountEvent> mountUnmounted() override {
        ++mountCalls;
        if (onMount) onMount();
        return next(mountAnswers);
    }
    std::vector<platform::DriveMountEvent> releaseMounts() override { return next(releaseAnswers); }

    std::vector<std::vector<platform::DriveMountEvent>> mountAnswers, releaseAnswers;
    std::function<void()> onMount;
    int mountCalls = 0;

  private:
    std::vector<platform::DriveMountEvent> next(
        std::vector<std::vector<platform::DriveMountEvent>>& answers) {
        if (answers.empty()) return {};
        auto answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    }
};

using MountKind = platform::DriveMountEvent::Kind;

platform::DirEntry folder(std::string name) {
    return {std::move(name), true};
}
platform::DirEntry file(std::string name) {
    return {std::move(name), false};
}

class GpsDriveTest : public testing_support::CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        services.volumes = &volumes;
        applyServices();
    }
    // The root found, and the clock's milliseconds spent finding it.
    std::pair<std::optional<std::string>, int64_t> find() {
        int64_t before = clock.totalSleptMs();
        auto root = core::findGpsDrive();
        return {root, clock.totalSleptMs() - before};
    }
    FixtureVolumes volumes;
};

TEST_F(GpsDriveTest, LabelPassAfterOneSecond) {
    volumes.add("/media/u/DATA/", true, "DATA", "FAT32");
    volumes.add("/media/u/QUORTA_GPS/", true, "QUORTA_GPS", "FAT32");
    auto [root, waited] = find();
    EXPECT_EQ(root, "/media/u/QUORTA_GPS/");
    EXPECT_EQ(waited, 1000);
    EXPECT_EQ(volumes.listCalls, 1);
    // Every removable root visited is traced.
    EXPECT_EQ(debug.lines,
              (std::vector<std::string>{"/media/u/DATA/\n", "/media/u/QUORTA_GPS/\n"}));
}

TEST_F(GpsDriveTest, FolderPassAfterTwoSeconds) {
    volumes.add("/media/u/1234-ABCD/", true, "", "FAT32",
                {file("readme.txt"), folder("Quorta"), folder("Other")});
    auto [root, waited] = find();
    EXPECT_EQ(root, "/media/u/1234-ABCD/");
    EXPECT_EQ(waited, 2000);
    EXPECT_EQ(volumes.listCalls, 2);
}

TEST_F(GpsDriveTest, FolderNameRules) {
    volumes.add("/mixed/", true, "QuOrTa", "NTFS");  // no label match in another case
    volumes.add("/a/", true, "", "FAT32", {folder("QUORTA"), folder("quorta"), file("Quorta")});
    volumes.add("/ntfs/", true, "", "NTFS", {folder("Quorta")});
    volumes.add("/b/", true, "", "exFAT", {folder("OldQuortaData")});
    volumes.add("/ext4/", true, "", "ext4", {folder("Quorta")});
    auto [root, waited] = find();
    EXPECT_EQ(root, "/b/");
    EXPECT_EQ(waited, 2000);
    // The root of a volume outside the FAT family is not even listed.
    EXPECT_EQ(volumes.listedRoots, (std::vector<std::string>{"/a/", "/b/"}));
}

TEST_F(GpsDriveTest, OnlyRemovableVolumes) {
    volumes.add("/", false, "Quorta", "FAT32", {folder("Quorta")});
    EXPECT_EQ(find().first, std::nullopt);
    EXPECT_TRUE(debug.lines.empty());
}

TEST_F(GpsDriveTest, LongMountPathIsKeptWhole) {
    const std::string root = "/media/" + std::string(400, 'x') + "/QUORTA/";
    volumes.add(root, true, "QUORTA", "FAT32");
    EXPECT_EQ(find().first, root);
}

// Between two drives udev cannot place, no guess: the wrong one would get
// the GPS's files (and the GPS would be reset with nothing backed up).
TEST_F(GpsDriveTest, TwoMatchesUdevCannotPlaceAreNeverGuessedBetween) {
    std::vector<std::string> titles;
    core::reportCallbacks().reportStatus = [&](int, const char* title, const char*) {
        if (title) titles.push_back(title);
    };
    volumes.add("/first/", true, "Quorta", "FAT32");
    volumes.add("/second/", true, "quorta", "FAT32");
    auto [root, waited] = find();
    EXPECT_EQ(root, std::nullopt);
    EXPECT_EQ(waited, 1000);  // no folder pass after it: nothing is to be changed
    EXPECT_EQ(titles, std::vector<std::string>{core::kAmbiguousDriveTitle});
    EXPECT_TRUE(
        logged("Drive search: 2 drives could be the GPS's (/first/, /second/); none is "
               "used\r\n"));
}

// The GPS's own drive is the volume on its USB device; a stick with a
// Quorta label or folder (a copy of the rider's folder) never is.
class OwnDriveTest : public GpsDriveTest {
  protected:
    void SetUp() override {
        GpsDriveTest::SetUp();
        startOver();
    }
    // As the scan leaves it: the one GPS plugged in, at its USB device.
    void startOver() {
        // A fresh start of the program on the same computer.
        again_.reset();
        again_.emplace();
        wireCore();
        core::state().setGpsUsbDevice(
            platform::UsbDevice{"USB\\VID_2B29&PID_0055&REV_0100", "/devices/usb1/1-1", "QG1"});
        volumes.volumes.clear();
    }
    void addGpsDrive(const std::string& root, std::string label,
                     std::vector<platform::DirEntry> entries = {folder("Quorta")}) {
        volumes.add(root, true, std::move(label), "FAT32", std::move(entries));
        volumes.volumes.back().usbDevice = "/devices/usb1/1-1";
        volumes.volumes.back().usbVendorId = 0x2B29;
        volumes.volumes.back().usbSerial = "QG1";
    }
    void addStick(const std::string& root, std::string label,
                  std::vector<platform::DirEntry> entries = {folder("Quorta")}) {
        volumes.add(root, true, std::move(label), "FAT32", std::move(entries));
        volumes.volumes.back().usbDevice = "/devices/usb1/1-2";
        volumes.volumes.back().usbVendorId = 0x1234;
    }
    std::optional<core::ScopedContext> again_;
};

TEST_F(OwnDriveTest, AStickIsNeverTakenWhateverItsLabelOrFolders) {
    addGpsDrive("/media/u/QUORTA/", "QUORTA");
    addStick("/media/u/QUORTA_COPY/", "QUORTA_COPY");
    EXPECT_EQ(find(),
              std::make_pair(std::optional<std::string>("/media/u/QUORTA/"), int64_t{1000}));

    // The GPS's drive unlabelled: its folder finds it; the labelled stick
    // after it in the list still is not taken.
    startOver();
    addGpsDrive("/media/u/5155-4F52/", "");
    addStick("/media/u/Quorta/", "Quorta");
    EXPECT_EQ(find(),
              std::make_pair(std::optional<std::string>("/media/u/5155-4F52/"), int64_t{2000}));

    // The GPS's drive not mounted (yet): the stick is still not its drive,
    // nor a card in the computer's own slot, which udev cannot place.
    startOver();
    addStick("/media/u/Quorta/", "Quorta");
    volumes.add("/media/u/QUORTA_CARD/", true, "QUORTA_CARD", "FAT32");
    EXPECT_EQ(find().first, std::nullopt);
}

TEST_F(OwnDriveTest, TheDriveIsFollowedWhereverItIsMountedNext) {
    addGpsDrive("/media/u/QUORTA/", "QUORTA");
    ASSERT_EQ(find().first, "/media/u/QUORTA/");
    core::state().setGpsDriveRoot("/media/u/QUORTA/");
    // After a restart the automounter found its old folder still there.
    volumes.volumes.clear();
    addStick("/media/u/QUORTA/", "QUORTA");
    addGpsDrive("/media/u/QUORTA1/", "QUORTA");
    auto [root, waited] = find();
    EXPECT_EQ(root, "/media/u/QUORTA1/");
    EXPECT_EQ(waited, 0);
    EXPECT_EQ(core::state().gpsDriveRoot(), "/media/u/QUORTA1/");
    EXPECT_TRUE(logged("The GPS drive is now at /media/u/QUORTA1/ (was /media/u/QUORTA/)\r\n"));

    // Work about to write asks where it is now, and waits for a late mount.
    volumes.volumes.clear();
    int polls = 0;
    ScriptedMounter mounter;
    mounter.onMount = [&] {
        if (++polls == 4) addGpsDrive("/media/u/QUORTA2/", "QUORTA");
    };
    services.driveMounter = &mounter;
    applyServices();
    int64_t before = clock.totalSleptMs();
    EXPECT_EQ(core::currentGpsDriveRoot(), "/media/u/QUORTA2/");
    EXPECT_EQ(clock.totalSleptMs() - before, 3 * core::kDriveReturnPollMs);
    EXPECT_EQ(core::state().gpsDriveRoot(), "/media/u/QUORTA2/");

    // Not back in time: the last root, as before it could be followed.
    volumes.volumes.clear();
    before = clock.totalSleptMs();
    EXPECT_EQ(core::currentGpsDriveRoot(), "/media/u/QUORTA2/");
    EXPECT_EQ(clock.totalSleptMs() - before, core::kDriveReturnMs);
    EXPECT_TRUE(logged("The GPS drive is not mounted now: using /media/u/QUORTA2/\r\n"));
}

TEST_F(GpsDriveTest, RememberedAfterSuccess) {
    EXPECT_EQ(find().first, std::nullopt);  // nothing yet: nothing remembered
    volumes.add("/media/u/QUORTA/", true, "QUORTA", "FAT32");
    ASSERT_EQ(find().first, "/media/u/QUORTA/");
    volumes.volumes.clear();  // unplugged
    auto [root, waited] = find();
    EXPECT_EQ(root, "/media/u/QUORTA/");
    EXPECT_EQ(waited, 0);
    EXPECT_EQ(volumes.listCalls, 4);  // looked up again, not there: the last root
}

TEST_F(GpsDriveTest, FailedListEndsEachPass) {
    volumes.add("/media/u/QUORTA/", true, "QUORTA", "FAT32");
    volumes.fails = true;
    auto [root, waited] = find();
    EXPECT_EQ(root, std::nullopt);
    EXPECT_EQ(waited, 2000);
    EXPECT_EQ(volumes.listCalls, 2);
}

TEST_F(GpsDriveTest, ADriveNothingMountedIsMountedThenFoundAndGivenBack) {
    ScriptedMounter mounter;
    services.driveMounter = &mounter;
    applyServices();
    // The mount makes the volume appear in the list, as a real mount does.
    mounter.mountAnswers = {{{MountKind::Mounted, "/dev/sdb1", "/media/u/QUORTA", ""}}};
    mounter.onMount = [&] {
        if (volumes.volumes.empty()) volumes.add("/media/u/QUORTA/", true, "QUORTA", "FAT32");
    };

    auto [root, waited] = find();
    EXPECT_EQ(root, "/media/u/QUORTA/");
    EXPECT_EQ(waited, 1000);  // found by the label pass, as any mounted drive
    EXPECT_EQ(countLog("Mounted the GPS drive /dev/sdb1 at /media/u/QUORTA\r\n"), 1);
    // Remembered from now on; the mount is still looked to, for a GPS back
    // from a restart with its drive unmounted.
    EXPECT_EQ(find().first, "/media/u/QUORTA/");
    EXPECT_EQ(mounter.mountCalls, 2);

    mounter.releaseAnswers = {{{MountKind::Unmounted, "/dev/sdb1", "/media/u/QUORTA", ""}}};
    core::releaseGpsDriveMounts();
    EXPECT_TRUE(logged("Unmounted the GPS drive /dev/sdb1 from /media/u/QUORTA\r\n"));
}

TEST_F(GpsDriveTest, ARefusedMountIsLoggedAndTheDriveIsMissing) {
    ScriptedMounter mounter;
    services.driveMounter = &mounter;
    applyServices();
    mounter.mountAnswers = {{{MountKind::Refused, "/dev/sdb1", "",
                              "Mount failed: org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain: "
                              "Not authorized to perform operation"}}};
    EXPECT_EQ(find().first, std::nullopt);
    EXPECT_EQ(countLog("Cannot mount the GPS drive /dev/sdb1: Mount failed: "
                       "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain: Not authorized to "
                       "perform operation\r\n"),
              1);

    // What needs the drive says what the user is to know.
    std::vector<std::string> titles;
    core::reportCallbacks().reportStatus = [&](int, const char* title, const char*) {
        if (title) titles.push_back(title);
    };
    EXPECT_EQ(core::state().gpsDriveRoot(), "");
    EXPECT_FALSE(core::updateLanguagePacks());
    EXPECT_EQ(titles, std::vector<std::string>{"Can not find GPS USB drive"});
}

}  // namespace
