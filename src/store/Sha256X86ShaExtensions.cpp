// SHA-256 block compression with the x86 SHA extensions. This file alone is compiled with
// -msha -msse4.1 -mssse3 (see the top CMakeLists.txt), so nothing else in the library needs
// more than baseline x86-64; the hasher calls in here only after checking cpuid, which it does
// with this file's cpuHasX86ShaExtensions (GCC and Clang's <cpuid.h>; MSVC leaves this file out).
#include <cpuid.h>
#include <immintrin.h>

#include "store/Sha256Engines.h"

namespace kvinternal::sha256 {

namespace {

// The SHA instructions keep the state as two vectors: a, b, e, f and c, d, g, h (highest lane
// first), rather than the a..h order of the state words.
struct SplitState {
    __m128i abef;
    __m128i cdgh;
};

SplitState split(const Sha256Hasher::State& state) {
    const __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.data()));
    const __m128i efgh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state.data() + 4));
    const __m128i cdab = _mm_shuffle_epi32(abcd, 0xB1);
    const __m128i hgfe = _mm_shuffle_epi32(efgh, 0x1B);
    return {_mm_alignr_epi8(cdab, hgfe, 8), _mm_blend_epi16(hgfe, cdab, 0xF0)};
}

void join(const SplitState& vectors, Sha256Hasher::State& state) {
    const __m128i feba = _mm_shuffle_epi32(vectors.abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(vectors.cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state.data()), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state.data() + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// Message words are big-endian; this shuffle swaps the bytes of each 32-bit lane.
__m128i loadWords(const uint8_t* bytes) {
    const __m128i swapBytes = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)), swapBytes);
}

// Schedule words 4i..4i+3 from the four vectors before them, which `window` holds in slots
// (i - 4) % 4 .. (i - 1) % 4; the result replaces the oldest.
__m128i nextWords(const __m128i (&window)[4], size_t i) {
    const __m128i& w16 = window[i % 4];
    const __m128i& w12 = window[(i + 1) % 4];
    const __m128i& w8 = window[(i + 2) % 4];
    const __m128i& w4 = window[(i + 3) % 4];
    const __m128i withW7 =
        _mm_add_epi32(_mm_sha256msg1_epu32(w16, w12), _mm_alignr_epi8(w4, w8, 4));
    return _mm_sha256msg2_epu32(withW7, w4);
}

void compressBlock(SplitState& state, const uint8_t* block) {
    const SplitState before = state;
    __m128i window[4];
    // Fully unrolled so that the window stays in registers.
#pragma GCC unroll 16
    for (size_t i = 0; i < 16; ++i) {
        window[i % 4] = i < 4 ? loadWords(block + 16 * i) : nextWords(window, i);
        const __m128i withConstants = _mm_add_epi32(
            window[i % 4],
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(roundConstants.data() + 4 * i)));
        // Each instruction does two rounds, taking its two words from the low half, and returns
        // the new a, b, e, f; the old a, b, e, f are then c, d, g, h, so the two vectors swap
        // roles after the first instruction and are back in place after the second.
        state.cdgh = _mm_sha256rnds2_epu32(state.cdgh, state.abef, withConstants);
        state.abef =
            _mm_sha256rnds2_epu32(state.abef, state.cdgh, _mm_shuffle_epi32(withConstants, 0x0E));
    }
    state.abef = _mm_add_epi32(state.abef, before.abef);
    state.cdgh = _mm_add_epi32(state.cdgh, before.cdgh);
}

}  // namespace

bool cpuHasX86ShaExtensions() {
    constexpr unsigned sse41Bit = 1u << 19;  // leaf 1, ECX
    constexpr unsigned ssse3Bit = 1u << 9;   // leaf 1, ECX
    constexpr unsigned shaBit = 1u << 29;    // leaf 7, EBX
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    const bool hasSse = (ecx & sse41Bit) != 0 && (ecx & ssse3Bit) != 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    return hasSse && (ebx & shaBit) != 0;
}

void compressWithX86ShaExtensions(Sha256Hasher::State& state, const uint8_t* blocks,
                                  size_t blockCount) {
    SplitState vectors = split(state);
    for (; blockCount > 0; --blockCount, blocks += Sha256Hasher::blockSize) {
        compressBlock(vectors, blocks);
    }
    join(vectors, state);
}

}  // namespace kvinternal::sha256
