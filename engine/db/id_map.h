// IdMap: the caller's ids to their slots, in one flat array.
//
// An open holds a million ids or more, and a node-per-key hash table pays a
// heap allocation per id (on a virtual machine, mostly first touches of
// fresh heap pages) before the first search can run. Here an id lives inline
// in its entry (short ids within the string itself), the entries and a byte
// of hash tag per entry are two arrays sized once by reserve(), and lookups
// probe linearly from the id's home position. Deleting shifts the entries
// that follow back into the hole, so no tombstones build up under deletes.
//
// Keys are hashed with the process's random key (seeded_hash): callers choose
// ids, and crafted ones must not be able to share one probe sequence.
//
// Iterators and references are invalidated by every insertion and erasure;
// callers look up, then change the table, then look up again. Not thread
// safe: the database guards it with its id lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/index/index_types.h"
#include "engine/util/huge_pages.h"
#include "engine/util/seeded_hash.h"

namespace kelpo {

class IdMap {
  struct Entry {
    std::string id;
    Slot slot = 0;
  };

 public:
  template <bool Const>
  class Iter {
    using Map = std::conditional_t<Const, const IdMap, IdMap>;
    using SlotRef = std::conditional_t<Const, const Slot&, Slot&>;

   public:
    using Pair = std::pair<const std::string&, SlotRef>;
    struct Arrow {
      Pair pair;
      const Pair* operator->() const { return &pair; }
    };
    Iter(Map* map, size_t i) : map_(map), i_(i) { skip_empty(); }
    operator Iter<true>() const { return Iter<true>(map_, i_); }  // NOLINT: like the standard containers
    Pair operator*() const { return {map_->entries_[i_].id, map_->entries_[i_].slot}; }
    Arrow operator->() const { return Arrow{**this}; }
    Iter& operator++() {
      ++i_;
      skip_empty();
      return *this;
    }
    bool operator==(const Iter& o) const { return i_ == o.i_; }
    size_t index() const { return i_; }

   private:
    void skip_empty() {
      while (i_ < map_->tags_.size() && map_->tags_[i_] == 0) ++i_;
    }
    Map* map_;
    size_t i_;
  };
  using iterator = Iter<false>;
  using const_iterator = Iter<true>;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  iterator begin() { return {this, 0}; }
  iterator end() { return {this, tags_.size()}; }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, tags_.size()}; }

  // Room for n ids without regrowing.
  void reserve(size_t n) {
    if (n > max_load(tags_.size())) rehash(n + n / 7 + 1);
  }

  iterator find(std::string_view id) { return {this, locate(id)}; }
  const_iterator find(std::string_view id) const { return {this, locate(id)}; }
  size_t count(std::string_view id) const { return locate(id) == tags_.size() ? 0 : 1; }

  // Inserts id -> slot unless id is present; like the standard containers,
  // returns where the id is and whether it was inserted.
  std::pair<iterator, bool> emplace(std::string_view id, Slot slot) {
    if (size_ + 1 > max_load(tags_.size())) rehash(2 * tags_.size());
    const uint64_t h = seeded_hash(id);
    const uint8_t tag = tag_of(h);
    size_t i = home(h);
    for (; tags_[i] != 0; i = next(i)) {
      if (tags_[i] == tag && entries_[i].id == id) return {iterator(this, i), false};
    }
    tags_[i] = tag;
    entries_[i].id.assign(id);
    entries_[i].slot = slot;
    ++size_;
    return {iterator(this, i), true};
  }

  // The slot of id, inserting it (with slot 0) when absent.
  Slot& operator[](std::string_view id) { return entries_[emplace(id, 0).first.index()].slot; }

  void erase(const_iterator it) { erase_at(it.index()); }
  size_t erase(std::string_view id) {
    const size_t i = locate(id);
    if (i == tags_.size()) return 0;
    erase_at(i);
    return 1;
  }

 private:
  // At most seven eighths full: linear probing stays short up to there.
  static size_t max_load(size_t capacity) { return capacity - capacity / 8; }
  // A home position from the hash's high bits, for any capacity.
  size_t home(uint64_t h) const {
    return static_cast<size_t>((static_cast<unsigned __int128>(h) * tags_.size()) >> 64);
  }
  // A tag from bits the home position does not use; never 0 (empty).
  static uint8_t tag_of(uint64_t h) { return static_cast<uint8_t>(h | 0x80); }
  size_t next(size_t i) const { return i + 1 == tags_.size() ? 0 : i + 1; }

  size_t locate(std::string_view id) const {
    if (size_ == 0) return tags_.size();
    const uint64_t h = seeded_hash(id);
    const uint8_t tag = tag_of(h);
    for (size_t i = home(h); tags_[i] != 0; i = next(i)) {
      if (tags_[i] == tag && entries_[i].id == id) return i;
    }
    return tags_.size();
  }

  void erase_at(size_t i) {
    // Backward shift: an entry after the hole moves into it unless its home
    // lies after the hole (cyclically), where it must stay reachable from.
    size_t hole = i;
    for (size_t j = next(i); tags_[j] != 0; j = next(j)) {
      const size_t h = home(seeded_hash(entries_[j].id));
      const bool stays = hole < j ? (h > hole && h <= j) : (h > hole || h <= j);
      if (stays) continue;
      entries_[hole] = std::move(entries_[j]);
      tags_[hole] = tags_[j];
      hole = j;
    }
    tags_[hole] = 0;
    std::string().swap(entries_[hole].id);  // gives back a long id's heap block
    --size_;
  }

  void rehash(size_t capacity) {
    if (capacity < 16) capacity = 16;
    std::vector<Entry> old_entries;
    std::vector<uint8_t> old_tags;
    old_entries.swap(entries_);
    old_tags.swap(tags_);
    // Filled at once by an open: huge pages spare the first touch of every
    // 4 KiB page.
    reserve_huge(entries_, capacity);
    entries_.resize(capacity);
    tags_.assign(capacity, 0);
    for (size_t k = 0; k < old_tags.size(); ++k) {
      if (old_tags[k] == 0) continue;
      size_t i = home(seeded_hash(old_entries[k].id));
      while (tags_[i] != 0) i = next(i);
      tags_[i] = old_tags[k];
      entries_[i] = std::move(old_entries[k]);
    }
  }

  std::vector<Entry> entries_;
  std::vector<uint8_t> tags_;  // 0: empty; otherwise 0x80 | low hash bits
  size_t size_ = 0;
};

}  // namespace kelpo
