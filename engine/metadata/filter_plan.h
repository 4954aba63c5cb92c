// FilterPlan: a filter compiled against the metadata index for one count or
// one search call. It answers three questions cheaply:
//
//   - how many live records match (exactly, when every condition is one the
//     index counts; otherwise an estimate),
//   - which slots to look at when the matching records are few: the candidates
//     of its most selective indexed condition (the "driver"), so a scan visits
//     those and not every slot,
//   - whether one slot matches, by looking up the index's sets and ordered
//     numbers instead of walking the slot's JSON (which only conditions the
//     index cannot answer still do).
//
// A plan borrows the index's sets and the metadata store: it is valid while
// neither changes, i.e. while the caller holds the database's metadata lock
// shared (every writer of the index holds it exclusively).
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/metadata/filter.h"
#include "engine/metadata/json.h"
#include "engine/metadata/metadata_index.h"
#include "engine/metadata/ordered_numbers.h"

namespace kelpo {

class FilterPlan {
 public:
  // An $in of more values than this is tested by binary search.
  static constexpr size_t kLinearSets = 8;

  // `metadata` is the per-slot metadata the index was built from.
  FilterPlan(const Filter& filter, const MetadataIndex& index, const std::vector<SharedJson>& metadata);

  // Whether slot s's metadata matches the filter; the same answer as
  // matches(filter, metadata of s) for every live slot.
  bool accepts(uint32_t s) const {
    for (const Condition& c : conditions_) {
      if (!holds(c, s)) return false;
    }
    return true;
  }

  // A hint that accepts(s) is asked next: fetches what its first (most
  // selective) condition reads, so a walk can test many slots with their
  // cache misses overlapped.
  void prefetch(uint32_t s) const {
    if (conditions_.empty()) return;
    const Condition& c = conditions_.front();
    if (c.kind == Kind::kRange) {
      c.numbers->prefetch(s);
    } else if (c.column != nullptr && s < c.column->size()) {
      __builtin_prefetch(c.column->data() + s);
    }
  }

  // Live records that match: exact when count_is_exact(), otherwise an
  // estimate (conditions taken as independent; conditions the index cannot
  // answer measured on a fixed sample of slots).
  size_t estimate() const { return estimate_; }
  bool count_is_exact() const { return exact_; }

  // Whether the matching records can be enumerated from the index (some
  // condition is an equality, `$in` or range condition on indexed values), and
  // how many candidates that enumeration yields.
  bool has_driver() const { return driver_ != nullptr; }
  size_t driver_size() const { return driver_ ? driver_->count : 0; }
  // Whether the driver's candidates are exactly the matching live slots, so
  // that checking accepts() on them would learn nothing.
  bool driver_is_exact() const { return driver_ != nullptr && conditions_.size() == 1; }
  // Calls f(slot) once for every candidate of the driver (a superset of the
  // matching live slots). Only when has_driver().
  template <class F>
  void for_each_candidate(F&& f) const {
    const Condition& d = *driver_;
    if (d.kind == Kind::kRange) {
      d.numbers->for_each(d.range, f);
    } else if (d.kind == Kind::kNotInSet) {
      for (const SlotSet* set : d.others) {
        for (uint32_t s : *set) f(s);
      }
    } else {
      for (const SlotSet* set : d.sets) {
        for (uint32_t s : *set) f(s);
      }
    }
  }

 private:
  enum class Kind : uint8_t {
    kNothing,  // matches no record
    kInSets,   // the slot is in one of `sets` (Eq, In on indexable values)
    kNotInSet, // object metadata and not in sets[0] (Ne; no set: every object)
    kObject,   // object metadata (the empty And)
    kRange,    // numbers->value(s) lies in `range`
    kScan,     // matches(*filter, metadata of s): values the index holds none of
  };
  struct Condition {
    Kind kind = Kind::kNothing;
    std::vector<const SlotSet*> sets;  // kInSets: sorted by address when many
    const std::vector<const SlotSet*>* column = nullptr;  // kInSets, kNotInSet
    // kNotInSet: the sets of the field's other values, when together they
    // hold every match (each object has an indexable value there); then the
    // condition can drive a scan.
    std::vector<const SlotSet*> others;
    bool enumerable = false;
    const OrderedNumbers* numbers = nullptr;
    NumberRange range;
    const Filter* filter = nullptr;
    size_t count = 0;      // records it matches (an estimate for kScan)
  };

  bool holds(const Condition& c, uint32_t s) const {
    switch (c.kind) {
      case Kind::kNothing: return false;
      case Kind::kInSets: {
        const SlotSet* in = set_of(c, s);
        if (in == nullptr) return false;
        if (c.sets.size() <= kLinearSets) return std::find(c.sets.begin(), c.sets.end(), in) != c.sets.end();
        return std::binary_search(c.sets.begin(), c.sets.end(), in, std::less<>());
      }
      case Kind::kNotInSet: return index_.has_object(s) && (c.sets.empty() || set_of(c, s) != c.sets[0]);
      case Kind::kObject: return index_.has_object(s);
      case Kind::kRange: return c.range.contains(c.numbers->value(s));
      case Kind::kScan: return matches(*c.filter, s < metadata_.size() ? metadata_[s].get() : nullptr);
    }
    return false;
  }

  // The set slot s is in under the condition's field (null: none).
  static const SlotSet* set_of(const Condition& c, uint32_t s) {
    return c.column != nullptr && s < c.column->size() ? (*c.column)[s] : nullptr;
  }

  void add(const Filter& f);
  // The condition "is an object", which an empty And stands for.
  void add_object_condition();
  void add_range(const Filter& f);
  // The share of a fixed sample of slots whose metadata the condition matches.
  double sampled_share(const Filter& f) const;

  const MetadataIndex& index_;
  const std::vector<SharedJson>& metadata_;
  std::vector<Condition> conditions_;  // all must hold; cheapest and most selective first
  const Condition* driver_ = nullptr;
  size_t estimate_ = 0;
  bool exact_ = true;
};

// The costs of a filtered graph search's two plans, in nanoseconds of one
// searching thread on the machine they were measured on (only their ratios
// matter), for vectors of a given dimension.
struct PlanCosts {
  double scan = 0;  // testing the candidates, then measuring every match
  double walk = 0;  // the predicate-aware walk, as estimated before it starts
  double step = 0;  // one node measured by a walk
  // What a walk that has measured, read and tested this much has cost.
  double walked(size_t measured, size_t lists, size_t tests) const;
  // Whether to scan without walking: the scan's cost is known and its result
  // exact, so it also wins where the estimates are close.
  bool scan_first() const;
  // Whether to scan after all, once the walk has probed the query's own
  // neighbourhood, found that the filter admits `near_share` of it and much
  // less there than overall (`excluded`): such a walk must search around it,
  // wider, and costs several times the estimate.
  bool prefer_scan(bool excluded, double near_share) const;
  // Whether a walk that has cost this much goes on: past the scan's cost (and
  // a margin, since a walk given up pays for both) the scan is cheaper.
  bool within(double walked) const;
};

// The costs with beam width ef, among `live` records of `dim` values whose
// layer-0 lists hold `degree` neighbours on average, of scanning exactly the
// `matches` records (after testing `examined` candidates) and of walking: the
// walk's grows with the beam, the degree and, slowly, as the matches thin out.
PlanCosts plan_costs(size_t matches, size_t examined, size_t live, size_t ef, double degree, size_t dim);

// Whether a search would scan the matches rather than walk.
bool scan_beats_walk(size_t matches, size_t examined, size_t live, size_t ef, double degree, size_t dim);

}  // namespace kelpo
