// The emulator's declaration: only its own memory file, naming the testbed
// the program sees, makes the road an emulated one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "core/UpdatePhase.h"
#include "platform/linux/EmulatedRoad.h"

namespace {

class EmulatedRoad : public testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"UMOCKDEV_DIR", "LD_PRELOAD", platform::kEmulatedRoadFdVariable,
                                 platform::kEmulatedRoadPhaseFdVariable})
            if (const char* v = std::getenv(name)) saved_[name] = v;
        setenv("UMOCKDEV_DIR", "/tmp/umockdev.TESTBED", 1);
        setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
    }
    void TearDown() override {
        for (const char* name : {"UMOCKDEV_DIR", "LD_PRELOAD", platform::kEmulatedRoadFdVariable,
                                 platform::kEmulatedRoadPhaseFdVariable}) {
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

// Every phase reaches the emulator by a name it reads back to the same
// phase; an emulator that has gone or stopped reading neither ends nor holds
// up the program.
TEST_F(EmulatedRoad, PhasesGoDownThePipeWhateverBecomesOfItsOtherEnd) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    setenv(platform::kEmulatedRoadPhaseFdVariable, std::to_string(fds[0]).c_str(), 1);
    EXPECT_FALSE(platform::EmulatorPhasePipe::fromEnvironment()) << "the read end";
    setenv(platform::kEmulatedRoadPhaseFdVariable, std::to_string(fds[1]).c_str(), 1);
    std::unique_ptr<platform::EmulatorPhasePipe> pipe =
        platform::EmulatorPhasePipe::fromEnvironment();
    ASSERT_TRUE(pipe);
    EXPECT_EQ(fcntl(fds[1], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

    std::string expected;
    for (int i = 0; i <= int(core::UpdatePhase::Recovery); ++i) {
        const auto phase = core::UpdatePhase(i);
        EXPECT_TRUE(pipe->send(core::updatePhaseName(phase)));
        expected += core::updatePhaseName(phase) + std::string("\n");
        EXPECT_EQ(core::updatePhaseNamed(core::updatePhaseName(phase)), phase);
    }
    std::string got(expected.size() + 1, '\0');
    EXPECT_EQ(read(fds[0], got.data(), got.size()), ssize_t(expected.size()));
    EXPECT_EQ(got.substr(0, expected.size()), expected);
    EXPECT_FALSE(core::updatePhaseNamed("jumping\r"));
    EXPECT_FALSE(core::updatePhaseNamed("?"));

    // Nobody reads: the pipe fills, and a line is dropped, not waited on.
    bool dropped = false;
    for (int i = 0; i < 100000 && !dropped; ++i) dropped = !pipe->send("writing");
    EXPECT_TRUE(dropped);
    // Nobody will: SIGPIPE at its default would end this test program.
    signal(SIGPIPE, SIG_DFL);
    close(fds[0]);
    EXPECT_FALSE(pipe->send("failed"));
    EXPECT_FALSE(pipe->send("done"));
}

}  // namespace
