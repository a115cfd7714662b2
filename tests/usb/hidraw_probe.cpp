// Looks at the emulated GPS as any hidapi program would, with Debian's
// libhidapi-hidraw, and prints what it saw, one fact per line. Run under
// quorta-gps-emulator with a GPS in application mode (type 5, Japanese).
#include <hidapi/hidapi.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

// READ_DEVICE_INFO and JUMP_TO_BL as the command link frames them.
const unsigned char kReadDeviceInfo[] = {0x01, 0x06, 0xC6, 0x60, 0x04};
const unsigned char kJumpToBl[] = {0x01, 0x09, 0x29, 0x91, 0x04};

int writeCommand(hid_device* dev, const unsigned char* frame, size_t length) {
    unsigned char report[65];
    std::memset(report, 0xFF, sizeof report);
    report[0] = 0;  // no numbered reports: not sent to the device
    std::memcpy(report + 1, frame, length);
    return hid_write(dev, report, sizeof report);
}

bool present(unsigned short vid, unsigned short pid) {
    hid_device_info* list = hid_enumerate(vid, pid);
    const bool found = list != nullptr;
    hid_free_enumeration(list);
    return found;
}

}  // namespace

int main() {
    hid_init();
    if (hid_device_info* list = hid_enumerate(0x2B29, 0x55)) {
        std::printf("found %s \"%ls\" \"%ls\" release %04x usage page %04x\n", list->path,
                    list->manufacturer_string, list->product_string, list->release_number,
                    list->usage_page);
        hid_free_enumeration(list);
    }
    hid_device* a = hid_open(0x2B29, 0x55, nullptr);
    hid_device* b = hid_open(0x2B29, 0x55, nullptr);
    if (!a || !b) {
        std::printf("open failed\n");
        return 1;
    }
    std::printf("write: %d\n", writeCommand(a, kReadDeviceInfo, sizeof kReadDeviceInfo));
    unsigned char in[256];
    int n = hid_read_timeout(a, in, sizeof in, 5000);
    std::printf("read: %d bytes, first %02x, id %02x\n", n, n > 0 ? in[0] : 0, n > 2 ? in[2] : 0);
    n = hid_read_timeout(b, in, sizeof in, 5000);
    std::printf("other handle: %d bytes, first %02x\n", n, n > 0 ? in[0] : 0);
    n = hid_read_timeout(a, in, sizeof in, 300);
    std::printf("nothing more: %d\n", n);
    hid_close(b);

    writeCommand(a, kJumpToBl, sizeof kJumpToBl);
    bool shown = false;
    for (int i = 0; i < 200 && !shown; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        shown = !present(0x2B29, 0x55) && present(0x2B29, 0x41);
    }
    std::printf("bootloader shown: %s\n", shown ? "yes" : "no");
    const int stale = writeCommand(a, kReadDeviceInfo, sizeof kReadDeviceInfo);
    std::printf("stale write: %d (%ls)\n", stale, hid_error(a));
    std::printf("stale read: %d\n", hid_read_timeout(a, in, sizeof in, 100));
    hid_close(a);

    hid_device* bl = hid_open(0x2B29, 0x41, nullptr);
    if (!bl) {
        std::printf("bootloader open failed\n");
        return 1;
    }
    // get-property current-version: command report id 1, packet of 12 bytes.
    unsigned char command[36] = {0x01, 0x00, 0x0C, 0x00, 0x07, 0x00, 0x00, 0x02, 0x01};
    std::printf("bootloader write: %d\n", hid_write(bl, command, sizeof command));
    n = hid_read_timeout(bl, in, sizeof in, 5000);
    std::printf("bootloader read: %d bytes, id %02x, tag %02x\n", n, n > 0 ? in[0] : 0,
                n > 4 ? in[4] : 0);
    hid_close(bl);
    hid_exit();
    return 0;
}
