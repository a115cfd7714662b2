#include "core/Services.h"

namespace core {

Services& services() {
    static Services s;
    return s;
}

void setServices(const Services& s) {
    services() = s;
}

platform::Threads& threads() {
    if (platform::Threads* t = services().threads) return *t;
    // Joins its threads when the process ends.
    static platform::StdThreads fallback;
    return fallback;
}

platform::Clock& clock() {
    platform::Clock* c = services().clock;
    return c ? *c : platform::sharedClock();
}

}  // namespace core
