#include "sim/emulator/DeviceTrees.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <initializer_list>

namespace emu {

namespace {

constexpr uint16_t kGpsVendorId = 0x2B29;
constexpr uint16_t kAppProductId = 0x55;
constexpr uint16_t kRomVendorId = 0x15A2;

constexpr const char* kUsbDevice = "/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr const char* kHidInterface = "1-1:1.0";
constexpr const char* kStorageInterface = "1-1:1.1";

std::string hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

std::string hex4Upper(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

std::string hexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[4];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        text += pair;
    }
    return text;
}

// One paragraph of umockdev's format; values must not hold newlines.
struct Paragraph {
    std::string text;
    explicit Paragraph(const std::string& path) { text = "P: " + path + "\n"; }
    Paragraph& e(const std::string& key, const std::string& value) {
        text += "E: " + key + "=" + value + "\n";
        return *this;
    }
    Paragraph& a(const std::string& key, const std::string& value) {
        text += "A: " + key + "=" + value + "\n";
        return *this;
    }
    Paragraph& h(const std::string& key, const std::vector<uint8_t>& value) {
        text += "H: " + key + "=" + hexBytes(value) + "\n";
        return *this;
    }
    Paragraph& l(const std::string& key, const std::string& target) {
        text += "L: " + key + "=" + target + "\n";
        return *this;
    }
    Paragraph& n(const std::string& name) {
        // With contents the testbed makes a plain file, which its preload
        // reports as the block device its "dev" attribute names.
        text += "N: " + name + "=00\n";
        return *this;
    }
};

std::string hidDeviceName(const UsbIdentity& id, unsigned sequence) {
    char text[40];
    std::snprintf(text, sizeof text, "0003:%04X:%04X.%04X", id.vendorId, id.productId,
                  sequence & 0xFFFF);
    return text;
}

std::string productProperty(const UsbIdentity& id) {
    char text[32];
    std::snprintf(text, sizeof text, "%x/%x/100", id.vendorId, id.productId);
    return text;
}

// The USB device at `path`, as the hub's driver shows it.
Paragraph usbDevice(const std::string& path, const UsbIdentity& id, const char* interfaces,
                    const char* speed) {
    Paragraph device(path);
    device.e("SUBSYSTEM", "usb")
        .e("DEVTYPE", "usb_device")
        .e("PRODUCT", productProperty(id))
        .e("TYPE", "0/0/0")
        .e("DRIVER", "usb")
        .a("idVendor", hex4(id.vendorId))
        .a("idProduct", hex4(id.productId))
        .a("bcdDevice", "0100")
        .a("bDeviceClass", "00")
        .a("bNumInterfaces", interfaces)
        .a("speed", speed);
    if (!id.manufacturer.empty()) device.a("manufacturer", id.manufacturer);
    if (!id.product.empty()) device.a("product", id.product);
    if (!id.serial.empty()) device.a("serial", id.serial);
    return device;
}

// A mass storage interface (bulk-only SCSI) at `path`.
Paragraph storageInterface(const std::string& path, const UsbIdentity& id) {
    Paragraph msc(path);
    msc.e("SUBSYSTEM", "usb")
        .e("DEVTYPE", "usb_interface")
        .e("PRODUCT", productProperty(id))
        .e("INTERFACE", "8/6/80")
        .e("DRIVER", "usb-storage")
        .a("bInterfaceClass", "08")
        .a("bInterfaceSubClass", "06")
        .a("bInterfaceProtocol", "50");
    return msc;
}

}  // namespace

UsbIdentity identityFor(uint16_t vendorId, uint16_t productId) {
    UsbIdentity id;
    id.vendorId = vendorId;
    id.productId = productId;
    id.serial = "QG0001";
    if (vendorId == kRomVendorId) {
        id.numberedReports = true;
        id.manufacturer = "";
        id.product = "USB HID bootloader";
        id.serial = "";
    } else if (vendorId == kGpsVendorId && productId == kAppProductId) {
        id.massStorage = true;
        id.manufacturer = "Quorta";
        id.product = "Quorta GPS";
    } else {
        id.numberedReports = true;
        id.manufacturer = "Quorta";
        id.product = "Quorta GPS Bootloader";
    }
    return id;
}

std::vector<uint8_t> reportDescriptor(bool numberedReports) {
    // Built in a fixed buffer: GCC 12 at -O3 misjudges the bounds of vector
    // inserts here and stops the Release build.
    std::array<uint8_t, 64> d{};
    size_t n = 0;
    auto add = [&d, &n](std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) d.at(n++) = b;
    };
    // Usage page 0xFF00, usage 1, one application collection of bytes.
    add({0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08});
    if (numberedReports) {
        // Ids 1 (command out), 2 (data out), 3 (command in), 4 (data in),
        // 35 bytes each after the id: 36-byte reports.
        const uint8_t kinds[4][2] = {{1, 0x91}, {2, 0x91}, {3, 0x81}, {4, 0x81}};
        for (const auto& k : kinds) add({0x85, k[0], 0x95, 0x23, 0x09, 0x01, k[1], 0x02});
    } else {
        // 64 bytes in, 64 bytes out, no report id.
        add({0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02});
    }
    add({0xC0});
    return std::vector<uint8_t>(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(n));
}

std::string usbDeviceSyspath() {
    return std::string("/sys") + kUsbDevice;
}

std::string hidrawSyspath(const UsbIdentity& identity, unsigned hidSequence,
                          const std::string& hidrawName) {
    return usbDeviceSyspath() + "/" + kHidInterface + "/" + hidDeviceName(identity, hidSequence) +
           "/hidraw/" + hidrawName;
}

DeviceTree hidDeviceTree(const UsbIdentity& id, unsigned hidSequence, const std::string& hidrawName,
                         unsigned devMajor, unsigned devMinor) {
    DeviceTree tree;
    const std::string usb = kUsbDevice;
    const std::string product = productProperty(id);
    Paragraph device = usbDevice(usb, id, id.massStorage ? " 2" : " 1", "12");
    device.e("BUSNUM", "001").e("DEVNUM", "002").a("busnum", "1").a("devnum", "2");

    const std::string hidInterface = usb + "/" + kHidInterface;
    Paragraph interface(hidInterface);
    interface.e("SUBSYSTEM", "usb")
        .e("DEVTYPE", "usb_interface")
        .e("PRODUCT", product)
        .e("INTERFACE", "3/0/0")
        .e("DRIVER", "usbhid")
        .a("bInterfaceNumber", "00")
        .a("bInterfaceClass", "03")
        .a("bInterfaceSubClass", "00")
        .a("bInterfaceProtocol", "00")
        .a("bAlternateSetting", " 0");

    const std::string hidName = hidDeviceName(id, hidSequence);
    const std::string hid = hidInterface + "/" + hidName;
    Paragraph hidDevice(hid);
    hidDevice.e("SUBSYSTEM", "hid")
        .e("DRIVER", "hid-generic")
        .e("HID_ID", "0003:0000" + hex4Upper(id.vendorId) + ":0000" + hex4Upper(id.productId))
        .e("HID_NAME", id.manufacturer.empty() ? id.product : id.manufacturer + " " + id.product)
        .e("HID_PHYS", "usb-0000:00:14.0-1/input0")
        .e("HID_UNIQ", id.serial)
        .e("MODALIAS",
           "hid:b0003g0001v0000" + hex4Upper(id.vendorId) + "p0000" + hex4Upper(id.productId))
        .h("report_descriptor", reportDescriptor(id.numberedReports));

    const std::string hidraw = hid + "/hidraw/" + hidrawName;
    const std::string dev = std::to_string(devMajor) + ":" + std::to_string(devMinor);
    Paragraph node(hidraw);
    // hidapi reads the hid device's uevent through the "device" link.
    node.e("SUBSYSTEM", "hidraw")
        .e("DEVNAME", "/dev/" + hidrawName)
        .e("MAJOR", std::to_string(devMajor))
        .e("MINOR", std::to_string(devMinor))
        .a("dev", dev)
        .l("device", "../../../" + hidName);

    tree.text = device.text + "\n" + interface.text + "\n" + hidDevice.text + "\n" + node.text;
    tree.syspaths = {"/sys" + usb, "/sys" + hidInterface, "/sys" + hid, "/sys" + hidraw};

    if (id.massStorage) {
        const std::string storage = usb + "/" + kStorageInterface;
        Paragraph msc = storageInterface(storage, id);
        msc.a("bInterfaceNumber", "01").a("bAlternateSetting", " 0");
        tree.text += "\n" + msc.text;
        tree.syspaths.push_back("/sys" + storage);
    }
    return tree;
}

std::string DiskPlace::fileSystemNode() const {
    return "/dev/" + name + (partitioned ? "1" : "");
}

std::string DiskPlace::fileSystemDev() const {
    return std::to_string(kDiskMajor) + ":" + std::to_string(minor + (partitioned ? 1 : 0));
}

std::vector<std::string> DiskPlace::blockNames() const {
    if (!partitioned) return {name};
    return {name, name + "1"};
}

DeviceTree storageDeviceTree(const UsbIdentity& id, const DiskPlace& place) {
    const Paragraph device = usbDevice(place.usbDevice, id, " 1", "480");
    const std::string storage = place.usbDevice + "/" + place.storageInterface;
    const Paragraph msc = storageInterface(storage, id);
    DeviceTree tree;
    tree.text = device.text + "\n" + msc.text;
    tree.syspaths = {"/sys" + place.usbDevice, "/sys" + storage};
    return tree;
}

DeviceTree diskTree(const DiskLook& look, const DiskPlace& place) {
    DeviceTree tree;
    const std::string n = std::to_string(place.scsiHost);
    const std::string host = place.usbDevice + "/" + place.storageInterface + "/host" + n;
    const std::string target = host + "/target" + n + ":0:0";
    const std::string scsi = target + "/" + n + ":0:0:0";
    const std::string disk = scsi + "/block/" + place.name;
    const std::string part = disk + "/" + place.name + "1";

    Paragraph h(host);
    h.e("SUBSYSTEM", "scsi").e("DEVTYPE", "scsi_host");
    Paragraph t(target);
    t.e("SUBSYSTEM", "scsi").e("DEVTYPE", "scsi_target");
    Paragraph s(scsi);
    s.e("SUBSYSTEM", "scsi")
        .e("DEVTYPE", "scsi_device")
        .e("DRIVER", "sd")
        .a("vendor", "Quorta  ")
        .a("model", "GPS             ")
        .a("type", "0");
    Paragraph d(disk);
    d.e("SUBSYSTEM", "block")
        .e("DEVTYPE", "disk")
        .e("DEVNAME", "/dev/" + place.name)
        .e("MAJOR", std::to_string(kDiskMajor))
        .e("MINOR", std::to_string(place.minor))
        .e("ID_BUS", "usb")
        .e("ID_VENDOR", "Quorta")
        .e("ID_MODEL", "GPS");
    if (place.partitioned) d.e("ID_PART_TABLE_TYPE", "dos");
    Paragraph p(part);
    p.e("SUBSYSTEM", "block")
        .e("DEVTYPE", "partition")
        .e("DEVNAME", "/dev/" + place.name + "1")
        .e("MAJOR", std::to_string(kDiskMajor))
        .e("MINOR", std::to_string(place.minor + 1))
        .e("ID_BUS", "usb")
        .e("PARTN", "1")
        .a("partition", "1")
        .a("start", "2048")
        .a("size", "7731200")
        .a("dev", std::to_string(kDiskMajor) + ":" + std::to_string(place.minor + 1));
    // The file system's properties go to the device that holds it.
    Paragraph& fs = place.partitioned ? p : d;
    fs.e("ID_FS_USAGE", "filesystem").e("ID_FS_TYPE", look.fsType).e("ID_FS_UUID", look.uuid);
    if (!look.fsVersion.empty()) fs.e("ID_FS_VERSION", look.fsVersion);
    if (!look.label.empty()) {
        fs.e("ID_FS_LABEL", look.label).e("ID_FS_LABEL_ENC", encodeLabel(look.label));
    }
    d.a("removable", "1")
        .a("ro", "0")
        .a("size", "7733248")
        .a("dev", std::to_string(kDiskMajor) + ":" + std::to_string(place.minor))
        .n(place.name);
    p.n(place.name + "1");

    // The kernel announces a disk once its partitions exist (they are
    // scanned before its uevent), so that a monitor can tell a partitioned
    // disk from one that carries its file system itself. The testbed sends
    // each device's uevent as it makes it: the partition is made first.
    if (!place.partitioned) {
        tree.text = h.text + "\n" + t.text + "\n" + s.text + "\n" + d.text;
        for (const std::string& path : {host, target, scsi, disk}) {
            tree.syspaths.push_back("/sys" + path);
        }
        return tree;
    }
    tree.text = h.text + "\n" + t.text + "\n" + s.text + "\n" + p.text + "\n" + d.text;
    for (const std::string& path : {host, target, scsi, disk, part}) {
        tree.syspaths.push_back("/sys" + path);
    }
    return tree;
}

std::string encodeLabel(const std::string& label) {
    std::string out;
    for (unsigned char c : label) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                           (c >= 'a' && c <= 'z') || c == '#' || c == '+' || c == '-' || c == '.' ||
                           c == ':' || c == '=' || c == '@' || c == '_' || c >= 0x80;
        if (plain) {
            out.push_back(static_cast<char>(c));
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        }
    }
    return out;
}

}  // namespace emu
