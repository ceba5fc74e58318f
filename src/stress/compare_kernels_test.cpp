#include "stress/compare_kernels.h"

#include <gtest/gtest.h>

#include <vector>

namespace forgeval {
namespace {

class CompareKernelsTest : public ::testing::TestWithParam<KernelLevel> {};

// A bad byte or word at every offset up to past two AVX-512 steps: a vector read from the wrong
// place, a short tail, a read or write outside or a complement too many shows.
TEST_P(CompareKernelsTest, ReportsExactlyTheFirstBadByteOrWordAtEveryOffset) {
  const CompareKernels& kernels = KernelsFor(GetParam());
  if (!KernelLevelSupported(GetParam())) GTEST_SKIP() << "this machine lacks " << kernels.name;
  ASSERT_EQ(kernels.level, GetParam());
  EXPECT_GE(BestKernels().level, GetParam()) << "the checks run the widest level supported";
  for (size_t size = 0; size <= 600; ++size) {
    const auto value = static_cast<uint8_t>(size * 37);
    // Margins of the fill value or, every other size, another one; off vector alignment.
    std::vector<uint8_t> buffer(size + 514, static_cast<uint8_t>(size % 2 ? value : ~value));
    uint8_t* data = buffer.data() + 257;
    for (size_t at = 0; at <= size; ++at) {  // at == size: no bad byte
      kernels.fill_bytes(data, size, value);
      if (at < size) data[at] ^= static_cast<uint8_t>(1u << (at % 8));
      if (at + 1 < size) data[size - 1] ^= 0x81;
      ASSERT_EQ(kernels.find_byte_mismatch(data, size, value), at < size ? data + at : nullptr)
          << "size " << size << ", bad byte " << at;
    }
  }
  // The streaming fill from every start within a vector, of lengths no multiple of one: exactly
  // the range, head and tail included.
  alignas(64) static uint8_t area[64 + 700 + 64];
  for (size_t start = 0; start < 64; ++start) {
    for (size_t size : {0ul, 1ul, 15ul, 63ul, 64ul, 65ul, 130ul, 637ul}) {
      std::fill(std::begin(area), std::end(area), 0xEE);
      kernels.fill_bytes(area + 64 + start, size, 0x3C);
      for (size_t i = 0; i < sizeof area; ++i) {
        ASSERT_EQ(area[i], i >= 64 + start && i < 64 + start + size ? 0x3C : 0xEE)
            << "start " << start << ", size " << size << ", byte " << i;
      }
    }
  }
  for (size_t count = 0; count <= 100; ++count) {
    std::vector<uint64_t> buffer(count + 2, 0x5555);
    uint64_t* words = buffer.data() + 1;
    for (size_t at = 0; at <= count; ++at) {
      SCOPED_TRACE(::testing::Message() << "count " << count << ", bad word " << at);
      const uint64_t flip = uint64_t{1} << (at % 64);
      const auto plant = [&] {
        if (at < count) words[at] ^= flip;
        if (at + 1 < count) words[count - 1] = 0;
      };
      kernels.write_index_words(words, count);
      plant();
      ASSERT_EQ(kernels.check_and_complement(words, count), at < count ? words + at : nullptr);
      for (size_t i = 0; i < count - (at + 1 < count); ++i) {
        ASSERT_EQ(words[i], i < at ? ~(i + 1) : (i + 1) ^ (i == at ? flip : 0)) << i;
      }
      for (size_t i = 0; i < count; ++i) words[i] = ~(i + 1);
      plant();
      ASSERT_EQ(kernels.find_complement_mismatch(words, count), at < count ? words + at : nullptr);
      ASSERT_EQ(buffer.front(), 0x5555u);
      ASSERT_EQ(buffer.back(), 0x5555u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, CompareKernelsTest,
                         ::testing::Values(KernelLevel::kPortable, KernelLevel::kAvx2,
                                           KernelLevel::kAvx512));

}  // namespace
}  // namespace forgeval
