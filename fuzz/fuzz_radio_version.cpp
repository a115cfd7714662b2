// The radio's answers: the version text of NRF_GET_VERSION (filtered and
// parsed, and read off fuzzed reports as the version check does) and the
// progress replies that follow UPDATE_NORDIC.
//
// Input: a mode byte, then
//   mode % 3 == 0: reports answering NRF_GET_VERSION, each a length byte
//                  (0xFF a read error) and that many bytes;
//   mode % 3 == 1: the progress reports after UPDATE_NORDIC, likewise;
//   mode % 3 == 2: one version text for the filter and the parse.
#include <cstdlib>
#include <string>

#include "CoreLog.h"
#include "FuzzCheck.h"
#include "FuzzSupport.h"
#include "core/CommandLink.h"
#include "core/Context.h"
#include "core/Nordic.h"
#include "core/UpdaterState.h"

namespace {

using fuzzing::check;

bool isKept(char c) {
    return c == '.' || c == ':' || (c >= '0' && c <= '9') ||
           std::string_view("EINORSVeinorsv").find(c) != std::string_view::npos;
}

void parseText(const std::string& raw) {
    const std::string filtered = core::filterRadioVersionText(raw);
    check(filtered.size() <= raw.size());
    for (char c : filtered) check(isKept(c));
    const core::RadioVersion version = core::parseRadioVersion(filtered);
    check(version.dots >= 0);
    if (version.build) {
        check(version.dots == 3);
        check(version.digits.size() <= 9);
        check(*version.build >= 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::ByteStream input(data, size);
    const uint8_t mode = input.take() % 3;
    if (mode == 2) {
        parseText(input.rest());
        return 0;
    }
    core::ScopedContext context(hidport::Backend::Simulated);
    fuzzing::installCoreLogView();
    fuzzing::RegisteredDevice device(std::make_shared<fuzzing::FuzzedHidDevice>(
        core::kGpsVendorId, core::kGpsAppProductId, core::kLinkInputReportSize,
        core::kLinkOutputReportSize, input));
    if (mode == 0) {
        if (core::checkNordicVersion()) check(core::state().deviceRadioBuild >= 0);
    } else {
        hidport::hid_device* handle =
            hidport::hid_open(core::kGpsVendorId, core::kGpsAppProductId, nullptr);
        check(handle != nullptr);
        const int outcome = core::followRadioProgress(handle, "Heron GPS");
        check(outcome >= -1 && outcome <= 1);
        hidport::hid_close(handle);
    }
    return 0;
}
