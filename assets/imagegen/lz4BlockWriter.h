// Writes a raw LZ4 block sequence by sequence, keeping the decoded bytes
// beside it. Building the block ourselves (rather than running a compressor
// and hoping) is what lets a stand-in hit an exact compressed length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace imagegen {

// Bytes that follow a token to carry a length of `value` past its nibble.
constexpr size_t lengthExtraBytes(size_t value) {
    return value < 15 ? 0 : (value - 15) / 255 + 1;
}

// Block bytes of one sequence: token, literal length, literals, offset,
// match length.
constexpr size_t sequenceCost(size_t literals, size_t match) {
    return 1 + lengthExtraBytes(literals) + literals + 2 + lengthExtraBytes(match - 4);
}

// Block bytes of the closing run of literals.
constexpr size_t lastLiteralsCost(size_t literals) {
    return 1 + lengthExtraBytes(literals) + literals;
}

inline constexpr size_t kMinMatch = 4;
inline constexpr size_t kMaxOffset = 65535;
// The block format wants the last match to start at least 12 bytes before the
// end and the last 5 bytes to be literals; a closing run of 12 covers both.
inline constexpr size_t kMinLastLiterals = 12;

class Lz4BlockWriter {
  public:
    // Literals, then `match` bytes copied from `offset` bytes back.
    void sequence(const uint8_t* literals, size_t literalCount, size_t offset, size_t match);
    // The closing run; nothing may follow it.
    void lastLiterals(const uint8_t* literals, size_t literalCount);
    // Rewrites a byte that went into the block as a literal, in the block and
    // in the decoded copy. False when that byte came from a match.
    bool patchLiteral(size_t decodedPos, uint8_t value);

    const std::vector<uint8_t>& block() const { return block_; }
    const std::vector<uint8_t>& decoded() const { return decoded_; }

  private:
    struct LiteralRun {
        size_t decodedStart;
        size_t blockStart;
        size_t length;
    };
    void token(size_t literalCount, size_t matchCode);
    void extraLength(size_t value);
    void literals(const uint8_t* data, size_t count);

    std::vector<LiteralRun> runs_;
    std::vector<uint8_t> block_;
    std::vector<uint8_t> decoded_;
};

}  // namespace imagegen
