// Filters, engine side: the input is a JSON document {"f": filter dict,
// "r": [metadata, ...]} read with the dict language the binding uses. The
// metadata index's answer must never miss a record that matches() accepts,
// and must equal the scan exactly when the index answers the filter alone.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "engine/metadata/filter.h"
#include "engine/metadata/metadata_index.h"

namespace {

using namespace kelpo;

// An operand as the binding converts a Python value; nullopt when unsupported.
std::optional<Json> operand(const Json& v) {
  switch (v.type()) {
    case Json::value_t::string:
    case Json::value_t::boolean:
    case Json::value_t::null: return v;
    case Json::value_t::number_integer: return filter_int_value(v.get<int64_t>());
    case Json::value_t::number_unsigned: {
      const uint64_t u = v.get<uint64_t>();
      if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return filter_int_value(static_cast<int64_t>(u));
      }
      return filter_float_value(static_cast<double>(u));
    }
    case Json::value_t::number_float: return filter_float_value(v.get<double>());
    default: return std::nullopt;
  }
}

std::optional<Filter> parse(const Json& dict) {
  if (!dict.is_object()) return std::nullopt;
  std::vector<Filter> conditions;
  for (const auto& [field, value] : dict.items()) {
    if (!value.is_object()) {
      std::optional<Json> v = operand(value);
      if (!v) return std::nullopt;
      conditions.push_back(Filter::eq(field, *v));
      continue;
    }
    for (const auto& [op, arg] : value.items()) {
      const std::optional<Filter::Kind> kind = filter_operator(op);
      if (!kind) return std::nullopt;
      if (*kind == Filter::Kind::kNe) {
        std::optional<Json> v = operand(arg);
        if (!v) return std::nullopt;
        conditions.push_back(Filter::ne(field, *v));
      } else if (*kind == Filter::Kind::kIn) {
        if (!arg.is_array()) return std::nullopt;
        std::vector<Json> values;
        for (const Json& e : arg) {
          std::optional<Json> v = operand(e);
          if (!v) return std::nullopt;
          values.push_back(*v);
        }
        conditions.push_back(Filter::in(field, std::move(values)));
      } else {
        if (!arg.is_number()) return std::nullopt;
        conditions.push_back(Filter::compare(*kind, field, arg.get<double>()));
      }
    }
  }
  return Filter::combine(std::move(conditions));
}

bool index_answers(const Filter& f) {
  switch (f.kind) {
    case Filter::Kind::kEq: return MetadataIndex::indexable(f.value);
    case Filter::Kind::kIn: return std::all_of(f.values.begin(), f.values.end(), MetadataIndex::indexable);
    case Filter::Kind::kAnd:
      return !f.children.empty() && std::all_of(f.children.begin(), f.children.end(), index_answers);
    default: return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Json doc;
  if (!json_parse(std::string_view(reinterpret_cast<const char*>(data), size), &doc, nullptr)) return 0;
  if (!doc.is_object() || !doc.contains("f")) return 0;
  const std::optional<Filter> filter = parse(doc["f"]);
  if (!filter) return 0;
  std::vector<SharedJson> records;
  if (doc.contains("r") && doc["r"].is_array()) {
    for (const Json& m : doc["r"]) records.push_back(m.is_null() ? nullptr : std::make_shared<const Json>(m));
  }
  MetadataIndex index;
  // Index everything, then take every third record out again, so removal is
  // exercised and removed slots count as deleted.
  index.rebuild(records, {});
  for (uint32_t s = 0; s < records.size(); s += 3) index.remove(s, records[s].get());
  auto live = [](uint32_t s) { return s % 3 != 0; };
  const Candidates c = resolve_candidates(*filter, index);
  const std::set<uint32_t> candidates(c.slots().begin(), c.slots().end());
  if (candidates.size() != c.slots().size()) __builtin_trap();  // a slot listed twice
  for (uint32_t s = 0; s < records.size(); ++s) {
    const bool match = live(s) && matches(*filter, records[s].get());
    if (!c.resolved()) continue;
    const bool candidate = candidates.count(s) != 0;
    if (candidate && !live(s)) __builtin_trap();       // a removed slot came back
    if (match && !candidate) __builtin_trap();         // the index missed a match
    if (candidate && !match && index_answers(*filter)) __builtin_trap();  // claimed exact, was not
  }
  return 0;
}
