// A drive file being written, passed through to the real one, that says when
// it is closed (and whether the close worked): the recorder then notes what
// the drive holds, the replay compares it with the trace. A file dropped
// without a close counts as one that failed.
#pragma once

#include <functional>
#include <memory>
#include <utility>

#include "platform/ForwardingFiles.h"

namespace trace {

class ClosedFile : public platform::ForwardingWritableFile {
  public:
    ClosedFile(std::unique_ptr<platform::WritableFile> inner, std::function<void(bool ok)> closed)
        : ForwardingWritableFile(std::move(inner)), closed_(std::move(closed)) {}
    ~ClosedFile() override {
        if (closed_) {
            dropInner();
            closed_(false);
        }
    }
    bool close() override {
        const bool ok = ForwardingWritableFile::close();
        if (auto closed = std::exchange(closed_, nullptr)) closed(ok);
        return ok;
    }

  private:
    std::function<void(bool ok)> closed_;
};

}  // namespace trace
