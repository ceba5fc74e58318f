// The faults of faults.h that need no assembly; faults_posix.cpp and faults_win32.cpp hold the
// labelled instructions in each system's object format.
#include "faults.h"

namespace forgeval::testing {
namespace {

int Recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (depth < 0) return 0;  // never: the stack runs out first
  return Recurse(depth + 1) + frame[0];
}

}  // namespace

void OverflowStack() { Recurse(0); }

uint32_t Low32(const void* address) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

}  // namespace forgeval::testing
