// The transform keeps its complex values as separate real and imaginary arrays. Stages of the
// fixed radices (2, 3, 4, 5, 8, 10) hold one butterfly's points in registers; the other radices
// go through the work vector and the general odd butterfly (fft_odd_butterfly.cpp).
//
// This file is built with -ffp-contract=off and without fast-math: a multiply followed by an
// add stays two roundings, and no sum is reordered.
#include "stress/fft_transform.h"

#include <cmath>
#include <new>
#include <stdexcept>

namespace forgeval {

struct FftState::Tables {
  double cos3m1, sin3, cos5a, cos5b, sin5a, sin5b, sin5c, inv_sqrt2;
  // The current stage's rotating factor and the twiddles of one data index.
  double twiddle_re[kFftTableSize], twiddle_im[kFftTableSize];
  // The powers of e^(-2 pi i / radix) of the current stage as (re, im) pairs, aligned for the
  // odd butterfly's 16-byte loads.
  alignas(64) double roots[2 * kFftTableSize];
  // The points of one general butterfly.
  double work_re[kFftTableSize], work_im[kFftTableSize];
  // The general odd butterfly's symmetric sums and differences.
  double odd_p_re[kFftTableSize / 2], odd_p_im[kFftTableSize / 2];
  double odd_q_re[kFftTableSize / 2], odd_q_im[kFftTableSize / 2];
  // Per transform, indexed from 1: radix, span (product of the earlier radices), groups
  // (length over the product of the radices so far; groups[0] = n), digit counters.
  int64_t radix[FftFactors::kMaxStages + 2];
  int64_t span[FftFactors::kMaxStages + 2];
  int64_t groups[FftFactors::kMaxStages + 2];
  int64_t digit[FftFactors::kMaxStages + 2];
};

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kPi = 3.141592653589793;

using Tables = FftState::Tables;

struct Cx {
  double re;
  double im;
};
Cx operator+(Cx a, Cx b) { return {a.re + b.re, a.im + b.im}; }
Cx operator-(Cx a, Cx b) { return {a.re - b.re, a.im - b.im}; }
Cx Scale(double s, Cx a) { return {s * a.re, s * a.im}; }

void Radix2(Cx* z) {
  const Cx z0 = z[0];
  const Cx z1 = z[1];
  z[0] = z0 + z1;
  z[1] = z0 - z1;
}

void Radix3(const Tables& s, Cx* z) {
  const Cx t1 = z[1] + z[2];
  z[0] = z[0] + t1;
  const Cx m1 = Scale(s.cos3m1, t1);
  const Cx m2{s.sin3 * (z[1].im - z[2].im), s.sin3 * (z[2].re - z[1].re)};
  const Cx s1 = z[0] + m1;
  z[1] = s1 + m2;
  z[2] = s1 - m2;
}

void Radix4(Cx& z0, Cx& z1, Cx& z2, Cx& z3) {
  const Cx t1 = z0 + z2;
  const Cx t2 = z1 + z3;
  const Cx m2 = z0 - z2;
  const Cx m3{z1.im - z3.im, z3.re - z1.re};
  z0 = t1 + t2;
  z2 = t1 - t2;
  z1 = m2 + m3;
  z3 = m2 - m3;
}

void Radix5(const Tables& s, Cx& z0, Cx& z1, Cx& z2, Cx& z3, Cx& z4) {
  const Cx t1 = z1 + z4;
  const Cx t2 = z2 + z3;
  const Cx t3 = z1 - z4;
  const Cx t4 = z3 - z2;
  const Cx t5 = t1 + t2;
  z0 = z0 + t5;
  const Cx m1 = Scale(s.cos5a, t5);
  const Cx m2 = Scale(s.cos5b, t1 - t2);
  const Cx m3{-s.sin5a * (t3.im + t4.im), s.sin5a * (t3.re + t4.re)};
  const Cx m4{-s.sin5b * t4.im, s.sin5b * t4.re};
  const Cx m5{-s.sin5c * t3.im, s.sin5c * t3.re};
  const Cx s3 = m3 - m4;
  const Cx s5 = m3 + m5;
  const Cx s1 = z0 + m1;
  const Cx s2 = s1 + m2;
  const Cx s4 = s1 - m2;
  z1 = s2 + s3;
  z2 = s4 + s5;
  z3 = s4 - s5;
  z4 = s2 - s3;
}

void Radix8(const Tables& s, Cx* z) {
  Cx a[4] = {z[0], z[2], z[4], z[6]};
  Cx b[4] = {z[1], z[3], z[5], z[7]};
  Radix4(a[0], a[1], a[2], a[3]);
  Radix4(b[0], b[1], b[2], b[3]);
  b[1] = {s.inv_sqrt2 * (b[1].re + b[1].im), s.inv_sqrt2 * (b[1].im - b[1].re)};
  b[2] = {b[2].im, -b[2].re};
  b[3] = {s.inv_sqrt2 * (b[3].im - b[3].re), -s.inv_sqrt2 * (b[3].re + b[3].im)};
  for (int k = 0; k < 4; ++k) {
    z[k] = a[k] + b[k];
    z[k + 4] = a[k] - b[k];
  }
}

void Radix10(const Tables& s, Cx* z) {
  Cx a[5] = {z[0], z[2], z[4], z[6], z[8]};
  Cx b[5] = {z[5], z[7], z[9], z[1], z[3]};
  Radix5(s, a[0], a[1], a[2], a[3], a[4]);
  Radix5(s, b[0], b[1], b[2], b[3], b[4]);
  z[0] = a[0] + b[0];
  z[5] = a[0] - b[0];
  z[6] = a[1] + b[1];
  z[1] = a[1] - b[1];
  z[2] = a[2] + b[2];
  z[7] = a[2] - b[2];
  z[8] = a[3] + b[3];
  z[3] = a[3] - b[3];
  z[4] = a[4] + b[4];
  z[9] = a[4] - b[4];
}

template <int kRadix>
void FixedButterfly(const Tables& s, Cx* z) {
  if constexpr (kRadix == 2) Radix2(z);
  if constexpr (kRadix == 3) Radix3(s, z);
  if constexpr (kRadix == 4) Radix4(z[0], z[1], z[2], z[3]);
  if constexpr (kRadix == 5) Radix5(s, z[0], z[1], z[2], z[3], z[4]);
  if constexpr (kRadix == 8) Radix8(s, z);
  if constexpr (kRadix == 10) Radix10(s, z);
}

// The twiddle product: re = w.re y.re - w.im y.im, im = w.im y.re + w.re y.im.
Cx Twiddled(double w_re, double w_im, double y_re, double y_im) {
  return {w_re * y_re - w_im * y_im, w_im * y_re + w_re * y_im};
}

// The groups of one data index for a fixed radix, points held in registers.
template <int kRadix>
void FixedGroups(const Tables& s, int64_t span, int64_t groups, int64_t d, bool twiddle,
                 double* y_re, double* y_im) {
  int64_t a = d;
  for (int64_t g = 0; g < groups; ++g, a += span * kRadix) {
    Cx z[static_cast<size_t>(kRadix)];
    if (twiddle) {
      z[0] = {y_re[a], y_im[a]};
      for (int64_t b = 1; b < kRadix; ++b) {
        z[b] = Twiddled(s.twiddle_re[b], s.twiddle_im[b], y_re[a + b * span], y_im[a + b * span]);
      }
    } else {
      for (int64_t b = 0; b < kRadix; ++b) z[b] = {y_re[a + b * span], y_im[a + b * span]};
    }
    FixedButterfly<kRadix>(s, z);
    for (int64_t b = 0; b < kRadix; ++b) {
      y_re[a + b * span] = z[b].re;
      y_im[a + b * span] = z[b].im;
    }
  }
}

// The groups of one data index for radix 1 or an odd prime, through the work vector.
void OddGroups(Tables& s, OddButterflyKernel kernel, int64_t r, int64_t span, int64_t groups,
               int64_t d, bool twiddle, double* y_re, double* y_im) {
  const OddButterflyTables tables{s.roots, s.odd_p_re, s.odd_p_im, s.odd_q_re, s.odd_q_im};
  int64_t a = d;
  for (int64_t g = 0; g < groups; ++g, a += span * r) {
    if (twiddle) {
      s.work_re[0] = y_re[a];
      s.work_im[0] = y_im[a];
      for (int64_t b = 1; b < r; ++b) {
        const Cx z =
            Twiddled(s.twiddle_re[b], s.twiddle_im[b], y_re[a + b * span], y_im[a + b * span]);
        s.work_re[b] = z.re;
        s.work_im[b] = z.im;
      }
    } else {
      for (int64_t b = 0; b < r; ++b) {
        s.work_re[b] = y_re[a + b * span];
        s.work_im[b] = y_im[a + b * span];
      }
    }
    OddButterfly(kernel, r, tables, s.work_re, s.work_im);
    for (int64_t b = 0; b < r; ++b) {
      y_re[a + b * span] = s.work_re[b];
      y_im[a + b * span] = s.work_im[b];
    }
  }
}

// One twiddle stage of radix r over y, in place.
void Stage(Tables& s, OddButterflyKernel kernel, int64_t span, int64_t r, int64_t groups,
           double* y_re, double* y_im) {
  double* roots = s.roots;  // root k at 2k (re) and 2k + 1 (im)
  roots[0] = 1.0;
  roots[1] = 0.0;
  roots[2] = cos(kTwoPi / static_cast<double>(r));
  roots[3] = -sin(kTwoPi / static_cast<double>(r));
  for (int64_t k = 2; k < r; ++k) {
    roots[2 * k] = roots[2 * k - 2] * roots[2] - roots[2 * k - 1] * roots[3];
    roots[2 * k + 1] = roots[2 * k - 2] * roots[3] + roots[2 * k - 1] * roots[2];
  }
  const double angle = kTwoPi / static_cast<double>(span * r);
  const double rc = cos(angle);
  const double rs = 0.0 - sin(angle);
  double rot_re = 1.0;
  double rot_im = 0.0;
  for (int64_t d = 0; d < span; ++d) {
    if (span > 1) {
      s.twiddle_re[0] = 1.0;
      s.twiddle_im[0] = 0.0;
      s.twiddle_re[1] = rot_re;
      s.twiddle_im[1] = rot_im;
      for (int64_t k = 2; k < r; ++k) {
        s.twiddle_re[k] = s.twiddle_re[k - 1] * rot_re - s.twiddle_im[k - 1] * rot_im;
        s.twiddle_im[k] = s.twiddle_im[k - 1] * rot_re + s.twiddle_re[k - 1] * rot_im;
      }
      const double next_re = rot_re * rc - rot_im * rs;
      const double next_im = rot_im * rc + rot_re * rs;
      rot_re = next_re;
      rot_im = next_im;
    }
    const bool twiddle = span > 1 && d > 0;
    switch (r) {
      case 2:
        FixedGroups<2>(s, span, groups, d, twiddle, y_re, y_im);
        break;
      case 3:
        FixedGroups<3>(s, span, groups, d, twiddle, y_re, y_im);
        break;
      case 4:
        FixedGroups<4>(s, span, groups, d, twiddle, y_re, y_im);
        break;
      case 5:
        FixedGroups<5>(s, span, groups, d, twiddle, y_re, y_im);
        break;
      case 8:
        FixedGroups<8>(s, span, groups, d, twiddle, y_re, y_im);
        break;
      case 10:
        FixedGroups<10>(s, span, groups, d, twiddle, y_re, y_im);
        break;
      default:
        OddGroups(s, kernel, r, span, groups, d, twiddle, y_re, y_im);
        break;
    }
  }
}

// Mixed-radix digit reversal of x into y.
void Permute(Tables& s, int m, int64_t n, const double* x_re, const double* x_im, double* y_re,
             double* y_im) {
  for (int i = 0; i <= m + 1; ++i) s.digit[i] = 0;
  int64_t k = 0;
  for (int64_t i = 0; i < n - 1; ++i) {
    y_re[i] = x_re[k];
    y_im[i] = x_im[k];
    k += s.groups[1];
    ++s.digit[1];
    // Never carries past stage m: i + 1 < n.
    for (int j = 1; s.digit[j] >= s.radix[j]; ++j) {
      s.digit[j] = 0;
      k = k - s.groups[j - 1] + s.groups[j + 1];
      ++s.digit[j + 1];
    }
  }
  y_re[n - 1] = x_re[n - 1];
  y_im[n - 1] = x_im[n - 1];
}

}  // namespace

FftFactors FftFactorize(int64_t n) {
  FftFactors found;  // in the order of discovery
  auto append = [&found](int64_t factor) { found.radix[found.count++] = factor; };
  if (n == 1) append(1);
  constexpr int64_t kRadices[] = {10, 8, 5, 4, 3, 2};
  for (int at = 0; n > 1 && at < 6;) {
    if (n % kRadices[at] == 0) {
      n /= kRadices[at];
      append(kRadices[at]);
    } else {
      ++at;
    }
  }
  if (found.count > 0 && found.radix[found.count - 1] == 2) {
    for (int i = found.count - 2; i >= 0; --i) {
      if (found.radix[i] == 8) {
        found.radix[i] = 4;
        found.radix[found.count - 1] = 4;
        break;
      }
    }
  }
  if (n > 1) {
    for (int64_t k = 2; static_cast<float>(k) < std::sqrt(static_cast<float>(n)) + 1.0f; ++k) {
      while (n % k == 0) {
        n /= k;
        append(k);
      }
    }
    if (n > 1) append(n);
  }
  FftFactors stages;
  stages.count = found.count;
  for (int i = 0; i < found.count; ++i) stages.radix[i] = found.radix[found.count - 1 - i];
  return stages;
}

FftState::FftState()
    : block_(platform::AllocateBudgetedOrThrow(sizeof(Tables))),
      tables_(new (block_.data()) Tables),
      odd_kernel_(BestOddButterflyKernel()) {
  Tables& s = *tables_;
  s.cos3m1 = cos(2.0943951023931953) - 1.0;
  s.sin3 = sin(2.0943951023931953);
  s.cos5a = (cos(1.2566370614359172) + cos(2.5132741228718345)) * 0.5 - 1.0;
  s.cos5b = (cos(1.2566370614359172) - cos(2.5132741228718345)) * 0.5;
  s.sin5a = 0.0 - sin(1.2566370614359172);
  s.sin5b = 0.0 - (sin(2.5132741228718345) + sin(1.2566370614359172));
  s.sin5c = sin(1.2566370614359172) - sin(2.5132741228718345);
  s.inv_sqrt2 = 1.0 / sqrt(2.0);
}

const char* MathLibraryVariant() {
  if (__builtin_cpu_supports("fma") && __builtin_cpu_supports("avx2")) return "fma";
  if (__builtin_cpu_supports("fma4")) return "fma4";
  return "sse2";
}

void Fft(FftState& state, int64_t n, const double* x_re, const double* x_im, double* y_re,
         double* y_im) {
  if (n < 1 || n > kFftLongestLength) throw std::out_of_range("Fft length");
  Tables& s = state.tables();
  const FftFactors stages = FftFactorize(n);
  const int m = stages.count;
  for (int i = 1; i <= m; ++i) s.radix[i] = stages.radix[i - 1];
  s.groups[0] = n;
  s.span[1] = 1;
  s.groups[1] = n / s.radix[1];
  for (int i = 2; i <= m; ++i) {
    s.span[i] = s.span[i - 1] * s.radix[i - 1];
    s.groups[i] = s.groups[i - 1] / s.radix[i];
  }
  s.groups[m + 1] = 0;
  Permute(s, m, n, x_re, x_im, y_re, y_im);
  for (int i = 1; i <= m; ++i) {
    Stage(s, state.odd_kernel(), s.span[i], s.radix[i], s.groups[i], y_re, y_im);
  }
}

FftSignal::FftSignal()
    : x_re_(platform::AllocateBudgetedOrThrow(kFftTableSize * sizeof(double))),
      x_im_(platform::AllocateBudgetedOrThrow(kFftTableSize * sizeof(double))),
      y_re_(platform::AllocateBudgetedOrThrow(kFftTableSize * sizeof(double))),
      y_im_(platform::AllocateBudgetedOrThrow(kFftTableSize * sizeof(double))) {}

double FftPrecision(FftState& state, int64_t n, const FftSignal& signal) {
  double* x_re = signal.x_re();
  double* x_im = signal.x_im();
  double* y_re = signal.y_re();
  double* y_im = signal.y_im();
  const double length = static_cast<double>(n);
  const double step = (6.0 * kPi) / length;
  for (int64_t j = 0; j < n; ++j) {
    const double theta = static_cast<double>(j) * step;
    x_re[j] = sin(theta);
    x_im[j] = cos(theta) / static_cast<double>(j + 1);
  }
  Fft(state, n, x_re, x_im, y_re, y_im);
  double e = y_im[3] * y_im[3] + (y_re[3] - length) * (y_re[3] - length);
  for (int64_t k = 0; k < n; ++k) {
    if (k != 3) e = e + (y_re[k] * y_re[k] + y_im[k] * y_im[k]);
  }
  e = e / length / length;
  return e > 0 ? 10.0 * log10(e) : -1000.0;
}

}  // namespace forgeval
