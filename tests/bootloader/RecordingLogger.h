// A bootloader logger that records every message reaching its sink, and puts
// the logger that was installed before it back when it goes.
#pragma once

#include <string>
#include <vector>

#include "bootloader/Logger.h"

namespace testsupport {

class RecordingLogger : public bootloader::Logger {
  public:
    explicit RecordingLogger(int filter = 7) : previous_(bootloader::getLogger()) {
        filterLevel = filter;
        bootloader::setLogger(this);
    }
    ~RecordingLogger() override { bootloader::setLogger(previous_); }

    bool contains(const std::string& text) const { return all().find(text) != std::string::npos; }
    int count(const std::string& text) const {
        int n = 0;
        for (const auto& m : messages) n += m == text ? 1 : 0;
        return n;
    }
    std::string all() const {
        std::string s;
        for (const auto& m : messages) s += m;
        return s;
    }

    std::vector<std::string> messages;

  protected:
    void _log(const char* text) override { messages.emplace_back(text); }

  private:
    bootloader::Logger* previous_;
};

}  // namespace testsupport
