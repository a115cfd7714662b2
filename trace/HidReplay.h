// hidport's calls answered from a replayed trace: handles are the trace's
// own numbers, writes must equal the recorded reports byte for byte, reads
// get the recorded reports and timeouts.
#pragma once

#include "ReplaySession.h"
#include "hidport/hidport.h"

namespace trace {

class HidReplay : public hidport::ExternalBackend {
  public:
    explicit HidReplay(ReplaySession& session) : session_(session) {}

    int open(unsigned short vendorId, unsigned short productId, std::wstring& error,
             std::string& permissionNode) override;
    int read(int handle, unsigned char* data, size_t length, int milliseconds) override;
    int write(int handle, const unsigned char* data, size_t length, int milliseconds,
              std::wstring& error) override;
    void close(int handle) override;
    void exit() override;

  private:
    ReplaySession& session_;
};

}  // namespace trace
