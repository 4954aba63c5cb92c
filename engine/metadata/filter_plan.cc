#include "engine/metadata/filter_plan.h"

#include <algorithm>

namespace kelpo {
namespace {

// Slots examined to estimate a condition the index cannot count.
constexpr size_t kSample = 256;
// A `$ne` on a field with at most this many distinct values can list its
// matches as the other values' sets.
constexpr size_t kMaxComplementValues = 64;

}  // namespace

FilterPlan::FilterPlan(const Filter& filter, const MetadataIndex& index,
                       const std::vector<SharedJson>& metadata)
    : index_(index), metadata_(metadata) {
  if (filter.kind == Filter::Kind::kAnd && filter.children.empty()) {
    add_object_condition();
  } else {
    add(filter);
  }

  // Lower ranks are cheaper to test on one slot.
  const auto rank = [](const Condition& c) {
    if (c.kind == Kind::kScan) return 2;
    if (c.kind == Kind::kInSets && c.sets.size() > 1) return 1;
    return 0;
  };
  // Most selective first, so accepts() stops early; JSON checks last.
  std::stable_sort(conditions_.begin(), conditions_.end(), [&](const Condition& a, const Condition& b) {
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    return a.count < b.count;
  });

  const double objects = static_cast<double>(index.object_count());
  double share = 1.0;
  for (const Condition& c : conditions_) {
    if (c.kind == Kind::kScan) exact_ = false;
    share *= objects > 0 ? std::min(1.0, static_cast<double>(c.count) / objects) : 0.0;
    const bool enumerable =
        c.kind == Kind::kInSets || c.kind == Kind::kRange || c.kind == Kind::kNothing || c.enumerable;
    if (enumerable && (driver_ == nullptr || c.count < driver_->count)) driver_ = &c;
  }
  if (conditions_.size() > 1) exact_ = false;
  estimate_ = static_cast<size_t>(share * objects + 0.5);
  if (driver_ != nullptr) estimate_ = std::min(estimate_, driver_->count);
  for (const Condition& c : conditions_) {
    if (c.kind == Kind::kNothing) {
      estimate_ = 0;
      exact_ = true;
    }
  }
}

void FilterPlan::add_object_condition() {
  Condition c;
  c.kind = Kind::kObject;
  c.count = index_.object_count();
  conditions_.push_back(c);
}

void FilterPlan::add(const Filter& f) {
  Condition c;
  switch (f.kind) {
    case Filter::Kind::kAnd:
      for (const Filter& child : f.children) {
        // A nested empty And holds for every object, which every other
        // condition requires anyway; alone it is the object condition.
        if (child.kind == Filter::Kind::kAnd && child.children.empty()) {
          add_object_condition();
        } else {
          add(child);
        }
      }
      return;
    case Filter::Kind::kEq:
    case Filter::Kind::kIn: {
      const std::vector<Json> one = f.kind == Filter::Kind::kEq ? std::vector<Json>{f.value} : std::vector<Json>{};
      const std::vector<Json>& values = f.kind == Filter::Kind::kEq ? one : f.values;
      if (!std::all_of(values.begin(), values.end(), MetadataIndex::indexable)) break;  // scanned below
      c.kind = Kind::kInSets;
      for (const Json& v : values) {
        const SlotSet* s = index_.lookup(f.field, v);
        // A value listed twice names the same set; take it once.
        if (s != nullptr && std::find(c.sets.begin(), c.sets.end(), s) == c.sets.end()) {
          c.sets.push_back(s);
          c.count += s->size();  // the sets of distinct values are disjoint
        }
      }
      if (c.sets.empty()) c.kind = Kind::kNothing;
      c.column = index_.column(f.field);
      if (c.sets.size() > kLinearSets) std::sort(c.sets.begin(), c.sets.end(), std::less<>());
      conditions_.push_back(std::move(c));
      return;
    }
    case Filter::Kind::kNe: {
      if (!MetadataIndex::indexable(f.value)) break;
      c.kind = Kind::kNotInSet;
      const SlotSet* s = index_.lookup(f.field, f.value);
      if (s != nullptr) c.sets.push_back(s);
      c.column = index_.column(f.field);
      c.count = index_.object_count() - (s ? s->size() : 0);
      std::vector<const SlotSet*> all;
      if (index_.value_sets(f.field, kMaxComplementValues, &all)) {
        size_t total = 0;
        for (const SlotSet* set : all) {
          total += set->size();
          if (set != s) c.others.push_back(set);
        }
        c.enumerable = total == index_.object_count();
      }
      conditions_.push_back(std::move(c));
      return;
    }
    case Filter::Kind::kGt:
    case Filter::Kind::kGte:
    case Filter::Kind::kLt:
    case Filter::Kind::kLte: add_range(f); return;
  }
  // Values the index does not hold (null, arrays, objects): only the JSON
  // itself can answer.
  c.kind = Kind::kScan;
  c.filter = &f;
  c.count = static_cast<size_t>(sampled_share(f) * static_cast<double>(index_.object_count()) + 0.5);
  conditions_.push_back(std::move(c));
}

void FilterPlan::add_range(const Filter& f) {
  // Bounds on one field narrow one interval, so a two-sided range is counted
  // exactly rather than as two independent halves.
  Condition* c = nullptr;
  for (Condition& existing : conditions_) {
    if (existing.kind == Kind::kRange && existing.filter->field == f.field) c = &existing;
  }
  if (c == nullptr) {
    Condition fresh;
    fresh.kind = Kind::kRange;
    fresh.filter = &f;
    fresh.numbers = index_.numbers(f.field);
    conditions_.push_back(fresh);
    c = &conditions_.back();
  }
  const bool open = f.kind == Filter::Kind::kGt || f.kind == Filter::Kind::kLt;
  if (f.kind == Filter::Kind::kGt || f.kind == Filter::Kind::kGte) {
    c->range.above(f.threshold, open);
  } else {
    c->range.below(f.threshold, open);
  }
  if (c->numbers == nullptr || c->range.empty()) {
    c->kind = Kind::kNothing;
    c->count = 0;
  } else {
    c->count = c->numbers->count(c->range);
  }
}

double FilterPlan::sampled_share(const Filter& f) const {
  const size_t n = metadata_.size();
  if (n == 0) return 0.0;
  const size_t step = std::max<size_t>(1, n / kSample);
  size_t seen = 0, hit = 0;
  for (size_t s = 0; s < n; s += step) {
    if (!index_.has_object(static_cast<uint32_t>(s))) continue;
    ++seen;
    hit += matches(f, &*metadata_[s]);
  }
  return seen ? static_cast<double>(hit) / static_cast<double>(seen) : 0.0;
}

// Measured with one searching thread on two sets: 200,000 x 128 clustered
// records (layer-0 degree 21.6) and the 60,000 x 784 Fashion-MNIST images
// (degree 14), each plan forced in turn at 10%, 30% and 50% of the records.
// A scanned row costs a fixed 45 ns (its read from a list of candidates in
// random order) and 0.16 ns per value; a node a walk measures the same per
// value but 275 ns fixed (the row comes unannounced, plus the visited mark and
// the heaps); a list looked through 200 ns; a filter test in a walk 5 ns
// (fetched ahead in batches); a scan's candidate 6.5 ns. A row's share of a
// walk step thus grows with the dimension: a step costs 4.5 scanned rows at
// 128 values and 2.3 at 784. A filtered walk over matches independent of the
// query's neighbourhood cost 0.65-1.0 x (beam x degree) steps from 10% to 50%
// admitted, and more as the matches thin out, since each admitted node costs
// 1 / share tests (1.4x at 1%).
namespace {
constexpr double kRowFixedNs = 45;
constexpr double kStepFixedNs = 275;
constexpr double kPerValueNs = 0.16;
constexpr double kListNs = 200;
constexpr double kTestNs = 5;
constexpr double kCandidateNs = 6.5;
constexpr double kStepsPerPlace = 0.8;  // per beam place and list entry
// The scan goes first unless the walk is expected to cost clearly less: a walk
// that ends up costing more than the scan is given up and pays both.
constexpr double kScanBias = 1.2;
}  // namespace

double PlanCosts::walked(size_t measured, size_t lists, size_t tests) const {
  return step * static_cast<double>(measured) + kListNs * static_cast<double>(lists) +
         kTestNs * static_cast<double>(tests);
}

bool PlanCosts::scan_first() const { return scan <= kScanBias * walk; }

// Measured on the same sets, the filter excluding the query's neighbourhood
// (with the beam four times wider, see search_filtered), 10% to 90% of the
// records admitted. Where the probe found some admitted records around the
// query, the walks cost 2.3-3.1x the estimate (median; p90 3.8). Where it
// found none, 3.0-3.2x on the clustered set, but 4-12x on Fashion-MNIST,
// whose single-class and footwear filters leave most queries far from every
// match; there the scan costs a third of the walk.
bool PlanCosts::prefer_scan(bool excluded, double near_share) const {
  if (!excluded) return false;
  constexpr double kNoneNear = 0.005;  // about one slot of the 200-500 probed
  const double factor = near_share < kNoneNear ? 4.0 : 3.0;
  return walk * factor > scan;
}

bool PlanCosts::within(double walked) const {
  // A walk whose estimate was close to the scan's ends beyond it about a
  // third of the time (its cost varies by +-15% between queries).
  constexpr double kGiveUp = 1.25;
  return walked <= kGiveUp * scan;
}

PlanCosts plan_costs(size_t matches, size_t examined, size_t live, size_t ef, double degree, size_t dim) {
  const double share = static_cast<double>(std::max<size_t>(matches, 1)) / static_cast<double>(std::max<size_t>(live, 1));
  const double per_values = kPerValueNs * static_cast<double>(dim);
  PlanCosts c;
  c.step = kStepFixedNs + per_values;
  c.scan = static_cast<double>(matches) * (kRowFixedNs + per_values) + static_cast<double>(examined) * kCandidateNs;
  c.walk = static_cast<double>(ef) * degree * kStepsPerPlace * c.step * (1 + 0.004 / share);
  return c;
}

bool scan_beats_walk(size_t matches, size_t examined, size_t live, size_t ef, double degree, size_t dim) {
  return plan_costs(matches, examined, live, ef, degree, dim).scan_first();
}

}  // namespace kelpo
