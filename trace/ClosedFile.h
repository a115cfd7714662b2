// A drive file being written, passed through to the real one, that says when
// it is closed (and whether the close worked): the recorder then notes what
// the drive holds, the replay compares it with the trace. A file dropped
// without a close counts as one that failed.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "platform/Files.h"

namespace trace {

class ClosedFile : public platform::WritableFile {
  public:
    ClosedFile(std::unique_ptr<platform::WritableFile> inner, std::function<void(bool ok)> closed)
        : inner_(std::move(inner)), closed_(std::move(closed)) {}
    ~ClosedFile() override {
        if (closed_) {
            inner_.reset();
            closed_(false);
        }
    }
    bool lock(uint64_t offset, uint64_t length) override { return inner_->lock(offset, length); }
    bool unlock(uint64_t offset, uint64_t length) override {
        return inner_->unlock(offset, length);
    }
    size_t write(const uint8_t* data, size_t length) override {
        return inner_->write(data, length);
    }
    bool close() override {
        const bool ok = inner_->close();
        if (auto closed = std::exchange(closed_, nullptr)) closed(ok);
        return ok;
    }
    std::string error() const override { return inner_->error(); }

  private:
    std::unique_ptr<platform::WritableFile> inner_;
    std::function<void(bool ok)> closed_;
};

}  // namespace trace
