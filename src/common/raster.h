// Dense owned raster, row-major, indexed (row, column) or (row, column, band).
#pragma once

#include <cstddef>
#include <vector>

namespace velkan {

template <class T>
class Raster {
 public:
  Raster() = default;
  Raster(std::size_t rows, std::size_t cols, std::size_t bands, T fill)
      : rows_(rows), cols_(cols), bands_(bands), data_(rows * cols * bands, fill) {}
  Raster(std::size_t rows, std::size_t cols, T fill) : Raster(rows, cols, 1, fill) {}

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::size_t bands() const { return bands_; }
  std::size_t size() const { return data_.size(); }

  T& operator()(std::size_t r, std::size_t c) { return data_[(r * cols_ + c) * bands_]; }
  const T& operator()(std::size_t r, std::size_t c) const { return data_[(r * cols_ + c) * bands_]; }
  T& at(std::size_t r, std::size_t c, std::size_t b) { return data_[(r * cols_ + c) * bands_ + b]; }
  const T& at(std::size_t r, std::size_t c, std::size_t b) const {
    return data_[(r * cols_ + c) * bands_ + b];
  }

  // All bands of cell (r, c), contiguous.
  const T* cell(std::size_t r, std::size_t c) const { return data_.data() + (r * cols_ + c) * bands_; }
  T* row_ptr(std::size_t r) { return data_.data() + r * cols_ * bands_; }
  const T* row_ptr(std::size_t r) const { return data_.data() + r * cols_ * bands_; }

  T* data() { return data_.data(); }
  const T* data() const { return data_.data(); }

  bool same_shape(const Raster& other) const {
    return rows_ == other.rows_ && cols_ == other.cols_ && bands_ == other.bands_;
  }

 private:
  std::size_t rows_ = 0, cols_ = 0, bands_ = 1;
  std::vector<T> data_;
};

}  // namespace velkan
