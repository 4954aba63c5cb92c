#include "engine/metadata/filter.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace kelpo {
namespace {

Filter field_condition(Filter::Kind kind, std::string field) {
  Filter f;
  f.kind = kind;
  f.field = std::move(field);
  return f;
}

bool matches_object(const Filter& f, const Json::object_t& object) {
  if (f.kind == Filter::Kind::kAnd) {
    return std::all_of(f.children.begin(), f.children.end(),
                       [&](const Filter& c) { return matches_object(c, object); });
  }
  const auto it = object.find(f.field);
  const bool present = it != object.end();
  switch (f.kind) {
    case Filter::Kind::kEq: return present && json_equal(it->second, f.value);
    case Filter::Kind::kNe: return !present || !json_equal(it->second, f.value);
    case Filter::Kind::kIn:
      return present && std::any_of(f.values.begin(), f.values.end(),
                                    [&](const Json& v) { return json_equal(it->second, v); });
    case Filter::Kind::kGt:
    case Filter::Kind::kGte:
    case Filter::Kind::kLt:
    case Filter::Kind::kLte: {
      if (!present || !it->second.is_number()) return false;
      // Integers become the nearest double; a NaN threshold fails every comparison.
      const double x = it->second.get<double>();
      const double t = f.threshold;
      if (f.kind == Filter::Kind::kGt) return x > t;
      if (f.kind == Filter::Kind::kGte) return x >= t;
      if (f.kind == Filter::Kind::kLt) return x < t;
      return x <= t;
    }
    case Filter::Kind::kAnd: break;
  }
  return false;
}

std::vector<uint32_t> sorted(std::span<const uint32_t> slots) {
  std::vector<uint32_t> out(slots.begin(), slots.end());
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<uint32_t> intersect(std::span<const uint32_t> a, std::span<const uint32_t> b) {
  const std::vector<uint32_t> x = sorted(a), y = sorted(b);
  std::vector<uint32_t> out;
  std::set_intersection(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(out));
  return out;
}

Candidates resolve_in(const Filter& f, const MetadataIndex& index) {
  if (!std::all_of(f.values.begin(), f.values.end(), MetadataIndex::indexable)) return Candidates::unresolved();
  std::vector<const SlotSet*> present;
  for (const Json& v : f.values) {
    const SlotSet* s = index.lookup(f.field, v);
    // A value listed twice names the same stored set; take it once.
    if (s != nullptr && std::find(present.begin(), present.end(), s) == present.end()) present.push_back(s);
  }
  if (present.empty()) return Candidates::borrowed(nullptr);
  if (present.size() == 1) return Candidates::borrowed(present.front());
  size_t total = 0;
  for (const SlotSet* s : present) total += s->size();
  std::vector<uint32_t> out;
  out.reserve(total);  // the sets of distinct values are disjoint
  for (const SlotSet* s : present) out.insert(out.end(), s->begin(), s->end());
  return Candidates::owned(std::move(out));
}

// The slots whose number under the field passes the comparison, from the
// ordered numbers: exactly the live slots the comparison matches.
Candidates resolve_range(const Filter& f, const MetadataIndex& index) {
  const OrderedNumbers* numbers = index.numbers(f.field);
  if (numbers == nullptr) return Candidates::borrowed(nullptr);
  NumberRange range;
  const bool open = f.kind == Filter::Kind::kGt || f.kind == Filter::Kind::kLt;
  if (f.kind == Filter::Kind::kGt || f.kind == Filter::Kind::kGte) {
    range.above(f.threshold, open);
  } else {
    range.below(f.threshold, open);
  }
  std::vector<uint32_t> out;
  out.reserve(numbers->count(range));
  numbers->for_each(range, [&](uint32_t s) { out.push_back(s); });
  return Candidates::owned(std::move(out));
}

Candidates resolve_and(const Filter& f, const MetadataIndex& index) {
  Candidates running = Candidates::unresolved();
  for (const Filter& child : f.children) {
    Candidates c = resolve_candidates(child, index);
    if (!c.resolved()) continue;  // the consumers' matches() check covers it
    if (!running.resolved()) {
      running = std::move(c);
    } else {
      running = Candidates::owned(intersect(running.slots(), c.slots()));
    }
    if (running.slots().empty()) break;  // nothing can join an empty intersection
  }
  return running;
}

}  // namespace

Filter Filter::eq(std::string field, Json value) {
  Filter f = field_condition(Kind::kEq, std::move(field));
  f.value = std::move(value);
  return f;
}

Filter Filter::ne(std::string field, Json value) {
  Filter f = field_condition(Kind::kNe, std::move(field));
  f.value = std::move(value);
  return f;
}

Filter Filter::in(std::string field, std::vector<Json> values) {
  Filter f = field_condition(Kind::kIn, std::move(field));
  f.values = std::move(values);
  return f;
}

Filter Filter::compare(Kind kind, std::string field, double t) {
  Filter f = field_condition(kind, std::move(field));
  f.threshold = t;
  return f;
}

Filter Filter::gt(std::string field, double t) { return compare(Kind::kGt, std::move(field), t); }
Filter Filter::gte(std::string field, double t) { return compare(Kind::kGte, std::move(field), t); }
Filter Filter::lt(std::string field, double t) { return compare(Kind::kLt, std::move(field), t); }
Filter Filter::lte(std::string field, double t) { return compare(Kind::kLte, std::move(field), t); }

Filter Filter::all_of(std::vector<Filter> children) {
  Filter f;
  f.kind = Kind::kAnd;
  f.children = std::move(children);
  return f;
}

Filter Filter::combine(std::vector<Filter> conditions) {
  if (conditions.size() == 1) return std::move(conditions.front());
  return all_of(std::move(conditions));
}

std::optional<Filter::Kind> filter_operator(std::string_view op) {
  if (op == "$ne") return Filter::Kind::kNe;
  if (op == "$in") return Filter::Kind::kIn;
  if (op == "$gt") return Filter::Kind::kGt;
  if (op == "$gte") return Filter::Kind::kGte;
  if (op == "$lt") return Filter::Kind::kLt;
  if (op == "$lte") return Filter::Kind::kLte;
  return std::nullopt;
}

std::string filter_not_a_number(Filter::Kind kind) {
  const char* op = "$gt";
  if (kind == Filter::Kind::kGte) op = "$gte";
  if (kind == Filter::Kind::kLt) op = "$lt";
  if (kind == Filter::Kind::kLte) op = "$lte";
  return std::string(op) + " value must be a number";
}

std::string filter_unknown_operator(std::string_view op) { return "unknown operator: " + std::string(op); }

Json filter_int_value(int64_t v) {
  if (v >= 0) return Json(static_cast<uint64_t>(v));
  return Json(v);
}

Json filter_float_value(double v) {
  if (!std::isfinite(v)) return Json(nullptr);
  return Json(v);
}

bool matches(const Filter& filter, const Json* metadata) {
  if (metadata == nullptr || !metadata->is_object()) return false;
  return matches_object(filter, metadata->get_ref<const Json::object_t&>());
}

Candidates Candidates::borrowed(const SlotSet* slots) {
  Candidates c;
  c.resolved_ = true;
  c.borrowed_ = slots;  // nullptr leaves owned_, the empty set, in charge
  return c;
}

Candidates Candidates::owned(std::vector<uint32_t> slots) {
  Candidates c;
  c.resolved_ = true;
  c.owned_ = std::move(slots);
  return c;
}

std::vector<uint32_t> Candidates::release() && {
  if (borrowed_ != nullptr) return sorted(slots());
  std::sort(owned_.begin(), owned_.end());
  return std::move(owned_);
}

Candidates resolve_candidates(const Filter& filter, const MetadataIndex& index) {
  switch (filter.kind) {
    case Filter::Kind::kEq:
      if (!MetadataIndex::indexable(filter.value)) return Candidates::unresolved();
      return Candidates::borrowed(index.lookup(filter.field, filter.value));
    case Filter::Kind::kIn: return resolve_in(filter, index);
    case Filter::Kind::kAnd: return resolve_and(filter, index);
    case Filter::Kind::kGt:
    case Filter::Kind::kGte:
    case Filter::Kind::kLt:
    case Filter::Kind::kLte: return resolve_range(filter, index);
    case Filter::Kind::kNe: break;
  }
  return Candidates::unresolved();
}

std::optional<std::vector<uint32_t>> resolve_from_index(const Filter& filter, const MetadataIndex& index) {
  Candidates c = resolve_candidates(filter, index);
  if (!c.resolved()) return std::nullopt;
  return std::move(c).release();
}

}  // namespace kelpo
