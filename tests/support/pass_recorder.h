// What the memory and cache tests' pass seam saw during one unit test, and one corruption to
// plant there: at the first point the planted predicate accepts, a bit flips at an offset of
// the point's data, as a failing cell would flip it, before the read-back looks.
#ifndef FORGEVAL_TESTS_SUPPORT_PASS_RECORDER_H_
#define FORGEVAL_TESTS_SUPPORT_PASS_RECORDER_H_

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "platform/thread.h"
#include "stress/pass_seam.h"

namespace forgeval::testing {

struct PassRecord {
  std::mutex mutex;
  std::vector<PassPoint> points;
  // (worker index, processor) at the fill value 255: the dispatch pins a worker just after
  // its start, so its first steps may run elsewhere.
  std::set<std::pair<int, int>> worker_processors;
  std::function<void(const PassPoint&)> also;  // sees each point first, on its worker's thread
  std::function<bool(const PassPoint&)> plant_when;
  size_t plant_offset = 0;
  uint8_t plant_mask = 0;
  const uint8_t* planted_at = nullptr;
};

inline PassRecord g_passes;

inline void RecordPass(const PassPoint& point) {
  if (g_passes.also) g_passes.also(point);
  std::lock_guard<std::mutex> lock(g_passes.mutex);
  g_passes.points.push_back(point);
  if (point.fill_value == 255) {
    g_passes.worker_processors.insert({point.worker_index, platform::CurrentProcessor()});
  }
  if (g_passes.plant_when && g_passes.plant_when(point)) {
    auto* byte = static_cast<uint8_t*>(point.data) + g_passes.plant_offset;
    *byte ^= g_passes.plant_mask;
    g_passes.planted_at = byte;
    g_passes.plant_when = nullptr;
  }
}

// Forgets what was seen and records every point from now on; `also` sees each point first.
inline void StartRecordingPasses(std::function<void(const PassPoint&)> also = nullptr) {
  g_passes.points.clear();
  g_passes.worker_processors.clear();
  g_passes.plant_when = nullptr;
  g_passes.planted_at = nullptr;
  g_passes.also = std::move(also);
  SetPassHookForTesting(&RecordPass);
}

inline void PlantBitFlip(std::function<bool(const PassPoint&)> when, size_t offset, uint8_t mask) {
  g_passes.plant_when = std::move(when);
  g_passes.plant_offset = offset;
  g_passes.plant_mask = mask;
}

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_PASS_RECORDER_H_
