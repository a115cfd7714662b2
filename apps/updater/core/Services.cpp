#include "core/Services.h"

namespace core {

Services& services() {
    static Services s;
    return s;
}

void setServices(const Services& s) {
    services() = s;
}

platform::Clock& clock() {
    platform::Clock* c = services().clock;
    return c ? *c : platform::sharedClock();
}

}  // namespace core
