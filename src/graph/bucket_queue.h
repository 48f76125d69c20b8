// Monotone priority queue for small integer steps (Dial's buckets).
//
// While every key in the queue lies within max_step of the last popped one, a
// ring of max_step + 1 buckets holds one key value each, so push and pop are
// constant time. Buckets are stacks linked through one pool of entries, so
// equal keys pop newest first: the order a radix heap gives them too, since
// equal keys always share its bucket in push order and its lowest bucket is a
// stack.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace velkan {

class BucketQueue {
 public:
  // Widest step the ring is ever grown for; wider graphs take another queue.
  static constexpr std::uint32_t kMaxStep = 1u << 14;

  // Empties the queue for keys from 0 whose pushes exceed the last popped key
  // by at most max_step (<= kMaxStep); room for `pushes` pushes is kept.
  void reset(std::uint32_t max_step, std::size_t pushes);
  bool empty() const { return size_ == 0; }

  // At most `pushes` pushes (given to reset) may come before the next reset.
  void push(std::uint64_t key, std::uint32_t node) {
    if (used_ == pool_.size()) [[unlikely]] overflow();
    std::uint32_t& head = heads_[static_cast<std::size_t>(key) & mask_];
    pool_[used_] = Entry{node, head};
    head = static_cast<std::uint32_t>(used_++);
    ++size_;
  }

  // The least key and, of its nodes, the one pushed last; the queue must not be empty.
  std::pair<std::uint64_t, std::uint32_t> pop() {
    while (heads_[static_cast<std::size_t>(current_) & mask_] == kEnd) ++current_;
    std::uint32_t& head = heads_[static_cast<std::size_t>(current_) & mask_];
    const Entry& top = pool_[head];
    head = top.next;
    --size_;
    return {current_, top.node};
  }

 private:
  static constexpr std::uint32_t kEnd = UINT32_MAX;
  struct Entry {
    std::uint32_t node;
    std::uint32_t next;  // entry below in the same bucket, or kEnd
  };
  std::vector<std::uint32_t> heads_;  // ring, a power of two long: top entry of each bucket
  [[noreturn]] static void overflow();
  std::vector<Entry> pool_;           // room for every push since reset; [0, used_) taken
  std::size_t used_ = 0;
  std::size_t mask_ = 0;
  std::uint64_t current_ = 0;
  std::size_t size_ = 0;
};

}  // namespace velkan
