// The emulator's declaration: only its own memory file, naming the testbed
// the program sees, makes the road an emulated one.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "platform/linux/EmulatedRoad.h"

namespace {

class EmulatedRoad : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"UMOCKDEV_DIR", "LD_PRELOAD", platform::kEmulatedRoadFdVariable})
            if (const char* v = std::getenv(name)) saved_[name] = v;
        setenv("UMOCKDEV_DIR", "/tmp/umockdev.TESTBED", 1);
        setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
    }
    void TearDown() override {
        for (const char* name : {"UMOCKDEV_DIR", "LD_PRELOAD", platform::kEmulatedRoadFdVariable}) {
            auto it = saved_.find(name);
            if (it == saved_.end())
                unsetenv(name);
            else
                setenv(name, it->second.c_str(), 1);
        }
    }
    // A descriptor of `name` holding `text`, announced in the environment.
    int declare(const std::string& text, bool memoryFile = true) {
        int fd;
        if (memoryFile) {
            fd = memfd_create(platform::kEmulatedRoadMemfdName, 0);
        } else {
            char path[] = "/tmp/quorta-road-XXXXXX";
            fd = mkstemp(path);
            unlink(path);
        }
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
        setenv(platform::kEmulatedRoadFdVariable, std::to_string(fd).c_str(), 1);
        return fd;
    }
    std::map<std::string, std::string> saved_;
};

TEST_F(EmulatedRoad, OnlyTheEmulatorsMemoryFileForThisTestbedDeclaresIt) {
    const std::string declaration = platform::emulatedRoadDeclaration("/tmp/umockdev.TESTBED");
    EXPECT_FALSE(platform::emulatedRoadDeclared()) << "UMOCKDEV_DIR alone";

    declare(declaration);
    EXPECT_TRUE(platform::emulatedRoadDeclared());

    // An ordinary file with the same words, a testbed the program does not
    // see, or no umockdev preload: a real road.
    const int file = declare(declaration, false);
    EXPECT_FALSE(platform::emulatedRoadDeclared());
    close(file);
    declare(platform::emulatedRoadDeclaration("/tmp/umockdev.OTHER"));
    EXPECT_FALSE(platform::emulatedRoadDeclared());
    declare(declaration);
    setenv("LD_PRELOAD", "libother.so", 1);
    EXPECT_FALSE(platform::emulatedRoadDeclared());
    setenv(platform::kEmulatedRoadFdVariable, "1", 1);
    EXPECT_FALSE(platform::emulatedRoadDeclared());
}

}  // namespace
