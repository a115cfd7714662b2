// Decoding every carried image: through the updater's lookups (checked
// decodes into the static buffers) against LZ4_decompress_safe alone on the
// same blocks. The updater must stay within 2x of the library's own rate.
#include <benchmark/benchmark.h>
#include <lz4.h>

#include <vector>

#include "core/images/embeddedImages.h"
#include "core/images/firmwareImages.h"
#include "core/images/fontPacks.h"
#include "core/images/imageCatalogue.h"
#include "core/images/radioImages.h"
#include "core/images/standInImages.h"

namespace {

size_t decodedTotal() {
    size_t total = 0;
    for (const auto& f : images::imageFiles) total += f.decodedLength;
    return total;
}

void setRates(benchmark::State& state) {
    const double bytes = double(decodedTotal());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
    state.counters["images"] = double(images::kImageFileCount);
}

// 26 main images, the 12 radio images with their 5 init packets, 3 fonts.
void BM_UpdaterDecodeAll(benchmark::State& state) {
    for (auto _ : state) {
        size_t bytes = 0;
        for (int type = images::kFirstDeviceType; type <= images::kLastDeviceType; ++type)
            for (int lv : {0, 60})
                bytes += images::unpackFirmwareImage(type, lv, 0, {}).value_or(0);
        for (int type = images::kFirstDeviceType; type <= 15; ++type) {
            const auto* radio = images::findRadioImage(type);
            bytes += images::unpackRadioImage(*radio, {}).value_or(0);
            bytes += images::unpackRadioInitPacket(*radio, {}).value_or(0);
        }
        for (const auto& pack : images::fontPackTable)
            bytes += images::unpackFontPack(pack, {}).value_or(0);
        if (bytes != decodedTotal()) state.SkipWithError("an image did not decode whole");
        benchmark::DoNotOptimize(bytes);
        benchmark::ClobberMemory();
    }
    setRates(state);
}
BENCHMARK(BM_UpdaterDecodeAll)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same blocks, straight through the library into a plain buffer.
void BM_Lz4DecodeAll(benchmark::State& state) {
    std::vector<char> out(images::kImageBufferSize);
    for (auto _ : state) {
        size_t bytes = 0;
        for (size_t i = 0; i < images::kImageFileCount; ++i) {
            const auto image = images::embeddedImage(i);
            const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(image.data), out.data(),
                                              int(image.compressedLength), int(out.size()));
            bytes += n > 0 ? size_t(n) : 0;
        }
        if (bytes != decodedTotal()) state.SkipWithError("an image did not decode whole");
        benchmark::DoNotOptimize(bytes);
        benchmark::ClobberMemory();
    }
    setRates(state);
}
BENCHMARK(BM_Lz4DecodeAll)->Unit(benchmark::kMillisecond)->UseRealTime();

// The largest single image, as a programming run decodes it.
void BM_UpdaterDecodeLargestImage(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(images::unpackFirmwareImage(11, 0, 0, {}));
    state.SetBytesProcessed(int64_t(state.iterations()) * 570'480);
}
BENCHMARK(BM_UpdaterDecodeLargestImage)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What the check before every write costs on the largest image: its SHA-256
// against the one the build recorded (part of the decode above).
void BM_Sha256CheckLargestImage(benchmark::State& state) {
    const auto* entry = images::findFirmwareImage(11, 0);
    const int n = images::decodeInto(*entry, images::firmwareBuffer, images::kImageBufferSize);
    if (n != 570'480 || !images::sha256Matches(images::firmwareBuffer, size_t(n), entry->sha256))
        state.SkipWithError("the largest image does not decode to its recorded bytes");
    for (auto _ : state)
        benchmark::DoNotOptimize(
            images::sha256Matches(images::firmwareBuffer, size_t(n), entry->sha256));
    state.SetBytesProcessed(int64_t(state.iterations()) * 570'480);
}
BENCHMARK(BM_Sha256CheckLargestImage)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
