#include "platform/linux/LogindInhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <memory>

#include "platform/linux/SdBus.h"

namespace platform {

namespace {

constexpr const char* kService = "org.freedesktop.login1";
constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kWhat = "sleep:shutdown:idle";
constexpr const char* kWho = "Quorta GPS Updater";
constexpr const char* kMode = "block";
constexpr uint64_t kCallTimeoutUs = 10ull * 1000 * 1000;

using sdbus::BusPtr;
using sdbus::errnoText;
using sdbus::MessagePtr;

}  // namespace

LogindInhibitor::LogindInhibitor(std::string busAddress) : busAddress_(std::move(busAddress)) {}

LogindInhibitor::~LogindInhibitor() {
    release();
}

bool LogindInhibitor::acquire(const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) return true;

    const std::string where = busAddress_.empty() ? "the system bus" : busAddress_;
    BusPtr bus = sdbus::connectBus(busAddress_, lastError_);
    if (!bus) return false;

    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* rawReply = nullptr;
    sd_bus_message* rawCall = nullptr;
    int r =
        sd_bus_message_new_method_call(bus.get(), &rawCall, kService, kPath, kManager, "Inhibit");
    MessagePtr call(rawCall);
    if (r >= 0) r = sd_bus_message_append(call.get(), "ssss", kWhat, kWho, why.c_str(), kMode);
    if (r >= 0) r = sd_bus_call(bus.get(), call.get(), kCallTimeoutUs, &error, &rawReply);
    MessagePtr reply(rawReply);
    if (r < 0) {
        if (sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
            sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
            lastError_ = "logind is not running on " + where;
        } else if (sd_bus_error_is_set(&error)) {
            lastError_ = std::string("logind refused the lock: ") + error.name + ": " +
                         (error.message ? error.message : "");
        } else {
            lastError_ = "cannot ask logind for the lock (" + errnoText(r) + ")";
        }
        sd_bus_error_free(&error);
        return false;
    }
    sd_bus_error_free(&error);

    int fd = -1;
    r = sd_bus_message_read(reply.get(), "h", &fd);
    if (r < 0 || fd < 0) {
        lastError_ = "logind's answer held no lock (" + errnoText(r < 0 ? r : -EBADMSG) + ")";
        return false;
    }
    // The reply owns its descriptor; ours must outlive it.
    fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (fd_ < 0) {
        lastError_ = "cannot keep logind's lock (" + errnoText(-errno) + ")";
        return false;
    }
    lastError_.clear();
    return true;
}

void LogindInhibitor::release() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

std::string LogindInhibitor::lastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
}

bool LogindInhibitor::held() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fd_ >= 0;
}

}  // namespace platform
