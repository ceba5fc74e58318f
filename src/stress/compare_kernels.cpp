// Each kernel runs a wide loop that reads several vectors per step and only tests whether any
// of them differs; at the first step that differs it leaves the wide loop, and a narrower loop
// from that step on finds the exact byte or word. The ends of a range that do not fill a whole
// vector are read with masked loads (AVX-512) or one word or byte at a time, so nothing outside
// the range is touched. Loads are unaligned loads: on the page-aligned test blocks they run at
// the speed of aligned ones, and the unit tests may pass any address.
//
// The check-and-complement pass must not complement a word before it has been checked, so its
// wide loop checks a whole step and only then stores the complements of that step.
//
// Streaming vector stores need an address aligned to the vector's width (a misaligned one
// faults), so the wide store loops start at the first aligned element; the words before it and
// after the last whole vector are streamed one at a time (movnti), the bytes stored plainly.
// Every kernel that stores ends with a store fence, so its streaming stores have reached the
// memory system before the read-back.
#include "stress/compare_kernels.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>

namespace forgeval {
namespace {

// --- Scalar loops: the portable kernels' ends, and what the wide kernels finish with. ---

// The elements of `element` bytes before the first address of `data` aligned to `align`
// bytes, at most `count`: all of them when no element is aligned.
size_t HeadBefore(const void* data, size_t element, size_t align, size_t count) {
  const auto address = reinterpret_cast<uintptr_t>(data);
  if (address % element != 0) return count;
  return std::min(count, (align - address % align) % align / element);
}

void StreamWord(uint64_t* at, uint64_t value) {
  _mm_stream_si64(reinterpret_cast<long long*>(at), static_cast<long long>(value));
}

const uint8_t* FindByteMismatchFrom(const uint8_t* data, size_t at, size_t size, uint8_t value) {
  for (; at < size; ++at) {
    if (data[at] != value) return data + at;
  }
  return nullptr;
}

void WriteIndexWordsFrom(uint64_t* words, size_t i, size_t count) {
  for (; i < count; ++i) StreamWord(words + i, i + 1);
}

const uint64_t* CheckAndComplementFrom(uint64_t* words, size_t i, size_t count) {
  for (; i < count; ++i) {
    if (words[i] != i + 1) return words + i;
    StreamWord(words + i, ~(i + 1));
  }
  return nullptr;
}

// The plain stores of a streaming fill: the bytes before the first address aligned to `width`
// (returns where the wide loop starts) and, with FillTail, the bytes after the last whole vector.
size_t FillHead(uint8_t* data, size_t size, uint8_t value, size_t width) {
  const size_t head = HeadBefore(data, 1, width, size);
  memset(data, value, head);
  return head;
}

void FillTail(uint8_t* data, size_t at, size_t size, uint8_t value) {
  memset(data + at, value, size - at);
}

const uint64_t* FindComplementMismatchFrom(const uint64_t* words, size_t i, size_t count) {
  for (; i < count; ++i) {
    if (words[i] != ~(i + 1)) return words + i;
  }
  return nullptr;
}

// --- Portable: 64-bit words, four per step. ---

uint64_t LoadWord(const uint8_t* at) {
  uint64_t word;
  memcpy(&word, at, sizeof word);
  return word;
}

const uint8_t* FindByteMismatchPortable(const uint8_t* data, size_t size, uint8_t value) {
  const uint64_t pattern = uint64_t{0x0101010101010101} * value;
  size_t at = 0;
  for (; at + 32 <= size; at += 32) {
    const uint64_t diff = (LoadWord(data + at) ^ pattern) | (LoadWord(data + at + 8) ^ pattern) |
                          (LoadWord(data + at + 16) ^ pattern) |
                          (LoadWord(data + at + 24) ^ pattern);
    if (diff != 0) break;
  }
  return FindByteMismatchFrom(data, at, size, value);
}

// SSE2 is part of every x86-64 processor: the portable fill streams 16 bytes at a time.
void FillBytesPortable(uint8_t* data, size_t size, uint8_t value) {
  const __m128i fill = _mm_set1_epi8(static_cast<char>(value));
  size_t at = FillHead(data, size, value, 16);
  for (; at + 16 <= size; at += 16) _mm_stream_si128(reinterpret_cast<__m128i*>(data + at), fill);
  FillTail(data, at, size, value);
  _mm_sfence();
}

void WriteIndexWordsPortable(uint64_t* words, size_t count) {
  WriteIndexWordsFrom(words, 0, count);
  _mm_sfence();
}

const uint64_t* CheckAndComplementPortable(uint64_t* words, size_t count) {
  const uint64_t* bad = CheckAndComplementFrom(words, 0, count);
  _mm_sfence();
  return bad;
}

const uint64_t* FindComplementMismatchPortable(const uint64_t* words, size_t count) {
  return FindComplementMismatchFrom(words, 0, count);
}

// --- AVX2: 32-byte vectors, four per step. ---

#define FORGEVAL_AVX2 __attribute__((target("avx2")))

FORGEVAL_AVX2 __m256i Load256(const void* at) {
  return _mm256_loadu_si256(static_cast<const __m256i*>(at));
}

// A streaming store; `at` is aligned to 32 bytes.
FORGEVAL_AVX2 void Stream256(void* at, __m256i value) {
  _mm256_stream_si256(static_cast<__m256i*>(at), value);
}

FORGEVAL_AVX2 void FillBytesAvx2(uint8_t* data, size_t size, uint8_t value) {
  const __m256i fill = _mm256_set1_epi8(static_cast<char>(value));
  size_t at = FillHead(data, size, value, 32);
  for (; at + 32 <= size; at += 32) Stream256(data + at, fill);
  FillTail(data, at, size, value);
  _mm_sfence();
}

// The index values i + 1 .. i + 4.
FORGEVAL_AVX2 __m256i IndexValues256(size_t i) {
  const auto first = static_cast<long long>(i + 1);
  return _mm256_set_epi64x(first + 3, first + 2, first + 1, first);
}

FORGEVAL_AVX2 const uint8_t* FindByteMismatchAvx2(const uint8_t* data, size_t size, uint8_t value) {
  const __m256i expected = _mm256_set1_epi8(static_cast<char>(value));
  size_t at = 0;
  for (; at + 128 <= size; at += 128) {
    const __m256i diff =
        _mm256_or_si256(_mm256_or_si256(_mm256_xor_si256(Load256(data + at), expected),
                                        _mm256_xor_si256(Load256(data + at + 32), expected)),
                        _mm256_or_si256(_mm256_xor_si256(Load256(data + at + 64), expected),
                                        _mm256_xor_si256(Load256(data + at + 96), expected)));
    if (!_mm256_testz_si256(diff, diff)) break;
  }
  for (; at + 32 <= size; at += 32) {
    const auto equal = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(Load256(data + at), expected)));
    if (equal != 0xFFFFFFFFu) return data + at + __builtin_ctz(~equal);
  }
  return FindByteMismatchFrom(data, at, size, value);
}

FORGEVAL_AVX2 void WriteIndexWordsAvx2(uint64_t* words, size_t count) {
  size_t i = HeadBefore(words, 8, 32, count);
  WriteIndexWordsFrom(words, 0, i);
  __m256i next = IndexValues256(i);
  const __m256i step = _mm256_set1_epi64x(4);
  for (; i + 4 <= count; i += 4) {
    Stream256(words + i, next);
    next = _mm256_add_epi64(next, step);
  }
  WriteIndexWordsFrom(words, i, count);
  _mm_sfence();
}

// The words i .. i + 15 against the values in `first` (i + 1 .. i + 4) and its three successors.
FORGEVAL_AVX2 bool StepDiffersAvx2(const uint64_t* words, __m256i first, __m256i flip) {
  const __m256i four = _mm256_set1_epi64x(4);
  const __m256i second = _mm256_add_epi64(first, four);
  const __m256i third = _mm256_add_epi64(second, four);
  const __m256i fourth = _mm256_add_epi64(third, four);
  const __m256i diff = _mm256_or_si256(
      _mm256_or_si256(_mm256_xor_si256(Load256(words), _mm256_xor_si256(first, flip)),
                      _mm256_xor_si256(Load256(words + 4), _mm256_xor_si256(second, flip))),
      _mm256_or_si256(_mm256_xor_si256(Load256(words + 8), _mm256_xor_si256(third, flip)),
                      _mm256_xor_si256(Load256(words + 12), _mm256_xor_si256(fourth, flip))));
  return !_mm256_testz_si256(diff, diff);
}

FORGEVAL_AVX2 const uint64_t* CheckAndComplementAvx2(uint64_t* words, size_t count) {
  const __m256i ones = _mm256_set1_epi64x(-1);
  const __m256i four = _mm256_set1_epi64x(4);
  const __m256i sixteen = _mm256_set1_epi64x(16);
  size_t i = HeadBefore(words, 8, 32, count);
  const uint64_t* bad = CheckAndComplementFrom(words, 0, i);
  __m256i first = IndexValues256(i);
  for (; bad == nullptr && i + 16 <= count; i += 16) {
    if (StepDiffersAvx2(words + i, first, _mm256_setzero_si256())) break;
    __m256i value = first;
    for (size_t part = 0; part < 16; part += 4) {
      Stream256(words + i + part, _mm256_xor_si256(value, ones));
      value = _mm256_add_epi64(value, four);
    }
    first = _mm256_add_epi64(first, sixteen);
  }
  if (bad == nullptr) bad = CheckAndComplementFrom(words, i, count);
  _mm_sfence();
  return bad;
}

FORGEVAL_AVX2 const uint64_t* FindComplementMismatchAvx2(const uint64_t* words, size_t count) {
  const __m256i ones = _mm256_set1_epi64x(-1);
  const __m256i sixteen = _mm256_set1_epi64x(16);
  __m256i first = IndexValues256(0);
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    if (StepDiffersAvx2(words + i, first, ones)) break;
    first = _mm256_add_epi64(first, sixteen);
  }
  return FindComplementMismatchFrom(words, i, count);
}

// --- AVX-512: 64-byte vectors, four per step; masked loads for the last partial vector. ---

#define FORGEVAL_AVX512 __attribute__((target("avx512f,avx512bw")))

FORGEVAL_AVX512 __m512i Load512(const void* at) { return _mm512_loadu_si512(at); }

// A streaming store; `at` is aligned to 64 bytes.
FORGEVAL_AVX512 void Stream512(void* at, __m512i value) {
  _mm512_stream_si512(static_cast<__m512i*>(at), value);
}

FORGEVAL_AVX512 void FillBytesAvx512(uint8_t* data, size_t size, uint8_t value) {
  const __m512i fill = _mm512_set1_epi8(static_cast<char>(value));
  size_t at = FillHead(data, size, value, 64);
  for (; at + 64 <= size; at += 64) Stream512(data + at, fill);
  FillTail(data, at, size, value);
  _mm_sfence();
}

// The index values i + 1 .. i + 8.
FORGEVAL_AVX512 __m512i IndexValues512(size_t i) {
  const auto first = static_cast<long long>(i + 1);
  return _mm512_add_epi64(_mm512_set1_epi64(first), _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0));
}

FORGEVAL_AVX512 const uint8_t* FindByteMismatchAvx512(const uint8_t* data, size_t size,
                                                      uint8_t value) {
  const __m512i expected = _mm512_set1_epi8(static_cast<char>(value));
  size_t at = 0;
  for (; at + 256 <= size; at += 256) {
    const __m512i diff =
        _mm512_or_si512(_mm512_or_si512(_mm512_xor_si512(Load512(data + at), expected),
                                        _mm512_xor_si512(Load512(data + at + 64), expected)),
                        _mm512_or_si512(_mm512_xor_si512(Load512(data + at + 128), expected),
                                        _mm512_xor_si512(Load512(data + at + 192), expected)));
    if (_mm512_test_epi64_mask(diff, diff) != 0) break;
  }
  for (; at + 64 <= size; at += 64) {
    const uint64_t differ = _mm512_cmpneq_epi8_mask(Load512(data + at), expected);
    if (differ != 0) return data + at + __builtin_ctzll(differ);
  }
  if (at < size) {
    const __mmask64 live = (uint64_t{1} << (size - at)) - 1;
    const __m512i tail = _mm512_maskz_loadu_epi8(live, data + at);
    const uint64_t differ = _mm512_mask_cmpneq_epi8_mask(live, tail, expected);
    if (differ != 0) return data + at + __builtin_ctzll(differ);
  }
  return nullptr;
}

FORGEVAL_AVX512 void WriteIndexWordsAvx512(uint64_t* words, size_t count) {
  size_t i = HeadBefore(words, 8, 64, count);
  WriteIndexWordsFrom(words, 0, i);
  __m512i next = IndexValues512(i);
  const __m512i step = _mm512_set1_epi64(8);
  for (; i + 8 <= count; i += 8) {
    Stream512(words + i, next);
    next = _mm512_add_epi64(next, step);
  }
  WriteIndexWordsFrom(words, i, count);
  _mm_sfence();
}

// The words i .. i + 31 against the values in `first` (i + 1 .. i + 8) and its three successors,
// each exclusive-ored with `flip`.
FORGEVAL_AVX512 bool StepDiffersAvx512(const uint64_t* words, __m512i first, __m512i flip) {
  const __m512i eight = _mm512_set1_epi64(8);
  const __m512i second = _mm512_add_epi64(first, eight);
  const __m512i third = _mm512_add_epi64(second, eight);
  const __m512i fourth = _mm512_add_epi64(third, eight);
  const __m512i diff = _mm512_or_si512(
      _mm512_or_si512(_mm512_xor_si512(Load512(words), _mm512_xor_si512(first, flip)),
                      _mm512_xor_si512(Load512(words + 8), _mm512_xor_si512(second, flip))),
      _mm512_or_si512(_mm512_xor_si512(Load512(words + 16), _mm512_xor_si512(third, flip)),
                      _mm512_xor_si512(Load512(words + 24), _mm512_xor_si512(fourth, flip))));
  return _mm512_test_epi64_mask(diff, diff) != 0;
}

FORGEVAL_AVX512 const uint64_t* CheckAndComplementAvx512(uint64_t* words, size_t count) {
  const __m512i ones = _mm512_set1_epi64(-1);
  const __m512i eight = _mm512_set1_epi64(8);
  const __m512i thirty_two = _mm512_set1_epi64(32);
  size_t i = HeadBefore(words, 8, 64, count);
  const uint64_t* bad = CheckAndComplementFrom(words, 0, i);
  __m512i first = IndexValues512(i);
  for (; bad == nullptr && i + 32 <= count; i += 32) {
    if (StepDiffersAvx512(words + i, first, _mm512_setzero_si512())) break;
    __m512i value = first;
    for (size_t part = 0; part < 32; part += 8) {
      Stream512(words + i + part, _mm512_xor_si512(value, ones));
      value = _mm512_add_epi64(value, eight);
    }
    first = _mm512_add_epi64(first, thirty_two);
  }
  if (bad == nullptr) bad = CheckAndComplementFrom(words, i, count);
  _mm_sfence();
  return bad;
}

FORGEVAL_AVX512 const uint64_t* FindComplementMismatchAvx512(const uint64_t* words, size_t count) {
  const __m512i ones = _mm512_set1_epi64(-1);
  const __m512i thirty_two = _mm512_set1_epi64(32);
  __m512i first = IndexValues512(0);
  size_t i = 0;
  for (; i + 32 <= count; i += 32) {
    if (StepDiffersAvx512(words + i, first, ones)) break;
    first = _mm512_add_epi64(first, thirty_two);
  }
  return FindComplementMismatchFrom(words, i, count);
}

constexpr CompareKernels kPortable = {KernelLevel::kPortable,         "portable",
                                      &FindByteMismatchPortable,      &FillBytesPortable,
                                      &WriteIndexWordsPortable,       &CheckAndComplementPortable,
                                      &FindComplementMismatchPortable};
constexpr CompareKernels kAvx2 = {KernelLevel::kAvx2,         "AVX2",
                                  &FindByteMismatchAvx2,      &FillBytesAvx2,
                                  &WriteIndexWordsAvx2,       &CheckAndComplementAvx2,
                                  &FindComplementMismatchAvx2};
constexpr CompareKernels kAvx512 = {KernelLevel::kAvx512,         "AVX-512",
                                    &FindByteMismatchAvx512,      &FillBytesAvx512,
                                    &WriteIndexWordsAvx512,       &CheckAndComplementAvx512,
                                    &FindComplementMismatchAvx512};

}  // namespace

bool KernelLevelSupported(KernelLevel level) {
  // Also checks that the system saves the vector registers (XGETBV), not only the processor.
  __builtin_cpu_init();
  switch (level) {
    case KernelLevel::kPortable:
      return true;
    case KernelLevel::kAvx2:
      return __builtin_cpu_supports("avx2");
    case KernelLevel::kAvx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  }
  return false;
}

const CompareKernels& KernelsFor(KernelLevel level) {
  switch (level) {
    case KernelLevel::kAvx2:
      return kAvx2;
    case KernelLevel::kAvx512:
      return kAvx512;
    case KernelLevel::kPortable:
      break;
  }
  return kPortable;
}

const CompareKernels& BestKernels() {
  static const CompareKernels& best = []() -> const CompareKernels& {
    for (KernelLevel level : {KernelLevel::kAvx512, KernelLevel::kAvx2}) {
      if (KernelLevelSupported(level)) return KernelsFor(level);
    }
    return kPortable;
  }();
  return best;
}

}  // namespace forgeval
