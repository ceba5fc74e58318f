// The fast Fourier transform test: the precision figures of the transforms of every length
// from 1 to 9999 are summed, twice from scratch, and the two sums must be exactly equal (a
// NaN in either is a difference). There is no tolerance: the transform is reproducible to the
// bit, so any difference is a fault of the processor or the memory.
//
// Progress: "Starting Fast Fourier Transform test..." at the start, and at the end
// "Fast Fourier Transform test...[Done]" (without "Starting"). Unequal sums end the worker
// with "[*** ERROR Thread %d : Fast Fourier Transform results are inconsistent( %f != %f)
// ***]". The state and each run's four signal arrays come from the memory budget: one that
// does not fit ends the worker with "Out of memory.".
#ifndef FORGEVAL_STRESS_FFT_H_
#define FORGEVAL_STRESS_FFT_H_

#include <cstdint>
#include <functional>
#include <string>

#include "stress/fft_transform.h"

namespace forgeval {

// The worker entry: the argument is the worker index.
uint32_t FftTestThread(uintptr_t argument);

// One run: fresh signal arrays, then S <- FftPrecision(n) + S for n = 1 .. last_length,
// starting from S = 0. Looks for the operator's interrupt between lengths.
// `progress`, when given, receives how far through its lengths the run is (0 to 1, weighted
// by the square of the length, which the cost of a length roughly follows).
double FftRun(FftState& state, int64_t last_length,
              const std::function<void(double)>& progress = {});

// A seam for the test suite: called with both sums before they are compared.
using FftSumsHook = void (*)(double& sum0, double& sum1);

// The body for one worker; runs inside the worker frame. The test proper uses every length
// up to kFftLongestLength.
void RunFftTest(int worker_index, int64_t last_length = kFftLongestLength,
                FftSumsHook hook = nullptr);

// The text of unequal sums.
std::string FftInconsistencyText(int worker_index, double sum0, double sum1);

}  // namespace forgeval

#endif  // FORGEVAL_STRESS_FFT_H_
