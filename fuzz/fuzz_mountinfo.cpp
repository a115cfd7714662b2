// The mount table and the volume texts the drive search reads: mountinfo
// lines, the kernel's octal escapes, udev's encoded labels and file-system
// names.
//
// Input: a mountinfo text. Its first line also serves as the label and the
// file-system texts.
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "platform/linux/MountInfo.h"
#include "platform/linux/VolumeProbe.h"

using fuzzing::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    for (const platform::MountEntry& entry : platform::parseMountInfo(text)) {
        check(!entry.mountPoint.empty() && entry.mountPoint[0] == '/');
        check(entry.mountPoint.find('\0') == std::string::npos);
    }

    // Unescaping never grows a field.
    const std::string unescaped = platform::unescapeMountField(text);
    check(unescaped.size() <= text.size());

    const std::string_view line = text.substr(0, text.find('\n'));
    const size_t space = line.find(' ');
    const std::string_view first = line.substr(0, space);
    const std::string_view second =
        space == std::string_view::npos ? std::string_view() : line.substr(space + 1);

    const std::string label = platform::volumeLabel(first, second);
    for (unsigned char c : platform::decodeLabelEnc(line)) check(c >= 0x20 && c != 0x7F);
    (void)label;
    check(!platform::fileSystemName(first, second, size).empty() || first.empty());
    platform::effectiveFileSystemType(first, second);
    platform::pathIsOnUsb(line);
    return 0;
}
