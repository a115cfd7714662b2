// The Linux file service: exclusive writes, copies and tree walks that never
// follow a link, and comparisons down to the byte.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "DataTestSupport.h"

namespace {

namespace fs = std::filesystem;

using testing_support::binaryBytes;
using testing_support::readBytes;
using testing_support::TempDir;
using testing_support::writeBytes;

class FilesTest : public ::testing::Test {
  protected:
    // A tree with nested folders, an empty folder, binary files of awkward
    // sizes (empty, one byte, past the copy chunk) and a name with spaces.
    std::string makeTree(const std::string& relative) {
        const std::string root = dir.mkdir(relative);
        writeBytes(root + "/Settings.dat", binaryBytes(4099, 1));
        writeBytes(root + "/Rides/2024/ride 01.fit", binaryBytes((1 << 20) + 17, 2));
        writeBytes(root + "/Rides/2024/ride 02.fit", binaryBytes(1, 3));
        writeBytes(root + "/Rides/empty.fit", {});
        dir.mkdir(relative + "/Maps/Empty");
        return root;
    }

    TempDir dir;
    platform::LinuxFiles files;
};

TEST_F(FilesTest, TreeCopyIsIdenticalAndAnyChangedByteIsFound) {
    const std::string from = makeTree("from");
    const std::string to = dir.path() + "/to";
    platform::TreeResult copied = files.copyTree(from, to);
    ASSERT_TRUE(copied.ok) << copied.error;
    EXPECT_EQ(copied.files, 4u);
    EXPECT_EQ(readBytes(to + "/Rides/2024/ride 01.fit"), binaryBytes((1 << 20) + 17, 2));
    EXPECT_TRUE(files.isFolder(to + "/Maps/Empty"));

    platform::TreeResult same = files.compareTrees(from, to, platform::TreeComparison::Identical);
    EXPECT_TRUE(same.ok) << same.error;
    EXPECT_EQ(same.bytes, 4099u + (1 << 20) + 17 + 1);

    // One bit in the second chunk of the big file.
    std::vector<uint8_t> changed = readBytes(to + "/Rides/2024/ride 01.fit");
    changed[(1 << 20) + 5] ^= 0x10;
    writeBytes(to + "/Rides/2024/ride 01.fit", changed);
    platform::TreeResult differs =
        files.compareTrees(from, to, platform::TreeComparison::Identical);
    EXPECT_FALSE(differs.ok);
    ASSERT_EQ(differs.differences.size(), 1u);
    EXPECT_EQ(differs.differences[0], "Rides/2024/ride 01.fit: differs at byte 1048581");

    // Missing, shortened and extra entries.
    writeBytes(to + "/Rides/2024/ride 01.fit", binaryBytes((1 << 20) + 17, 2));
    ::unlink((to + "/Rides/2024/ride 02.fit").c_str());
    writeBytes(to + "/Settings.dat", binaryBytes(4000, 1));
    writeBytes(to + "/extra.txt", {1, 2});
    differs = files.compareTrees(from, to, platform::TreeComparison::Identical);
    EXPECT_EQ(differs.differences.size(), 3u);
    // Contained ignores what only the second tree has.
    writeBytes(to + "/Rides/2024/ride 02.fit", binaryBytes(1, 3));
    writeBytes(to + "/Settings.dat", binaryBytes(4099, 1));
    EXPECT_FALSE(files.compareTrees(from, to, platform::TreeComparison::Identical).ok);
    EXPECT_TRUE(files.compareTrees(from, to, platform::TreeComparison::Contained).ok);
}

TEST_F(FilesTest, CopyIntoAnExistingTreeReplacesItsFiles) {
    const std::string from = makeTree("from");
    const std::string to = dir.mkdir("to");
    writeBytes(to + "/Settings.dat", binaryBytes(90000, 9));  // longer than the new one
    writeBytes(to + "/Keep.txt", {7});
    ASSERT_TRUE(files.copyTree(from, to).ok);
    EXPECT_EQ(readBytes(to + "/Settings.dat"), binaryBytes(4099, 1));
    EXPECT_EQ(readBytes(to + "/Keep.txt"), std::vector<uint8_t>{7});
}

// A copy that stops part way (the drive pulled, the disk full) and is made
// again: what is there is never replaced, and no short file is left under a
// name that the second copy would then keep.
TEST_F(FilesTest, CopyMissingNeverReplacesAndNeverLeavesAShortFile) {
    const std::string from = makeTree("from");
    const std::string to = dir.mkdir("to");
    writeBytes(to + "/Settings.dat", {7});    // the GPS's own, newer file
    writeBytes(to + "/Maps", {8});            // a file where the copy has a folder
    writeBytes(to + "/Rides/empty.fit", {});  // already there

    // Writes past 64 KiB fail, as on a drive that went away mid-file.
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved {};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = saved;
    small.rlim_cur = 1 << 16;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    platform::TreeResult cut = files.copyMissing(from, to);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_FALSE(cut.ok);
    EXPECT_FALSE(fs::exists(to + "/Rides/2024/ride 01.fit"));
    EXPECT_FALSE(fs::exists(to + "/Rides/2024/.quorta-copy.partial"));

    platform::TreeResult again = files.copyMissing(from, to);
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_EQ(again.files, 2u);
    EXPECT_EQ(readBytes(to + "/Rides/2024/ride 01.fit"), binaryBytes((1 << 20) + 17, 2));
    EXPECT_EQ(readBytes(to + "/Rides/2024/ride 02.fit"), binaryBytes(1, 3));
    EXPECT_EQ(readBytes(to + "/Settings.dat"), std::vector<uint8_t>{7});
    EXPECT_EQ(readBytes(to + "/Maps"), std::vector<uint8_t>{8});
    EXPECT_EQ(again.kept, (std::vector<std::string>{to + "/Maps", to + "/Rides/empty.fit",
                                                    to + "/Settings.dat"}));
    EXPECT_FALSE(fs::exists(to + "/Rides/2024/.quorta-copy.partial"));
}

TEST_F(FilesTest, LinksInsideATreeAreNeverFollowed) {
    const std::string outside = dir.mkdir("outside");
    writeBytes(outside + "/secret.txt", {1, 2, 3});
    const std::string from = makeTree("from");
    dir.symlink(outside, "from/Rides/link-to-outside");
    dir.symlink(outside + "/secret.txt", "from/file-link");
    ASSERT_EQ(::mkfifo((from + "/pipe").c_str(), 0600), 0);

    // Copy: links and the FIFO are skipped (and listed), nothing outside is read.
    const std::string to = dir.path() + "/to";
    platform::TreeResult copied = files.copyTree(from, to);
    ASSERT_TRUE(copied.ok) << copied.error;
    EXPECT_EQ(copied.skipped.size(), 3u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(to + "/Rides/link-to-outside")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(to + "/file-link")));
    // The copy then is not the same tree: the check says so.
    EXPECT_FALSE(files.compareTrees(from, to, platform::TreeComparison::Identical).ok);

    // A link planted in the destination where a file goes: never written through.
    const std::string target = dir.mkdir("target");
    dir.symlink(outside + "/secret.txt", "target/Settings.dat");
    platform::TreeResult planted = files.copyTree(from, target);
    EXPECT_FALSE(planted.ok);
    EXPECT_NE(planted.error.find("symbolic link"), std::string::npos) << planted.error;
    EXPECT_EQ(readBytes(outside + "/secret.txt"), (std::vector<uint8_t>{1, 2, 3}));

    // Delete: the links go, what they point at stays.
    platform::TreeResult removed = files.deleteTree(from);
    ASSERT_TRUE(removed.ok) << removed.error;
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(removed.skipped.size(), 2u);
    EXPECT_EQ(readBytes(outside + "/secret.txt"), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(FilesTest, ARootThatIsALinkIsRefused) {
    const std::string outside = makeTree("outside");
    const std::string link = dir.symlink(outside, "link");
    EXPECT_FALSE(files.deleteTree(link).ok);
    EXPECT_FALSE(files.copyTree(link, dir.path() + "/copy").ok);
    EXPECT_FALSE(files.copyTree(makeTree("src"), link).ok);
    EXPECT_FALSE(files.compareTrees(link, outside, platform::TreeComparison::Identical).ok);
    std::string error;
    EXPECT_FALSE(files.createFolder(link, true, &error));
    EXPECT_FALSE(files.renameFolder(link, dir.path() + "/moved", &error));
    // A trailing slash does not make the link a folder to walk into.
    EXPECT_FALSE(files.deleteTree(link + "/").ok);
    EXPECT_TRUE(
        files.compareTrees(outside, makeTree("again"), platform::TreeComparison::Identical).ok);
    EXPECT_TRUE(fs::exists(outside + "/Rides/2024/ride 01.fit"));
    EXPECT_FALSE(files.isFolder(link));
}

TEST_F(FilesTest, FilesAreWrittenExclusivelyAndNeverThroughALink) {
    const std::string path = dir.path() + "/staged.bin";
    std::string error;
    auto first = files.createFile(path, &error);
    ASSERT_TRUE(first) << error;
    // A second writer of the same file is refused while the first has it.
    EXPECT_EQ(files.createFile(path, &error), nullptr);
    EXPECT_NE(error.find("in use"), std::string::npos) << error;

    const std::vector<uint8_t> data = binaryBytes(70000, 4);
    EXPECT_TRUE(first->lock(0, data.size()));
    EXPECT_EQ(first->write(data.data(), data.size()), data.size());
    EXPECT_TRUE(first->unlock(0, data.size()));
    EXPECT_TRUE(first->close());
    EXPECT_EQ(readBytes(path), data);

    // Created again, the old content is gone.
    auto again = files.createFile(path, &error);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->write(data.data(), 10), 10u);
    EXPECT_TRUE(again->close());
    EXPECT_EQ(readBytes(path).size(), 10u);

    const std::string victim = dir.path() + "/victim";
    writeBytes(victim, {9, 9});
    const std::string link = dir.symlink(victim, "link.bin");
    EXPECT_EQ(files.createFile(link, &error), nullptr);
    EXPECT_FALSE(files.copyFile(path, link, &error));
    EXPECT_FALSE(files.copyFile(link, dir.path() + "/copy", &error));
    EXPECT_EQ(readBytes(victim), (std::vector<uint8_t>{9, 9}));
    // Deleting the link removes the link only.
    EXPECT_TRUE(files.deleteFile(link, &error));
    EXPECT_EQ(readBytes(victim), (std::vector<uint8_t>{9, 9}));
    EXPECT_TRUE(files.deleteFile(link, &error));  // already gone

    ASSERT_TRUE(files.copyFile(path, victim, &error)) << error;
    EXPECT_EQ(readBytes(victim).size(), 10u);
}

// Only a name known to be free is absent: a path that cannot be looked at
// (here through a file where a folder should be) is not.
TEST_F(FilesTest, PresenceTellsAbsentFromUnknown) {
    const std::string root = makeTree("tree");
    std::string why;
    EXPECT_EQ(files.presence(root + "/Settings.dat", &why), platform::Presence::Present);
    EXPECT_EQ(files.presence(root + "/Missing", &why), platform::Presence::Absent);
    EXPECT_EQ(files.presence(root + "/Settings.dat/Quorta", &why), platform::Presence::Unknown);
    EXPECT_NE(why.find("Settings.dat/Quorta"), std::string::npos) << why;
}

TEST_F(FilesTest, PrivateFoldersAndRenames) {
    const std::string folder = dir.path() + "/private";
    std::string error;
    ASSERT_TRUE(files.createFolder(folder, true, &error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(files.createFolder(folder + "/", true, &error));  // already there
    ::chmod(folder.c_str(), 0755);
    EXPECT_FALSE(files.createFolder(folder, true, &error));
    EXPECT_TRUE(files.createFolder(folder, false, &error));
    EXPECT_FALSE(files.createFolder(dir.path() + "/no/parent", false, &error));

    const std::string other = makeTree("other");
    EXPECT_FALSE(files.renameFolder(other, folder, &error));  // never replaces
    ASSERT_TRUE(files.renameFolder(other, dir.path() + "/renamed", &error)) << error;
    EXPECT_TRUE(fs::exists(dir.path() + "/renamed/Settings.dat"));
    EXPECT_TRUE(files.deleteTree(dir.path() + "/never-there").ok);
}

}  // namespace
