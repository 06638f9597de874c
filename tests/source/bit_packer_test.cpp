#include "source/bit_packer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// Bits as a string of '0' and '1', the bytes' most significant bit first.
std::string bitsOf(const std::vector<uint8_t>& bytes, size_t count) {
  std::string bits;
  for (size_t k = 0; k < count; ++k) bits += (bytes[k / 8] >> (7 - k % 8)) & 1 ? '1' : '0';
  return bits;
}

}  // namespace

// Runs of every width put after one another from every bit of a byte, and
// copies of every length from every bit of data (some running past its
// end, which reads as zeros): the bytes hold the bits in order, and the
// last byte's unused bits are zero.
TEST(BitPacker, PacksPutsAndCopiesFromAnyBitAtAnyBit) {
  const std::vector<uint8_t> data = {0xA5, 0x3C, 0xFF, 0x00, 0x81, 0x7E, 0x96, 0x69, 0x0F, 0xF0, 0xC3};
  const std::string dataBits = bitsOf(data, data.size() * 8) + std::string(256, '0');
  uint32_t seed = 7;
  const auto random = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  for (uint32_t lead = 0; lead < 8; ++lead) {
    for (int round = 0; round < 200; ++round) {
      std::vector<uint8_t> out;
      BitPacker packer(&out);
      std::string expected;
      packer.put(lead, (1u << lead) - 1);  // all ones: the packer is off its byte boundary
      expected += std::string(lead, '1');
      for (int step = 0; step < 6; ++step) {
        if (random(2) == 0) {
          const uint32_t n = random(33);
          const uint32_t value = n == 0 ? 0 : (n == 32 ? seed * 2654435761u : (seed * 2654435761u) >> (32 - n));
          packer.put(n, value);
          for (uint32_t i = n; i-- > 0;) expected += (value >> i) & 1 ? '1' : '0';
        } else {
          const size_t from = random(static_cast<uint32_t>(data.size() * 8 + 8));
          const size_t to = from + random(90);
          packer.copy(data.data(), data.size(), from, to);
          expected += dataBits.substr(from, to - from);
        }
      }
      ASSERT_EQ(packer.bits(), expected.size());
      ASSERT_EQ(out.size(), (expected.size() + 7) / 8);
      ASSERT_EQ(bitsOf(out, expected.size()), expected) << "lead " << lead << ", round " << round;
      ASSERT_EQ(bitsOf(out, out.size() * 8).substr(expected.size()), std::string(out.size() * 8 - expected.size(), '0'));
    }
  }
}
