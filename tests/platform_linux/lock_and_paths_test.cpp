#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "TempDir.h"
#include "platform/linux/FlockInstanceLock.h"
#include "platform/linux/TextOutput.h"
#include "platform/linux/XdgPaths.h"

using testing_support::TempDir;

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

// Runs `body` in a child process and returns its exit status.
template <typename F>
int inChild(F body) {
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(FlockInstanceLock, ASecondHolderIsRefusedUntilRelease) {
    TempDir dir;
    platform::FlockInstanceLock first(dir.path());
    ASSERT_TRUE(first.acquire("Quorta_Updater_Win"));
    EXPECT_EQ(first.lockPath(), dir.path() + "/Quorta_Updater_Win.lock");
    EXPECT_TRUE(first.acquire("Quorta_Updater_Win"));  // already ours

    // Another open of the same file, as a second copy of the program would do.
    platform::FlockInstanceLock second(dir.path());
    EXPECT_FALSE(second.acquire("Quorta_Updater_Win"));
    EXPECT_EQ(inChild([&] {
                  platform::FlockInstanceLock child(dir.path());
                  return child.acquire("Quorta_Updater_Win") ? 1 : 0;
              }),
              0);

    first.release();
    EXPECT_TRUE(second.acquire("Quorta_Updater_Win"));
    EXPECT_FALSE(first.acquire("Quorta_Updater_Win"));
}

TEST(FlockInstanceLock, RefusesBadNamesAndPlantedLinks) {
    TempDir dir;
    platform::FlockInstanceLock lock(dir.path());
    EXPECT_FALSE(lock.acquire(""));
    EXPECT_FALSE(lock.acquire("../escape"));
    EXPECT_FALSE(lock.acquire(".."));
    dir.write("victim", "keep me");
    dir.symlink(dir.path() + "/victim", "Planted.lock");
    EXPECT_FALSE(lock.acquire("Planted"));
    std::ifstream in(dir.path() + "/victim");
    std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "keep me");
    EXPECT_FALSE(platform::FlockInstanceLock("").acquire("Quorta_Updater_Win"));
}

TEST(FlockInstanceLock, UsesAPrivateRuntimeFolderElseTheCache) {
    TempDir dir;
    std::string run = dir.mkdir("run");
    ::chmod(run.c_str(), 0700);
    std::string cache = dir.mkdir("cache");
    const char* oldRun = std::getenv("XDG_RUNTIME_DIR");
    const char* oldCache = std::getenv("XDG_CACHE_HOME");
    std::string savedRun = oldRun ? oldRun : "", savedCache = oldCache ? oldCache : "";

    ::setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    ::setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    EXPECT_EQ(platform::instanceLockDir(), run);

    ::chmod(run.c_str(), 0755);  // not a runtime folder by the XDG rules
    EXPECT_EQ(platform::instanceLockDir(), cache + "/quorta-updater-run");
    EXPECT_EQ(modeOf(cache + "/quorta-updater-run"), 0700u);
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(platform::instanceLockDir(), cache + "/quorta-updater-run");

    if (oldRun) ::setenv("XDG_RUNTIME_DIR", savedRun.c_str(), 1);
    if (oldCache) {
        ::setenv("XDG_CACHE_HOME", savedCache.c_str(), 1);
    } else {
        ::unsetenv("XDG_CACHE_HOME");
    }
}

TEST(XdgPaths, CreatesPrivateFoldersWithATrailingSlash) {
    TempDir dir;
    std::string cache = dir.path() + "/home/.cache";  // not there yet
    platform::XdgPaths paths(cache);
    EXPECT_EQ(paths.stagingDir(), cache + "/Quorta/");
    EXPECT_EQ(paths.tempDir(), cache + "/quorta-updater/");
    EXPECT_EQ(modeOf(cache + "/Quorta"), 0700u);
    EXPECT_EQ(modeOf(cache + "/quorta-updater"), 0700u);
    EXPECT_EQ(paths.tempDir(), cache + "/quorta-updater/");  // existing and private: fine
}

TEST(XdgPaths, RefusesALinkPlantedInPlace) {
    TempDir dir;
    std::string cache = dir.mkdir("cache");
    std::string elsewhere = dir.mkdir("elsewhere");
    ::chmod(elsewhere.c_str(), 0700);
    dir.symlink(elsewhere, "cache/quorta-updater");
    platform::XdgPaths paths(cache);
    testing::internal::CaptureStderr();
    EXPECT_EQ(paths.tempDir(), "");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("symbolic link"), std::string::npos) << err;
    EXPECT_NE(err.find(cache + "/quorta-updater"), std::string::npos) << err;
}

TEST(XdgPaths, MakesTheUsersOpenFolderPrivateAndRefusesAnotherOwnersOrAFile) {
    TempDir dir;
    std::string cache = dir.mkdir("cache");
    std::string open = dir.mkdir("cache/Quorta");
    ::chmod(open.c_str(), 0755);
    dir.write("cache/quorta-updater", "a file");
    platform::XdgPaths paths(cache);
    EXPECT_EQ(paths.stagingDir(), cache + "/Quorta/");
    EXPECT_EQ(modeOf(open), 0700u);
    testing::internal::CaptureStderr();
    std::string problem;
    EXPECT_EQ(paths.tempDir(&problem), "");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(problem, "Cannot use " + cache + "/quorta-updater: it is not a folder.");
    EXPECT_NE(err.find(problem), std::string::npos) << err;

    if (::geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
    ASSERT_EQ(::chmod(open.c_str(), 0755), 0);
    ASSERT_EQ(::chown(open.c_str(), 65534, 65534), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(paths.stagingDir(&problem), "");
    testing::internal::GetCapturedStderr();
    EXPECT_NE(problem.find("belongs to another user (uid 65534)"), std::string::npos) << problem;
    EXPECT_EQ(modeOf(open), 0755u);  // another's folder is left alone
}

TEST(XdgPaths, RefusesAFolderOfAnotherUser) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
    TempDir dir;
    std::string cache = dir.mkdir("cache");
    std::string theirs = dir.mkdir("cache/Quorta");
    ::chmod(theirs.c_str(), 0700);
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
    platform::XdgPaths paths(cache);
    testing::internal::CaptureStderr();
    EXPECT_EQ(paths.stagingDir(), "");
    EXPECT_NE(testing::internal::GetCapturedStderr().find("another user"), std::string::npos);
}

TEST(XdgPaths, FollowsXdgCacheHome) {
    TempDir dir;
    const char* old = std::getenv("XDG_CACHE_HOME");
    std::string saved = old ? old : "";
    ::setenv("XDG_CACHE_HOME", dir.path().c_str(), 1);
    EXPECT_EQ(platform::userCacheDir(), dir.path());
    EXPECT_EQ(platform::XdgPaths().stagingDir(), dir.path() + "/Quorta/");
    ::setenv("XDG_CACHE_HOME", "relative/cache", 1);  // ignored, as the XDG rules say
    EXPECT_NE(platform::userCacheDir(), "relative/cache");
    if (old) {
        ::setenv("XDG_CACHE_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CACHE_HOME");
    }
}

TEST(StderrDebugOutput, WritesLinesWithoutCarriageReturns) {
    platform::StderrDebugOutput out;
    testing::internal::CaptureStderr();
    out.write("\r\ndeviceScan BEGIN\r\n");
    out.write("readDevice Crash - retrying\n\r");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "\ndeviceScan BEGIN\nreadDevice Crash - retrying\n");
}
