// MetadataIndex: an in-memory inverted index from (top-level field, scalar
// value) to the slots whose metadata holds that value under that field. It is
// never stored: opening and compaction rebuild it from the per-slot metadata,
// and every write keeps it in step.
//
// Invariant: slot s is in fields_[f][v] exactly when s is live, its metadata is
// an object with the top-level key f, and the value under f is a boolean, a
// number other than NaN or a string that json_equal()s v. No value set and no
// field map is ever empty: an entry goes when its last slot goes.
//
// A value's slots are one flat array (a SlotSet), so listing a filter's
// candidates reads memory in sequence instead of chasing a node per slot.
//
// Beside it, for filters that test one slot at a time or count ranges:
// fields_[f].column[s] is &fields_[f].values[v] when s is in that set, else
// null (or past the column's end), so a test is one load, and
// fields_[f].position[s] is s's place in that set, so a removal is O(1); numbers_[f] holds (x, s) exactly
// when s is live and its metadata object holds a number under f whose double
// is x (see OrderedNumbers); and the set of live slots whose metadata is an
// object, which is what a `$ne` or an empty filter starts from.
//
// Not thread-safe: the database's metadata_index reader-writer lock guards it
// (exclusive for index/remove/rebuild, shared for lookups).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/metadata/json.h"
#include "engine/metadata/ordered_numbers.h"
#include "engine/util/seeded_hash.h"

namespace kelpo {

// The live slots holding one value under one field, each once, in no
// particular order (a removal moves the last slot into the gap).
class SlotSet {
 public:
  size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }
  const uint32_t* begin() const { return slots_.data(); }
  const uint32_t* end() const { return slots_.data() + slots_.size(); }

 private:
  friend class MetadataIndex;
  std::vector<uint32_t> slots_;
};

class MetadataIndex {
 public:
  MetadataIndex() = default;
  // Its columns point into its own sets: it moves but is never copied.
  MetadataIndex(const MetadataIndex&) = delete;
  MetadataIndex& operator=(const MetadataIndex&) = delete;
  MetadataIndex(MetadataIndex&&) = default;
  MetadataIndex& operator=(MetadataIndex&&) = default;

  // Whether a field's value can be a key of the index: a boolean, a number or
  // a string. NaN is left out: it equals nothing, not even itself, so no lookup
  // or removal could ever find it again.
  static bool indexable(const Json& value);

  // Adds the slot under each indexable top-level field of the metadata (nullptr
  // = the slot has none). Adding a slot that is already there changes nothing.
  void index(uint32_t slot, const Json* metadata);
  // Removes the slot from under each indexable top-level field of `metadata`,
  // which must be the metadata the slot was indexed with. Absent entries are ignored.
  void remove(uint32_t slot, const Json* metadata);
  // Empties the index, then indexes every slot s < metadata.size() for which
  // is_deleted(s) is false (an empty function: no slot is deleted).
  void rebuild(const std::vector<SharedJson>& metadata, const std::function<bool(uint32_t)>& is_deleted);

  // The slots holding `value` under `field`, or nullptr when there are none.
  // The pointer is valid until the index next changes.
  const SlotSet* lookup(std::string_view field, const Json& value) const;
  // The slot sets of all values under `field` when it has at most `limit`
  // distinct values (false, *out untouched, when it has more).
  bool value_sets(std::string_view field, size_t limit, std::vector<const SlotSet*>* out) const;
  // Whether any slot holds an indexable value under `field`.
  bool has_field(std::string_view field) const;

  // For each slot, the set it is in under `field` (null: none), or nullptr
  // when no live slot holds an indexable value there. Entries at or past
  // the column's size are null. Valid until the index next changes.
  const std::vector<const SlotSet*>* column(std::string_view field) const;
  // The numbers held under `field`, sorted, or nullptr when no live slot
  // holds a number there. Valid until the index next changes.
  const OrderedNumbers* numbers(std::string_view field) const;
  // Live slots whose metadata is an object, and whether slot s is one.
  size_t object_count() const { return object_count_; }
  bool has_object(uint32_t slot) const {
    return slot / 64 < objects_.size() && ((objects_[slot / 64] >> (slot % 64)) & 1) != 0;
  }

  size_t field_count() const { return fields_.size(); }
  // Distinct values under `field` (0 when the field is absent).
  size_t value_count(std::string_view field) const;

 private:
  // Field names and values are the caller's choice: both tables hash under
  // the process's random key, so crafted keys cannot be made to collide.
  struct ValueHash {
    size_t operator()(const Json& v) const;
  };
  // Everything kept for one field. The value map's nodes never move, so the
  // column's pointers stay valid while their sets live.
  struct Field {
    std::unordered_map<Json, SlotSet, ValueHash, JsonEqual> values;
    std::vector<const SlotSet*> column;
    std::vector<uint32_t> position;  // valid where column is not null
  };
  using FieldMap = std::unordered_map<std::string, Field, SeededStringHash, std::equal_to<>>;

  // Adds slot to the object set; false when it was there already.
  bool mark_object(uint32_t slot);
  // Adds slot under each indexable value of its metadata object.
  void index_values(uint32_t slot, const Json& object);
  // The field named key, made with a column for `slots` slots if new.
  Field& field_for(const std::string& key, size_t slots);
  // Adds slot to the set of `value` (indexable) under the field.
  void add_value(Field& field, uint32_t slot, const Json& value);

  FieldMap fields_;
  std::unordered_map<std::string, OrderedNumbers, SeededStringHash, std::equal_to<>> numbers_;
  std::vector<uint64_t> objects_;  // bit s set <=> s is live with object metadata
  size_t object_count_ = 0;
};

}  // namespace kelpo
