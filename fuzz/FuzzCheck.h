// The fuzz targets' assertion: stops the run where a property fails, in every
// build type (assert() is gone under NDEBUG), so that the fuzzer keeps the input.
#pragma once

#include <cstdlib>

namespace fuzzing {

inline void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace fuzzing
