#include "container/sector_edc.h"

#include <array>

#include "container/cd_sector_format.h"
#include "source/byte_source.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ORVANTE_CARRY_LESS_MULTIPLY 1
#endif

namespace {

// The code's tables for eight bytes a step: table k gives the code of a
// byte followed by k zero bytes.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

Tables buildTables() {
  Tables t;
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ ((c & 1) != 0 ? kEdcPolynomial : 0);
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i) {
    for (size_t k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}

const Tables& tables() {
  static const Tables kTables = buildTables();
  return kTables;
}

#if defined(ORVANTE_CARRY_LESS_MULTIPLY)
// Folding sixteen bytes at a time multiplies by powers of x modulo the
// polynomial; the powers, and the quotient that reduces the last 64 bits to
// 32, follow from the polynomial (here with its x^32 term) alone. Bits are
// taken least significant first, so each is reflected; the powers are
// shifted up one as the reflected product comes out one bit short.
constexpr uint64_t reflect(uint64_t value, int bits) {
  uint64_t reflected = 0;
  for (int i = 0; i < bits; ++i) {
    if ((value >> i) & 1) reflected |= uint64_t{1} << (bits - 1 - i);
  }
  return reflected;
}
// The tables' polynomial, its bits in order, with its x^32 term.
constexpr uint64_t kPolynomial = (uint64_t{1} << 32) | reflect(kEdcPolynomial, 32);

// x^n modulo the polynomial, reflected and shifted up one.
constexpr uint64_t power(int n) {
  uint64_t r = 1;
  for (int i = 0; i < n; ++i) {
    r <<= 1;
    if ((r >> 32) & 1) r ^= kPolynomial;
  }
  return reflect(r, 32) << 1;
}

// x^64 divided by the polynomial, reflected.
constexpr uint64_t quotient() {
  uint64_t remainder[2] = {0, 1};  // x^64, as 128 bits
  uint64_t q = 0;
  for (int i = 64; i >= 32; --i) {
    const uint64_t bit = i >= 64 ? (remainder[1] >> (i - 64)) & 1 : (remainder[0] >> i) & 1;
    if (bit == 0) continue;
    q |= uint64_t{1} << (i - 32);
    const int shift = i - 32;
    remainder[0] ^= kPolynomial << shift;
    if (shift > 31) remainder[1] ^= kPolynomial >> (64 - shift);
  }
  return reflect(q, 33);
}

struct FoldConstants {
  uint64_t by4[2];  // x^(4*128+32), x^(4*128-32): four blocks of 16 bytes ahead
  uint64_t by1[2];  // x^(128+32), x^(128-32): one block ahead
  uint64_t to32;    // x^64: from 64 bits to 32
  uint64_t polynomial;
  uint64_t quotient;
};
constexpr FoldConstants kFold = {{power(4 * 128 + 32), power(4 * 128 - 32)},
                                 {power(128 + 32), power(128 - 32)},
                                 power(64),
                                 reflect(kPolynomial, 33),
                                 quotient()};

// Sixteen bytes from anywhere. A function of its own, not a lambda: a
// lambda is compiled for the base instruction set, which on 32-bit x86
// lacks SSE2.
__attribute__((target("pclmul,sse4.1"))) inline __m128i load(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// REQUIRES: length a multiple of 16, at least 64.
__attribute__((target("pclmul,sse4.1"))) uint32_t foldedCode(const uint8_t* p, size_t length, uint32_t code) {
  const __m128i by4 = _mm_set_epi64x(static_cast<long long>(kFold.by4[1]), static_cast<long long>(kFold.by4[0]));
  const __m128i by1 = _mm_set_epi64x(static_cast<long long>(kFold.by1[1]), static_cast<long long>(kFold.by1[0]));
  const __m128i to32 = _mm_set_epi64x(0, static_cast<long long>(kFold.to32));
  const __m128i reduce =
      _mm_set_epi64x(static_cast<long long>(kFold.quotient), static_cast<long long>(kFold.polynomial));
  const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
  __m128i x[4] = {_mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(code))), load(p + 16), load(p + 32),
                  load(p + 48)};
  p += 64;
  length -= 64;
  for (; length >= 64; p += 64, length -= 64) {
    ByteSource::fetchAhead(p);  // the codes of the hour-long image: a third less time
    for (int k = 0; k < 4; ++k) {
      const __m128i low = _mm_clmulepi64_si128(x[k], by4, 0x00);
      const __m128i high = _mm_clmulepi64_si128(x[k], by4, 0x11);
      x[k] = _mm_xor_si128(_mm_xor_si128(low, high), load(p + 16 * k));
    }
  }
  __m128i folded = x[0];
  for (int k = 1; k <= 3; ++k) {
    folded = _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(folded, by1, 0x00), _mm_clmulepi64_si128(folded, by1, 0x11)), x[k]);
  }
  for (; length >= 16; p += 16, length -= 16) {
    folded = _mm_xor_si128(
        _mm_xor_si128(_mm_clmulepi64_si128(folded, by1, 0x00), _mm_clmulepi64_si128(folded, by1, 0x11)), load(p));
  }
  // 128 bits to 64, 64 to 32, then the remainder by the quotient.
  folded = _mm_xor_si128(_mm_srli_si128(folded, 8), _mm_clmulepi64_si128(folded, by1, 0x10));
  folded = _mm_xor_si128(_mm_srli_si128(folded, 4), _mm_clmulepi64_si128(_mm_and_si128(folded, low32), to32, 0x00));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(folded, low32), reduce, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), reduce, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(folded, t), 1));
}

bool canFold() {
  static const bool kCan = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return kCan;
}
#endif

}  // namespace

uint32_t SectorEdc::withTables(const uint8_t* data, size_t length, uint32_t code) {
  const Tables& t = tables();
  uint32_t c = code;
  for (; length >= 8; data += 8, length -= 8) {
    const uint32_t low = (uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24) ^ c;
    const uint32_t high = uint32_t{data[4]} | uint32_t{data[5]} << 8 | uint32_t{data[6]} << 16 | uint32_t{data[7]} << 24;
    c = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^ t[3][high & 0xFF] ^
        t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
  }
  for (; length > 0; ++data, --length) c = (c >> 8) ^ t[0][(c ^ *data) & 0xFF];
  return c;
}

uint32_t SectorEdc::of(const uint8_t* data, size_t length, uint32_t code) {
#if defined(ORVANTE_CARRY_LESS_MULTIPLY)
  if (length >= 64 && canFold()) {
    const size_t folded = length & ~size_t{15};
    return withTables(data + folded, length - folded, foldedCode(data, folded, code));
  }
#endif
  return withTables(data, length, code);
}
