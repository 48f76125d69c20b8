#include "graph/bucket_queue.h"

#include <algorithm>
#include <bit>

#include "common/errors.h"

namespace velkan {
namespace {

// The buckets of a ring for steps up to max_step (<= kMaxStep): one per key.
std::size_t narrow_ring(std::uint32_t max_step) {
  return std::max<std::size_t>(64, std::bit_ceil(static_cast<std::size_t>(max_step) + 1));
}

}  // namespace

void BucketQueue::clear_ring(std::size_t ring) {
  heads_.resize(std::max(heads_.size(), ring));  // capacity is kept from search to search
  std::fill(heads_.begin(), heads_.begin() + static_cast<std::ptrdiff_t>(ring), kEnd);
  occupied_.resize(std::max(occupied_.size(), ring / 64));
  std::fill(occupied_.begin(), occupied_.begin() + static_cast<std::ptrdiff_t>(ring / 64), 0);
}

void BucketQueue::reserve(std::uint32_t max_step, std::size_t pushes) {
  if (max_step > kMaxStep) return;  // a wide ring's storage is its own
  const std::size_t ring = narrow_ring(max_step);
  if (heads_.size() < ring) heads_.resize(ring);
  if (occupied_.size() < ring / 64) occupied_.resize(ring / 64);
  if (pool_.size() < pushes) pool_.resize(pushes);
}

void BucketQueue::reset(std::uint32_t max_step, std::size_t pushes) {
  if (max_step > kMaxStep) throw InternalError("Bucket queue step exceeds its ring.");
  const std::size_t ring = narrow_ring(max_step);
  clear_ring(ring);
  if (pushes >= UINT32_MAX) throw InternalError("Bucket queue pushes exceed its pool.");
  if (pool_.size() < pushes) pool_.resize(pushes);  // kept from search to search
  ring_ = Ring{};
  ring_.heads_ = heads_.data();
  ring_.pool_ = pool_.data();
  ring_.capacity_ = pool_.size();
  ring_.occupied_ = occupied_.data();
  ring_.mask_ = ring - 1;
  ring_.word_mask_ = ring / 64 - 1;
}

BucketQueue::WideRing BucketQueue::wide_local(std::uint32_t max_step, std::size_t pushes) {
  // About 2,000 buckets span the widest step; keys in the queue span one more bucket.
  const int shift = std::max(0, static_cast<int>(std::bit_width(max_step)) - 11);
  const std::size_t ring = std::max<std::size_t>(64, std::bit_ceil((static_cast<std::size_t>(max_step) >> shift) + 2));
  clear_ring(ring);
  if (pushes >= UINT32_MAX) throw InternalError("Bucket queue pushes exceed its pool.");
  if (wide_pool_.size() < pushes) {
    wide_pool_.resize(pushes);
    open_.resize(pushes);
  }
  WideRing wide;
  wide.heads_ = heads_.data();
  wide.pool_ = wide_pool_.data();
  wide.open_ = open_.data();
  wide.capacity_ = wide_pool_.size();
  wide.occupied_ = occupied_.data();
  wide.mask_ = ring - 1;
  wide.word_mask_ = ring / 64 - 1;
  wide.shift_ = shift;
  wide.low_mask_ = (std::uint64_t{1} << shift) - 1;
  return wide;
}

void BucketQueue::overflow() { throw InternalError("Bucket queue pushes exceed its pool."); }

}  // namespace velkan
