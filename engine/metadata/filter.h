// Filter: the parsed `where_filter` tree, evaluated against one record's
// metadata (`matches`) or answered from the metadata index where it can be
// (`resolve_from_index`). Parsing from Python dicts lives in the binding; it
// only walks the dict and calls the constructors and conversions below.
//
// How consumers (count, search) use a filter: resolve it under a shared
// metadata_index lock. Resolved: examine only the candidate slots. Unresolved:
// examine every slot. Either way, keep the live slots for which `matches` is
// true. A resolved set never misses a matching slot; it may hold extra slots
// when an And mixes index conditions with others, and `matches` drops those.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/metadata/json.h"
#include "engine/metadata/metadata_index.h"

namespace kelpo {

struct Filter {
  enum class Kind : uint8_t { kEq, kNe, kIn, kGt, kGte, kLt, kLte, kAnd };

  Kind kind = Kind::kAnd;
  std::string field;              // Eq, Ne, In, Gt, Gte, Lt, Lte
  Json value;                     // Eq, Ne
  std::vector<Json> values;       // In
  double threshold = 0.0;         // Gt, Gte, Lt, Lte
  std::vector<Filter> children;   // And

  static Filter eq(std::string field, Json value);
  static Filter ne(std::string field, Json value);
  static Filter in(std::string field, std::vector<Json> values);
  static Filter gt(std::string field, double t);
  static Filter gte(std::string field, double t);
  static Filter lt(std::string field, double t);
  static Filter lte(std::string field, double t);
  // Gt, Gte, Lt or Lte, chosen by `kind` (which must be one of them).
  static Filter compare(Kind kind, std::string field, double t);
  static Filter all_of(std::vector<Filter> children);
  // One condition stays itself; zero or several become an And.
  static Filter combine(std::vector<Filter> conditions);
};

// --- The dict language, for the parser in the binding ---------------------
//
// A field whose dict value is not a dict is an Eq condition. A dict value holds
// operators, each one condition; an empty one holds none. All conditions of a
// filter dict, in the dict's order, go to Filter::combine.

// "$ne", "$in", "$gt", "$gte", "$lt", "$lte" -> their kind; anything else
// (including "$eq", "$nin", "$or") -> nullopt.
std::optional<Filter::Kind> filter_operator(std::string_view op);

// The parser's failures, raised as ValueError with exactly these texts.
inline constexpr const char* kFilterInNotList = "$in value must be a list";
inline constexpr const char* kFilterUnsupportedValue = "unsupported filter value type";
// "$gt value must be a number" (and $gte, $lt, $lte), for a comparison `kind`.
std::string filter_not_a_number(Filter::Kind kind);
// "unknown operator: {op}".
std::string filter_unknown_operator(std::string_view op);

// Conversions of Eq, "$ne" and "$in" operands, tried in this order: a str is a
// JSON string, a bool a JSON boolean, an integer that fits 64 signed bits goes
// through filter_int_value, anything else with a float conversion through
// filter_float_value, None is JSON null; anything else (lists included) fails
// with kFilterUnsupportedValue.
//
// An integer of the non-negative or the negative kind by its sign, so that it
// equals the stored metadata integer of the same value.
Json filter_int_value(int64_t v);
// A float number, or null when v is NaN or infinite (JSON has neither).
Json filter_float_value(double v);

// --- Evaluation ------------------------------------------------------------

// Whether the filter accepts a record with this metadata (absent = nullptr).
// Metadata that is absent or not an object matches no filter at all.
bool matches(const Filter& filter, const Json* metadata);

// The outcome of answering a filter from the index: unresolved, or a candidate
// set. The set is borrowed from the index when no work was needed to form it
// (a single equality), so it is valid only while the index is unchanged, i.e.
// while the caller keeps holding the metadata_index lock; otherwise it is owned.
class Candidates {
 public:
  static Candidates unresolved() { return Candidates(); }
  static Candidates borrowed(const SlotSet* slots);  // nullptr: the empty set
  static Candidates owned(std::vector<uint32_t> slots);  // distinct slots

  bool resolved() const { return resolved_; }
  // The candidate slots, each once, in no particular order. Only when resolved().
  std::span<const uint32_t> slots() const {
    if (borrowed_ != nullptr) return {borrowed_->begin(), borrowed_->size()};
    return owned_;
  }
  // The candidate slots as the caller's own, ascending (a copy when borrowed).
  std::vector<uint32_t> release() &&;

 private:
  bool resolved_ = false;
  const SlotSet* borrowed_ = nullptr;  // when set, the candidates; owned_ is unused
  std::vector<uint32_t> owned_;
};

// Answers what the index can, without copying a stored set. Eq and In on
// booleans, numbers and strings resolve to exactly the matching live slots;
// Eq or In naming null, an array, an object or NaN is unresolved (the index
// holds no such values, but matches() can accept them, so only a scan gives
// the same answer); an And resolves to the intersection of its resolved
// conditions (unresolved if none resolve, including the empty And, whose
// scan accepts every record with object metadata); the comparisons resolve to
// exactly the live slots holding a number that passes them (from the ordered
// numbers); Ne is unresolved (its set is most records: FilterPlan counts and
// tests it without forming it).
Candidates resolve_candidates(const Filter& filter, const MetadataIndex& index);

// The same as slots of the caller's own, ascending, or nullopt when
// unresolved; the caller may release the metadata_index lock as soon as it returns.
std::optional<std::vector<uint32_t>> resolve_from_index(const Filter& filter, const MetadataIndex& index);

}  // namespace kelpo
