// The matrix exponential, by scaling and squaring with diagonal Pade
// approximants (Al-Mohy and Higham, SIAM J. Matrix Anal. Appl. 31(3), 2009).
//
// The drift model needs exp(t Q) for a 71 x 71 tridiagonal generator Q at
// every fit age of every objective evaluation, so this is the hot path of the
// drift fits. It is written for small dense matrices and uses the band
// structure of the powers of a banded input wherever doing so gives the same
// bits as the dense computation.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace korvel {

// A dense square matrix of doubles, row-major. Rows are padded to a multiple
// of kSquareMatrixPad doubles so that the product kernels run on whole vector
// blocks; the padding is never read as data.
inline constexpr std::size_t kSquareMatrixPad = 8;

class SquareMatrix {
public:
    SquareMatrix() = default;
    // n x n zeros.
    explicit SquareMatrix(std::size_t n)
        : n_(n), stride_((n + kSquareMatrixPad - 1) / kSquareMatrixPad * kSquareMatrixPad),
          data_(n_ * stride_, 0.0) {}

    std::size_t size() const noexcept { return n_; }
    std::size_t stride() const noexcept { return stride_; }

    // Unchecked access; i, j < size().
    double operator()(std::size_t i, std::size_t j) const noexcept { return data_[i * stride_ + j]; }
    double& operator()(std::size_t i, std::size_t j) noexcept { return data_[i * stride_ + j]; }
    // Checked access: an index past the end is an InternalError.
    double at(std::size_t i, std::size_t j) const;

    const double* row(std::size_t i) const noexcept { return data_.data() + i * stride_; }
    double* row(std::size_t i) noexcept { return data_.data() + i * stride_; }

    static SquareMatrix identity(std::size_t n);

private:
    std::size_t n_ = 0;
    std::size_t stride_ = 0;
    std::vector<double> data_;
};

// Which Pade degree and how many squarings expm chose (for tests and
// benchmarks; the result does not depend on how it is reported).
struct ExpmPlan {
    int degree = 0;    // 3, 5, 7, 9 or 13; 0 when the input was not finite
    int squarings = 0; // s: the approximant is taken of 2^-s A
};

// exp(A). A matrix with a NaN or infinite entry has no exponential to speak
// of: the result is then all NaN (plan degree 0).
SquareMatrix expm(const SquareMatrix& a, ExpmPlan* plan = nullptr);
// The same into a caller's matrix of the same size (not a itself), so that
// repeated exponentials reuse one buffer. Scratch matrices are kept per
// thread between calls.
void expm_into(const SquareMatrix& a, SquareMatrix& out, ExpmPlan* plan = nullptr);

// b_0 .. b_m of the degree-m Pade numerator (m = 3, 5, 7, 9 or 13; empty for
// any other m). Exposed so that tests can hold each against its exact
// rational: the highest ones move the result by far less than an ulp.
std::span<const double> pade_coefficients(int degree);

// C = A B, entries summed over k in ascending order from +0.0. band_a and
// band_b bound the bandwidths of A and B (entries with |i - j| > band are
// exact zeros); pass size() - 1 for a dense operand. Terms outside the bands
// are skipped, which for finite operands gives the dense product bit for bit.
// Exposed for tests and the benchmark.
void multiply(const SquareMatrix& a, std::size_t band_a, const SquareMatrix& b,
              std::size_t band_b, SquareMatrix& c);

// max over columns of the sum of |a(i, j)| (rows in ascending order); NaN if
// any column sum is NaN.
double norm1(const SquareMatrix& a);

// Solves A X = B for X by LU with partial pivoting (A and B are overwritten;
// X is returned in B).
void lu_solve_in_place(SquareMatrix& a, SquareMatrix& b);

}  // namespace korvel
