#include "engine/metadata/filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace kelpo {
namespace {

using Slots = std::vector<uint32_t>;  // as resolve_from_index lists them: ascending

Json parse(std::string_view text) {
  Json v;
  EXPECT_TRUE(json_parse(text, &v, nullptr)) << text;
  return v;
}

bool matches_text(const Filter& f, std::string_view metadata) {
  const Json md = parse(metadata);
  return matches(f, &md);
}

// A set of records as the database keeps them: per-slot metadata, some slots
// deleted, and the index over the live ones.
struct Corpus {
  std::vector<SharedJson> metadata;
  std::set<uint32_t> deleted;
  MetadataIndex index;

  void add(std::optional<Json> md) { metadata.push_back(share_json(std::move(md))); }
  void build() {
    index.rebuild(metadata, [this](uint32_t s) { return deleted.count(s) != 0; });
  }
  const Json* md(uint32_t s) const { return metadata[s].get(); }

  // What count() answers: the consumers' use of resolve and matches.
  std::set<uint32_t> select(const Filter& f) const {
    const Candidates c = resolve_candidates(f, index);
    std::set<uint32_t> out;
    auto consider = [&](uint32_t s) {
      if (deleted.count(s) == 0 && matches(f, md(s))) out.insert(s);
    };
    if (c.resolved()) {
      for (uint32_t s : c.slots()) consider(s);
    } else {
      for (uint32_t s = 0; s < metadata.size(); ++s) consider(s);
    }
    return out;
  }
  // The truth: every live slot that matches.
  std::set<uint32_t> scan(const Filter& f) const {
    std::set<uint32_t> out;
    for (uint32_t s = 0; s < metadata.size(); ++s) {
      if (deleted.count(s) == 0 && matches(f, md(s))) out.insert(s);
    }
    return out;
  }
};

TEST(FilterMatches, EqualityKeepsKindsApart) {
  EXPECT_TRUE(matches_text(Filter::eq("year", parse("2020")), R"({"year":2020})"));
  EXPECT_FALSE(matches_text(Filter::eq("year", parse("2020")), R"({"year":2020.0})"));
  EXPECT_TRUE(matches_text(Filter::gte("year", 2020), R"({"year":2020.0})"));
  EXPECT_TRUE(matches_text(Filter::gte("year", 2020), R"({"year":2020})"));
  EXPECT_TRUE(matches_text(Filter::eq("active", parse("true")), R"({"active":true})"));
  EXPECT_FALSE(matches_text(Filter::eq("active", parse("true")), R"({"active":1})"));
  EXPECT_TRUE(matches_text(Filter::eq("v", parse("[1,{\"a\":null}]")), R"({"v":[1,{"a":null}]})"));
  EXPECT_TRUE(matches_text(Filter::eq("z", parse("0.0")), R"({"z":-0.0})"));
  EXPECT_FALSE(matches_text(Filter::eq("a.b", parse("1")), R"({"a":{"b":1}})"));  // no dotted paths
}

TEST(FilterMatches, MissingFieldsAndOtherKinds) {
  EXPECT_TRUE(matches_text(Filter::ne("tag", parse("\"x\"")), R"({"other":1})"));
  EXPECT_FALSE(matches_text(Filter::ne("tag", parse("\"x\"")), R"({"tag":"x"})"));
  EXPECT_TRUE(matches_text(Filter::ne("tag", parse("\"x\"")), R"({"tag":null})"));
  EXPECT_FALSE(matches_text(Filter::in("g", {}), R"({"g":"rock"})"));
  EXPECT_TRUE(matches_text(Filter::in("g", {parse("1"), parse("\"rock\"")}), R"({"g":"rock"})"));
  EXPECT_FALSE(matches_text(Filter::eq("g", parse("null")), R"({"h":1})"));
  for (const char* md : {R"({"p":"15"})", R"({"p":true})", R"({"p":null})", R"({"p":[15]})", R"({"q":15})"}) {
    EXPECT_FALSE(matches_text(Filter::gt("p", 10), md)) << md;
    EXPECT_FALSE(matches_text(Filter::lt("p", 20), md)) << md;
  }
}

TEST(FilterMatches, ComparisonsAreStrictOrInclusiveAsNamed) {
  const Filter band = Filter::combine({Filter::gt("price", 10), Filter::lt("price", 20)});
  ASSERT_EQ(band.kind, Filter::Kind::kAnd);
  EXPECT_FALSE(matches_text(band, R"({"price":10})"));
  EXPECT_TRUE(matches_text(band, R"({"price":10.5})"));
  EXPECT_FALSE(matches_text(band, R"({"price":20.0})"));
  EXPECT_TRUE(matches_text(Filter::lte("price", 20), R"({"price":20})"));
  EXPECT_TRUE(matches_text(Filter::gte("n", -1), R"({"n":-1})"));
  EXPECT_TRUE(matches_text(Filter::gt("big", 1e19), R"({"big":18446744073709551615})"));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const Filter& f : {Filter::gt("p", nan), Filter::gte("p", nan), Filter::lt("p", nan), Filter::lte("p", nan)}) {
    EXPECT_FALSE(matches_text(f, R"({"p":1})"));
  }
}

TEST(FilterMatches, MetadataThatIsNoObjectMatchesNothing) {
  const Json number = parse("5"), array = parse("[1]");
  for (const Filter& f : {Filter::all_of({}), Filter::ne("a", parse("1")), Filter::gt("a", 0)}) {
    EXPECT_FALSE(matches(f, nullptr));
    EXPECT_FALSE(matches(f, &number));
    EXPECT_FALSE(matches(f, &array));
  }
  EXPECT_TRUE(matches_text(Filter::all_of({}), "{}"));
}

TEST(FilterResolve, AnswersFromTheIndexAsTheScanWould) {
  Corpus c;
  c.add(parse(R"({"genre":"rock","price":5})"));    // 0
  c.add(parse(R"({"genre":"rock","price":15})"));   // 1
  c.add(parse(R"({"genre":"jazz","price":15})"));   // 2
  c.add(parse(R"({"genre":"rock","price":25})"));   // 3, deleted
  c.add(parse(R"({"genre":null,"tags":[1,2]})"));   // 4
  c.add(std::nullopt);                              // 5
  c.add(parse("\"rock\""));                         // 6
  c.deleted = {3};
  c.build();

  const Filter rock = Filter::eq("genre", parse("\"rock\""));
  EXPECT_EQ(resolve_from_index(rock, c.index), (Slots{0, 1}));
  EXPECT_EQ(resolve_from_index(Filter::in("genre", {parse("\"rock\"")}), c.index), (Slots{0, 1}));
  EXPECT_EQ(resolve_from_index(Filter::in("genre", {}), c.index), Slots{});
  EXPECT_EQ(resolve_from_index(Filter::in("genre", {parse("\"rock\""), parse("\"jazz\""), parse("\"rock\"")}),
                               c.index),
            (Slots{0, 1, 2}));
  EXPECT_EQ(resolve_from_index(Filter::eq("missing", parse("1")), c.index), Slots{});

  // Two index conditions: the rock records among those above 10.
  const Filter rock_over_10 = Filter::combine({rock, Filter::gt("price", 10)});
  EXPECT_EQ(resolve_from_index(rock_over_10, c.index), (Slots{1}));
  EXPECT_EQ(c.select(rock_over_10), std::set<uint32_t>{1});

  // The index holds no null, array or object values; answering such conditions
  // from it would drop records that matches() accepts.
  EXPECT_FALSE(resolve_from_index(Filter::eq("genre", parse("null")), c.index).has_value());
  EXPECT_FALSE(resolve_from_index(Filter::in("tags", {parse("[1,2]")}), c.index).has_value());
  EXPECT_EQ(c.select(Filter::eq("genre", parse("null"))), std::set<uint32_t>{4});
  EXPECT_EQ(c.select(Filter::in("tags", {parse("\"x\""), parse("[1,2]")})), std::set<uint32_t>{4});

  // The empty And means "every record with object metadata", for count and search alike.
  EXPECT_FALSE(resolve_from_index(Filter::all_of({}), c.index).has_value());
  EXPECT_EQ(c.select(Filter::all_of({})), (std::set<uint32_t>{0, 1, 2, 4}));

  // Ranges resolve from the ordered numbers to the live slots they match;
  // $ne is left to the consumers' plan.
  EXPECT_FALSE(resolve_from_index(Filter::ne("genre", parse("\"rock\"")), c.index).has_value());
  EXPECT_EQ(resolve_from_index(Filter::combine({Filter::gt("price", 1), Filter::lt("price", 9)}), c.index),
            Slots{0});
  EXPECT_EQ(resolve_from_index(Filter::gte("price", 15), c.index), (Slots{1, 2}));
  EXPECT_EQ(resolve_from_index(Filter::gt("missing", 0), c.index), Slots{});
}

TEST(FilterResolve, EqualityBorrowsTheStoredSet) {
  Corpus c;
  for (int i = 0; i < 1000; ++i) c.add(parse(i % 2 ? R"({"k":"odd"})" : R"({"k":"even"})"));
  c.build();
  const Candidates eq = resolve_candidates(Filter::eq("k", parse("\"odd\"")), c.index);
  ASSERT_TRUE(eq.resolved());
  EXPECT_EQ(eq.slots().data(), c.index.lookup("k", parse("\"odd\""))->begin());
  const Candidates none = resolve_candidates(Filter::eq("k", parse("\"x\"")), c.index);
  ASSERT_TRUE(none.resolved());
  EXPECT_TRUE(none.slots().empty());
}

// Random corpora and filters: whatever the index answers, the consumers must
// select exactly the live records a full scan selects.
TEST(FilterResolve, RandomFiltersAgreeWithAFullScan) {
  const uint32_t seed = 20240607;
  std::mt19937 rng(seed);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  const std::vector<Json> values = {parse("1"),     parse("1.0"),  parse("-1"),    parse("2"),    parse("0.0"),
                                    parse("-0.0"),  parse("true"), parse("false"), parse("null"), parse("\"a\""),
                                    parse("\"b\""), parse("[1]"),  parse("{}"),    parse("2.5")};
  const std::vector<std::string> fields = {"f", "g", "h"};

  Corpus c;
  for (int s = 0; s < 400; ++s) {
    const size_t shape = pick(10);
    if (shape == 0) {
      c.add(std::nullopt);
    } else if (shape == 1) {
      c.add(values[pick(values.size())]);  // not an object
    } else {
      Json md = Json::object();
      for (const std::string& f : fields) {
        if (pick(4) != 0) md[f] = values[pick(values.size())];
      }
      c.add(std::move(md));
    }
    if (pick(8) == 0) c.deleted.insert(static_cast<uint32_t>(s));
  }
  c.build();

  std::function<Filter(int)> random_filter = [&](int depth) -> Filter {
    const std::string& f = fields[pick(fields.size())];
    switch (pick(depth > 0 ? 6 : 5)) {
      case 0: return Filter::eq(f, values[pick(values.size())]);
      case 1: return Filter::ne(f, values[pick(values.size())]);
      case 2: {
        std::vector<Json> vs;
        for (size_t i = pick(4); i > 0; --i) vs.push_back(values[pick(values.size())]);
        return Filter::in(f, std::move(vs));
      }
      case 3: return Filter::gt(f, static_cast<double>(pick(5)) - 2.0);
      case 4: return Filter::lte(f, static_cast<double>(pick(5)) - 1.5);
      default: {
        std::vector<Filter> children;
        for (size_t i = pick(4); i > 0; --i) children.push_back(random_filter(depth - 1));
        return Filter::all_of(std::move(children));
      }
    }
  };
  for (int i = 0; i < 3000; ++i) {
    const Filter f = random_filter(2);
    ASSERT_EQ(c.select(f), c.scan(f)) << "seed " << seed << ", filter " << i;
  }
}

TEST(FilterBuild, CombineAndTheParsersConversions) {
  EXPECT_EQ(Filter::combine({}).kind, Filter::Kind::kAnd);
  EXPECT_TRUE(Filter::combine({}).children.empty());
  EXPECT_EQ(Filter::combine({Filter::gt("a", 1)}).kind, Filter::Kind::kGt);
  EXPECT_EQ(Filter::combine({Filter::gt("a", 1), Filter::lt("a", 2)}).children.size(), 2u);

  EXPECT_EQ(filter_operator("$gte"), Filter::Kind::kGte);
  EXPECT_EQ(filter_operator("$in"), Filter::Kind::kIn);
  for (const char* op : {"$eq", "$nin", "$exists", "$and", "$or", "gt", ""}) EXPECT_FALSE(filter_operator(op)) << op;
  EXPECT_EQ(filter_not_a_number(Filter::Kind::kLte), "$lte value must be a number");
  EXPECT_EQ(filter_not_a_number(Filter::Kind::kGt), "$gt value must be a number");
  EXPECT_EQ(filter_unknown_operator("$eq"), "unknown operator: $eq");

  // A Python 5 and a stored 5 (parsed from text) are the same key; -5 too.
  EXPECT_TRUE(json_equal(filter_int_value(5), parse("5")));
  EXPECT_TRUE(json_equal(filter_int_value(-5), parse("-5")));
  EXPECT_TRUE(json_equal(filter_float_value(5.0), parse("5.0")));
  EXPECT_TRUE(filter_float_value(std::nan("")).is_null());
  EXPECT_TRUE(filter_float_value(-INFINITY).is_null());
}

}  // namespace
}  // namespace kelpo
