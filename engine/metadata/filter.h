// Filter: the parsed `where_filter` tree, evaluated against one record's
// metadata (`matches`) or answered from the metadata index where it can be
// (`resolve_from_index`). Parsing from Python dicts lives in the binding; it
// only walks the dict and calls the constructors below.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/metadata/json.h"

namespace kelpo {

class MetadataIndex;

using SlotSet = std::unordered_set<uint32_t>;

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
  static Filter all_of(std::vector<Filter> children);
  // One condition stays itself; zero or several become an And.
  static Filter combine(std::vector<Filter> conditions);
};

// Whether the filter accepts a record with this metadata (absent = nullptr).
bool matches(const Filter& filter, const Json* metadata);

// The candidate slots the metadata index can give for this filter, or nullopt
// when it cannot answer (the consumer then scans every slot with `matches`).
std::optional<SlotSet> resolve_from_index(const Filter& filter, const MetadataIndex& index);

}  // namespace kelpo
