// The bytes of the rows of an array, given as its data pointer, shape, strides
// and item size: row r of an array of two or more dimensions is, for each
// column c, the item at [r, c, 0, ...], which starts at
// data + r * strides[0] + c * strides[1]. Strides are followed, so every
// layout (Fortran order, transposes, reversed or broadcast views) gives the
// bytes of the row's logical content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace woxbloom {

class RowReader {
public:
    // The hash takes a 32-bit signed length.
    static constexpr size_t max_row_bytes = 2147483647;

    // ndim must be at least 2.
    RowReader(const void* data, std::ptrdiff_t ndim, const std::ptrdiff_t* shape, const std::ptrdiff_t* strides,
              std::ptrdiff_t itemsize)
        : rows_(shape[0]),
          cols_(shape[1]),
          itemsize_(itemsize),
          row_stride_(strides[0]),
          col_stride_(strides[1]),
          base_(static_cast<const unsigned char*>(data)) {
        // An axis of length 0 after the second leaves no element [r, c, 0, ...]
        // to read: such rows, like rows of zero-size items, have no bytes.
        bool has_bytes = itemsize_ > 0;
        for (std::ptrdiff_t d = 2; d < ndim; ++d) {
            if (shape[d] == 0) has_bytes = false;
        }
        too_long_ = has_bytes && static_cast<size_t>(cols_) > max_row_bytes / static_cast<size_t>(itemsize_);
        length_ = has_bytes && !too_long_ ? static_cast<size_t>(cols_ * itemsize_) : 0;
        in_place_ = length_ == 0 || col_stride_ == itemsize_ || cols_ == 1;
    }

    std::ptrdiff_t rows() const { return rows_; }
    std::ptrdiff_t cols() const { return cols_; }
    size_t length() const { return length_; }
    // Whether rows are hashed where they lie, their items back to back.
    bool in_place() const { return in_place_; }

    // A longer row is refused, never hashed with a wrapped length.
    void check_length() const {
        if (too_long_) {
            throw std::length_error("a row of " + std::to_string(cols_) + " columns of " + std::to_string(itemsize_) +
                                    " bytes is longer than the " + std::to_string(max_row_bytes) +
                                    " bytes a row may have");
        }
    }

    // The bytes of row r: in place, or gathered into scratch (length() bytes).
    const unsigned char* row(std::ptrdiff_t r, unsigned char* scratch) const {
        if (length_ == 0) return scratch;
        const unsigned char* first = base_ + r * row_stride_;
        if (in_place_) return first;
        gather(first, scratch);
        return scratch;
    }

    // Where rows first .. first + count - 1 begin; gathered rows go to
    // scratch, length() bytes each.
    void rows_at(std::ptrdiff_t first, size_t count, unsigned char* scratch, const unsigned char** out) const {
        if (in_place_) {
            const unsigned char* row = base_ + first * row_stride_;
            for (size_t i = 0; i < count; ++i, row += row_stride_) out[i] = row;
            return;
        }
        for (size_t i = 0; i < count; ++i) {
            out[i] = row(first + static_cast<std::ptrdiff_t>(i), scratch + i * length_);
        }
    }

private:
    void gather(const unsigned char* first, unsigned char* out) const {
        switch (itemsize_) {
        case 1: gather_items<1>(first, out); break;
        case 2: gather_items<2>(first, out); break;
        case 4: gather_items<4>(first, out); break;
        case 8: gather_items<8>(first, out); break;
        case 16: gather_items<16>(first, out); break;
        default:
            for (std::ptrdiff_t c = 0; c < cols_; ++c) {
                std::memcpy(out + c * itemsize_, first + c * col_stride_, static_cast<size_t>(itemsize_));
            }
        }
    }

    // A copy of a size known at compile time is a single load and store.
    template <size_t N>
    void gather_items(const unsigned char* first, unsigned char* out) const {
        for (std::ptrdiff_t c = 0; c < cols_; ++c) std::memcpy(out + c * N, first + c * col_stride_, N);
    }

    std::ptrdiff_t rows_, cols_, itemsize_, row_stride_, col_stride_;
    const unsigned char* base_;
    bool too_long_ = false, in_place_ = false;
    size_t length_ = 0;
};

}  // namespace woxbloom
