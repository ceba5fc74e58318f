// The fast Fourier transform test's arithmetic written plainly, one scalar operation after the
// other: the reference the program's transform must match bit for bit. Test suite and
// benchmarks only; the program never runs it.
#ifndef FORGEVAL_TESTS_SUPPORT_FFT_ORACLE_H_
#define FORGEVAL_TESTS_SUPPORT_FFT_ORACLE_H_

#include <cstdint>
#include <memory>
#include <vector>

namespace forgeval::testing {

struct OracleFftState;  // constants, tables and signal arrays (about a mebibyte)

class OracleFft {
 public:
  OracleFft();
  ~OracleFft();
  OracleFft(const OracleFft&) = delete;
  OracleFft& operator=(const OracleFft&) = delete;

  // The stage radices of length n, first stage first.
  static std::vector<int64_t> Factorize(int64_t n);
  // Forward transform of x into y (n at most 9999).
  void Transform(int64_t n, const double* x_re, const double* x_im, double* y_re, double* y_im);
  // The precision figure of length n on the oracle's own signal arrays (zeroed by Reset).
  double Precision(int64_t n);
  void Reset();
  // The sum of the precision figures of lengths 1..last_length from fresh signal arrays.
  double Run(int64_t last_length);

 private:
  std::unique_ptr<OracleFftState> state_;
};

}  // namespace forgeval::testing

#endif  // FORGEVAL_TESTS_SUPPORT_FFT_ORACLE_H_
