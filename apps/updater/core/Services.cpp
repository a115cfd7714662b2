#include "core/Services.h"

#include "core/Context.h"

namespace core {

Services& services() {
    return context().services;
}

void setServices(const Services& s) {
    services() = s;
}

platform::Threads& threads() {
    if (platform::Threads* t = services().threads) return *t;
    // Joined before the context goes.
    return context().threads;
}

platform::Clock& clock() {
    platform::Clock* c = services().clock;
    return c ? *c : platform::sharedClock();
}

}  // namespace core
