// Shared pieces of the workflow suites: every status report recorded, and a
// Threads double that runs tasks inline, keeps them for later, or hands them
// to real threads.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CoreTestSupport.h"
#include "core/FirmwareProgramming.h"
#include "platform/Threads.h"

namespace testing_support {

struct StatusCall {
    int complete = 0;
    std::optional<std::string> title;
    std::optional<std::string> detail;
};

class FakeThreads : public platform::Threads {
  public:
    enum class Mode { Inline, Deferred, Real };
    explicit FakeThreads(Mode m = Mode::Deferred) : mode(m) {}
    ~FakeThreads() override { real.joinAll(); }

    void start(const std::string& name, std::function<void()> task) override {
        {
            std::lock_guard lock(mutex);
            names.push_back(name);
        }
        switch (mode) {
            case Mode::Inline:
                task();
                break;
            case Mode::Deferred: {
                std::lock_guard lock(mutex);
                deferred.push_back(std::move(task));
                break;
            }
            case Mode::Real:
                real.start(name, std::move(task));
                break;
        }
    }
    // Runs the kept tasks (and those they keep) on the calling thread.
    void runDeferred() {
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard lock(mutex);
                if (deferred.empty()) return;
                task = std::move(deferred.front());
                deferred.erase(deferred.begin());
            }
            task();
        }
    }
    std::vector<std::string> startedNames() {
        std::lock_guard lock(mutex);
        return names;
    }

    Mode mode;
    platform::StdThreads real;
    std::mutex mutex;
    std::vector<std::string> names;
    std::vector<std::function<void()>> deferred;
};

class WorkflowTest : public CoreTest {
  protected:
    void SetUp() override {
        CoreTest::SetUp();
        services.threads = &threads;
        applyServices();
        core::reportCallbacks().reportStatus = [this](int complete, const char* title,
                                                      const char* detail) {
            {
                std::lock_guard lock(statusMutex);
                StatusCall call;
                call.complete = complete;
                if (title) call.title = title;
                if (detail) call.detail = detail;
                statusCalls.push_back(call);
            }
            core::state().setStatus(title, detail);
        };
        core::reportCallbacks().waitSeconds = core::sleepSeconds;
    }

    std::vector<StatusCall> statuses() {
        std::lock_guard lock(statusMutex);
        return statusCalls;
    }
    std::vector<std::string> titles() {
        std::vector<std::string> out;
        for (const StatusCall& c : statuses())
            if (c.title) out.push_back(*c.title);
        return out;
    }
    std::vector<std::string> details() {
        std::vector<std::string> out;
        for (const StatusCall& c : statuses())
            if (c.detail) out.push_back(*c.detail);
        return out;
    }
    bool hasTitle(const std::string& t) {
        for (const std::string& s : titles())
            if (s == t) return true;
        return false;
    }
    bool hasDetail(const std::string& d) {
        for (const std::string& s : details())
            if (s == d) return true;
        return false;
    }

    FakeThreads threads;
    std::mutex statusMutex;
    std::vector<StatusCall> statusCalls;
};

}  // namespace testing_support
