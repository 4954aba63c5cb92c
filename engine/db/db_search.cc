// The search path: beam width, filters, the distance cut-off, ids and
// metadata attached to the hits, and parallel batches of queries.
#include <algorithm>
#include <cmath>
#include <limits>
#include <queue>

#include "engine/db/database.h"
#include "engine/db/db_validate.h"
#include "engine/index/filtered_search.h"
#include "engine/metadata/filter_plan.h"
#include "engine/util/worker_pool.h"

namespace kelpo {

namespace {

// Orders by distance with NaN after every number. Vectors stored by earlier
// versions may still hold NaN; a plain "<" is no strict weak order then, and
// sorting with it can scramble the finite distances too.
bool nan_last(const Neighbor& a, const Neighbor& b) {
  if (std::isnan(b.distance)) return !std::isnan(a.distance);
  return a.distance < b.distance;
}

// Keeps the k smallest distances seen; ties at the k-th place are arbitrary.
class TopK {
 public:
  explicit TopK(size_t k) : k_(k) { heap_.reserve(k); }
  void push(Slot s, float d) {
    if (k_ == 0) return;
    if (heap_.size() < k_) {
      heap_.push_back({s, d});
      std::push_heap(heap_.begin(), heap_.end(), Farther());
    } else if (nan_last({s, d}, heap_.front())) {
      std::pop_heap(heap_.begin(), heap_.end(), Farther());
      heap_.back() = {s, d};
      std::push_heap(heap_.begin(), heap_.end(), Farther());
    }
  }
  // The distance a newcomer must beat to enter: infinite until k are kept
  // (and NaN when the farthest kept is NaN, which beats nothing).
  float bound() const {
    return heap_.size() < k_ ? std::numeric_limits<float>::infinity() : heap_.front().distance;
  }
  std::vector<Neighbor> take_sorted() {
    std::stable_sort(heap_.begin(), heap_.end(), nan_last);
    return std::move(heap_);
  }

 private:
  struct Farther {
    bool operator()(const Neighbor& a, const Neighbor& b) const { return nan_last(a, b); }
  };
  size_t k_;
  std::vector<Neighbor> heap_;
};

// Admits the live slots a filter plan accepts, and passes the walk's hints on
// to the plan.
struct PlanAccept {
  const HnswIndex& index;
  const FilterPlan& plan;
  bool operator()(Slot s) const { return !index.is_deleted(s) && plan.accepts(s); }
  void prefetch(Slot s) const { plan.prefetch(s); }
};

// The average length of a layer-0 list, from a fixed sample of nodes: how
// many neighbours a walk step measures depends on how the graph was built
// (diversity-pruned lists run well below their capacity, e.g. 14 of 32 on
// Fashion-MNIST, 22 of 32 on clustered data), so the plan choice reads it.
double sampled_degree(const HnswIndex& index) {
  constexpr size_t kSample = 16;
  const size_t n = index.node_count();
  const size_t step = std::max<size_t>(1, n / kSample);
  size_t total = 0, seen = 0;
  for (size_t s = step / 2; s < n && seen < kSample; s += step, ++seen) total += index.links().count(static_cast<Slot>(s), 0);
  return seen ? static_cast<double>(total) / static_cast<double>(seen) : static_cast<double>(index.m0());
}

}  // namespace

std::vector<Neighbor> Database::exact_filtered_scan(const float* query, size_t k, const FilterPlan& plan) const {
  show_brute_force_hint();
  const QueryDistance dist(query, index_->vector_store().data(), dim_, DistanceFunction(index_->metric()));
  const Slot n = index_->node_count();
  TopK top(k);
  const bool check = !plan.driver_is_exact();
  // The candidates come in the index's order, not the file's, so each row
  // (and each filter test) is a cache miss. Slots wait in a short queue after
  // their row and metadata are asked for, and are measured kAhead candidates
  // later, in the order they came, so the misses overlap the measuring.
  constexpr size_t kAhead = 8;
  Slot queue[kAhead];
  size_t head = 0, queued = 0;
  // Dropping a row after part of it (see QueryDistance::exceeds) saves the
  // lines a scan would fetch from memory, but measures again in full each row
  // it keeps: on 784-value rows in cache that made a scan of 200 rows 0.83x
  // as fast, 600 rows even, 2,000 rows 1.25x and 6,000 rows 2x as fast. So
  // only sets larger than a core's cache are summed in parts.
  constexpr size_t kPartialBytes = size_t{2} << 20;
  const size_t examined = plan.has_driver() ? plan.driver_size() : n;
  const bool partial = examined * dim_ * sizeof(float) >= kPartialBytes;
  auto measure = [&](Slot s) {
    if (check && !plan.accepts(s)) return;
    if (partial && dist.exceeds(s, top.bound())) return;
    top.push(s, dist(s));
  };
  auto consider = [&](Slot s) {
    if (s >= n || index_->is_deleted(s)) return;
    dist.prefetch(s);
    if (check) plan.prefetch(s);
    if (queued < kAhead) {
      queue[(head + queued++) % kAhead] = s;
      return;
    }
    measure(queue[head]);
    queue[head] = s;
    head = (head + 1) % kAhead;
  };
  if (plan.has_driver()) {
    // Only the candidates: their order is as good as slot order, since ties
    // at the k-th place may be broken either way.
    plan.for_each_candidate(consider);
  } else {
    for (Slot s = 0; s < n; ++s) consider(s);
  }
  for (size_t i = 0; i < queued; ++i) measure(queue[(head + i) % kAhead]);
  return top.take_sorted();
}

std::vector<Neighbor> Database::ranked_search(const float* query, size_t k, size_t ef, const FilterPlan* plan) const {
  const HnswIndex& index = *index_;
  const bool exact = index.live_count() * dim_ < BRUTE_FORCE_LIMIT;
  if (plan == nullptr) {
    if (index.deleted_count() == 0 || exact) return index.search(query, k, ef);
    // With deletions the graph walk keeps going until it holds ef live nodes,
    // so deleted slots never make a query come back short.
    return search_accepting(index, query, k, ef, [&](Slot s) { return !index.is_deleted(s); });
  }
  if (index.entry_point() == NO_ENTRY) return {};
  if (exact) return exact_filtered_scan(query, k, *plan);
  const size_t ef2 = std::max(ef, 4 * k);
  const size_t examined = plan->has_driver() ? plan->driver_size() : index.node_count();
  const PlanCosts costs = plan_costs(plan->estimate(), examined, index.live_count(), ef2, sampled_degree(index), dim_);
  // The walk's estimate holds where the matches lie among the query's
  // neighbours or independently of them; a walk whose query sits among
  // records the filter excludes must first cross them, and costs 2-4x more
  // (measured on both benchmark sets, at 10% to 90% of the records), and far
  // more where the matches lie far from it. So the walk probes the query's
  // neighbourhood before it measures anything, and is given up for the scan,
  // which is exact, once it has cost a little more than the scan would: no
  // search costs much more than two scans.
  if (costs.scan_first()) return exact_filtered_scan(query, k, *plan);
  const PlanAccept accept{index, *plan};
  const double share = static_cast<double>(plan->estimate()) / static_cast<double>(std::max<size_t>(1, index.live_count()));
  auto within = [&](const WalkEffort& e) {
    // Once, when the walk has probed the query's neighbourhood.
    if (e.near_share >= 0 && e.measured == 0 && costs.prefer_scan(excludes_neighbourhood(e.near_share, share), e.near_share)) {
      return false;
    }
    return costs.within(costs.walked(e.measured, e.lists, e.tests));
  };
  if (auto walked = search_filtered(index, query, k, ef2, share, accept, within)) return std::move(*walked);
  return exact_filtered_scan(query, k, *plan);
}

std::vector<SearchHit> Database::build_hits(const std::vector<Neighbor>& ranked,
                                            const std::optional<float>& max_distance) const {
  std::vector<SearchHit> hits;
  hits.reserve(ranked.size());
  // The walks order their candidates with "<"; a NaN among them (only an old
  // file can hold a non-finite vector) goes to the end here.
  std::vector<Neighbor> reordered;
  const bool has_nan =
      std::any_of(ranked.begin(), ranked.end(), [](const Neighbor& nb) { return std::isnan(nb.distance); });
  if (has_nan) {
    reordered = ranked;
    std::stable_sort(reordered.begin(), reordered.end(), nan_last);
  }
  for (const Neighbor& nb : has_nan ? reordered : ranked) {
    // "not <=" rather than ">" so that NaN distances are dropped too.
    if (max_distance && !(nb.distance <= *max_distance)) continue;
    SearchHit hit;
    hit.id = nb.slot < slot_to_id_.size() ? slot_to_id_[nb.slot] : std::string();
    hit.distance = nb.distance;
    if (nb.slot < metadata_.size()) hit.metadata = metadata_[nb.slot];
    hits.push_back(std::move(hit));
  }
  return hits;
}

Result<std::vector<SearchHit>> Database::search(const float* query, size_t query_len,
                                                const SearchOptions& options) const {
  if (query_len != dim_) return KelpoError::dimension_mismatch(dim_, query_len);
  KELPO_RETURN_IF_ERROR(check_finite(query, query_len));
  std::shared_lock<FairSharedMutex> index(index_mu_);
  std::shared_lock<FairSharedMutex> sid(slot_to_id_mu_);
  std::shared_lock<FairSharedMutex> meta(metadata_mu_);
  const size_t ef = options.ef_search ? *options.ef_search : default_ef(options.k);
  // The plan borrows from the metadata index: its sets stay valid while
  // metadata_mu_ is held shared, since every writer of the index holds it
  // exclusively.
  std::optional<FilterPlan> plan;
  if (options.filter) {
    std::shared_lock<FairSharedMutex> mi(metadata_index_mu_);
    plan.emplace(*options.filter, metadata_index_, metadata_);
  }
  return build_hits(ranked_search(query, options.k, ef, plan ? &*plan : nullptr), options.max_distance);
}

Result<std::vector<std::vector<SearchHit>>> Database::search_many(const VectorBatch& queries,
                                                                  const SearchOptions& options) const {
  for (size_t i = 0; i < queries.size(); ++i) {
    if (queries.row_size(i) != dim_) return KelpoError::dimension_mismatch(dim_, queries.row_size(i));
  }
  KELPO_RETURN_IF_ERROR(check_finite_rows(queries, nullptr));
  std::vector<std::vector<SearchHit>> out(queries.size());
  if (queries.size() == 0) return out;
  std::shared_lock<FairSharedMutex> index(index_mu_);
  std::shared_lock<FairSharedMutex> sid(slot_to_id_mu_);
  std::shared_lock<FairSharedMutex> meta(metadata_mu_);
  if (index_->entry_point() == NO_ENTRY) return out;
  if (options.filter == nullptr && index_->uses_brute_force()) {
    // The exact scan reads the rows once per block of queries; rows are dim
    // floats each (checked above), so the batch is one contiguous array.
    const auto ranked = index_->exact_search_many(queries.data.data(), queries.size(), options.k);
    pool_for(queries.size(), [&](size_t i) { out[i] = build_hits(ranked[i], options.max_distance); });
    return out;
  }
  const size_t ef = options.ef_search ? *options.ef_search : default_ef(options.k);
  std::optional<FilterPlan> plan;
  if (options.filter) {
    std::shared_lock<FairSharedMutex> mi(metadata_index_mu_);
    plan.emplace(*options.filter, metadata_index_, metadata_);
  }
  // One task per query on the process-wide pool; the locks above stay with
  // this thread, the tasks only read under them.
  pool_for(queries.size(), [&](size_t i) {
    out[i] = build_hits(ranked_search(queries.row(i), options.k, ef, plan ? &*plan : nullptr), options.max_distance);
  });
  return out;
}

}  // namespace kelpo
