#include "standIns.h"

#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/images/ImageVersionBlock.h"
#include "core/images/standInMark.h"
#include "lz4BlockWriter.h"

namespace imagegen {
namespace {

// splitmix64: tiny, and the same sequence on every compiler and library,
// which the standard distributions do not promise.
class Rng {
  public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint64_t n) { return n == 0 ? 0 : uint32_t(next() % n); }
    double unit() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }
    uint8_t byte() { return uint8_t(next()); }

  private:
    uint64_t state_;
};

uint64_t seedOf(const char* name, unsigned attempt) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (const char* p = name; *p; ++p) h = (h ^ uint8_t(*p)) * 1099511628211ull;
    return h ^ (uint64_t(attempt) << 56);
}

// Literal bytes: what is left after the repeats of an image are taken out.
class LiteralSource {
  public:
    virtual ~LiteralSource() = default;
    uint8_t next() {
        if (pending_.empty()) refill();
        uint8_t b = pending_.front();
        pending_.pop_front();
        return b;
    }

  protected:
    virtual void refill() = 0;
    void pushLe16(uint32_t v) {
        pending_.push_back(uint8_t(v));
        pending_.push_back(uint8_t(v >> 8));
    }
    void pushLe32(uint32_t v) {
        pushLe16(v);
        pushLe16(v >> 16);
    }
    std::deque<uint8_t> pending_;
};

// Cortex-M application code: Thumb instructions, literal-pool words and the
// odd text of a cycling computer's menus.
class FirmwareLiterals : public LiteralSource {
  public:
    FirmwareLiterals(Rng& rng, uint32_t imageLength) : rng_(rng), imageLength_(imageLength) {}

  protected:
    void refill() override {
        const double u = rng_.unit();
        if (u < 0.66) {
            // 16-bit Thumb: the high byte carries the opcode, from a small set.
            static constexpr uint8_t opcodes[] = {
                0x20, 0x21, 0x22, 0x23, 0x28, 0x29, 0x2A, 0x30, 0x32, 0x38, 0x3B, 0x40, 0x42,
                0x43, 0x44, 0x46, 0x46, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x4B, 0x4C, 0x60, 0x60,
                0x61, 0x62, 0x68, 0x68, 0x69, 0x6A, 0x6B, 0x70, 0x78, 0x78, 0x79, 0x80, 0x88,
                0x90, 0x98, 0x9A, 0xB0, 0xB2, 0xB5, 0xBD, 0xBF, 0xD0, 0xD1, 0xD2, 0xD3, 0xD8,
                0xDA, 0xDB, 0xDD, 0xE0, 0xE7, 0x1C, 0x1E, 0x18, 0x1A, 0x00, 0x01, 0x08};
            pushLe16(uint32_t(opcodes[rng_.below(sizeof opcodes)]) << 8 | rng_.byte());
        } else if (u < 0.83) {
            // 32-bit Thumb-2: BL, LDR.W/STR.W, data processing.
            static constexpr uint8_t first[] = {0xF0, 0xF0, 0xF7, 0xF8, 0xF8, 0xF9, 0xE8,
                                                0xE9, 0xEA, 0xEB, 0xF1, 0xF2, 0xF3, 0xFA};
            pushLe16(uint32_t(first[rng_.below(sizeof first)]) << 8 | rng_.byte());
            static constexpr uint8_t second[] = {0xF8, 0xF8, 0xFF, 0xFB, 0x00, 0x01, 0x02,
                                                 0x03, 0x40, 0x80, 0xD0, 0xE0, 0x30, 0x10};
            pushLe16(uint32_t(second[rng_.below(sizeof second)]) << 8 | rng_.byte());
        } else if (u < 0.95) {
            // A literal-pool word: a code address, a RAM or peripheral address,
            // or a small constant.
            const double w = rng_.unit();
            if (w < 0.35)
                pushLe32((kImageBase + rng_.below(imageLength_)) | 1);
            else if (w < 0.6)
                pushLe32(0x20000000u + (rng_.below(0x10000) & ~3u));
            else if (w < 0.8)
                pushLe32(0x40000000u + (rng_.below(0x80000) & ~3u));
            else
                pushLe32(rng_.below(w < 0.9 ? 256 : 100000));
        } else {
            static constexpr const char* words[] = {
                "Speed",       "Cadence",     "Heart rate", "Power",      "Distance",
                "Ride",        "Lap",         "Battery",    "Quorta",     "Route",
                "Altitude",    "Temperature", "Sensor",     "Pairing",    "Settings",
                "Backlight",   "Error %d",    "%s: %d",     "km/h",       "mph",
                "Saving...",   "GPS fix",     "Calories",   "Timer",      "Auto pause",
                "Lost signal", "Low battery", "Ascent",     "Grade %d%%", "bpm"};
            const char* word = words[rng_.below(sizeof words / sizeof words[0])];
            for (const char* p = word; *p; ++p) pending_.push_back(uint8_t(*p));
            pending_.push_back(rng_.unit() < 0.5 ? 0 : ' ');
        }
    }

  private:
    static constexpr uint32_t kImageBase = images::kImageLoadAddress;
    Rng& rng_;
    uint32_t imageLength_;
};

// Glyph bitmaps: sparse rows, many blank, a few strokes.
class FontLiterals : public LiteralSource {
  public:
    explicit FontLiterals(Rng& rng) : rng_(rng) {}

  protected:
    void refill() override {
        const double u = rng_.unit();
        uint8_t b;
        if (u < 0.18)
            b = 0;
        else if (u < 0.55)
            b = uint8_t(rng_.byte() & rng_.byte());
        else
            b = rng_.byte();
        pending_.push_back(b);
    }

  private:
    Rng& rng_;
};

// Init packets are short, dense records: plain random bytes.
class RandomLiterals : public LiteralSource {
  public:
    explicit RandomLiterals(Rng& rng) : rng_(rng) {}

  protected:
    void refill() override { pending_.push_back(rng_.byte()); }

  private:
    Rng& rng_;
};

// Bytes that must be literals and that no match may copy: the version block,
// whose CRC is filled in after the whole image exists.
struct Protected {
    size_t begin = 0;
    size_t end = 0;
    bool touchedBy(size_t source, size_t length) const {
        return begin < end && source < end && source + length > begin;
    }
};

size_t drawMatchLength(Rng& rng) {
    if (rng.unit() < 0.03) return 32 + rng.below(280);  // a copied table or string block
    // Mostly short: a repeated instruction sequence or prologue. Geometric,
    // mean about 9 past the minimum; integers only, so that no libm rounding
    // can make another machine's stand-ins differ.
    size_t length = kMinMatch;
    while (length < 255 && rng.below(10) != 0) ++length;
    return length;
}

std::optional<size_t> drawOffset(Rng& rng, size_t pos, size_t match, const Protected& keep) {
    for (int tries = 0; tries < 24; ++tries) {
        const double u = rng.unit();
        size_t offset;
        if (u < 0.3)
            offset = 4 + rng.below(124);
        else if (u < 0.78)
            offset = 128 + rng.below(4096 - 128);
        else
            offset = 4096 + rng.below(kMaxOffset - 4096 + 1);
        if (offset > pos) offset = 1 + rng.below(pos);
        if (!keep.touchedBy(pos - offset, match)) return offset;
    }
    // Just past the protected bytes, when close enough.
    if (pos > keep.end && pos - keep.end <= kMaxOffset) return pos - keep.end;
    return std::nullopt;
}

struct Tail {
    size_t literals;    // of the final sequence (0 with literalsOnly)
    size_t match;       // of the final sequence
    size_t last;        // closing run
    bool literalsOnly;  // no final sequence, only the closing run
};

// Splits the last `remaining` decoded bytes into one sequence and the closing
// run so that they take exactly `budget` block bytes.
std::optional<Tail> solveTail(size_t remaining, size_t budget) {
    if (lastLiteralsCost(remaining) == budget) return Tail{0, 0, remaining, true};
    for (size_t last = kMinLastLiterals; last + kMinMatch <= remaining; ++last) {
        const size_t lastCost = lastLiteralsCost(last);
        if (lastCost >= budget) break;
        const size_t rest = remaining - last;
        for (size_t lits = 0; lits + kMinMatch <= rest; ++lits) {
            const size_t cost = sequenceCost(lits, rest - lits);
            if (cost + lastCost == budget) return Tail{lits, rest - lits, last, false};
            if (cost + lastCost > budget) break;
        }
    }
    return std::nullopt;
}

// The vector table (0x400 bytes) and the version block as it will stand
// before its CRC is known.
std::vector<uint8_t> firmwareHeader(Rng& rng, const images::ImageFile& file) {
    std::vector<uint8_t> h(images::kVersionBlockOffset + images::kVersionBlockSize, 0);
    auto put = [&h](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) h[at + i] = uint8_t(v >> (8 * i));
    };
    auto handler = [&rng, &file] {
        return (images::kImageLoadAddress + 0x420 + rng.below(file.decodedLength / 4)) | 1u;
    };
    put(0, images::kInitialStackPointer);
    put(4, images::kResetHandler);
    const uint32_t defaultHandler = handler();
    for (size_t v = 2; v < images::kVersionBlockOffset / 4; ++v) {
        const bool reserved = (v >= 7 && v <= 10) || v == 13;
        put(v * 4, reserved ? 0 : (rng.unit() < 0.3 ? handler() : defaultHandler));
    }
    const auto version = images::carriedFirmwareVersion(file.deviceType);
    // Fields now, CRC later: writeVersionBlock over the header alone would
    // give the wrong length and CRC, so fill the block the same way by hand.
    uint8_t* block = h.data() + images::kVersionBlockOffset;
    for (size_t i = 0; i < 4; ++i) block[i] = images::kVersionBlockMagic[i];
    block[4] = uint8_t(file.deviceType);
    block[5] = uint8_t(file.variant);
    block[6] = uint8_t(version.major);
    block[7] = uint8_t(version.minor);
    put(images::kVersionBlockOffset + 8, file.decodedLength);
    return h;
}

std::optional<StandIn> attempt(const images::ImageFile& file, unsigned attemptNo, bool marked) {
    Rng rng(seedOf(file.fileName, attemptNo));
    const size_t decodedTarget = file.decodedLength;
    const size_t blockTarget = file.compressedLength;

    std::vector<uint8_t> prefix;
    Protected keep;
    std::unique_ptr<LiteralSource> source;
    switch (file.kind) {
        case images::ImageKind::firmware:
            prefix = firmwareHeader(rng, file);
            keep = {images::kVersionBlockOffset,
                    images::kVersionBlockOffset + images::kVersionBlockSize};
            source = std::make_unique<FirmwareLiterals>(rng, file.decodedLength);
            break;
        case images::ImageKind::radio:
            source = std::make_unique<FirmwareLiterals>(rng, file.decodedLength);
            break;
        case images::ImageKind::font:
            source = std::make_unique<FontLiterals>(rng);
            break;
        case images::ImageKind::radioInit:
            source = std::make_unique<RandomLiterals>(rng);
            break;
    }
    if (marked) {
        // Part of the first run of literals, so that it stands in the block
        // as it is (images::blockHasStandInMark).
        prefix.resize(images::standInMarkOffset(file.kind));
        prefix.insert(prefix.end(), images::kStandInMark,
                      images::kStandInMark + images::kStandInMarkLength);
    }
    if (prefix.size() + kMinLastLiterals > decodedTarget) return std::nullopt;

    size_t prefixUsed = 0;
    std::vector<uint8_t> lits;
    auto takeLiterals = [&](size_t n) {
        lits.resize(n);
        for (size_t i = 0; i < n; ++i)
            lits[i] = prefixUsed < prefix.size() ? prefix[prefixUsed++] : source->next();
    };

    Lz4BlockWriter w;
    constexpr size_t kTail = 384;
    for (;;) {
        const size_t pos = w.decoded().size();
        const size_t remaining = decodedTarget - pos;
        if (w.block().size() >= blockTarget) return std::nullopt;
        const size_t budget = blockTarget - w.block().size();
        if (remaining <= kTail) break;
        // Steer every sequence toward the ratio still to be met, so that the
        // tail is left with a budget it can hit exactly.
        const double ratio = double(budget) / double(remaining);
        const size_t match = drawMatchLength(rng);
        double ideal;
        if (ratio >= 0.995)
            ideal = double(remaining);
        else
            ideal = (ratio * double(match) - 3.0) / (1.0 - ratio);
        size_t literalCount = ideal <= 0 ? 0 : size_t(ideal * (0.5 + rng.unit()) + 0.5);
        if (prefixUsed < prefix.size()) literalCount += prefix.size() - prefixUsed + 16;
        if (pos + literalCount < 16) literalCount = 16 - pos;
        if (literalCount + match + kTail > remaining) break;
        auto offset = drawOffset(rng, pos + literalCount, match, keep);
        if (!offset) return std::nullopt;
        takeLiterals(literalCount);
        w.sequence(lits.data(), literalCount, *offset, match);
    }

    const size_t pos = w.decoded().size();
    const size_t remaining = decodedTarget - pos;
    const size_t budget = blockTarget - w.block().size();
    auto tail = solveTail(remaining, budget);
    // The prefix must end up among literals, never inside a match.
    if (!tail || (!tail->literalsOnly && prefix.size() - prefixUsed > tail->literals))
        return std::nullopt;
    if (!tail->literalsOnly) {
        auto offset = drawOffset(rng, pos + tail->literals, tail->match, keep);
        if (!offset) return std::nullopt;
        takeLiterals(tail->literals);
        w.sequence(lits.data(), tail->literals, *offset, tail->match);
    }
    takeLiterals(tail->last);
    w.lastLiterals(lits.data(), tail->last);

    if (file.kind == images::ImageKind::firmware) {
        // The CRC covers the finished image; no match copied the block, so
        // patching its literals changes nothing else.
        std::vector<uint8_t> image = w.decoded();
        const auto version = images::carriedFirmwareVersion(file.deviceType);
        if (!images::writeVersionBlock(
                image.data(), image.size(),
                {file.deviceType, file.variant, version.major, version.minor}))
            return std::nullopt;
        for (size_t i = keep.begin; i < keep.end; ++i)
            if (!w.patchLiteral(i, image[i])) return std::nullopt;
    }
    if (w.block().size() != blockTarget || w.decoded().size() != decodedTarget) return std::nullopt;
    return StandIn{w.block(), w.decoded()};
}

}  // namespace

StandIn makeStandIn(const images::ImageFile& file, bool marked) {
    // A seed whose steering leaves an unsolvable tail is rare; the next seed
    // is just as deterministic.
    for (unsigned n = 0; n < 64; ++n)
        if (auto s = attempt(file, n, marked)) return std::move(*s);
    throw std::runtime_error(std::string("no LZ4 block of the exact lengths found for ") +
                             file.fileName);
}

}  // namespace imagegen
