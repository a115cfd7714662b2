#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "platform/linux/XdgRunLog.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

unsigned modeOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Runs that start a minute apart, from a fixed moment on.
class Runs {
  public:
    explicit Runs(std::string folder) : folder_(std::move(folder)) {}
    std::string start(const std::string& line, int secondsLater = 60) {
        when_ += secondsLater;
        const std::time_t at = when_;
        platform::XdgRunLog log(folder_, platform::kKeptRunLogs, [at] { return at; });
        std::string problem;
        EXPECT_TRUE(log.start(problem)) << problem;
        log.write(line);
        return fs::path(log.path()).filename().string();
    }

  private:
    std::string folder_;
    std::time_t when_ = 1773480000;
};

TEST(XdgRunLog, EachRunHasItsOwnPrivateFileAndTheTwentyFirstRemovesTheOldest) {
    TempDir dir;
    const std::string folder = dir.path() + "/state/quorta-updater";
    dir.write("state/quorta-updater/notes.txt", "the user's own");
    ::chmod(folder.c_str(), 0700);
    Runs runs(folder);

    const std::string first = runs.start("deviceScan BEGIN\r\n");
    EXPECT_TRUE(platform::isRunLogName(first)) << first;
    EXPECT_EQ(slurp(folder + "/" + first), "deviceScan BEGIN\n");
    EXPECT_EQ(modeOf(folder + "/" + first), 0600u);
    EXPECT_EQ(modeOf(folder), 0700u);

    // A second run in the same second gets a name of its own, sorting after.
    const std::string second = runs.start("second\r\n", 0);
    EXPECT_NE(second, first);
    EXPECT_LT(first, second);
    std::vector<std::string> started = {first, second};
    for (int run = 3; run <= 20; ++run) started.push_back(runs.start("run\r\n"));
    EXPECT_EQ(namesIn(folder).size(), 21u);  // 20 logs and the user's file

    const std::string last = runs.start("the 21st\r\n");
    std::vector<std::string> expected(started.begin() + 1, started.end());
    expected.push_back(last);
    expected.push_back("notes.txt");
    EXPECT_EQ(namesIn(folder), expected);
}

TEST(XdgRunLog, AFolderThatIsNotPrivatelyOursIsRefusedAndTheRunGoesOn) {
    TempDir dir;
    dir.mkdir("elsewhere");
    dir.symlink(dir.path() + "/elsewhere", "state/quorta-updater");
    platform::XdgRunLog linked(dir.path() + "/state/quorta-updater");
    std::string problem;
    EXPECT_FALSE(linked.start(problem));
    EXPECT_EQ(problem, "No log of this run is kept in " + dir.path() +
                           "/state/quorta-updater: it is a symbolic link");
    linked.write("dropped\r\n");
    EXPECT_TRUE(fs::is_empty(dir.path() + "/elsewhere"));
    EXPECT_EQ(linked.path(), "");

    if (::geteuid() == 0) {
        // Root may write anywhere; the folder must still be the user's own.
        const std::string theirs = dir.mkdir("theirs");
        ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
        ::chmod(theirs.c_str(), 0700);
        platform::XdgRunLog foreign(theirs);
        EXPECT_FALSE(foreign.start(problem));
        EXPECT_NE(problem.find("belongs to another user"), std::string::npos) << problem;
    } else {
        const std::string readOnly = dir.mkdir("read-only");
        ::chmod(readOnly.c_str(), 0500);
        platform::XdgRunLog unwritable(readOnly);
        EXPECT_FALSE(unwritable.start(problem));
        EXPECT_NE(problem.find("cannot create a file there"), std::string::npos) << problem;
        ::chmod(readOnly.c_str(), 0700);
    }
}

TEST(XdgRunLog, TheFolderComesFromXdgStateHome) {
    TempDir dir;
    const char* old = std::getenv("XDG_STATE_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_STATE_HOME", (dir.path() + "/state").c_str(), 1);
    platform::XdgRunLog log;
    std::string problem;
    const bool started = log.start(problem);
    if (old) {
        ::setenv("XDG_STATE_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_STATE_HOME");
    }
    ASSERT_TRUE(started) << problem;
    EXPECT_EQ(fs::path(log.path()).parent_path(), dir.path() + "/state/quorta-updater");
}

}  // namespace
