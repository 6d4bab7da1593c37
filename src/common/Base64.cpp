#include "common/Base64.h"

#include <array>

namespace kvinternal {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int8_t notInAlphabet = -1;

constexpr std::array<int8_t, 256> buildDecodeTable() {
    std::array<int8_t, 256> table{};
    for (auto& entry : table) {
        entry = notInAlphabet;
    }
    for (int8_t i = 0; i < 64; ++i) {
        table[static_cast<uint8_t>(alphabet[i])] = i;
    }
    return table;
}

constexpr auto decodeTable = buildDecodeTable();

}  // namespace

std::string base64Encode(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const uint32_t group = (static_cast<uint8_t>(bytes[i]) << 16) |
                               (static_cast<uint8_t>(bytes[i + 1]) << 8) |
                               static_cast<uint8_t>(bytes[i + 2]);
        out.push_back(alphabet[(group >> 18) & 0x3F]);
        out.push_back(alphabet[(group >> 12) & 0x3F]);
        out.push_back(alphabet[(group >> 6) & 0x3F]);
        out.push_back(alphabet[group & 0x3F]);
    }
    const size_t left = bytes.size() - i;
    if (left > 0) {
        uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
        if (left == 2) {
            group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        }
        out.push_back(alphabet[(group >> 18) & 0x3F]);
        out.push_back(alphabet[(group >> 12) & 0x3F]);
        out.push_back(left == 2 ? alphabet[(group >> 6) & 0x3F] : '=');
        out.push_back('=');
    }
    return out;
}

std::vector<uint8_t> base64Decode(const std::string& text) {
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3 + 2);
    uint32_t group = 0;
    int collected = 0;
    for (const char c : text) {
        const int8_t value = decodeTable[static_cast<uint8_t>(c)];
        if (value == notInAlphabet) {
            break;  // '=' is outside the alphabet too
        }
        group = (group << 6) | static_cast<uint32_t>(value);
        if (++collected == 4) {
            out.push_back(static_cast<uint8_t>(group >> 16));
            out.push_back(static_cast<uint8_t>(group >> 8));
            out.push_back(static_cast<uint8_t>(group));
            group = 0;
            collected = 0;
        }
    }
    if (collected >= 2) {
        group <<= 6 * (4 - collected);
        out.push_back(static_cast<uint8_t>(group >> 16));
        if (collected == 3) {
            out.push_back(static_cast<uint8_t>(group >> 8));
        }
    }
    return out;
}

}  // namespace kvinternal
