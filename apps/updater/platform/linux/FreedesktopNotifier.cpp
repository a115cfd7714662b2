#include "platform/linux/FreedesktopNotifier.h"

#include <systemd/sd-bus.h>

#include "platform/linux/SdBus.h"

namespace platform {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kIface = "org.freedesktop.Notifications";
// A notification service answers at once; one that hangs must not hold the
// window for long.
constexpr uint64_t kCallTimeoutUs = 5ull * 1000 * 1000;
constexpr int32_t kServerDefaultTimeout = -1;
constexpr uint8_t kNormalUrgency = 1;

using sdbus::BusPtr;
using sdbus::MessagePtr;

// The body is read as markup by servers that support it; our texts are
// plain.
std::string escapedMarkup(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

FreedesktopNotifier::FreedesktopNotifier(std::string busAddress)
    : busAddress_(std::move(busAddress)) {}

bool FreedesktopNotifier::notify(const std::string& summary, const std::string& body) {
    std::lock_guard lock(mutex_);
    BusPtr bus = sdbus::connectBus(busAddress_, lastError_, sdbus::Bus::Session);
    if (!bus) return false;

    sd_bus_message* rawCall = nullptr;
    int r = sd_bus_message_new_method_call(bus.get(), &rawCall, kService, kPath, kIface, "Notify");
    MessagePtr call(rawCall);
    const std::string markup = escapedMarkup(body);
    if (r >= 0) {
        r = sd_bus_message_append(call.get(), "susss", kNotificationAppName, uint32_t{0},
                                  kNotificationIcon, summary.c_str(), markup.c_str());
    }
    if (r >= 0) r = sd_bus_message_append(call.get(), "as", 0);
    if (r >= 0) {
        r = sd_bus_message_append(call.get(), "a{sv}", 2, "desktop-entry", "s", kDesktopEntryName,
                                  "urgency", "y", kNormalUrgency);
    }
    if (r >= 0) r = sd_bus_message_append(call.get(), "i", kServerDefaultTimeout);
    if (r < 0) {
        lastError_ = "cannot build the notification (" + sdbus::errnoText(r) + ")";
        return false;
    }
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* rawReply = nullptr;
    r = sd_bus_call(bus.get(), call.get(), kCallTimeoutUs, &error, &rawReply);
    MessagePtr reply(rawReply);
    if (r < 0) {
        if (sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
            sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
            lastError_ = "no notification service on " +
                         (busAddress_.empty() ? std::string("the session bus") : busAddress_);
        } else if (sd_bus_error_is_set(&error)) {
            lastError_ = std::string("the notification service refused: ") + error.name + ": " +
                         (error.message ? error.message : "");
        } else {
            lastError_ = "cannot reach the notification service (" + sdbus::errnoText(r) + ")";
        }
        sd_bus_error_free(&error);
        return false;
    }
    sd_bus_error_free(&error);
    lastError_.clear();
    return true;
}

std::string FreedesktopNotifier::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

}  // namespace platform
