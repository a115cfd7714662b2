#include "lz4BlockWriter.h"

#include <stdexcept>

namespace imagegen {

void Lz4BlockWriter::token(size_t literalCount, size_t matchCode) {
    const size_t high = literalCount < 15 ? literalCount : 15;
    const size_t low = matchCode < 15 ? matchCode : 15;
    block_.push_back(uint8_t(high << 4 | low));
}

void Lz4BlockWriter::extraLength(size_t value) {
    if (value < 15) return;
    value -= 15;
    while (value >= 255) {
        block_.push_back(255);
        value -= 255;
    }
    block_.push_back(uint8_t(value));
}

void Lz4BlockWriter::literals(const uint8_t* data, size_t count) {
    if (count == 0) return;
    runs_.push_back({decoded_.size(), block_.size(), count});
    block_.insert(block_.end(), data, data + count);
    decoded_.insert(decoded_.end(), data, data + count);
}

void Lz4BlockWriter::sequence(const uint8_t* data, size_t literalCount, size_t offset,
                              size_t match) {
    if (match < kMinMatch || offset == 0 || offset > kMaxOffset ||
        offset > decoded_.size() + literalCount)
        throw std::logic_error("LZ4 sequence out of range");
    token(literalCount, match - kMinMatch);
    extraLength(literalCount);
    literals(data, literalCount);
    block_.push_back(uint8_t(offset));
    block_.push_back(uint8_t(offset >> 8));
    extraLength(match - kMinMatch);
    // Byte by byte: an offset shorter than the match repeats the pattern, as
    // the decoder does.
    size_t from = decoded_.size() - offset;
    for (size_t i = 0; i < match; ++i) decoded_.push_back(decoded_[from + i]);
}

void Lz4BlockWriter::lastLiterals(const uint8_t* data, size_t literalCount) {
    token(literalCount, 0);
    extraLength(literalCount);
    literals(data, literalCount);
}

bool Lz4BlockWriter::patchLiteral(size_t decodedPos, uint8_t value) {
    for (const auto& run : runs_) {
        if (decodedPos >= run.decodedStart && decodedPos < run.decodedStart + run.length) {
            block_[run.blockStart + (decodedPos - run.decodedStart)] = value;
            decoded_[decodedPos] = value;
            return true;
        }
    }
    return false;
}

}  // namespace imagegen
