// The backup's file work: copying a Quorta folder the size of a well-used
// GPS (300 rides, 48 MiB) and checking it byte for byte, against a plain
// std::filesystem copy of the same tree. The checked copy reads everything
// twice and flushes every file, so it may cost more than the plain copy, but
// should stay within a small factor of it (the flushes dominate).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/linux/LinuxFiles.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRides = 300;
constexpr size_t kRideBytes = 160 * 1024;

struct Tree {
    Tree() {
        std::string pattern = (fs::temp_directory_path() / "quorta-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        base = pattern;
        std::mt19937 gen(7);
        std::vector<char> bytes(kRideBytes);
        for (int i = 0; i < kRides; ++i) {
            for (auto& b : bytes) b = char(gen());
            fs::path dir = fs::path(base) / "Quorta" / "Activities" / std::to_string(2000 + i % 12);
            fs::create_directories(dir);
            std::ofstream(dir / ("ride" + std::to_string(i) + ".fit"), std::ios::binary)
                .write(bytes.data(), std::streamsize(bytes.size()));
        }
    }
    ~Tree() { fs::remove_all(base); }
    std::string source() const { return base + "/Quorta"; }
    std::string target() const { return base + "/copy"; }
    std::string base;
};

Tree& tree() {
    static Tree t;
    return t;
}

void setBytes(benchmark::State& state) {
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kRides) * int64_t(kRideBytes));
}

void BM_CheckedBackup(benchmark::State& state) {
    platform::LinuxFiles files;
    tree();  // made before the clock runs
    for (auto _ : state) {
        files.deleteTree(tree().target());
        auto copied = files.copyTree(tree().source(), tree().target());
        auto checked = files.compareTrees(tree().source(), tree().target(),
                                          platform::TreeComparison::Identical);
        if (!copied.ok || !checked.ok) state.SkipWithError("backup failed");
    }
    setBytes(state);
}
BENCHMARK(BM_CheckedBackup)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainFilesystemCopy(benchmark::State& state) {
    tree();
    for (auto _ : state) {
        fs::remove_all(tree().target());
        fs::copy(tree().source(), tree().target(), fs::copy_options::recursive);
    }
    setBytes(state);
}
BENCHMARK(BM_PlainFilesystemCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
