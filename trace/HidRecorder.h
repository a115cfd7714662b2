// Records every call through hidport, with its result, into a trace.
#pragma once

#include <map>
#include <mutex>

#include "TraceWriter.h"
#include "hidport/hidport.h"

namespace trace {

class HidRecorder : public hidport::Observer {
  public:
    explicit HidRecorder(TraceWriter& writer) : writer_(writer) {}

    void opened(unsigned short vendorId, unsigned short productId,
                const hidport::hid_device* handle, const std::wstring& error, int errorNumber,
                const std::string& permissionNode) override;
    void wrote(const hidport::hid_device* handle, const unsigned char* data, size_t length,
               int result) override;
    void read(const hidport::hid_device* handle, const unsigned char* data, size_t length,
              int milliseconds, int result) override;
    void closed(const hidport::hid_device* handle) override;
    void exited() override;

  private:
    int number(const hidport::hid_device* handle, bool forget = false);

    TraceWriter& writer_;
    std::mutex mutex_;
    std::map<const hidport::hid_device*, int> handles_;
    int next_ = 1;
};

}  // namespace trace
