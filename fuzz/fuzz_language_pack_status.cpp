// The font loader's status reports after KANJI_PROGRAM_FLASH, read as the
// language-pack update reads them.
//
// Input: the reports, each a length byte (0xFF a read error) and that many
// bytes.
#include <cstdlib>

#include "CoreLog.h"
#include "FuzzSupport.h"
#include "core/CommandLink.h"
#include "core/LanguagePacks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzing::installCoreLogView();
    fuzzing::ByteStream input(data, size);
    fuzzing::RegisteredDevice device(std::make_shared<fuzzing::FuzzedHidDevice>(
        core::kGpsVendorId, core::kGpsAppProductId, core::kLinkInputReportSize,
        core::kLinkOutputReportSize, input));
    hidport::hid_device* handle =
        hidport::hid_open(core::kGpsVendorId, core::kGpsAppProductId, nullptr);
    if (!handle) std::abort();
    core::listenForFontLoading(handle);
    hidport::hid_close(handle);
    return 0;
}
