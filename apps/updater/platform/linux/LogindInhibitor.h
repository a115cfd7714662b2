// The sleep, shutdown and idle lock of systemd-logind, over the system D-Bus.
// logind hands back a file descriptor; the lock lasts until it is closed.
#pragma once

#include <mutex>
#include <string>

#include "platform/SleepInhibitor.h"

namespace platform {

class LogindInhibitor : public SleepInhibitor {
  public:
    // `busAddress` empty: the system bus; otherwise a D-Bus address (tests run
    // a mock logind on a private bus).
    explicit LogindInhibitor(std::string busAddress = {});
    ~LogindInhibitor() override;
    LogindInhibitor(const LogindInhibitor&) = delete;
    LogindInhibitor& operator=(const LogindInhibitor&) = delete;

    bool acquire(const std::string& why) override;
    void release() override;
    std::string lastError() const override;

    // True while a lock is held (for tests and the log).
    bool held() const;

  private:
    std::string busAddress_;
    mutable std::mutex mutex_;
    int fd_ = -1;
    std::string lastError_;
};

}  // namespace platform
