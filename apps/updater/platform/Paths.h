// The per-user folders of the updater, created private (0700).
#pragma once

#include <string>

namespace platform {

class Paths {
  public:
    virtual ~Paths() = default;
    // Staging of radio and font images; ends with "/". Empty when it cannot
    // be made, with the reason (naming the folder) in `problem` when given.
    virtual std::string stagingDir(std::string* problem = nullptr) = 0;
    // The updater's temporary folder (the backup lives in "<tempDir>Quorta");
    // ends with "/". Empty when it cannot be made, with the reason in `problem`.
    virtual std::string tempDir(std::string* problem = nullptr) = 0;
};

}  // namespace platform
