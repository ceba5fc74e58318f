// Deliberately naive: complex numbers as structs, every butterfly as its formulas read, the
// general odd butterfly as two nested loops. Built with -ffp-contract=off like the program's
// transform, so both round every operation on its own.
#include "fft_oracle.h"

#include <algorithm>
#include <cmath>

namespace forgeval::testing {

namespace {
constexpr int kTable = 10000;
constexpr double kTwoPi = 6.283185307179586;
struct C {
  double re, im;
};
C operator+(C a, C b) { return {a.re + b.re, a.im + b.im}; }
C operator-(C a, C b) { return {a.re - b.re, a.im - b.im}; }
C Scale(double k, C a) { return {k * a.re, k * a.im}; }
C TimesI(double k, C a) { return {-k * a.im, k * a.re}; }  // k i a
// (a re - b im, a im + b re): how the transform multiplies powers and twiddles.
C Next(C a, C b) { return {a.re * b.re - a.im * b.im, a.im * b.re + a.re * b.im}; }
void SumAndDifference(C& sum, C& difference, C a, C b) {
  sum = a + b;
  difference = a - b;
}
// p[k] = w^k, k < r, each power from the one before.
void Powers(C* p, C w, int64_t r) {
  p[0] = {1.0, 0.0};
  p[1] = w;
  for (int64_t k = 2; k < r; ++k) p[k] = Next(p[k - 1], w);
}
}  // namespace

struct OracleFftState {
  static constexpr double a3 = 2.0943951023931953, a5 = 1.2566370614359172, b5 = 2 * a5;
  double cos3m1 = cos(a3) - 1.0, sin3 = sin(a3), inv_sqrt2 = 1.0 / sqrt(2.0);
  double cos5a = (cos(a5) + cos(b5)) * 0.5 - 1.0, cos5b = (cos(a5) - cos(b5)) * 0.5;
  double sin5a = 0.0 - sin(a5), sin5b = 0.0 - (sin(b5) + sin(a5)), sin5c = sin(a5) - sin(b5);
  C twiddle[kTable], roots[kTable], z[kTable], odd_p[kTable / 2], odd_q[kTable / 2];
  int64_t radix[kTable + 2], span[kTable + 2], groups[kTable + 2], digit[kTable + 2];
  double x_re[kTable], x_im[kTable], y_re[kTable], y_im[kTable];
};

namespace {

void Radix4(C& z0, C& z1, C& z2, C& z3) {
  const C t1 = z0 + z2, t2 = z1 + z3, m2 = z0 - z2, m3{z1.im - z3.im, z3.re - z1.re};
  SumAndDifference(z0, z2, t1, t2);
  SumAndDifference(z1, z3, m2, m3);
}

void Radix5(const OracleFftState& s, C& z0, C& z1, C& z2, C& z3, C& z4) {
  const C t1 = z1 + z4, t2 = z2 + z3, t3 = z1 - z4, t4 = z3 - z2, t5 = t1 + t2;
  z0 = z0 + t5;
  const C m1 = Scale(s.cos5a, t5), m2 = Scale(s.cos5b, t1 - t2), m3 = TimesI(s.sin5a, t3 + t4);
  const C m4 = TimesI(s.sin5b, t4), m5 = TimesI(s.sin5c, t3);
  const C s3 = m3 - m4, s5 = m3 + m5, s1 = z0 + m1, s2 = s1 + m2, s4 = s1 - m2;
  SumAndDifference(z1, z4, s2, s3);
  SumAndDifference(z2, z3, s4, s5);
}

void Butterfly(OracleFftState& s, int64_t r) {
  C* z = s.z;
  if (r == 2) {
    SumAndDifference(z[0], z[1], z[0], z[1]);
  } else if (r == 3) {
    const C t1 = z[1] + z[2];
    z[0] = z[0] + t1;
    const C m2{s.sin3 * (z[1].im - z[2].im), s.sin3 * (z[2].re - z[1].re)};
    const C s1 = z[0] + Scale(s.cos3m1, t1);
    SumAndDifference(z[1], z[2], s1, m2);
  } else if (r == 4) {
    Radix4(z[0], z[1], z[2], z[3]);
  } else if (r == 5) {
    Radix5(s, z[0], z[1], z[2], z[3], z[4]);
  } else if (r == 8) {
    C a[4] = {z[0], z[2], z[4], z[6]}, b[4] = {z[1], z[3], z[5], z[7]};
    Radix4(a[0], a[1], a[2], a[3]);
    Radix4(b[0], b[1], b[2], b[3]);
    b[1] = {s.inv_sqrt2 * (b[1].re + b[1].im), s.inv_sqrt2 * (b[1].im - b[1].re)};
    b[2] = {b[2].im, -b[2].re};
    b[3] = {s.inv_sqrt2 * (b[3].im - b[3].re), -s.inv_sqrt2 * (b[3].re + b[3].im)};
    for (int k = 0; k < 4; ++k) SumAndDifference(z[k], z[k + 4], a[k], b[k]);
  } else if (r == 10) {
    C a[5] = {z[0], z[2], z[4], z[6], z[8]}, b[5] = {z[5], z[7], z[9], z[1], z[3]};
    Radix5(s, a[0], a[1], a[2], a[3], a[4]);
    Radix5(s, b[0], b[1], b[2], b[3], b[4]);
    for (int k = 0; k < 5; ++k) {
      SumAndDifference(z[k % 2 == 0 ? k : k + 5], z[k % 2 == 0 ? k + 5 : k], a[k], b[k]);
    }
  } else {
    const int64_t h = (r + 1) / 2;
    for (int64_t j = 1; j < h; ++j) {
      s.odd_p[j] = {z[j].re + z[r - j].re, z[j].im - z[r - j].im};
      s.odd_q[j] = {z[j].re - z[r - j].re, z[j].im + z[r - j].im};
    }
    for (int64_t j = 1; j < h; ++j) {
      z[j] = z[r - j] = z[0];
      for (int64_t i = 1, k = j; i < h; ++i, k = (k + j) % r) {
        const double g1 = s.roots[k].re * s.odd_p[i].re, g2 = s.roots[k].im * s.odd_p[i].im;
        const double g3 = s.roots[k].re * s.odd_q[i].im, g4 = s.roots[k].im * s.odd_q[i].re;
        z[r - j].re += g1 + g2;
        z[r - j].im += g3 - g4;
        z[j].re += g1 - g2;
        z[j].im += g3 + g4;
      }
    }
    for (int64_t j = 1; j < h; ++j) z[0] = {z[0].re + s.odd_p[j].re, z[0].im + s.odd_q[j].im};
  }
}

void Stage(OracleFftState& s, int64_t span, int64_t r, int64_t groups, double* y_re, double* y_im) {
  Powers(s.roots, {cos(kTwoPi / static_cast<double>(r)), -sin(kTwoPi / static_cast<double>(r))}, r);
  const double angle = kTwoPi / static_cast<double>(span * r);
  const C step{cos(angle), 0.0 - sin(angle)};
  C rot{1.0, 0.0};
  for (int64_t d = 0; d < span; ++d) {
    if (span > 1) {
      Powers(s.twiddle, rot, r);
      rot = Next(rot, step);
    }
    for (int64_t g = 0, a = d; g < groups; ++g, a += span * r) {
      for (int64_t b = 0; b < r; ++b) {
        const C y{y_re[a + b * span], y_im[a + b * span]};
        s.z[b] = d > 0 && b > 0 ? Next(s.twiddle[b], y) : y;
      }
      Butterfly(s, r);
      for (int64_t b = 0; b < r; ++b) {
        y_re[a + b * span] = s.z[b].re;
        y_im[a + b * span] = s.z[b].im;
      }
    }
  }
}

}  // namespace

OracleFft::OracleFft() : state_(new OracleFftState()) { Reset(); }

OracleFft::~OracleFft() = default;

std::vector<int64_t> OracleFft::Factorize(int64_t n) {
  std::vector<int64_t> f;
  if (n == 1) f.push_back(1);
  for (int64_t radix : {10, 8, 5, 4, 3, 2}) {
    for (; n > 1 && n % radix == 0; n /= radix) f.push_back(radix);
  }
  // A trailing 2 after an 8: the last 8 and the 2 become 4 and 4.
  if (!f.empty() && f.back() == 2) {
    const auto eight = std::find(f.rbegin() + 1, f.rend(), 8);
    if (eight != f.rend()) *eight = f.back() = 4;
  }
  for (int64_t k = 2; n > 1 && static_cast<float>(k) < sqrtf(static_cast<float>(n)) + 1.0f; ++k) {
    for (; n % k == 0; n /= k) f.push_back(k);
  }
  if (n > 1) f.push_back(n);
  return std::vector<int64_t>(f.rbegin(), f.rend());
}

void OracleFft::Transform(int64_t n, const double* x_re, const double* x_im, double* y_re,
                          double* y_im) {
  OracleFftState& s = *state_;
  const std::vector<int64_t> stages = Factorize(n);
  const auto m = static_cast<int64_t>(stages.size());
  s.radix[0] = s.span[0] = 1;
  s.groups[0] = n;
  for (int64_t i = 1; i <= m; ++i) {
    s.radix[i] = stages[static_cast<size_t>(i - 1)];
    s.span[i] = s.span[i - 1] * s.radix[i - 1];
    s.groups[i] = s.groups[i - 1] / s.radix[i];
  }
  s.groups[m + 1] = 0;
  std::fill(s.digit, s.digit + m + 2, 0);
  // Mixed-radix digit reversal: k counts with the first stage's digit most significant.
  for (int64_t i = 0, k = 0; i < n - 1; ++i) {
    y_re[i] = x_re[k];
    y_im[i] = x_im[k];
    k += s.groups[1];
    s.digit[1] += 1;
    for (int64_t j = 1; s.digit[j] >= s.radix[j]; ++j) {
      s.digit[j] = 0;
      k = k - s.groups[j - 1] + s.groups[j + 1];
      s.digit[j + 1] += 1;
    }
  }
  y_re[n - 1] = x_re[n - 1];
  y_im[n - 1] = x_im[n - 1];
  for (int64_t i = 1; i <= m; ++i) Stage(s, s.span[i], s.radix[i], s.groups[i], y_re, y_im);
}

double OracleFft::Precision(int64_t n) {
  OracleFftState& s = *state_;
  const double nd = static_cast<double>(n), step = (6.0 * 3.141592653589793) / nd;
  for (int64_t j = 0; j < n; ++j) {
    s.x_re[j] = sin(static_cast<double>(j) * step);
    s.x_im[j] = cos(static_cast<double>(j) * step) / static_cast<double>(j + 1);
  }
  Transform(n, s.x_re, s.x_im, s.y_re, s.y_im);
  double e = s.y_im[3] * s.y_im[3] + (s.y_re[3] - nd) * (s.y_re[3] - nd);
  for (int64_t k = 0; k < n; ++k) {
    if (k != 3) e = e + (s.y_re[k] * s.y_re[k] + s.y_im[k] * s.y_im[k]);
  }
  e = e / nd / nd;
  return e > 0 ? 10.0 * log10(e) : -1000.0;
}

void OracleFft::Reset() {
  for (double* values : {state_->x_re, state_->x_im, state_->y_re, state_->y_im}) {
    std::fill(values, values + kTable, 0.0);
  }
}

double OracleFft::Run(int64_t last_length) {
  Reset();
  double sum = 0.0;
  for (int64_t n = 1; n <= last_length; ++n) sum = Precision(n) + sum;
  return sum;
}

}  // namespace forgeval::testing
