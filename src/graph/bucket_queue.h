// Monotone priority queues on integer steps (Dial's buckets).
//
// While every key in the queue lies within max_step of the last popped one, a
// ring of max_step + 1 buckets holds one key value each, so push and pop are
// constant time. Buckets are stacks linked through one pool of entries, so
// equal keys pop newest first: the order a radix heap gives them too, since
// equal keys always share its bucket in push order and its lowest bucket is a
// stack.
//
// Wider steps would make the ring long and its scan for the next key slow, so
// they take the WideRing: each bucket spans 2^shift keys, about 1/2,000th
// of the widest step, and the bucket being popped is unpacked into a short
// list searched for its least key, newest first among equal ones. It pops in
// the same order.
#pragma once

#include <bit>
#include <cstdint>
#include <utility>
#include <vector>

namespace velkan {

class BucketQueue {
  struct Entry {
    std::uint32_t node;
    std::uint32_t next;  // entry below in the same bucket, or kEnd
  };
  struct WideEntry {
    std::uint64_t key;
    std::uint32_t node;
    std::uint32_t next;
  };
  struct Open {
    std::uint64_t order;
    std::uint32_t node;
  };
  static constexpr std::uint32_t kEnd = UINT32_MAX;

  // A ring's buckets that hold entries, a bit each, let a pop skip the empty
  // ones 64 at a time.
  static void set_bit(std::uint64_t* bits, std::size_t slot) { bits[slot >> 6] |= std::uint64_t{1} << (slot & 63); }
  static void clear_bit(std::uint64_t* bits, std::size_t slot) {
    bits[slot >> 6] &= ~(std::uint64_t{1} << (slot & 63));
  }
  // The first set bucket at or after `slot`, round the ring; one must be set.
  static std::size_t next_occupied(const std::uint64_t* bits, std::size_t slot, std::size_t word_mask) {
    std::size_t word = slot >> 6;
    std::uint64_t set = bits[word] & (~std::uint64_t{0} << (slot & 63));
    while (set == 0) {
      word = (word + 1) & word_mask;
      set = bits[word];
    }
    return (word << 6) | static_cast<std::size_t>(std::countr_zero(set));
  }

 public:
  // Widest step the ring is ever grown for; wider graphs take another queue.
  static constexpr std::uint32_t kMaxStep = 1u << 14;

  // The queue's state over its storage, in plain values.
  class Ring {
   public:
    bool empty() const { return size_ == 0; }

    // At most `pushes` pushes (given to reset) may come before the next reset.
    void push(std::uint64_t key, std::uint32_t node) {
      if (used_ == capacity_) [[unlikely]]
        overflow();
      const std::size_t slot = static_cast<std::size_t>(key) & mask_;
      std::uint32_t& head = heads_[slot];
      pool_[used_] = Entry{node, head};
      head = static_cast<std::uint32_t>(used_++);
      set_bit(occupied_, slot);
      ++size_;
    }

    // The least key and, of its nodes, the one pushed last; the queue must not be empty.
    std::pair<std::uint64_t, std::uint32_t> pop() {
      const std::size_t slot = static_cast<std::size_t>(current_) & mask_;
      const std::size_t found = next_occupied(occupied_, slot, word_mask_);
      current_ += (found - slot) & mask_;
      std::uint32_t& head = heads_[found];
      const Entry& top = pool_[head];
      head = top.next;
      if (head == kEnd) clear_bit(occupied_, found);
      --size_;
      return {current_, top.node};
    }

    // The last key popped, below which no key may be pushed.
    std::uint64_t last_key() const { return current_; }
    // Moves an empty queue on to keys from `key` (at least the last popped).
    void restart_at(std::uint64_t key) { current_ = key; }

   private:
    friend class BucketQueue;
    std::uint32_t* heads_ = nullptr;     // ring, a power of two long (64 or more): top entry of each bucket
    std::uint64_t* occupied_ = nullptr;  // bit per bucket: it holds entries
    Entry* pool_ = nullptr;              // room for every push since reset; [0, used_) taken
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
    std::size_t mask_ = 0;
    std::size_t word_mask_ = 0;  // of the bit set's words
    std::uint64_t current_ = 0;
    std::size_t size_ = 0;
  };

  // The queue for steps above kMaxStep, in plain values like Ring.
  class WideRing {
   public:
    bool empty() const { return size_ == 0; }

    void push(std::uint64_t key, std::uint32_t node) {
      if (used_ == capacity_) [[unlikely]]
        overflow();
      const auto seq = static_cast<std::uint32_t>(used_++);
      ++size_;
      if ((key >> shift_) == current_) {
        open_[open_count_++] = Open{open_order(key, seq), node};
        return;
      }
      const std::size_t slot = static_cast<std::size_t>(key >> shift_) & mask_;
      std::uint32_t& head = heads_[slot];
      pool_[seq] = WideEntry{key, node, head};
      head = seq;
      set_bit(occupied_, slot);
    }

    std::pair<std::uint64_t, std::uint32_t> pop() {
      if (open_count_ == 0) open_next_bucket();
      std::size_t least = 0;
      for (std::size_t i = 1; i < open_count_; ++i) least = open_[i].order < open_[least].order ? i : least;
      const Open top = open_[least];
      open_[least] = open_[--open_count_];
      --size_;
      return {(current_ << shift_) | (top.order >> 32), top.node};
    }

   private:
    friend class BucketQueue;
    // Low key bits above, the push's sequence number inverted below: the
    // least order is the least key, and of equal keys the newest.
    std::uint64_t open_order(std::uint64_t key, std::uint32_t seq) const {
      return ((key & low_mask_) << 32) | (UINT32_MAX - seq);
    }
    void open_next_bucket() {
      const std::size_t slot = static_cast<std::size_t>(current_ + 1) & mask_;
      const std::size_t found = next_occupied(occupied_, slot, word_mask_);
      current_ += 1 + ((found - slot) & mask_);
      std::uint32_t& head = heads_[found];
      for (std::uint32_t e = head; e != kEnd; e = pool_[e].next)
        open_[open_count_++] = Open{open_order(pool_[e].key, e), pool_[e].node};
      head = kEnd;
      clear_bit(occupied_, found);
    }

    std::uint32_t* heads_ = nullptr;     // ring, a power of two long (64 or more): top entry of each bucket
    std::uint64_t* occupied_ = nullptr;  // bit per bucket: it holds entries
    std::size_t word_mask_ = 0;
    WideEntry* pool_ = nullptr;  // [0, used_) numbered by push
    Open* open_ = nullptr;       // the current bucket's entries, unordered
    std::size_t open_count_ = 0;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
    std::size_t mask_ = 0;
    int shift_ = 0;
    std::uint64_t low_mask_ = 0;
    std::uint64_t current_ = 0;  // the bucket (key >> shift) being popped
    std::size_t size_ = 0;
  };

  // Empties the queue for keys from 0 whose pushes exceed the last popped key
  // by at most max_step (<= kMaxStep); room for `pushes` pushes is kept.
  void reset(std::uint32_t max_step, std::size_t pushes);
  bool empty() const { return ring_.empty(); }
  void push(std::uint64_t key, std::uint32_t node) { ring_.push(key, node); }
  std::pair<std::uint64_t, std::uint32_t> pop() { return ring_.pop(); }

  // A copy of the state just after reset(), to be the queue for one search
  // loop. Held in a local variable, it stays in registers; the queue's own
  // members would be reloaded after every store through the search's arrays
  // of the same integer type. The queue itself is not to be used until the
  // next reset().
  Ring local() const { return ring_; }

  // Grows the storage for reset(max_step, pushes) without emptying the queue.
  void reserve(std::uint32_t max_step, std::size_t pushes);

  // The same for any max_step, which may exceed kMaxStep.
  WideRing wide_local(std::uint32_t max_step, std::size_t pushes);

 private:
  [[noreturn]] static void overflow();
  void clear_ring(std::size_t ring);  // empties the first `ring` buckets, a multiple of 64
  std::vector<std::uint32_t> heads_;
  std::vector<Entry> pool_;
  std::vector<std::uint64_t> occupied_;
  Ring ring_;
  std::vector<WideEntry> wide_pool_;
  std::vector<Open> open_;
};

}  // namespace velkan
