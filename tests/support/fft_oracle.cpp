// Deliberately naive: complex numbers as structs, the work vector in an array, the butterfly
// of every radix as its formulas read, the general odd butterfly as two nested loops. Built
// with -ffp-contract=off like the program's transform, so that both round every operation.
#include "fft_oracle.h"

#include <cmath>
#include <cstring>

namespace forgeval::testing {

namespace {
constexpr int kTable = 10000;
struct Complex {
  double re;
  double im;
};
}  // namespace

struct OracleFftState {
  double cos3m1, sin3, cos5a, cos5b, sin5a, sin5b, sin5c, inv_sqrt2;
  Complex twiddle[kTable];
  Complex roots[kTable];
  Complex z[kTable];
  Complex odd_p[kTable / 2];
  Complex odd_q[kTable / 2];
  int64_t radix[kTable + 2];
  int64_t span[kTable + 2];
  int64_t groups[kTable + 2];
  int64_t digit[kTable + 2];
  double x_re[kTable], x_im[kTable], y_re[kTable], y_im[kTable];
};

namespace {

void Radix4(Complex& z0, Complex& z1, Complex& z2, Complex& z3) {
  Complex t1{z0.re + z2.re, z0.im + z2.im};
  Complex t2{z1.re + z3.re, z1.im + z3.im};
  Complex m2{z0.re - z2.re, z0.im - z2.im};
  Complex m3{z1.im - z3.im, z3.re - z1.re};
  z0 = {t1.re + t2.re, t1.im + t2.im};
  z2 = {t1.re - t2.re, t1.im - t2.im};
  z1 = {m2.re + m3.re, m2.im + m3.im};
  z3 = {m2.re - m3.re, m2.im - m3.im};
}

void Radix5(const OracleFftState& s, Complex& z0, Complex& z1, Complex& z2, Complex& z3,
            Complex& z4) {
  Complex t1{z1.re + z4.re, z1.im + z4.im};
  Complex t2{z2.re + z3.re, z2.im + z3.im};
  Complex t3{z1.re - z4.re, z1.im - z4.im};
  Complex t4{z3.re - z2.re, z3.im - z2.im};
  Complex t5{t1.re + t2.re, t1.im + t2.im};
  z0 = {z0.re + t5.re, z0.im + t5.im};
  Complex m1{s.cos5a * t5.re, s.cos5a * t5.im};
  Complex m2{s.cos5b * (t1.re - t2.re), s.cos5b * (t1.im - t2.im)};
  Complex m3{-s.sin5a * (t3.im + t4.im), s.sin5a * (t3.re + t4.re)};
  Complex m4{-s.sin5b * t4.im, s.sin5b * t4.re};
  Complex m5{-s.sin5c * t3.im, s.sin5c * t3.re};
  Complex s3{m3.re - m4.re, m3.im - m4.im};
  Complex s5{m3.re + m5.re, m3.im + m5.im};
  Complex s1{z0.re + m1.re, z0.im + m1.im};
  Complex s2{s1.re + m2.re, s1.im + m2.im};
  Complex s4{s1.re - m2.re, s1.im - m2.im};
  z1 = {s2.re + s3.re, s2.im + s3.im};
  z2 = {s4.re + s5.re, s4.im + s5.im};
  z3 = {s4.re - s5.re, s4.im - s5.im};
  z4 = {s2.re - s3.re, s2.im - s3.im};
}

void Butterfly(OracleFftState& s, int64_t r) {
  Complex* z = s.z;
  if (r == 2) {
    Complex a = z[0], b = z[1];
    z[0] = {a.re + b.re, a.im + b.im};
    z[1] = {a.re - b.re, a.im - b.im};
  } else if (r == 3) {
    Complex t1{z[1].re + z[2].re, z[1].im + z[2].im};
    z[0] = {z[0].re + t1.re, z[0].im + t1.im};
    Complex m1{s.cos3m1 * t1.re, s.cos3m1 * t1.im};
    Complex m2{s.sin3 * (z[1].im - z[2].im), s.sin3 * (z[2].re - z[1].re)};
    Complex s1{z[0].re + m1.re, z[0].im + m1.im};
    z[1] = {s1.re + m2.re, s1.im + m2.im};
    z[2] = {s1.re - m2.re, s1.im - m2.im};
  } else if (r == 4) {
    Radix4(z[0], z[1], z[2], z[3]);
  } else if (r == 5) {
    Radix5(s, z[0], z[1], z[2], z[3], z[4]);
  } else if (r == 8) {
    Complex a[4] = {z[0], z[2], z[4], z[6]};
    Complex b[4] = {z[1], z[3], z[5], z[7]};
    Radix4(a[0], a[1], a[2], a[3]);
    Radix4(b[0], b[1], b[2], b[3]);
    b[1] = {s.inv_sqrt2 * (b[1].re + b[1].im), s.inv_sqrt2 * (b[1].im - b[1].re)};
    b[2] = {b[2].im, -b[2].re};
    b[3] = {s.inv_sqrt2 * (b[3].im - b[3].re), -s.inv_sqrt2 * (b[3].re + b[3].im)};
    for (int k = 0; k < 4; ++k) {
      z[k] = {a[k].re + b[k].re, a[k].im + b[k].im};
      z[k + 4] = {a[k].re - b[k].re, a[k].im - b[k].im};
    }
  } else if (r == 10) {
    Complex a[5] = {z[0], z[2], z[4], z[6], z[8]};
    Complex b[5] = {z[5], z[7], z[9], z[1], z[3]};
    Radix5(s, a[0], a[1], a[2], a[3], a[4]);
    Radix5(s, b[0], b[1], b[2], b[3], b[4]);
    z[0] = {a[0].re + b[0].re, a[0].im + b[0].im};
    z[5] = {a[0].re - b[0].re, a[0].im - b[0].im};
    z[6] = {a[1].re + b[1].re, a[1].im + b[1].im};
    z[1] = {a[1].re - b[1].re, a[1].im - b[1].im};
    z[2] = {a[2].re + b[2].re, a[2].im + b[2].im};
    z[7] = {a[2].re - b[2].re, a[2].im - b[2].im};
    z[8] = {a[3].re + b[3].re, a[3].im + b[3].im};
    z[3] = {a[3].re - b[3].re, a[3].im - b[3].im};
    z[4] = {a[4].re + b[4].re, a[4].im + b[4].im};
    z[9] = {a[4].re - b[4].re, a[4].im - b[4].im};
  } else {
    const int64_t h = (r + 1) / 2;
    for (int64_t j = 1; j < h; ++j) {
      s.odd_p[j] = {z[j].re + z[r - j].re, z[j].im - z[r - j].im};
      s.odd_q[j] = {z[j].re - z[r - j].re, z[j].im + z[r - j].im};
    }
    for (int64_t j = 1; j < h; ++j) {
      z[j] = z[0];
      z[r - j] = z[0];
      int64_t k = j;
      for (int64_t i = 1; i < h; ++i) {
        double g1 = s.roots[k].re * s.odd_p[i].re;
        double g2 = s.roots[k].im * s.odd_p[i].im;
        double g3 = s.roots[k].re * s.odd_q[i].im;
        double g4 = s.roots[k].im * s.odd_q[i].re;
        z[r - j].re += g1 + g2;
        z[r - j].im += g3 - g4;
        z[j].re += g1 - g2;
        z[j].im += g3 + g4;
        k += j;
        if (k >= r) k -= r;
      }
    }
    for (int64_t j = 1; j < h; ++j) {
      z[0].re += s.odd_p[j].re;
      z[0].im += s.odd_q[j].im;
    }
  }
}

void Stage(OracleFftState& s, int64_t span, int64_t r, int64_t groups, double* y_re, double* y_im) {
  s.roots[0] = {1.0, 0.0};
  s.roots[1] = {cos(6.283185307179586 / static_cast<double>(r)),
                -sin(6.283185307179586 / static_cast<double>(r))};
  for (int64_t k = 2; k < r; ++k) {
    s.roots[k].re = s.roots[k - 1].re * s.roots[1].re - s.roots[k - 1].im * s.roots[1].im;
    s.roots[k].im = s.roots[k - 1].re * s.roots[1].im + s.roots[k - 1].im * s.roots[1].re;
  }
  double angle = 6.283185307179586 / static_cast<double>(span * r);
  double rc = cos(angle);
  double rs = 0.0 - sin(angle);
  Complex rot{1.0, 0.0};
  for (int64_t d = 0; d < span; ++d) {
    if (span > 1) {
      s.twiddle[0] = {1.0, 0.0};
      s.twiddle[1] = rot;
      for (int64_t k = 2; k < r; ++k) {
        s.twiddle[k].re = s.twiddle[k - 1].re * rot.re - s.twiddle[k - 1].im * rot.im;
        s.twiddle[k].im = s.twiddle[k - 1].im * rot.re + s.twiddle[k - 1].re * rot.im;
      }
      Complex old = rot;
      rot.re = old.re * rc - old.im * rs;
      rot.im = old.im * rc + old.re * rs;
    }
    int64_t offset = d;
    for (int64_t g = 0; g < groups; ++g) {
      int64_t a = offset;
      if (span > 1 && d > 0) {
        s.z[0] = {y_re[a], y_im[a]};
        for (int64_t b = 1; b < r; ++b) {
          double yr = y_re[a + b * span], yi = y_im[a + b * span];
          s.z[b].re = s.twiddle[b].re * yr - s.twiddle[b].im * yi;
          s.z[b].im = s.twiddle[b].im * yr + s.twiddle[b].re * yi;
        }
      } else {
        for (int64_t b = 0; b < r; ++b) s.z[b] = {y_re[a + b * span], y_im[a + b * span]};
      }
      Butterfly(s, r);
      for (int64_t b = 0; b < r; ++b) {
        y_re[a + b * span] = s.z[b].re;
        y_im[a + b * span] = s.z[b].im;
      }
      offset += span * r;
    }
  }
}

}  // namespace

OracleFft::OracleFft() : state_(new OracleFftState()) {
  OracleFftState& s = *state_;
  s.cos3m1 = cos(2.0943951023931953) - 1.0;
  s.sin3 = sin(2.0943951023931953);
  s.cos5a = (cos(1.2566370614359172) + cos(2.5132741228718345)) * 0.5 - 1.0;
  s.cos5b = (cos(1.2566370614359172) - cos(2.5132741228718345)) * 0.5;
  s.sin5a = 0.0 - sin(1.2566370614359172);
  s.sin5b = 0.0 - (sin(2.5132741228718345) + sin(1.2566370614359172));
  s.sin5c = sin(1.2566370614359172) - sin(2.5132741228718345);
  s.inv_sqrt2 = 1.0 / sqrt(2.0);
}

OracleFft::~OracleFft() = default;

std::vector<int64_t> OracleFft::Factorize(int64_t n) {
  std::vector<int64_t> factors;
  if (n == 1) factors.push_back(1);
  const int64_t radices[] = {10, 8, 5, 4, 3, 2};
  int at = 0;
  while (n > 1 && at < 6) {
    if (n % radices[at] == 0) {
      n /= radices[at];
      factors.push_back(radices[at]);
    } else {
      ++at;
    }
  }
  if (!factors.empty() && factors.back() == 2) {
    for (int64_t i = static_cast<int64_t>(factors.size()) - 2; i >= 0; --i) {
      if (factors[static_cast<size_t>(i)] == 8) {
        factors[static_cast<size_t>(i)] = 4;
        factors.back() = 4;
        break;
      }
    }
  }
  if (n > 1) {
    for (int64_t k = 2; static_cast<float>(k) < sqrtf(static_cast<float>(n)) + 1.0f; ++k) {
      while (n % k == 0) {
        n /= k;
        factors.push_back(k);
      }
    }
    if (n > 1) factors.push_back(n);
  }
  return std::vector<int64_t>(factors.rbegin(), factors.rend());
}

void OracleFft::Transform(int64_t n, const double* x_re, const double* x_im, double* y_re,
                          double* y_im) {
  OracleFftState& s = *state_;
  std::vector<int64_t> stages = Factorize(n);
  const int64_t m = static_cast<int64_t>(stages.size());
  for (int64_t i = 1; i <= m; ++i) s.radix[i] = stages[static_cast<size_t>(i - 1)];
  s.groups[0] = n;
  s.span[1] = 1;
  s.groups[1] = n / s.radix[1];
  for (int64_t i = 2; i <= m; ++i) {
    s.span[i] = s.span[i - 1] * s.radix[i - 1];
    s.groups[i] = s.groups[i - 1] / s.radix[i];
  }
  s.groups[m + 1] = 0;
  for (int64_t i = 0; i <= m + 1; ++i) s.digit[i] = 0;
  int64_t k = 0;
  for (int64_t i = 0; i < n - 1; ++i) {
    y_re[i] = x_re[k];
    y_im[i] = x_im[k];
    k += s.groups[1];
    s.digit[1] += 1;
    int64_t j = 1;
    while (s.digit[j] >= s.radix[j]) {
      s.digit[j] = 0;
      k = k - s.groups[j - 1] + s.groups[j + 1];
      j += 1;
      s.digit[j] += 1;
    }
  }
  y_re[n - 1] = x_re[n - 1];
  y_im[n - 1] = x_im[n - 1];
  for (int64_t i = 1; i <= m; ++i) Stage(s, s.span[i], s.radix[i], s.groups[i], y_re, y_im);
}

double OracleFft::Precision(int64_t n) {
  OracleFftState& s = *state_;
  const double nd = static_cast<double>(n);
  double step = (6.0 * 3.141592653589793) / nd;
  for (int64_t j = 0; j < n; ++j) {
    double theta = static_cast<double>(j) * step;
    s.x_re[j] = sin(theta);
    s.x_im[j] = cos(theta) / static_cast<double>(j + 1);
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
  OracleFftState& s = *state_;
  memset(s.x_re, 0, sizeof s.x_re);
  memset(s.x_im, 0, sizeof s.x_im);
  memset(s.y_re, 0, sizeof s.y_re);
  memset(s.y_im, 0, sizeof s.y_im);
}

double OracleFft::Run(int64_t last_length) {
  Reset();
  double sum = 0.0;
  for (int64_t n = 1; n <= last_length; ++n) sum = Precision(n) + sum;
  return sum;
}

std::vector<std::complex<long double>> DftByDefinition(const std::vector<double>& re,
                                                       const std::vector<double>& im) {
  const size_t n = re.size();
  std::vector<std::complex<long double>> out(n);
  for (size_t k = 0; k < n; ++k) {
    std::complex<long double> sum = 0;
    for (size_t j = 0; j < n; ++j) {
      const long double angle = -2.0L * 3.14159265358979323846264338327950288L *
                                static_cast<long double>((j * k) % n) / static_cast<long double>(n);
      sum += std::complex<long double>(re[j], im[j]) *
             std::complex<long double>(std::cos(angle), std::sin(angle));
    }
    out[k] = sum;
  }
  return out;
}

}  // namespace forgeval::testing
