// A matrix argument copied out of its array, as a list of equal-length rows,
// and a non-owning view of a run of its rows.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/errors.h"

namespace korvel {

class RowMatrix {
public:
    RowMatrix() = default;
    RowMatrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), data_(rows * cols) {}

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }

    // Row i; an index past the last row is an internal error naming `what`.
    std::span<const double> row(std::size_t i, const char* what = "matrix") const {
        if (i >= rows_) {
            throw InternalError(std::string(what) + ": row " + std::to_string(i) +
                                " is out of range (" + std::to_string(rows_) + " rows)");
        }
        return {data_.data() + i * cols_, cols_};
    }
    double* mutable_row(std::size_t i) noexcept { return data_.data() + i * cols_; }

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::vector<double> data_;
};

// Rows first .. first + count - 1 of a RowMatrix, seen as rows 0 .. count - 1:
// the density rows of one data set, for instance one bootstrap resample's
// block of a larger matrix, handed to a kernel without copying. Two pointers'
// worth of state, cheap to pass by value. The matrix must outlive the view.
class RowRange {
public:
    // No rows.
    RowRange() = default;

    // Every row of m.
    RowRange(const RowMatrix& m, const char* what = "matrix") noexcept  // NOLINT: implicit by design
        : m_(&m), first_(0), count_(m.rows()), what_(what) {}

    // Rows first .. first + count - 1 of m. A run that reaches past the last
    // row is an internal error naming `what`, raised here rather than by the
    // first task that would read a missing row.
    RowRange(const RowMatrix& m, std::size_t first, std::size_t count, const char* what = "matrix")
        : m_(&m), first_(first), count_(count), what_(what) {
        if (first > m.rows() || count > m.rows() - first) {
            throw InternalError(std::string(what) + " has " + std::to_string(m.rows()) +
                                " rows, too few for " + std::to_string(count) +
                                " rows from row " + std::to_string(first));
        }
    }

    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }

    // Row i of the view (row first + i of the matrix); i >= size() is an
    // internal error naming the matrix.
    std::span<const double> row(std::size_t i) const {
        if (i >= count_) {
            throw InternalError(std::string(what_) + ": row " + std::to_string(i) +
                                " of a run of " + std::to_string(count_) + " rows");
        }
        return m_->row(first_ + i, what_);
    }

private:
    const RowMatrix* m_ = nullptr;
    std::size_t first_ = 0;
    std::size_t count_ = 0;
    const char* what_ = "matrix";
};

}  // namespace korvel
