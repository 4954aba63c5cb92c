#include "engine/metadata/metadata_index.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kelpo {
namespace {

Json parse(std::string_view text) {
  Json v;
  EXPECT_TRUE(json_parse(text, &v, nullptr)) << text;
  return v;
}

// The slots under (field, value), sorted; empty when the index has none.
std::set<uint32_t> slots(const MetadataIndex& index, const std::string& field, const Json& value) {
  const SlotSet* s = index.lookup(field, value);
  if (s == nullptr) return {};
  EXPECT_FALSE(s->empty()) << "the index must not keep empty sets";
  return {s->begin(), s->end()};
}

TEST(MetadataIndex, IndexesOnlyTopLevelScalars) {
  MetadataIndex index;
  const Json md = parse(R"({"a":1,"b":[1,2],"c":null,"d":{"x":1},"e":"s","f":true,"g":{}})");
  index.index(7, &md);
  EXPECT_EQ(index.field_count(), 3u);
  EXPECT_EQ(slots(index, "a", parse("1")), std::set<uint32_t>{7});
  EXPECT_EQ(slots(index, "e", parse("\"s\"")), std::set<uint32_t>{7});
  EXPECT_EQ(slots(index, "f", parse("true")), std::set<uint32_t>{7});
  EXPECT_FALSE(index.has_field("b"));
  EXPECT_FALSE(index.has_field("c"));
  EXPECT_FALSE(index.has_field("d"));
  EXPECT_FALSE(index.has_field("x"));  // nothing nested

  // Absent metadata, non-objects and empty objects add nothing.
  const Json bare_number = parse("5"), bare_string = parse("\"a\""), array = parse("[{\"a\":1}]"), empty = parse("{}");
  for (const Json* m : {static_cast<const Json*>(nullptr), &bare_number, &bare_string, &array, &empty}) {
    index.index(8, m);
  }
  EXPECT_EQ(index.field_count(), 3u);
  EXPECT_EQ(slots(index, "a", parse("1")), std::set<uint32_t>{7});
}

TEST(MetadataIndex, KeysFollowTheSystemsEquality) {
  MetadataIndex index;
  const Json int_one = parse(R"({"n":1})"), float_one = parse(R"({"n":1.0})"), bool_true = parse(R"({"n":true})");
  const Json neg_zero = parse(R"({"z":-0.0})"), nan = Json::object({{"n", std::nan("")}, {"k", "v"}});
  index.index(1, &int_one);
  index.index(2, &float_one);
  index.index(3, &bool_true);
  index.index(4, &neg_zero);
  index.index(5, &nan);
  EXPECT_EQ(slots(index, "n", parse("1")), std::set<uint32_t>{1});
  EXPECT_EQ(slots(index, "n", Json(1)), std::set<uint32_t>{1});  // however the integer is stored
  EXPECT_EQ(slots(index, "n", parse("1.0")), std::set<uint32_t>{2});
  EXPECT_EQ(slots(index, "n", parse("true")), std::set<uint32_t>{3});
  EXPECT_EQ(slots(index, "z", parse("0.0")), std::set<uint32_t>{4});
  // NaN is never a key (no lookup could find it), but the record's other fields are.
  EXPECT_EQ(index.value_count("n"), 3u);
  EXPECT_EQ(slots(index, "k", parse("\"v\"")), std::set<uint32_t>{5});
}

TEST(MetadataIndex, RemoveDropsEmptyValuesAndFields) {
  MetadataIndex index;
  const Json red = parse(R"({"color":"red","size":3})"), blue = parse(R"({"color":"blue"})");
  index.index(0, &red);
  index.index(1, &blue);
  index.index(2, &blue);
  index.index(2, &blue);  // twice changes nothing

  index.remove(0, &red);
  EXPECT_EQ(index.lookup("color", parse("\"red\"")), nullptr);
  EXPECT_FALSE(index.has_field("size"));
  EXPECT_EQ(index.value_count("color"), 1u);

  // Removing what is not there is ignored.
  index.remove(9, &blue);
  index.remove(1, &red);
  index.remove(1, nullptr);
  EXPECT_EQ(slots(index, "color", parse("\"blue\"")), (std::set<uint32_t>{1, 2}));

  index.remove(1, &blue);
  index.remove(2, &blue);
  EXPECT_EQ(index.field_count(), 0u);
}

TEST(MetadataIndex, ReplacingMetadataMovesTheSlot) {
  MetadataIndex index;
  const Json x = parse(R"({"k":"x"})"), y = parse(R"({"k":"y"})");
  index.index(4, &x);
  index.remove(4, &x);
  index.index(4, &y);
  EXPECT_EQ(index.lookup("k", parse("\"x\"")), nullptr);
  EXPECT_EQ(slots(index, "k", parse("\"y\"")), std::set<uint32_t>{4});
  index.remove(4, &y);
  index.index(4, nullptr);  // replaced by no metadata
  EXPECT_EQ(index.field_count(), 0u);
}

TEST(MetadataIndex, RebuildHoldsExactlyTheLiveSlots) {
  MetadataIndex index;
  const Json stale = parse(R"({"old":1})");
  index.index(99, &stale);

  std::vector<SharedJson> metadata;
  for (const char* text : {R"({"t":"a"})", "", R"({"t":"a"})", R"({"t":"b"})", "3"}) {
    metadata.push_back(*text ? std::make_shared<const Json>(parse(text)) : nullptr);
  }
  index.rebuild(metadata, [](uint32_t s) { return s == 2; });
  EXPECT_FALSE(index.has_field("old"));
  EXPECT_EQ(slots(index, "t", parse("\"a\"")), std::set<uint32_t>{0});
  EXPECT_EQ(slots(index, "t", parse("\"b\"")), std::set<uint32_t>{3});
  EXPECT_EQ(index.field_count(), 1u);

  index.rebuild(metadata, nullptr);  // no deleted slots
  EXPECT_EQ(slots(index, "t", parse("\"a\"")), (std::set<uint32_t>{0, 2}));
  index.rebuild({}, nullptr);
  EXPECT_EQ(index.field_count(), 0u);
}

}  // namespace
}  // namespace kelpo
