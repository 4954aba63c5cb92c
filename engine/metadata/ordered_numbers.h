// OrderedNumbers: the numbers one metadata field holds, kept sorted, so that a
// range of values ($gt, $gte, $lt, $lte and their conjunctions) resolves to
// its slots and to its count without looking at any slot outside it. Beside
// the sorted entries it keeps each slot's value by slot number, so that a walk
// can test a range on one slot with one load.
//
// Values are doubles: integers become the nearest double, exactly as the
// comparisons of a filter take them, so the index and `matches` agree on every
// record. NaN never enters (metadata holds none, and it would equal nothing).
//
// The sorted entries live in blocks of at most kMaxBlock, each sorted by
// (value, slot) and every block's entries below the next block's: an insert or
// an erase moves at most one block's entries, and a count sums block sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "engine/index/index_types.h"

namespace kelpo {

// An interval of numbers; bounds may be open or closed and infinite. The
// default accepts every number. A NaN bound accepts nothing (a comparison with
// NaN is false).
struct NumberRange {
  double lo = -std::numeric_limits<double>::infinity();
  double hi = std::numeric_limits<double>::infinity();
  bool lo_open = false;
  bool hi_open = false;
  bool none = false;  // set by a NaN bound

  // Narrows the interval to also require x > t (open) or x >= t.
  void above(double t, bool open);
  // Narrows the interval to also require x < t (open) or x <= t.
  void below(double t, bool open);
  // Whether no number can lie inside.
  bool empty() const { return none || lo > hi || (lo == hi && (lo_open || hi_open)); }
  bool contains(double x) const {
    // NaN fails both sides' comparisons, so it is never contained.
    const bool low_ok = lo_open ? x > lo : x >= lo;
    const bool high_ok = hi_open ? x < hi : x <= hi;
    return !none && low_ok && high_ok;
  }
};

class OrderedNumbers {
 public:
  static constexpr size_t kMaxBlock = 512;

  // Adds (value, slot); the slot must not hold a value here already.
  void insert(Slot slot, double value);
  // Removes (value, slot); returns whether it was there.
  bool erase(Slot slot, double value);
  // Replaces everything with these pairs (any order), sorting them once.
  void assign(std::vector<std::pair<double, Slot>> entries);

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // How many entries lie in the range: two binary searches and a sum over
  // the blocks between them.
  size_t count(const NumberRange& range) const;
  // Calls f(slot) for every entry in the range, in ascending value.
  template <class F>
  void for_each(const NumberRange& range, F&& f) const {
    if (range.empty() || size_ == 0) return;
    auto [b, i] = first_inside(range);
    const auto [eb, ei] = first_above(range);
    for (; b <= eb && b < blocks_.size(); ++b, i = 0) {
      const size_t end = b == eb ? ei : blocks_[b].size();
      for (; i < end; ++i) f(blocks_[b][i].slot);
    }
  }

  // A hint that value(slot) is read next.
  void prefetch(Slot slot) const {
    if (slot < by_slot_.size()) __builtin_prefetch(by_slot_.data() + slot);
  }

  // The value slot holds here, or NaN when it holds none.
  double value(Slot slot) const {
    return slot < by_slot_.size() ? by_slot_[slot] : std::numeric_limits<double>::quiet_NaN();
  }

 private:
  struct Entry {
    double value;
    Slot slot;
  };
  using Position = std::pair<size_t, size_t>;  // (block, index in block); (blocks, 0) is the end

  // The first entry not below the range's lower bound, and the first entry
  // above its upper bound.
  Position first_inside(const NumberRange& range) const;
  Position first_above(const NumberRange& range) const;
  // The first entry for which before(value) is false; `before` must be true
  // for a prefix of the order and false after it.
  template <class Before>
  Position partition(const Before& before) const;
  void set_value(Slot slot, double value);

  std::vector<std::vector<Entry>> blocks_;  // never an empty block
  size_t size_ = 0;
  std::vector<double> by_slot_;  // NaN where the slot holds no value
};

}  // namespace kelpo
