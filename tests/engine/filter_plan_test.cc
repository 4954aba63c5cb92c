// The compiled filter against the record-by-record truth (`matches`), on an
// index kept up to date through inserts, replacements and removals, and the
// plan choice at its threshold.
#include "engine/metadata/filter_plan.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace kelpo {
namespace {

// One seeded run: random records (numbers of every kind, including integers
// and floats that tie as doubles, strings, nulls, missing fields, metadata
// that is no object), changed at random, against random filters. Enough
// numbers per field to split the ordered blocks many times over.
TEST(FilterPlan, AgreesWithMatchesOnRandomRecordsAndFilters) {
  const uint32_t seed = 20261208;
  std::mt19937 rng(seed);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  const std::vector<std::string> fields = {"a", "b", "c"};
  auto random_value = [&]() -> Json {
    switch (pick(8)) {
      case 0: return Json(static_cast<int64_t>(pick(41)) - 20);  // negative and non-negative integers
      case 1: return Json(static_cast<double>(pick(41)) - 20.0);  // floats equal to them as doubles
      case 2: return Json(static_cast<double>(pick(4000)) / 100.0 - 20.0);
      case 3: return Json(pick(2) == 0);
      case 4: return Json(std::string(1, static_cast<char>('x' + pick(3))));
      case 5: return Json(nullptr);
      default: return Json(static_cast<double>(pick(200)) / 10.0 - 10.0);
    }
  };
  auto random_metadata = [&]() -> std::optional<Json> {
    const size_t shape = pick(12);
    if (shape == 0) return std::nullopt;
    if (shape == 1) return random_value();  // not an object
    Json md = Json::object();
    for (const std::string& f : fields) {
      if (pick(5) != 0) md[f] = random_value();
    }
    return md;
  };

  const size_t n = 3000;
  std::vector<SharedJson> metadata(n);
  std::vector<bool> live(n, false);
  MetadataIndex index;
  auto md = [&](size_t s) { return metadata[s].get(); };
  for (size_t s = 0; s < n; ++s) {
    metadata[s] = share_json(random_metadata());
    live[s] = true;
    index.index(static_cast<uint32_t>(s), md(s));
  }
  // Replacements and removals, as writes apply them.
  for (int i = 0; i < 4000; ++i) {
    const auto s = static_cast<uint32_t>(pick(n));
    if (!live[s]) continue;
    index.remove(s, md(s));
    if (pick(3) == 0) {
      live[s] = false;
      metadata[s].reset();
    } else {
      metadata[s] = share_json(random_metadata());
      index.index(s, md(s));
    }
  }

  std::function<Filter(int)> random_filter = [&](int depth) -> Filter {
    const std::string& f = fields[pick(fields.size())];
    const double t = static_cast<double>(pick(45)) - 22.0 + (pick(2) ? 0.5 : 0.0);
    switch (pick(depth > 0 ? 9 : 8)) {
      case 0: return Filter::eq(f, random_value());
      case 1: return Filter::ne(f, random_value());
      case 2: {
        std::vector<Json> vs;
        for (size_t i = pick(4); i > 0; --i) vs.push_back(random_value());
        return Filter::in(f, std::move(vs));
      }
      case 3: return Filter::gt(f, t);
      case 4: return Filter::gte(f, t);
      case 5: return Filter::lt(f, t);
      case 6: return Filter::lte(f, t);
      case 7: return Filter::combine({Filter::gte(f, t), Filter::lt(f, t + static_cast<double>(pick(10)))});
      default: {
        std::vector<Filter> children;
        for (size_t i = pick(4); i > 0; --i) children.push_back(random_filter(depth - 1));
        return Filter::all_of(std::move(children));
      }
    }
  };

  for (int i = 0; i < 2000; ++i) {
    const Filter f = random_filter(2);
    const FilterPlan plan(f, index, metadata);
    std::set<uint32_t> truth;
    for (uint32_t s = 0; s < n; ++s) {
      if (!live[s]) continue;
      ASSERT_EQ(plan.accepts(s), matches(f, md(s))) << "seed " << seed << ", filter " << i << ", slot " << s;
      if (matches(f, md(s))) truth.insert(s);
    }
    if (plan.count_is_exact()) {
      ASSERT_EQ(plan.estimate(), truth.size()) << "seed " << seed << ", filter " << i;
    }
    if (plan.has_driver()) {
      std::set<uint32_t> candidates;
      plan.for_each_candidate([&](uint32_t s) { candidates.insert(s); });
      ASSERT_EQ(candidates.size(), plan.driver_size()) << "seed " << seed << ", filter " << i;
      for (uint32_t s : truth) {
        ASSERT_EQ(candidates.count(s), 1u) << "seed " << seed << ", filter " << i;
      }
      if (plan.driver_is_exact()) {
        ASSERT_EQ(candidates, truth) << "seed " << seed << ", filter " << i;
      }
    }
    // The index's own answer: a resolved set never misses a match.
    const Candidates resolved = resolve_candidates(f, index);
    if (resolved.resolved()) {
      const std::set<uint32_t> listed(resolved.slots().begin(), resolved.slots().end());
      ASSERT_EQ(listed.size(), resolved.slots().size()) << "seed " << seed << ", filter " << i;
      for (uint32_t s : truth) {
        ASSERT_EQ(listed.count(s), 1u) << "seed " << seed << ", filter " << i;
      }
    }
  }
}

// The plan flips once from the scan to the walk as the matches grow; the
// scan covers more when the beam is wider or the lists longer, fewer matches
// when each row holds more values (a row's share of a walk step grows), and
// few matches are scanned even when every record must be tested to find
// them. Where the walk and the scan were measured (200,000 clustered records
// of 128 values, degree about 22, default beam), the scan won at 1% and the
// walk at 10%.
TEST(FilterPlan, PlanChoiceThresholds) {
  auto threshold = [](size_t live, size_t ef, double degree, size_t dim) {
    size_t last_scan = 0;
    bool walked = false;
    for (size_t m = 1; m <= live; m += 100) {
      const bool scan = scan_beats_walk(m, m, live, ef, degree, dim);
      EXPECT_FALSE(scan && walked) << "the choice flips back at " << m;
      if (scan) last_scan = m;
      walked = walked || !scan;
    }
    return last_scan;
  };
  const size_t at_default = threshold(200000, 200, 22, 128);
  EXPECT_GT(at_default, 2000u);
  EXPECT_LT(at_default, 20000u);
  EXPECT_GT(threshold(200000, 800, 22, 128), 2 * at_default);
  EXPECT_GT(threshold(200000, 200, 32, 128), at_default);
  EXPECT_LT(threshold(200000, 200, 14, 128), at_default);
  EXPECT_LT(threshold(200000, 200, 22, 784), at_default);
  EXPECT_TRUE(scan_beats_walk(100, 200000, 200000, 200, 22, 128));
  EXPECT_FALSE(scan_beats_walk(180000, 180000, 200000, 200, 22, 128));
}

}  // namespace
}  // namespace kelpo
