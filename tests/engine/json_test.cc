#include "engine/metadata/json.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <random>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

namespace kelpo {
namespace {

Json parse(std::string_view text) {
  Json v;
  JsonParseError error;
  EXPECT_TRUE(json_parse(text, &v, &error)) << text << ": " << error.text();
  return v;
}

JsonParseError parse_failure(std::string_view text) {
  Json v = "untouched";
  JsonParseError error;
  EXPECT_FALSE(json_parse(text, &v, &error)) << text;
  EXPECT_EQ(v, "untouched") << "a failed parse must leave the output alone";
  return error;
}

TEST(JsonEqual, NumberKindsAreNeverEqual) {
  // The library's own == mixes kinds; ours must not.
  ASSERT_TRUE(Json(1) == Json(1.0));
  EXPECT_FALSE(json_equal(parse("1"), parse("1.0")));
  EXPECT_FALSE(json_equal(parse("-1"), parse("-1.0")));
  EXPECT_FALSE(json_equal(parse("1e3"), parse("1000")));
  // Same bits, different kinds: 2^64 - 1 is not -1.
  EXPECT_FALSE(json_equal(Json(std::numeric_limits<uint64_t>::max()), Json(int64_t{-1})));
  EXPECT_FALSE(json_equal(parse("true"), parse("1")));
  EXPECT_FALSE(json_equal(parse("\"1\""), parse("1")));
  EXPECT_FALSE(json_equal(parse("null"), parse("0")));
}

TEST(JsonEqual, IntegerKindFollowsTheSignNotTheStorage) {
  // Json(5) is stored signed, the parsed text "5" unsigned: both are the
  // non-negative integer 5, so values built in C++ find stored metadata.
  ASSERT_TRUE(Json(5).is_number_integer() && !Json(5).is_number_unsigned());
  ASSERT_TRUE(parse("5").is_number_unsigned());
  EXPECT_TRUE(json_equal(Json(5), parse("5")));
  EXPECT_EQ(json_hash(Json(5)), json_hash(parse("5")));
  EXPECT_TRUE(json_equal(Json(int64_t{-7}), parse("-7")));
}

TEST(JsonEqual, SignedZerosAreOneKeyAndNanIsNone) {
  EXPECT_TRUE(json_equal(Json(0.0), Json(-0.0)));
  EXPECT_EQ(json_hash(Json(0.0)), json_hash(Json(-0.0)));
  EXPECT_TRUE(json_equal(parse("0.0"), parse("-0.0")));
  EXPECT_FALSE(json_equal(Json(0.0), Json(0)));
  const Json nan(std::nan(""));
  EXPECT_FALSE(json_equal(nan, nan));
}

TEST(JsonEqual, ContainersCompareDeeply) {
  EXPECT_TRUE(json_equal(parse(R"({"a":[1,{"b":null}],"c":"x"})"), parse(R"({"c":"x","a":[1,{"b":null}]})")));
  EXPECT_FALSE(json_equal(parse(R"({"a":[1,2]})"), parse(R"({"a":[1,2.0]})")));
  EXPECT_FALSE(json_equal(parse("[1,2]"), parse("[2,1]")));
  EXPECT_FALSE(json_equal(parse("[1,2]"), parse("[1,2,3]")));
  EXPECT_FALSE(json_equal(parse(R"({"a":1})"), parse(R"({"b":1})")));
  EXPECT_FALSE(json_equal(parse(R"({"a":1})"), parse(R"({"a":1,"b":1})")));
  EXPECT_FALSE(json_equal(parse("[]"), parse("{}")));
  EXPECT_EQ(json_hash(parse(R"({"a":[0.0]})")), json_hash(parse(R"({"a":[-0.0]})")));
}

TEST(JsonHash, AgreesWithEqualityInHashContainers) {
  std::unordered_set<Json, JsonHash, JsonEqual> keys;
  for (const char* text : {"1", "1.0", "-1", "-1.0", "0", "0.0", "-0.0", "true", "false", "null", "\"1\"", "[1]",
                           "[1.0]", "{\"a\":1}", "{\"a\":1.0}", "18446744073709551615"}) {
    keys.insert(parse(text));
  }
  keys.insert(Json(1));  // the same key as the parsed "1"
  keys.insert(Json(int64_t{-1}));
  // 0.0 and -0.0 are one key; everything else differs.
  EXPECT_EQ(keys.size(), 15u);
  EXPECT_EQ(keys.count(Json(-0.0)), 1u);
  EXPECT_EQ(keys.count(Json(2)), 0u);
}

TEST(JsonParse, KindsAndFloatsSurviveTheTextRoundTrip) {
  EXPECT_TRUE(parse("18446744073709551615").is_number_unsigned());
  EXPECT_TRUE(parse("-9223372036854775808").is_number_integer());
  EXPECT_TRUE(parse("18446744073709551616").is_number_float());  // past 64 bits: a float
  for (double d : {0.1, 1.0, -0.0, 1e300, 5e-324, 1e16, 123456789.125, -2.5e-8}) {
    const Json back = parse(json_dump_compact(Json(d)));
    ASSERT_TRUE(back.is_number_float()) << d;
    EXPECT_EQ(back.get<double>(), d);
    EXPECT_EQ(std::signbit(back.get<double>()), std::signbit(d));
  }
}

TEST(JsonDump, InvalidUtf8NeverThrowsButTheExactFormRefuses) {
  const Json v = Json::object({{"s", std::string("a\xff")}});
  EXPECT_NO_THROW(json_dump_compact(v));
  std::string out;
  EXPECT_FALSE(json_dump_compact_exact(v, &out));
  EXPECT_TRUE(json_dump_compact_exact(Json::object({{"s", "é"}}), &out));
  EXPECT_EQ(out, "{\"s\":\"é\"}");
}

TEST(JsonParse, ErrorsGiveACleanMessageAndPosition) {
  JsonParseError e = parse_failure("[1, N");
  EXPECT_EQ(e.message, "syntax error while parsing value: invalid literal");
  EXPECT_EQ(e.line, 1u);
  EXPECT_EQ(e.column, 5u);
  EXPECT_EQ(e.text(), "syntax error while parsing value: invalid literal at line 1 column 5");

  e = parse_failure("{\n  \"a\": 1,\n  \"b\": x}");
  EXPECT_EQ(e.line, 3u);
  EXPECT_EQ(e.column, 8u);

  // The echoed token is dropped (it could hold raw bytes); what was expected stays.
  e = parse_failure("[1] x");
  EXPECT_EQ(e.message, "syntax error while parsing value: invalid literal; expected end of input");

  e = parse_failure("[1e999]");
  EXPECT_EQ(e.message, "number overflow parsing '1e999'");
  EXPECT_EQ(e.column, 6u);
}

TEST(JsonParse, RefusesWhatAFileMustNotSmuggleIn) {
  parse_failure("\"a\xff\"");            // not UTF-8
  parse_failure("\"\\ud800\"");          // a lone surrogate escape
  parse_failure("");                     // nothing
  parse_failure("1 2");                  // two values
  parse_failure("{\"a\":1} // comment");
  EXPECT_EQ(parse(" {\"a\":1} \n\t").size(), 1u);  // trailing white space is fine
  // The library alone would stop at a NUL and accept "1".
  const JsonParseError e = parse_failure(std::string_view("1\0 2", 4));
  EXPECT_EQ(e.column, 2u);
  parse_failure(std::string_view("\"a\0\"", 4));
}

TEST(JsonParse, NestingIsCappedWithoutExhaustingTheStack) {
  auto nested = [](size_t depth, char open, char close) {
    std::string s(depth, open);
    if (open == '{') {
      s.clear();
      for (size_t i = 0; i < depth; ++i) s += "{\"k\":";
      s += "0";
      s += std::string(depth, close);
      return s;
    }
    return s + std::string(depth, close);
  };
  EXPECT_TRUE(json_depth_within(parse(nested(kMaxJsonDepth, '[', ']')), kMaxJsonDepth));
  parse(nested(kMaxJsonDepth, '{', '}'));

  JsonParseError e = parse_failure(nested(kMaxJsonDepth + 1, '[', ']'));
  EXPECT_EQ(e.message, "nesting deeper than 128 levels");
  EXPECT_EQ(e.column, kMaxJsonDepth + 1);
  e = parse_failure("[\"[[\"," + nested(kMaxJsonDepth, '[', ']') + "]");
  EXPECT_EQ(e.column, 6 + kMaxJsonDepth);  // brackets inside strings do not count
  parse_failure(nested(100000, '[', ']'));
  parse_failure(std::string(1000000, '['));
}

TEST(JsonDepth, MeasuresValuesBuiltInCode) {
  EXPECT_TRUE(json_depth_within(Json(1), 0));
  EXPECT_FALSE(json_depth_within(Json::array(), 0));
  EXPECT_TRUE(json_depth_within(parse(R"({"a":[1,{"b":[]}]})"), 4));
  EXPECT_FALSE(json_depth_within(parse(R"({"a":[1,{"b":[]}]})"), 3));
  Json deep = Json::array();
  Json* innermost = &deep;
  for (int i = 0; i < 100000; ++i) {
    innermost->push_back(Json::array());
    innermost = &innermost->back();
  }
  EXPECT_FALSE(json_depth_within(deep, kMaxJsonDepth));
}

// The fast compact writer against the library's own dump: byte for byte on
// random values of every kind, nested, with strings that need escaping or
// are not UTF-8, and floats of every magnitude, NaN and infinities included.
TEST(JsonDump, AppendedTextIsTheDumpByteForByte) {
  std::mt19937_64 rng(1208);
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  auto random_string = [&] {
    static const std::string alphabet = std::string("abcXYZ 09_-~\"\\/\x7f\n\t\x01", 19) + "\xc3\xa9\xe2\x82\xac\xff";
    std::string out;
    for (size_t i = pick(8); i > 0; --i) out.push_back(alphabet[pick(alphabet.size())]);
    return out;
  };
  std::function<Json(int)> random_value = [&](int depth) -> Json {
    switch (pick(depth > 3 ? 6 : 8)) {
      case 0: return nullptr;
      case 1: return pick(2) == 0;
      case 2: return static_cast<int64_t>(rng());
      case 3: return static_cast<uint64_t>(rng() >> pick(64));
      case 4: {
        const double specials[] = {0.0, -0.0, 1.0, 0.1, 1e300, -5e-324, 1e16, 123456789.125,
                                   std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()};
        if (pick(3) == 0) return specials[pick(std::size(specials))];
        return std::bit_cast<double>(rng());
      }
      case 5: return random_string();
      case 6: {
        Json a = Json::array();
        for (size_t i = pick(4); i > 0; --i) a.push_back(random_value(depth + 1));
        return a;
      }
      default: {
        Json o = Json::object();
        for (size_t i = pick(4); i > 0; --i) o[random_string()] = random_value(depth + 1);
        return o;
      }
    }
  };
  std::string appended = "prefix";
  for (int i = 0; i < 3000; ++i) {
    const Json v = random_value(0);
    appended.resize(6);
    json_append_compact(v, &appended);
    ASSERT_EQ(appended.substr(6), json_dump_compact(v)) << "value " << i;
  }
}

}  // namespace
}  // namespace kelpo
