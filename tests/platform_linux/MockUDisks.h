// The mock UDisks2 of udisks2_mock.py on a private bus, and the UDisks2
// methods it was asked to run.
#pragma once

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "MockBus.h"

namespace testing_support {

class MockUDisks {
  public:
    std::string start(const std::string& parametersJson) {
        return bus_.startMock(QUORTA_UDISKS_MOCK, "org.freedesktop.UDisks2", parametersJson);
    }

    const std::string& address() const { return bus_.address(); }

    // The calls so far of the methods named, in order; property reads and
    // calls the mock refused are left out.
    std::vector<std::string> calls(const std::set<std::string>& methods = {"Unmount", "Eject",
                                                                           "PowerOff"}) const {
        std::vector<std::string> names;
        forEachCall([&](const std::string& name, bool refused) {
            if (!refused && methods.count(name)) names.push_back(name);
        });
        return names;
    }

    // Calls of `method` that the mock refused.
    int refusals(const std::string& method) const {
        int n = 0;
        forEachCall([&](const std::string& name, bool refused) { n += name == method && refused; });
        return n;
    }

  private:
    // Each call in the mock's log, by method name; `refused` for the mock's
    // note on a call that failed ("raised:").
    template <class Fn>
    void forEachCall(Fn&& fn) const {
        std::ifstream in(bus_.logPath());
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::string stamp, name, next;
            words >> stamp >> name >> next;
            fn(name, next == "raised:");
        }
    }

    MockBus bus_;
};

}  // namespace testing_support

#define START_MOCK(mock, json) START_MOCK_BUS((mock).start(json))
