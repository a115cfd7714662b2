#include "platform/linux/LinuxUsbDeviceList.h"

#include <libudev.h>

#include <cstdio>

namespace platform {

namespace {

// 1 to 4 hex digits, surrounded by nothing but white space.
bool parseHex16(std::string_view text, unsigned& value) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    if (text.empty() || text.size() > 4) return false;
    value = 0;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        value = value * 16 + static_cast<unsigned>(d);
    }
    return true;
}

std::string_view attr(udev_device* dev, const char* name) {
    const char* value = udev_device_get_sysattr_value(dev, name);
    return value ? std::string_view(value) : std::string_view();
}

}  // namespace

std::string hardwareIdText(std::string_view idVendor, std::string_view idProduct,
                           std::string_view bcdDevice) {
    unsigned vid, pid, rev;
    if (!parseHex16(idVendor, vid) || !parseHex16(idProduct, pid) || !parseHex16(bcdDevice, rev)) {
        return "";
    }
    char text[40];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&REV_%04X", vid, pid, rev);
    return text;
}

std::vector<std::string> LinuxUsbDeviceList::hardwareIds() {
    std::vector<std::string> ids;
    for (UsbDevice& d : devices()) ids.push_back(std::move(d.hardwareId));
    return ids;
}

std::vector<UsbDevice> LinuxUsbDeviceList::devices() {
    std::vector<UsbDevice> ids;
    udev* u = udev_new();
    if (!u) return ids;
    udev_enumerate* en = udev_enumerate_new(u);
    if (en && udev_enumerate_add_match_subsystem(en, "usb") >= 0 &&
        udev_enumerate_add_match_property(en, "DEVTYPE", "usb_device") >= 0 &&
        udev_enumerate_scan_devices(en) >= 0) {
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en)) {
            udev_device* dev = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
            if (!dev) {
                ids.emplace_back();  // present but unreadable: the scan skips it
                continue;
            }
            const char* path = udev_device_get_devpath(dev);
            ids.push_back({hardwareIdText(attr(dev, "idVendor"), attr(dev, "idProduct"),
                                          attr(dev, "bcdDevice")),
                           path ? path : "", std::string(attr(dev, "serial"))});
            udev_device_unref(dev);
        }
    }
    if (en) udev_enumerate_unref(en);
    udev_unref(u);
    return ids;
}

}  // namespace platform
