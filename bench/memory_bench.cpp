// The memory and cache tests' passes against reference loops over the same page-aligned,
// budgeted block, measured in one run, on one worker and on two at once:
//   - DRAM array check of one block (256 fills, 256 read-backs) against plain AVX2 streaming
//     fills plus a plain AVX2 equality sweep (the target: as fast), against memset plus the
//     same sweep (ordinary stores keep the block in the caches: the test must be slower than
//     that, or it is not reaching the memory), and against a byte-by-byte volatile loop for
//     scale;
//   - address and data bus check of one block against the same three sweeps written as plain
//     AVX2 loops, with streaming and with ordinary stores;
//   - each cache phase (256 fills, 60 read-backs each) against memset plus the plain sweep.
// bench/memory_ratios.py runs these with repetitions and prints the ratios of the medians.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <cstring>

#include "platform/memory_budget.h"
#include "stress/cache.h"
#include "stress/compare_kernels.h"
#include "stress/memory.h"

namespace {

using forgeval::CompilerBarrier;

#define PLAIN_AVX2 __attribute__((target("avx2"), noinline))

// The reference read-back: one 32-byte compare per step, a branch on each.
PLAIN_AVX2 const uint8_t* PlainAvx2Sweep(const uint8_t* data, size_t size, uint8_t value) {
  const __m256i expected = _mm256_set1_epi8(static_cast<char>(value));
  size_t at = 0;
  for (; at + 32 <= size; at += 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at));
    const auto equal =
        static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(bytes, expected)));
    if (equal != 0xFFFFFFFFu) return data + at + __builtin_ctz(~equal);
  }
  for (; at < size; ++at) {
    if (data[at] != value) return data + at;
  }
  return nullptr;
}

// One 32-byte store at an aligned address: streaming (around the caches) or ordinary.
template <bool kStreaming>
PLAIN_AVX2 void Store(void* at, __m256i value) {
  if constexpr (kStreaming) {
    _mm256_stream_si256(static_cast<__m256i*>(at), value);
  } else {
    _mm256_store_si256(static_cast<__m256i*>(at), value);
  }
}

// The fill of a page-aligned block whose size is a multiple of 32.
template <bool kStreaming>
PLAIN_AVX2 void PlainAvx2Fill(uint8_t* data, size_t size, uint8_t value) {
  const __m256i fill = _mm256_set1_epi8(static_cast<char>(value));
  for (size_t at = 0; at + 32 <= size; at += 32) Store<kStreaming>(data + at, fill);
  if (kStreaming) _mm_sfence();
}

template <bool kStreaming>
PLAIN_AVX2 void PlainAvx2Write(uint64_t* words, size_t count) {
  __m256i next = _mm256_set_epi64x(4, 3, 2, 1);
  for (size_t i = 0; i + 4 <= count; i += 4) {
    Store<kStreaming>(words + i, next);
    next = _mm256_add_epi64(next, _mm256_set1_epi64x(4));
  }
  if (kStreaming) _mm_sfence();
}

template <bool kStreaming>
PLAIN_AVX2 const uint64_t* PlainAvx2CheckAndComplement(uint64_t* words, size_t count) {
  __m256i expected = _mm256_set_epi64x(4, 3, 2, 1);
  for (size_t i = 0; i + 4 <= count; i += 4) {
    auto* at = reinterpret_cast<__m256i*>(words + i);
    const __m256i equal = _mm256_cmpeq_epi64(_mm256_loadu_si256(at), expected);
    if (_mm256_movemask_epi8(equal) != -1) return words + i;
    Store<kStreaming>(at, _mm256_xor_si256(expected, _mm256_set1_epi64x(-1)));
    expected = _mm256_add_epi64(expected, _mm256_set1_epi64x(4));
  }
  if (kStreaming) _mm_sfence();
  return nullptr;
}

PLAIN_AVX2 const uint64_t* PlainAvx2ComplementCheck(const uint64_t* words, size_t count) {
  __m256i expected = _mm256_set_epi64x(-5, -4, -3, -2);  // ~4, ~3, ~2, ~1
  for (size_t i = 0; i + 4 <= count; i += 4) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + i));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi64(bytes, expected)) != -1) return words + i;
    expected = _mm256_sub_epi64(expected, _mm256_set1_epi64x(4));
  }
  return nullptr;
}

forgeval::platform::BudgetedBlock Block(size_t size, benchmark::State& state) {
  forgeval::platform::BudgetedBlock block(size);
  if (!block) state.SkipWithError("the memory budget refused the block");
  return block;
}

void SetBytes(benchmark::State& state, size_t bytes_per_iteration) {
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes_per_iteration));
}

// --- DRAM array check of one block ---

void BM_DramArrayCheck(benchmark::State& state) {
  auto block = Block(forgeval::kMemoryBlockBytes, state);
  auto* data = static_cast<uint8_t*>(block.data());
  for (auto _ : state) {
    benchmark::DoNotOptimize(forgeval::CheckDramArray(0, 0, data, forgeval::kMemoryBlockBytes));
  }
  SetBytes(state, 2 * 256 * forgeval::kMemoryBlockBytes);
}
BENCHMARK(BM_DramArrayCheck)->Unit(benchmark::kMillisecond)->Threads(1)->Threads(2)->UseRealTime();

// The argument: 1 for streaming fills, 0 for memset (ordinary stores).
void BM_DramArrayReference(benchmark::State& state) {
  auto block = Block(forgeval::kMemoryBlockBytes, state);
  auto* data = static_cast<uint8_t*>(block.data());
  const bool streaming = state.range(0) != 0;
  for (auto _ : state) {
    for (unsigned value = 0; value <= 255; ++value) {
      if (streaming) {
        PlainAvx2Fill<true>(data, forgeval::kMemoryBlockBytes, static_cast<uint8_t>(value));
      } else {
        memset(data, static_cast<int>(value), forgeval::kMemoryBlockBytes);
      }
      CompilerBarrier(data);
      const uint8_t* bad =
          PlainAvx2Sweep(data, forgeval::kMemoryBlockBytes, static_cast<uint8_t>(value));
      benchmark::DoNotOptimize(bad);
      if (bad != nullptr) break;
    }
  }
  SetBytes(state, 2 * 256 * forgeval::kMemoryBlockBytes);
}
BENCHMARK(BM_DramArrayReference)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

// For scale only: the byte loop a literal reading of the check would compile to.
void BM_DramArrayVolatileByteLoop(benchmark::State& state) {
  auto block = Block(forgeval::kMemoryBlockBytes, state);
  auto* data = static_cast<volatile uint8_t*>(block.data());
  for (auto _ : state) {
    for (unsigned value = 0; value <= 255; ++value) {
      for (size_t at = 0; at < forgeval::kMemoryBlockBytes; ++at)
        data[at] = static_cast<uint8_t>(value);
      for (size_t at = 0; at < forgeval::kMemoryBlockBytes; ++at) {
        if (data[at] != value) state.SkipWithError("mismatch");
      }
    }
  }
  SetBytes(state, 2 * 256 * forgeval::kMemoryBlockBytes);
}
BENCHMARK(BM_DramArrayVolatileByteLoop)->Unit(benchmark::kMillisecond)->Iterations(1);

// --- Address and data bus check of one block ---

void BM_AddressDataBusCheck(benchmark::State& state) {
  auto block = Block(forgeval::kMemoryBlockBytes, state);
  auto* words = static_cast<uint64_t*>(block.data());
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        forgeval::CheckAddressDataBus(0, 0, words, forgeval::kMemoryBlockWords));
  }
  SetBytes(state, 4 * forgeval::kMemoryBlockBytes);
}
BENCHMARK(BM_AddressDataBusCheck)
    ->Unit(benchmark::kMicrosecond)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

template <bool kStreaming>
void BusReference(uint64_t* words) {
  PlainAvx2Write<kStreaming>(words, forgeval::kMemoryBlockWords);
  CompilerBarrier(words);
  benchmark::DoNotOptimize(
      PlainAvx2CheckAndComplement<kStreaming>(words, forgeval::kMemoryBlockWords));
  CompilerBarrier(words);
  benchmark::DoNotOptimize(PlainAvx2ComplementCheck(words, forgeval::kMemoryBlockWords));
}

// The argument: 1 for streaming stores, 0 for ordinary stores.
void BM_AddressDataBusReference(benchmark::State& state) {
  auto block = Block(forgeval::kMemoryBlockBytes, state);
  auto* words = static_cast<uint64_t*>(block.data());
  const bool streaming = state.range(0) != 0;
  for (auto _ : state) streaming ? BusReference<true>(words) : BusReference<false>(words);
  SetBytes(state, 4 * forgeval::kMemoryBlockBytes);
}
BENCHMARK(BM_AddressDataBusReference)
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMicrosecond)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

// --- Cache phases; the argument is the buffer size ---

void BM_CachePhase(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  auto block = Block(size, state);
  auto* data = static_cast<uint8_t*>(block.data());
  for (auto _ : state) benchmark::DoNotOptimize(forgeval::CheckCacheBuffer(0, data, size));
  SetBytes(state, 256 * 61 * size);
}
BENCHMARK(BM_CachePhase)
    ->Arg(forgeval::kL1CacheBufferBytes)
    ->Arg(forgeval::kL2CacheBufferBytes)
    ->Unit(benchmark::kMillisecond);

void BM_CachePhaseReference(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  auto block = Block(size, state);
  auto* data = static_cast<uint8_t*>(block.data());
  for (auto _ : state) {
    for (unsigned value = 0; value <= 255; ++value) {
      memset(data, static_cast<int>(value), size);
      for (int read_back = 0; read_back < forgeval::kCacheReadBacks; ++read_back) {
        CompilerBarrier(data);
        benchmark::DoNotOptimize(PlainAvx2Sweep(data, size, static_cast<uint8_t>(value)));
      }
    }
  }
  SetBytes(state, 256 * 61 * size);
}
BENCHMARK(BM_CachePhaseReference)
    ->Arg(forgeval::kL1CacheBufferBytes)
    ->Arg(forgeval::kL2CacheBufferBytes)
    ->Unit(benchmark::kMillisecond);

// --- One read-back per kernel level, to show which level the test picks and why ---

void BM_FindByteMismatch(benchmark::State& state) {
  const auto level = static_cast<forgeval::KernelLevel>(state.range(0));
  if (!forgeval::KernelLevelSupported(level)) {
    state.SkipWithError("level not supported here");
    return;
  }
  const forgeval::CompareKernels& kernels = forgeval::KernelsFor(level);
  state.SetLabel(kernels.name);
  auto block = Block(forgeval::kL2CacheBufferBytes, state);
  auto* data = static_cast<uint8_t*>(block.data());
  for (auto _ : state) {
    CompilerBarrier(data);
    benchmark::DoNotOptimize(kernels.find_byte_mismatch(data, forgeval::kL2CacheBufferBytes, 0));
  }
  SetBytes(state, forgeval::kL2CacheBufferBytes);
}
BENCHMARK(BM_FindByteMismatch)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

}  // namespace
