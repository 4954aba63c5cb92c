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
#include <unordered_set>
#include <vector>

#include "engine/metadata/json.h"
#include "engine/util/seeded_hash.h"

namespace kelpo {

using SlotSet = std::unordered_set<uint32_t>;

class MetadataIndex {
 public:
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
  void rebuild(const std::vector<std::optional<Json>>& metadata, const std::function<bool(uint32_t)>& is_deleted);

  // The slots holding `value` under `field`, or nullptr when there are none.
  // The pointer is valid until the index next changes.
  const SlotSet* lookup(std::string_view field, const Json& value) const;
  // Whether any slot holds an indexable value under `field`.
  bool has_field(std::string_view field) const;

  size_t field_count() const { return fields_.size(); }
  // Distinct values under `field` (0 when the field is absent).
  size_t value_count(std::string_view field) const;

 private:
  // Field names and values are the caller's choice: both tables hash under
  // the process's random key, so crafted keys cannot be made to collide.
  struct ValueHash {
    size_t operator()(const Json& v) const;
  };
  using ValueMap = std::unordered_map<Json, SlotSet, ValueHash, JsonEqual>;
  using FieldMap = std::unordered_map<std::string, ValueMap, SeededStringHash, std::equal_to<>>;

  FieldMap fields_;
};

}  // namespace kelpo
