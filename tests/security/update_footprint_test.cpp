// What a whole update leaves on the computer: with HOME, the cache folder,
// the temporary folder and the working folder all inside one fresh folder,
// every file there afterwards must lie in the updater's two private folders
// or on the GPS drive, and those folders must be private. Links planted in
// the staging folder beforehand are never written through.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../update_e2e/E2eTest.h"
#include "core/Backup.h"
#include "core/Nordic.h"
#include "core/UpdateWorkers.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// An environment variable set for the length of a test.
class ScopedEnv {
  public:
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

class UpdateFootprintTest : public UpdateE2eTest {
  protected:
    void SetUp() override {
        std::string pattern = fs::temp_directory_path().string() + "/quorta-footprint-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = pattern;
        home = root + "/home";
        for (const char* sub : {"/home", "/tmp", "/cwd", "/run", "/victim"})
            fs::create_directories(root + sub);
        setEnv("HOME", home.c_str());
        setEnv("XDG_CACHE_HOME", nullptr);
        setEnv("TMPDIR", (root + "/tmp").c_str());
        setEnv("XDG_RUNTIME_DIR", (root + "/run").c_str());
        oldCwd = fs::current_path();
        fs::current_path(root + "/cwd");

        UpdateE2eTest::SetUp();
        // The per-user folders as the program finds them: from the environment.
        rig->paths = std::make_unique<platform::XdgPaths>();
        core::Services s = core::services();
        s.paths = rig->paths.get();
        core::setServices(s);
    }

    void TearDown() override {
        UpdateE2eTest::TearDown();
        fs::current_path(oldCwd);
        env.clear();
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    // Every path below the fresh folder that is neither in the updater's
    // folders nor on the drive, nor a folder on the way to them.
    std::vector<std::string> strayPaths(const std::string& drive) {
        const std::vector<std::string> allowed = {
            home + "/.cache/Quorta", home + "/.cache/quorta-updater", drive, root + "/victim"};
        auto within = [](const std::string& path, const std::string& folder) {
            return path == folder || path.rfind(folder + "/", 0) == 0;
        };
        std::vector<std::string> stray;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            const std::string path = entry.path().string();
            // The test's own folders, which must stay empty.
            bool ok = path == root + "/cwd" || path == root + "/run";
            for (const std::string& folder : allowed) {
                // The folder itself, inside it, or a folder on the way to it.
                ok = ok || within(path, folder) ||
                     (entry.is_directory() && !entry.is_symlink() && within(folder, path));
            }
            if (!ok) stray.push_back(path);
        }
        return stray;
    }

    static unsigned modeOf(const std::string& path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) return 0;
        return st.st_mode & 07777;
    }

    static std::vector<char> bytesOf(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<char>(std::istreambuf_iterator<char>(in), {});
    }

    std::string root, home;
    fs::path oldCwd;
    std::vector<std::unique_ptr<ScopedEnv>> env;

  private:
    void setEnv(const char* name, const char* value) {
        env.push_back(std::make_unique<ScopedEnv>(name, value));
    }
};

TEST_F(UpdateFootprintTest, AWholeUpdateWritesOnlyToTheUsersFoldersAndTheGpsDrive) {
    auto [gps, quorta, before] = addRidersGps();
    gps.plugIn(sim::GpsMode::Application);
    rig->startUp();
    ASSERT_TRUE(waitForOffer());
    rig->clickUpdateButton();
    ASSERT_TRUE(waitForLatest());
    ASSERT_TRUE(rig->waitQuiet(gps, 60s));

    EXPECT_EQ(snapshotTree(quorta), before);
    EXPECT_EQ(strayPaths(gps.driveFolder()), std::vector<std::string>{});
    EXPECT_TRUE(fs::is_empty(root + "/cwd"));
    // Both folders were used, and are the user's alone.
    EXPECT_EQ(modeOf(home + "/.cache/Quorta"), 0700u);
    EXPECT_EQ(modeOf(home + "/.cache/quorta-updater"), 0700u);
    EXPECT_EQ(core::backupFolder(), home + "/.cache/quorta-updater/Quorta");
}

TEST_F(UpdateFootprintTest, LinksPlantedInTheStagingFolderAreNeverWrittenThrough) {
    const std::string victim = root + "/victim/precious.txt";
    std::ofstream(victim) << "the user's own file";
    const std::vector<char> victimBytes = bytesOf(victim);
    const std::string staging = home + "/.cache/Quorta";
    fs::create_directories(staging);
    fs::permissions(staging, fs::perms::owner_all, fs::perm_options::replace);
    for (const char* name :
         {core::kStagedRadioImage, core::kStagedRadioInit, "Kanji_11x12.bin", "Kanji_18x18.bin"})
        fs::create_symlink(victim, staging + "/" + name);

    sim::GpsConfig config = gpsConfig(13, true, 12, 40);
    config.radioBuild = 1021000;  // the radio update has to run
    sim::SimulatedGps& gps = connect(config);
    ASSERT_TRUE(waitForOffer());
    rig->clickUpdateButton();
    ASSERT_TRUE(
        rig->waitFor([&] { return rig->showsLatest() || !rig->window.boxes().empty(); }, 120s));
    ASSERT_TRUE(rig->waitQuiet(gps, 120s));

    EXPECT_EQ(bytesOf(victim), victimBytes);
    EXPECT_EQ(strayPaths(gps.driveFolder()), std::vector<std::string>{});
    // The radio's staging files were links: removed (the links only) and
    // written afresh; the radio got its image.
    EXPECT_TRUE(rig->logged("successfully wrote new nrf_update.bin\r\n"));
    // The fonts' staging files are refused, and the user is told so.
    bool told = false;
    for (const Box& box : rig->window.boxes())
        told |= box.text == core::kWorkerLanguagePackFailedText;
    EXPECT_TRUE(told);
    for (const auto& entry : fs::directory_iterator(staging))
        EXPECT_TRUE(!entry.is_symlink() || fs::read_symlink(entry.path()) == victim);
}

}  // namespace
}  // namespace e2e
