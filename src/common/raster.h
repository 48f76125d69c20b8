// Dense owned raster, row-major, indexed (row, column) or (row, column, band).
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/cell_memory.h"
#include "common/no_init_allocator.h"

namespace velkan {

// Memory for a raster's cells, from calloc: a large raster of zeros costs
// nothing until its cells are written (the system hands out zero pages
// lazily), and its first writes happen on the workers that compute the rows.
template <class T>
struct ZeroPages {
  static_assert(std::is_trivial_v<T>, "cells must be plain values whose zero bits are zero");
  using value_type = T;

  ZeroPages() = default;
  template <class U>
  ZeroPages(const ZeroPages<U>&) {}

  T* allocate(std::size_t n) { return static_cast<T*>(allocate_zeroed_cells(n, sizeof(T))); }
  void deallocate(T* memory, std::size_t) { free_cells(memory); }

  template <class U>
  bool operator==(const ZeroPages<U>&) const {
    return true;
  }
};

// Storage for a raster's cells, sized once. Value-initialisation writes
// nothing, which is sound only because this storage is never resized after
// it is made: calloc has zeroed it already.
template <class T>
using ZeroPageAllocator = NoInitAllocator<T, ZeroPages<T>>;

// A single-band grid of cells held by someone else (a caller's buffer); it
// only lends them for as long as that buffer lives.
template <class T>
class RasterView {
 public:
  RasterView(T* data, std::size_t rows, std::size_t cols) : data_(data), rows_(rows), cols_(cols) {}

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::size_t size() const { return rows_ * cols_; }
  T& operator()(std::size_t r, std::size_t c) const { return data_[r * cols_ + c]; }
  T* row_ptr(std::size_t r) const { return data_ + r * cols_; }

 private:
  T* data_;
  std::size_t rows_, cols_;
};

template <class T>
class Raster {
 public:
  using Storage = std::vector<T, ZeroPageAllocator<T>>;

  Raster() = default;
  Raster(std::size_t rows, std::size_t cols, std::size_t bands, T fill)
      : rows_(rows), cols_(cols), bands_(bands), data_(rows * cols * bands, fill) {}
  Raster(std::size_t rows, std::size_t cols, T fill) : Raster(rows, cols, 1, fill) {}

  // A single-band raster of zeros whose pages are only touched when written.
  static Raster zeros(std::size_t rows, std::size_t cols) {
    Raster raster;
    raster.rows_ = rows;
    raster.cols_ = cols;
    raster.data_ = Storage(rows * cols);
    return raster;
  }

  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  std::size_t bands() const { return bands_; }
  std::size_t size() const { return data_.size(); }

  T& operator()(std::size_t r, std::size_t c) { return data_[(r * cols_ + c) * bands_]; }
  const T& operator()(std::size_t r, std::size_t c) const { return data_[(r * cols_ + c) * bands_]; }
  T& at(std::size_t r, std::size_t c, std::size_t b) { return data_[(r * cols_ + c) * bands_ + b]; }
  const T& at(std::size_t r, std::size_t c, std::size_t b) const { return data_[(r * cols_ + c) * bands_ + b]; }

  // All bands of cell (r, c), contiguous.
  const T* cell(std::size_t r, std::size_t c) const { return data_.data() + (r * cols_ + c) * bands_; }
  T* row_ptr(std::size_t r) { return data_.data() + r * cols_ * bands_; }
  const T* row_ptr(std::size_t r) const { return data_.data() + r * cols_ * bands_; }

  T* data() { return data_.data(); }
  const T* data() const { return data_.data(); }

  // The cells of a single-band raster, lent.
  RasterView<T> view() { return RasterView<T>(data_.data(), rows_, cols_); }

  bool same_shape(const Raster& other) const {
    return rows_ == other.rows_ && cols_ == other.cols_ && bands_ == other.bands_;
  }

 private:
  std::size_t rows_ = 0, cols_ = 0, bands_ = 1;
  Storage data_;
};

}  // namespace velkan
