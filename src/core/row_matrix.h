// A matrix argument copied out of its array, as a list of equal-length rows.
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

}  // namespace korvel
