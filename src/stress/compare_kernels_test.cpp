#include "stress/compare_kernels.h"

#include <gtest/gtest.h>

#include <vector>

namespace forgeval {
namespace {

constexpr KernelLevel kLevels[] = {KernelLevel::kPortable, KernelLevel::kAvx2,
                                   KernelLevel::kAvx512};

class CompareKernelsTest : public ::testing::TestWithParam<KernelLevel> {
 protected:
  void SetUp() override {
    if (!KernelLevelSupported(GetParam())) {
      GTEST_SKIP() << "this processor or system cannot run " << KernelsFor(GetParam()).name
                   << " vectors";
    }
    kernels_ = &KernelsFor(GetParam());
  }
  const CompareKernels* kernels_ = nullptr;
};

// Sizes around every vector and step width, and the two cache buffers.
const size_t kSizes[] = {0,   1,   7,   8,   31,  32,  33,   63,    64,    65,
                         127, 128, 129, 255, 256, 257, 1000, 91750, 734003};

TEST_P(CompareKernelsTest, FindsTheFirstBadByteAndNothingOutsideTheRange) {
  for (size_t size : kSizes) {
    for (uint8_t value : {uint8_t{0}, uint8_t{0xA5}, uint8_t{0xFF}}) {
      // One guard byte of another value on each side, and a start one byte past alignment.
      std::vector<uint8_t> buffer(size + 66, static_cast<uint8_t>(~value));
      uint8_t* data = buffer.data() + 65;
      std::fill(data, data + size, value);
      SCOPED_TRACE(::testing::Message() << "size " << size << " value " << int{value});
      EXPECT_EQ(kernels_->find_byte_mismatch(data, size, value), nullptr);
      for (size_t at : {size_t{0}, size / 3, size / 2 + 1, size - 1}) {
        if (at >= size) continue;
        for (int bit : {0, 7}) {
          data[at] = static_cast<uint8_t>(value ^ (1u << bit));
          if (at + 1 < size) data[size - 1] ^= 0x10;  // a later bad byte is not the one reported
          EXPECT_EQ(kernels_->find_byte_mismatch(data, size, value), data + at) << "at " << at;
          std::fill(data, data + size, value);
        }
      }
    }
  }
}

TEST_P(CompareKernelsTest, BusPassesFollowTheWordValues) {
  for (size_t count : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{15}, size_t{16},
                       size_t{31}, size_t{32}, size_t{33}, size_t{100}, size_t{512000}}) {
    SCOPED_TRACE(::testing::Message() << "count " << count);
    std::vector<uint64_t> buffer(count + 2, 0x5555);
    uint64_t* words = buffer.data() + 1;
    kernels_->write_index_words(words, count);
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(words[i], i + 1) << i;
    EXPECT_EQ(buffer.front(), 0x5555u);
    EXPECT_EQ(buffer.back(), 0x5555u);
    EXPECT_EQ(kernels_->check_and_complement(words, count), nullptr);
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(words[i], ~(i + 1)) << i;
    EXPECT_EQ(kernels_->find_complement_mismatch(words, count), nullptr);
    EXPECT_EQ(buffer.front(), 0x5555u);
    EXPECT_EQ(buffer.back(), 0x5555u);
  }
}

TEST_P(CompareKernelsTest, BusPassesStopAtTheFirstBadWord) {
  const size_t count = 1000;
  std::vector<uint64_t> words(count);
  for (size_t at : {size_t{0}, size_t{9}, size_t{33}, size_t{500}, size_t{998}, count - 1}) {
    SCOPED_TRACE(::testing::Message() << "at " << at);
    kernels_->write_index_words(words.data(), count);
    words[at] ^= uint64_t{1} << 40;
    if (at + 5 < count) words[at + 5] = 0;  // a later bad word must not be the one reported
    EXPECT_EQ(kernels_->check_and_complement(words.data(), count), words.data() + at);
    // Checked words have their complements; the bad word and the rest are left as they were.
    for (size_t i = 0; i < at; ++i) ASSERT_EQ(words[i], ~(i + 1)) << i;
    EXPECT_EQ(words[at], (at + 1) ^ (uint64_t{1} << 40));
    for (size_t i = at + 1; i < count; ++i) {
      if (i != at + 5) {
        ASSERT_EQ(words[i], i + 1) << i;
      }
    }

    kernels_->write_index_words(words.data(), count);
    ASSERT_EQ(kernels_->check_and_complement(words.data(), count), nullptr);
    words[at] = at + 1;  // holds i + 1, not its complement
    EXPECT_EQ(kernels_->find_complement_mismatch(words.data(), count), words.data() + at);
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, CompareKernelsTest, ::testing::ValuesIn(kLevels),
                         [](const ::testing::TestParamInfo<KernelLevel>& param) {
                           std::string name = KernelsFor(param.param).name;
                           std::erase(name, '-');
                           return name;
                         });

TEST(CompareKernelsChoiceTest, BestIsTheWidestSupportedLevel) {
  const KernelLevel best = BestKernels().level;
  EXPECT_TRUE(KernelLevelSupported(best));
  if (KernelLevelSupported(KernelLevel::kAvx512)) {
    EXPECT_EQ(best, KernelLevel::kAvx512);
  } else if (KernelLevelSupported(KernelLevel::kAvx2)) {
    EXPECT_EQ(best, KernelLevel::kAvx2);
  }
}

}  // namespace
}  // namespace forgeval
