#include "platform/linux/SdBus.h"

namespace platform::sdbus {

std::string errnoText(int r) {
    return std::string("error ") + std::to_string(-r);
}

BusPtr connectBus(const std::string& address, std::string& error, Bus which) {
    sd_bus* raw = nullptr;
    int r;
    const char* standard = which == Bus::System ? "system bus" : "session bus";
    if (address.empty()) {
        r = which == Bus::System ? sd_bus_open_system(&raw) : sd_bus_open_user(&raw);
    } else {
        r = sd_bus_new(&raw);
        if (r >= 0) r = sd_bus_set_address(raw, address.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(raw, 1);
        if (r >= 0) r = sd_bus_start(raw);
    }
    BusPtr bus(raw);
    if (r < 0) {
        error = "cannot connect to the D-Bus " +
                (address.empty() ? std::string(standard) : address) + " (" + errnoText(r) + ")";
        return nullptr;
    }
    return bus;
}

}  // namespace platform::sdbus
