// The point between a pass's fill and its read-back in the memory and cache tests. Every such
// point calls BetweenPasses(), which keeps the compiler from answering the read-back out of
// the fill (a compiler barrier) and lets a unit test step in: a hook set with
// SetPassHookForTesting() sees each point and may change the memory, as a failing cell would,
// before the read-back looks at it. Without a hook the point costs one call and one load.
#ifndef FORGEVAL_STRESS_PASS_SEAM_H_
#define FORGEVAL_STRESS_PASS_SEAM_H_

#include <cstddef>

namespace forgeval {

enum class PassKind {
  kBusWritten,       // memory test: after the write pass of the address and data bus check
  kBusComplemented,  // memory test: after its check-and-complement pass
  kDramFilled,       // memory test: after the fill of the DRAM array check
  kCacheFilled,      // cache test: after the fill, before each of the sixty read-backs
};

struct PassPoint {
  PassKind kind;
  int worker_index;
  size_t block;         // memory test: the block's position in the block list; cache test: 0
  unsigned fill_value;  // DRAM and cache fills: the byte value; bus passes: 0
  int read_back;        // cache test: which of the sixty read-backs follows (0..59); else 0
  void* data;           // the block or buffer
  size_t size;          // its size in bytes
};

// Called by the test bodies at each point between a fill and a read-back.
void BetweenPasses(const PassPoint& point);

// Test seam: `hook` sees every point from now on; nullptr removes it. Set it while no worker
// of the memory or cache test runs; the hook runs on the worker's thread.
using PassHook = void (*)(const PassPoint& point);
void SetPassHookForTesting(PassHook hook);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_PASS_SEAM_H_
