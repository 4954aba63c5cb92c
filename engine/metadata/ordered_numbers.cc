#include "engine/metadata/ordered_numbers.h"

#include <algorithm>
#include <cmath>

namespace kelpo {
namespace {

bool entry_less(double v1, Slot s1, double v2, Slot s2) { return v1 < v2 || (v1 == v2 && s1 < s2); }

}  // namespace

void NumberRange::above(double t, bool open) {
  if (std::isnan(t)) {
    none = true;
  } else if (t > lo) {
    lo = t;
    lo_open = open;
  } else if (t == lo) {
    lo_open = lo_open || open;
  }
}

void NumberRange::below(double t, bool open) {
  if (std::isnan(t)) {
    none = true;
  } else if (t < hi) {
    hi = t;
    hi_open = open;
  } else if (t == hi) {
    hi_open = hi_open || open;
  }
}

void OrderedNumbers::set_value(Slot slot, double value) {
  if (by_slot_.size() <= slot) {
    by_slot_.resize(std::max<size_t>(size_t{slot} + 1, by_slot_.size() + by_slot_.size() / 2),
                    std::numeric_limits<double>::quiet_NaN());
  }
  by_slot_[slot] = value;
}

void OrderedNumbers::insert(Slot slot, double value) {
  set_value(slot, value);
  ++size_;
  if (blocks_.empty()) {
    blocks_.push_back({{value, slot}});
    return;
  }
  // The first block whose last entry is not below the new one; past the end,
  // the last block takes it.
  auto block = std::partition_point(blocks_.begin(), blocks_.end(), [&](const std::vector<Entry>& b) {
    return entry_less(b.back().value, b.back().slot, value, slot);
  });
  if (block == blocks_.end()) --block;
  auto at = std::partition_point(block->begin(), block->end(),
                                 [&](const Entry& e) { return entry_less(e.value, e.slot, value, slot); });
  block->insert(at, Entry{value, slot});
  if (block->size() > kMaxBlock) {
    // Split in halves, so a run of inserts at one place splits rarely.
    std::vector<Entry> upper(block->begin() + static_cast<ptrdiff_t>(block->size() / 2), block->end());
    block->resize(block->size() / 2);
    blocks_.insert(block + 1, std::move(upper));
  }
}

bool OrderedNumbers::erase(Slot slot, double value) {
  auto block = std::partition_point(blocks_.begin(), blocks_.end(), [&](const std::vector<Entry>& b) {
    return entry_less(b.back().value, b.back().slot, value, slot);
  });
  if (block == blocks_.end()) return false;
  auto at = std::partition_point(block->begin(), block->end(),
                                 [&](const Entry& e) { return entry_less(e.value, e.slot, value, slot); });
  if (at == block->end() || at->slot != slot || !(at->value == value)) return false;
  block->erase(at);
  if (block->empty()) blocks_.erase(block);
  --size_;
  by_slot_[slot] = std::numeric_limits<double>::quiet_NaN();
  return true;
}

void OrderedNumbers::assign(std::vector<std::pair<double, Slot>> entries) {
  blocks_.clear();
  by_slot_.clear();
  size_ = entries.size();
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    return entry_less(a.first, a.second, b.first, b.second);
  });
  // Sized once: the slots come in value order, not slot order.
  Slot top = 0;
  for (const auto& e : entries) top = std::max(top, e.second);
  if (!entries.empty()) by_slot_.assign(size_t{top} + 1, std::numeric_limits<double>::quiet_NaN());
  // Blocks filled to three quarters leave room for inserts before a split.
  constexpr size_t kFill = kMaxBlock * 3 / 4;
  for (size_t i = 0; i < entries.size(); i += kFill) {
    std::vector<Entry> block;
    block.reserve(kMaxBlock + 1);
    for (size_t j = i; j < std::min(entries.size(), i + kFill); ++j) {
      block.push_back({entries[j].first, entries[j].second});
      set_value(entries[j].second, entries[j].first);
    }
    blocks_.push_back(std::move(block));
  }
}

template <class Before>
OrderedNumbers::Position OrderedNumbers::partition(const Before& before) const {
  auto block = std::partition_point(blocks_.begin(), blocks_.end(),
                                    [&](const std::vector<Entry>& b) { return before(b.back().value); });
  if (block == blocks_.end()) return {blocks_.size(), 0};
  auto at = std::partition_point(block->begin(), block->end(), [&](const Entry& e) { return before(e.value); });
  return {static_cast<size_t>(block - blocks_.begin()), static_cast<size_t>(at - block->begin())};
}

OrderedNumbers::Position OrderedNumbers::first_inside(const NumberRange& r) const {
  if (r.lo_open) return partition([&](double v) { return v <= r.lo; });
  return partition([&](double v) { return v < r.lo; });
}

OrderedNumbers::Position OrderedNumbers::first_above(const NumberRange& r) const {
  if (r.hi_open) return partition([&](double v) { return v < r.hi; });
  return partition([&](double v) { return v <= r.hi; });
}

size_t OrderedNumbers::count(const NumberRange& range) const {
  if (range.empty() || size_ == 0) return 0;
  const auto [b, i] = first_inside(range);
  const auto [eb, ei] = first_above(range);
  if (b > eb || (b == eb && i >= ei)) return 0;
  if (b == eb) return ei - i;
  size_t n = blocks_[b].size() - i;
  for (size_t x = b + 1; x < eb; ++x) n += blocks_[x].size();
  return n + ei;  // ei is 0 when eb is the end
}

}  // namespace kelpo
