// A private D-Bus daemon and, on it, a python3-dbusmock service from a
// template. Both processes are ours and are ended by their ids.
#pragma once

#include <sys/types.h>

#include <string>
#include <tuple>
#include <vector>

#include "TempDir.h"

namespace testing_support {

class MockBus {
  public:
    MockBus() = default;
    ~MockBus();
    MockBus(const MockBus&) = delete;
    MockBus& operator=(const MockBus&) = delete;

    // Starts the bus alone. Empty when it runs; otherwise why it cannot.
    std::string startBus();
    // Starts the bus (if not yet) and the mock from `templateName` (a file or
    // one of dbusmock's own templates) with its parameters, and waits for it
    // to own `serviceName`. The mock's method calls go to logPath().
    std::string startMock(const std::string& templateName, const std::string& serviceName,
                          const std::string& parametersJson = "{}");

    const std::string& address() const { return address_; }
    const std::string& logPath() const { return logPath_; }
    bool nameHasOwner(const std::string& name) const;

    // The locks a mock logind holds now: what, who, why, mode. It drops a
    // lock a moment after its holder closes the descriptor.
    using Inhibitor = std::tuple<std::string, std::string, std::string, std::string>;
    std::vector<Inhibitor> logindInhibitors() const;

    // The reasons startBus()/startMock() give when the tools are missing.
    static bool isMissingTool(const std::string& why);

  private:
    static void stop(pid_t& pid);

    TempDir dir_;
    pid_t daemon_ = -1;
    pid_t mock_ = -1;
    std::string address_;
    std::string logPath_;
    std::string python_;
};

}  // namespace testing_support

// Starts `expr` (a call returning the reason string); skips the test when a
// tool is missing and fails it when the mock does not come up.
#define START_MOCK_BUS(expr)                                                     \
    do {                                                                         \
        std::string why_ = (expr);                                               \
        if (testing_support::MockBus::isMissingTool(why_)) GTEST_SKIP() << why_; \
        ASSERT_EQ(why_, "");                                                     \
    } while (0)
