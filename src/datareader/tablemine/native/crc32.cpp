// zlib's CRC-32 is a tenth of inflating a member; with the processor's
// carry-less multiply (x86-64's PCLMULQDQ) the bulk of the bytes is folded
// 64 at a time, and zlib finishes the last few.  Elsewhere zlib does it all.
// The bench row "Training sheet CPU / inflate alone" counts it.
//
// The arithmetic.  Bytes are bits of a polynomial over GF(2), the first bit
// of a member the highest power; the CRC is the remainder of that
// polynomial times x^32 modulo P (0x04C11DB7 and x^32), with zlib's
// inversions before and after.  The remainder depends on the polynomial
// modulo P only, so a 128-bit block A followed by D more bits can be
// replaced by A x^D mod P: with A = A_hi x^64 + A_lo, that is
// A_hi (x^(D+64) mod P) + A_lo (x^D mod P), two products of 64 by 32 bits.
// zlib's CRC is bit-reflected (the first bit is bit 0), and the carry-less
// product of two reflected values is the reflected product times x: so the
// constants are x^(D+63) mod P and x^(D-1) mod P, reflected in 64 bits.
// What is left after the folds (16 bytes with the same remainder as all
// the bytes folded into them) goes through zlib with the unfolded tail.
#include "datareader/tablemine/native/crc32.hpp"

#include <zlib.h>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MINE_CRC32_CLMUL 1
#include <immintrin.h>
#endif

namespace mine::native {
namespace {

std::uint32_t zlib_crc32(std::uint32_t crc, const unsigned char *data, std::size_t size) {
    // zlib takes an unsigned int length: long sizes in steps
    while (size > 0) {
        auto step = static_cast<uInt>(size < (1u << 30) ? size : (1u << 30));
        crc = static_cast<std::uint32_t>(::crc32(crc, data, step));
        data += step;
        size -= step;
    }
    return crc;
}

#ifdef MINE_CRC32_CLMUL

// x^n mod P, P = x^32 + 0x04C11DB7 (bit k the coefficient of x^k).
constexpr std::uint64_t power_mod_p(unsigned n) {
    std::uint64_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if (r >> 32) r ^= (std::uint64_t(1) << 32) | 0x04C11DB7u;
    }
    return r;
}

// A polynomial of degree below 64, bit-reflected in 64 bits.
constexpr std::uint64_t reflect64(std::uint64_t v) {
    std::uint64_t r = 0;
    for (int i = 0; i < 64; ++i) r |= ((v >> i) & 1u) << (63 - i);
    return r;
}

// The constants that fold a block over D more bits.
struct Fold {
    std::uint64_t high, low;
};
constexpr Fold fold_over(unsigned bits) {
    return {reflect64(power_mod_p(bits + 63)), reflect64(power_mod_p(bits - 1))};
}
constexpr Fold kOver512 = fold_over(512), kOver128 = fold_over(128);

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i block, __m128i k, __m128i next) {
    __m128i high = _mm_clmulepi64_si128(block, k, 0x00);  // block's first 64 bits
    __m128i low = _mm_clmulepi64_si128(block, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

__attribute__((target("pclmul,sse2"))) std::uint32_t
clmul_crc32(std::uint32_t crc, const unsigned char *p, std::size_t size) {
    auto load = [](const unsigned char *at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
    };
    const __m128i k512 =
        _mm_set_epi64x(static_cast<long long>(kOver512.low), static_cast<long long>(kOver512.high));
    const __m128i k128 =
        _mm_set_epi64x(static_cast<long long>(kOver128.low), static_cast<long long>(kOver128.high));
    // zlib's register starts inverted; as the register it is the first 32
    // bits of the bytes
    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(~crc)));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    p += 64;
    size -= 64;
    for (; size >= 64; p += 64, size -= 64) {
        x0 = fold(x0, k512, load(p));
        x1 = fold(x1, k512, load(p + 16));
        x2 = fold(x2, k512, load(p + 32));
        x3 = fold(x3, k512, load(p + 48));
    }
    __m128i x = fold(fold(fold(x0, k128, x1), k128, x2), k128, x3);
    for (; size >= 16; p += 16, size -= 16) x = fold(x, k128, load(p));
    alignas(16) unsigned char rest[16];
    _mm_store_si128(reinterpret_cast<__m128i *>(rest), x);
    // the remainder of those 16 bytes from a register of 0, then the tail
    std::uint32_t folded = zlib_crc32(0xFFFFFFFFu, rest, sizeof rest);
    return zlib_crc32(folded, p, size);
}

bool has_clmul() {
    static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    return has;
}

#endif

}  // namespace

std::uint32_t crc32(std::uint32_t crc, const unsigned char *data, std::size_t size) {
#ifdef MINE_CRC32_CLMUL
    if (size >= 256 && has_clmul()) return clmul_crc32(crc, data, size);
#endif
    return zlib_crc32(crc, data, size);
}

}  // namespace mine::native
