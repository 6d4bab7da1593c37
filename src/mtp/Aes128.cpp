#include "mtp/Aes128.h"

#include <algorithm>
#include <cstddef>

namespace kvinternal {

namespace {

using Table = std::array<uint8_t, 256>;

constexpr uint8_t xtime(uint8_t value) {
    return static_cast<uint8_t>((value << 1) ^ ((value & 0x80) != 0 ? 0x1B : 0x00));
}

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr uint8_t multiply(uint8_t a, uint8_t b) {
    uint8_t product = 0;
    while (b != 0) {
        if ((b & 1) != 0) {
            product ^= a;
        }
        a = xtime(a);
        b >>= 1;
    }
    return product;
}

// a^254 is the multiplicative inverse of a (and maps 0 to 0).
constexpr uint8_t inverse(uint8_t a) {
    uint8_t result = 1;
    for (int exponent = 254; exponent != 0; exponent >>= 1) {
        if ((exponent & 1) != 0) {
            result = multiply(result, a);
        }
        a = multiply(a, a);
    }
    return result;
}

constexpr uint8_t rotateLeft(uint8_t value, int bits) {
    return static_cast<uint8_t>((value << bits) | (value >> (8 - bits)));
}

// The S-box from its definition (inverse, then the affine map), so no table can hold a typo.
constexpr Table makeSubstitution() {
    Table table{};
    for (int i = 0; i < 256; ++i) {
        const uint8_t b = inverse(static_cast<uint8_t>(i));
        table[i] = static_cast<uint8_t>(b ^ rotateLeft(b, 1) ^ rotateLeft(b, 2) ^ rotateLeft(b, 3) ^
                                        rotateLeft(b, 4) ^ 0x63);
    }
    return table;
}

constexpr Table makeInverseSubstitution(const Table& substitution) {
    Table table{};
    for (int i = 0; i < 256; ++i) {
        table[substitution[i]] = static_cast<uint8_t>(i);
    }
    return table;
}

constexpr Table substitution = makeSubstitution();
constexpr Table inverseSubstitution = makeInverseSubstitution(substitution);

using State = Aes128::Block;

void addRoundKey(State& state, const uint8_t* roundKey) {
    for (size_t i = 0; i < state.size(); ++i) {
        state[i] ^= roundKey[i];
    }
}

// The state is stored column by column: byte r + 4c is row r of column c.
void inverseShiftRowsAndSubstitute(State& state) {
    const State before = state;
    for (int column = 0; column < 4; ++column) {
        for (int row = 0; row < 4; ++row) {
            state[row + 4 * ((column + row) % 4)] = inverseSubstitution[before[row + 4 * column]];
        }
    }
}

void inverseMixColumns(State& state) {
    for (int column = 0; column < 4; ++column) {
        uint8_t* c = state.data() + 4 * column;
        const uint8_t a0 = c[0], a1 = c[1], a2 = c[2], a3 = c[3];
        c[0] = multiply(a0, 14) ^ multiply(a1, 11) ^ multiply(a2, 13) ^ multiply(a3, 9);
        c[1] = multiply(a0, 9) ^ multiply(a1, 14) ^ multiply(a2, 11) ^ multiply(a3, 13);
        c[2] = multiply(a0, 13) ^ multiply(a1, 9) ^ multiply(a2, 14) ^ multiply(a3, 11);
        c[3] = multiply(a0, 11) ^ multiply(a1, 13) ^ multiply(a2, 9) ^ multiply(a3, 14);
    }
}

}  // namespace

Aes128::Aes128(const Key& key) {
    std::copy(key.begin(), key.end(), roundKeys_.begin());
    uint8_t roundConstant = 1;
    for (size_t offset = key.size(); offset < roundKeys_.size(); offset += 4) {
        uint8_t word[4] = {roundKeys_[offset - 4], roundKeys_[offset - 3], roundKeys_[offset - 2],
                           roundKeys_[offset - 1]};
        if (offset % key.size() == 0) {
            // RotWord, SubWord, then the round constant.
            const uint8_t first = word[0];
            word[0] = static_cast<uint8_t>(substitution[word[1]] ^ roundConstant);
            word[1] = substitution[word[2]];
            word[2] = substitution[word[3]];
            word[3] = substitution[first];
            roundConstant = xtime(roundConstant);
        }
        for (size_t i = 0; i < 4; ++i) {
            roundKeys_[offset + i] = roundKeys_[offset - key.size() + i] ^ word[i];
        }
    }
}

Aes128::Block Aes128::decryptBlock(const Block& cipherText) const {
    State state = cipherText;
    addRoundKey(state, roundKeys_.data() + 16 * rounds);
    for (int round = rounds - 1; round > 0; --round) {
        inverseShiftRowsAndSubstitute(state);
        addRoundKey(state, roundKeys_.data() + 16 * round);
        inverseMixColumns(state);
    }
    inverseShiftRowsAndSubstitute(state);
    addRoundKey(state, roundKeys_.data());
    return state;
}

}  // namespace kvinternal
