// The per-user folders of the updater, created private (0700).
#pragma once

#include <string>

namespace platform {

class Paths {
public:
    virtual ~Paths() = default;
    // Staging of radio and font images; ends with "/". Empty when it cannot be made.
    virtual std::string stagingDir() = 0;
    // The updater's temporary folder (the backup lives in "<tempDir>Quorta");
    // ends with "/". Empty when it cannot be made.
    virtual std::string tempDir() = 0;
};

}  // namespace platform
