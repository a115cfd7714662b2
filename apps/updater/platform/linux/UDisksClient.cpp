#include "platform/linux/UDisksClient.h"

#include <string_view>

namespace platform::udisks {

namespace {

using sdbus::MessagePtr;

// Reads one property value ("v") of the interfaces the clients need.
int readProperty(sd_bus_message* m, std::string_view iface, std::string_view name,
                 BlockObject& obj) {
    if (iface == kBlockIface && name == "Drive") {
        const char* drive = nullptr;
        int r = sd_bus_message_read(m, "v", "o", &drive);
        if (r >= 0 && drive) obj.drive = drive;
        return r;
    }
    if (iface == kBlockIface && name == "DeviceNumber") {
        return sd_bus_message_read(m, "v", "t", &obj.deviceNumber);
    }
    if (iface == kFilesystemIface && name == "MountPoints") {
        int r = sd_bus_message_enter_container(m, 'v', "aay");
        if (r < 0) return r;
        r = readByteStrings(m, obj.mountPoints);
        if (r < 0) return r;
        return sd_bus_message_exit_container(m);
    }
    return sd_bus_message_skip(m, "v");
}

}  // namespace

std::string BusError::text(int r) const {
    if (sd_bus_error_is_set(&e)) return std::string(e.name) + ": " + (e.message ? e.message : "");
    return sdbus::errnoText(r);
}

sdbus::BusPtr connect(const std::string& address, std::string& error) {
    sdbus::BusPtr bus = sdbus::connectBus(address, error);
    if (!bus) return nullptr;
    // The desktop may ask the user (polkit) before touching a drive.
    sd_bus_set_allow_interactive_authorization(bus.get(), 1);
    return bus;
}

int readByteStrings(sd_bus_message* m, std::vector<std::string>& out) {
    int r = sd_bus_message_enter_container(m, 'a', "ay");
    if (r < 0) return r;
    for (;;) {
        const void* data = nullptr;
        size_t size = 0;
        r = sd_bus_message_read_array(m, 'y', &data, &size);
        if (r < 0) return r;
        if (r == 0) break;
        std::string s(static_cast<const char*>(data), size);
        while (!s.empty() && s.back() == '\0') s.pop_back();
        out.push_back(std::move(s));
    }
    return sd_bus_message_exit_container(m);
}

int listBlockObjects(sd_bus* bus, std::vector<BlockObject>& out, std::string& error) {
    BusError err;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_call_method(bus, kService, kManagerPath, "org.freedesktop.DBus.ObjectManager",
                               "GetManagedObjects", &err.e, &raw, "");
    MessagePtr reply(raw);
    if (r < 0) {
        error = "UDisks2 GetManagedObjects failed: " + err.text(r);
        return r;
    }
    sd_bus_message* m = reply.get();
    if ((r = sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}")) < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
        BlockObject obj;
        bool isBlock = false;
        const char* path = nullptr;
        if ((r = sd_bus_message_read(m, "o", &path)) < 0) return r;
        obj.path = path ? path : "";
        if ((r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}")) < 0) return r;
        while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
            const char* iface = nullptr;
            if ((r = sd_bus_message_read(m, "s", &iface)) < 0) return r;
            std::string_view ifaceName = iface ? iface : "";
            if (ifaceName == kBlockIface) isBlock = true;
            if (ifaceName == kFilesystemIface) obj.hasFilesystem = true;
            if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0) return r;
            while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
                const char* name = nullptr;
                if ((r = sd_bus_message_read(m, "s", &name)) < 0) return r;
                if ((r = readProperty(m, ifaceName, name ? name : "", obj)) < 0) return r;
                if ((r = sd_bus_message_exit_container(m)) < 0) return r;
            }
            if (r < 0) return r;
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;
            if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        }
        if (r < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        if ((r = sd_bus_message_exit_container(m)) < 0) return r;
        if (isBlock) out.push_back(std::move(obj));
    }
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
}

bool callWithNoOptions(sd_bus* bus, const std::string& path, const char* iface, const char* method,
                       std::string& error, MessagePtr* reply) {
    sd_bus_message* rawCall = nullptr;
    int r = sd_bus_message_new_method_call(bus, &rawCall, kService, path.c_str(), iface, method);
    MessagePtr call(rawCall);
    if (r >= 0) r = sd_bus_message_append(call.get(), "a{sv}", 0);
    if (r < 0) {
        error = std::string("cannot build ") + method + " call";
        return false;
    }
    BusError err;
    sd_bus_message* rawReply = nullptr;
    r = sd_bus_call(bus, call.get(), kCallTimeoutUs, &err.e, &rawReply);
    MessagePtr answer(rawReply);
    if (r < 0) {
        error = std::string(method) + " failed: " + err.text(r);
        return false;
    }
    if (reply) *reply = std::move(answer);
    return true;
}

bool currentMountPoints(sd_bus* bus, const std::string& path, std::vector<std::string>& out) {
    BusError err;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_get_property(bus, kService, path.c_str(), kFilesystemIface, "MountPoints",
                                &err.e, &raw, "aay");
    MessagePtr reply(raw);
    if (r < 0) return false;
    out.clear();
    return readByteStrings(reply.get(), out) >= 0;
}

}  // namespace platform::udisks
