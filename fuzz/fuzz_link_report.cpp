// The command link's reply decoding: decodeLinkReport on any report, and the
// whole READ_DEVICE_INFO road (transaction and record) over fuzzed reports.
//
// Input: a mode byte, then
//   even mode: the reports of a device answering READ_DEVICE_INFO, each a
//              length byte (0xFF a read error) and that many bytes;
//   odd mode:  one report for the decoder; bits 1-7 of the mode size the
//              reply buffer (the link's 64 bytes, or something smaller).
#include <cstdlib>
#include <span>
#include <vector>

#include "CoreLog.h"
#include "FuzzCheck.h"
#include "FuzzSupport.h"
#include "core/CommandLink.h"
#include "core/Context.h"
#include "core/DeviceScan.h"
#include "core/ReportCallbacks.h"
#include "core/UpdaterState.h"

namespace {

using fuzzing::check;

void decodeOneReport(uint8_t mode, fuzzing::ByteStream& input) {
    const std::string report = input.rest();
    const size_t replySize = (mode >> 1) < 64 ? (mode >> 1) : core::kLinkInputReportSize;
    std::vector<uint8_t> reply(replySize, 0xEE);
    size_t length = 12345;
    const auto bytes = std::span(reinterpret_cast<const uint8_t*>(report.data()), report.size());
    const bool complete = core::decodeLinkReport(bytes, reply, &length);
    check(length <= reply.size());
    if (complete) {
        // A frame ends only where its CRC matches what came before it.
        check(length > 2);
        const uint16_t received = static_cast<uint16_t>(reply[length - 2] | reply[length - 1] << 8);
        check(core::linkCrc16(reply.data(), length - 2) == received);
    }

    // Whatever the report held, as a payload it must come back whole.
    if (!report.empty() && report.size() <= 20 && replySize == core::kLinkInputReportSize) {
        const std::vector<uint8_t> frame = core::encodeLinkFrame(bytes);
        check(frame.size() <= core::kLinkInputReportSize);
        check(core::decodeLinkReport(frame, reply, &length));
        check(length == report.size() + 2);
        check(std::equal(bytes.begin(), bytes.end(), reply.begin()));
    }
}

void readDeviceInfo(fuzzing::ByteStream& input) {
    static core::SharedDeviceRecord record;
    core::ScopedContext context(hidport::Backend::Simulated);
    fuzzing::installCoreLogView();
    fuzzing::RegisteredDevice device(std::make_shared<fuzzing::FuzzedHidDevice>(
        core::kGpsVendorId, core::kGpsAppProductId, core::kLinkInputReportSize,
        core::kLinkOutputReportSize, input));
    const bool ok = core::readDevice(record);
    if (ok) {
        const core::DeviceRecord rec = record.snapshot();
        check(rec.deviceType >= 0 && rec.deviceType < core::kDeviceTypeCount);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::installCoreLogView();
    fuzzing::ByteStream input(data, size);
    const uint8_t mode = input.take();
    if (mode & 1) {
        decodeOneReport(mode, input);
    } else {
        readDeviceInfo(input);
    }
    return 0;
}
