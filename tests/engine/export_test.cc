#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db_test_util.h"
#include "engine/export/document_writer.h"
#include "engine/export/export_json.h"
#include "engine/export/float_text.h"
#include "engine/storage/file_ops.h"

namespace kelpo {
namespace {

using testing_util::open_db;
using testing_util::ScratchDir;

std::string text_of(float v) {
  char buf[kMaxFloatText];
  return std::string(buf, format_float(v, buf));
}

float from_bits(uint32_t bits) { return std::bit_cast<float>(bits); }

TEST(FloatText, LayoutAtEveryBoundaryAndReadsBackBitForBit) {
  const struct {
    float value;
    const char* text;
  } cases[] = {
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {1.0f, "1.0"},
      {100.0f, "100.0"},
      {0.5f, "0.5"},
      {-123.456f, "-123.456"},
      {16777216.0f, "16777216.0"},
      // The plain range ends at 1e-6 below and just under 1e13 above.
      {1e-6f, "0.000001"},
      {from_bits(0x358637be), "0.0000010000001"},
      {from_bits(0x358637bc), "9.999999e-7"},
      {1e-7f, "1e-7"},
      {-1e-7f, "-1e-7"},
      {std::nextafter(1e13f, 0.0f), "9999999000000.0"},
      {1e13f, "1e+13"},
      {1.25e13f, "1.25e+13"},
      {FLT_MAX, "3.4028235e+38"},
      {-FLT_MAX, "-3.4028235e+38"},
      {FLT_MIN, "1.1754944e-38"},
      {FLT_MIN / 2, "5.877472e-39"},  // subnormal
      {FLT_TRUE_MIN, "1e-45"},
      {from_bits(2), "3e-45"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text_of(c.value), c.text);
    EXPECT_EQ(std::bit_cast<uint32_t>(parse_float(c.text)), std::bit_cast<uint32_t>(c.value)) << c.text;
  }
  EXPECT_EQ(text_of(std::numeric_limits<float>::quiet_NaN()), "null");
  EXPECT_EQ(text_of(std::numeric_limits<float>::infinity()), "null");
  EXPECT_EQ(text_of(-std::numeric_limits<float>::infinity()), "null");
}

TEST(FloatText, SampledBitPatternsReadBackExactly) {
  // Every finite float round-trips (checked exhaustively once); this keeps a
  // spread sample and the one float that reading through a double misses.
  std::vector<uint32_t> patterns = {0x15ae43fd, 0x95ae43fd};
  for (uint64_t b = 0; b <= 0xffffffffu; b += 4099) patterns.push_back(static_cast<uint32_t>(b));
  for (uint32_t bits : patterns) {
    const float v = from_bits(bits);
    if (!std::isfinite(v)) continue;
    ASSERT_EQ(std::bit_cast<uint32_t>(parse_float(text_of(v))), bits) << text_of(v);
  }
}

TEST(FloatText, NumbersBeyondTheFloatRange) {
  EXPECT_EQ(parse_float("1e39"), std::numeric_limits<float>::infinity());
  EXPECT_EQ(parse_float("-1e400"), -std::numeric_limits<float>::infinity());
  EXPECT_EQ(parse_float("3.40282357e38"), std::numeric_limits<float>::infinity());  // past the rounding midpoint
  EXPECT_EQ(parse_float("3.40282356e38"), FLT_MAX);
  const float tiny = parse_float("-0.0000000000000000000000000000000000000000000000001");
  EXPECT_EQ(tiny, 0.0f);
  EXPECT_TRUE(std::signbit(tiny));
  EXPECT_EQ(parse_float("8e-46"), FLT_TRUE_MIN);  // rounds up to the smallest subnormal
}

ExportFormat one_record_doc() {
  ExportFormat doc;
  doc.dim = 2;
  doc.metric = "cosine";
  doc.vectors.push_back(ExportVector{"a", {1.0f, 0.5f}, Json{{"k", "v"}}});
  return doc;
}

TEST(DocumentWriter, CompactAndPrettyLayouts) {
  const ExportFormat doc = one_record_doc();
  EXPECT_EQ(document_text(doc, false),
            R"({"version":1,"dim":2,"metric":"cosine","vectors":[{"id":"a","vector":[1.0,0.5],"metadata":{"k":"v"}}]})");
  EXPECT_EQ(document_text(doc, true), R"({
  "version": 1,
  "dim": 2,
  "metric": "cosine",
  "vectors": [
    {
      "id": "a",
      "vector": [
        1.0,
        0.5
      ],
      "metadata": {
        "k": "v"
      }
    }
  ]
})");

  ExportFormat empty;
  empty.dim = 3;
  empty.metric = "euclidean";
  EXPECT_EQ(document_text(empty, false), R"({"version":1,"dim":3,"metric":"euclidean","vectors":[]})");
  EXPECT_EQ(document_text(empty, true), "{\n  \"version\": 1,\n  \"dim\": 3,\n  \"metric\": \"euclidean\",\n"
                                        "  \"vectors\": []\n}");
}

TEST(DocumentWriter, PrettyEdgeValues) {
  ExportFormat doc;
  doc.metric = "dot_product";
  doc.vectors.push_back(ExportVector{"q\"\n", {}, std::nullopt});
  doc.vectors.push_back(ExportVector{"e", {}, Json::object()});
  doc.vectors.push_back(ExportVector{"n", {}, Json{{"b", Json::array({1, Json::object({{"c", 2.5}})})}, {"a", Json::array()}}});
  EXPECT_EQ(document_text(doc, false),
            R"({"version":1,"dim":0,"metric":"dot_product","vectors":[)"
            R"({"id":"q\"\n","vector":[],"metadata":null},)"
            R"({"id":"e","vector":[],"metadata":{}},)"
            R"({"id":"n","vector":[],"metadata":{"a":[],"b":[1,{"c":2.5}]}}]})");
  const std::string pretty = document_text(doc, true);
  EXPECT_NE(pretty.find("      \"id\": \"q\\\"\\n\",\n      \"vector\": [],\n      \"metadata\": null\n    }"),
            std::string::npos)
      << pretty;
  EXPECT_NE(pretty.find("\"metadata\": {}\n"), std::string::npos) << pretty;
  EXPECT_NE(pretty.find("      \"metadata\": {\n        \"a\": [],\n        \"b\": [\n          1,\n          {\n"
                        "            \"c\": 2.5\n          }\n        ]\n      }\n    }\n  ]\n}"),
            std::string::npos)
      << pretty;
}

Result<ImportedRecords> parse_text(const std::string& text, size_t chunk = SIZE_MAX) {
  StringSource source(text, chunk);
  return parse_export_document(source);
}

std::string parse_error(const std::string& text) {
  Result<ImportedRecords> r = parse_text(text);
  if (r.ok()) return "parsed";
  EXPECT_EQ(r.error().kind(), ErrorKind::kCorruptData);
  return r.error().message();
}

TEST(ImportParser, ReadsBothLayoutsWhateverTheReadSizes) {
  ExportFormat doc = one_record_doc();
  doc.vectors.push_back(ExportVector{"b", {-0.0f, FLT_TRUE_MIN}, std::nullopt});
  doc.vectors.push_back(ExportVector{"caf\xc3\xa9", {1e13f, 1e-7f}, Json{{"n", Json::array({1, -2, 0.25})}}});
  for (bool pretty : {false, true}) {
    for (size_t chunk : {size_t{1}, size_t{7}, SIZE_MAX}) {
      Result<ImportedRecords> r = parse_text(document_text(doc, pretty), chunk);
      ASSERT_TRUE(r.ok()) << r.error().message();
      EXPECT_EQ(r->dim, 2u);
      EXPECT_EQ(r->metric, "cosine");
      ASSERT_EQ(r->ids, (std::vector<std::string>{"a", "b", "caf\xc3\xa9"}));
      ASSERT_EQ(r->size(), 3u);
      for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(r->row_size(i), 2u);
        for (size_t j = 0; j < 2; ++j) {
          EXPECT_EQ(std::bit_cast<uint32_t>(r->row(i)[j]), std::bit_cast<uint32_t>(doc.vectors[i].vector[j]));
        }
        ASSERT_EQ(r->metadatas[i].has_value(), doc.vectors[i].metadata.has_value());
        if (r->metadatas[i]) {
          EXPECT_TRUE(json_equal(*r->metadatas[i], *doc.vectors[i].metadata));
        }
      }
    }
  }
}

TEST(ImportParser, MemberOrderUnknownMembersEscapesAndOptionalMetadata) {
  Result<ImportedRecords> r = parse_text(
      R"( {"extra": {"deep": [1, {"x": null}]}, "vectors": [ {"vector": [1, -2e0, 3.5], "id": "\u0061\n", "more": 1},)"
      R"( {"id": "b", "vector": [], "metadata": null}, {"id": "c", "vector": [0], "metadata": [1]} ],)"
      "\n\t\"metric\": \"anything\", \"dim\": 3, \"version\": 2 } \r\n ");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->version, 2u);
  EXPECT_EQ(r->dim, 3u);
  EXPECT_EQ(r->ids, (std::vector<std::string>{"a\n", "b", "c"}));
  EXPECT_EQ(r->vectors.at(0).data, (std::vector<float>{1.0f, -2.0f, 3.5f, 0.0f}));
  EXPECT_EQ(r->vectors.at(0).offsets, (std::vector<size_t>{0, 3, 3, 4}));
  EXPECT_FALSE(r->metadatas[0].has_value());  // absent
  EXPECT_FALSE(r->metadatas[1].has_value());  // null
  ASSERT_TRUE(r->metadatas[2].has_value());
  EXPECT_TRUE(json_equal(*r->metadatas[2], Json::array({1})));
}

TEST(ImportParser, MalformedDocumentsNameWhatAndWhere) {
  const std::string head = R"({"version":1,"dim":2,"metric":"cosine","vectors":[)";  // 50 bytes
  const struct {
    std::string text;
    const char* message;
  } cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n", "EOF while parsing a value at line 2 column 0"},
      {"[]", "invalid type: array, expected an object at line 1 column 1"},
      {R"({"version":1,"dim":2,"metric":"cosine"})", "missing field `vectors` at line 1 column 39"},
      {R"({"dim":2,"metric":"cosine","vectors":[]})", "missing field `version` at line 1 column 40"},
      {R"({"version":1,"dim":2,"dim":2})", "duplicate field `dim` at line 1 column 27"},
      {R"({"version":-1,"dim":2,"metric":"cosine","vectors":[]})",
       "invalid value: -1, expected a non-negative integer at line 1 column 13"},
      {R"({"version":1,"dim":2.0,"metric":"cosine","vectors":[]})",
       "invalid value: 2.0, expected a non-negative integer at line 1 column 22"},
      {R"({"version":1,"dim":18446744073709551616,"metric":"c","vectors":[]})", "number out of range at line 1 column 39"},
      {R"({"version":1,"dim":2,"metric":7,"vectors":[]})", "invalid type: number, expected a string at line 1 column 31"},
      {head + "]}x", "trailing characters at line 1 column 53"},
      {head + "]} {}", "trailing characters at line 1 column 54"},
      {head + R"({"id":"a","vector":[1.0,null]}]})", "invalid type: null, expected f32 at line 1 column 75"},
      {head + R"({"id":"a","vector":[1.0,"2"]}]})", "invalid type: string, expected f32 at line 1 column 75"},
      {head + R"({"id":"a","vector":[1.0,]}]})", "trailing comma at line 1 column 75"},
      {head + R"({"id":"a","vector":[01]}]})", "invalid number at line 1 column 72"},
      {head + R"({"id":"a","vector":[1.]}]})", "invalid number at line 1 column 72"},
      {head + R"({"id":"a","vector":[1 2]}]})", "expected `,` or `]` at line 1 column 73"},
      {head + R"({"id":"a","vector":[NaN]}]})", "expected value at line 1 column 71"},
      {head + R"({"id":"a","vector":[1]},]})", "trailing comma at line 1 column 75"},
      {head + R"({"vector":[1]}]})", "missing field `id` at line 1 column 64"},
      {head + R"({"id":"a","id":"b","vector":[1]}]})", "duplicate field `id` at line 1 column 65"},
      {head + R"({"id":1,"vector":[1]}]})", "invalid type: number, expected a string at line 1 column 57"},
      {head + R"({"id":"a" "vector":[1]}]})", "expected `,` or `}` at line 1 column 61"},
      {head + R"({id:"a"}]})", "key must be a string at line 1 column 52"},
      {head + R"({"id":"a","vector":[1])", "EOF while parsing an object at line 1 column 72"},
      {head + R"({"id":"a","vector":[1)", "EOF while parsing a list at line 1 column 71"},
      {head + R"({"id":"a)", "EOF while parsing a string at line 1 column 58"},
      // Ids and metadata go through the system's JSON parser; its message, our position.
      {head + "{\"id\":\"\xff\",\"vector\":[1]}]}",
       "syntax error while parsing value: invalid string: ill-formed UTF-8 byte at line 1 column 58"},
      {head + R"({"id":"a","vector":[1],"metadata":{"k":tru}}]})",
       "syntax error while parsing value: invalid literal at line 1 column 93"},
      {head + "{\"id\":\"a\",\"vector\":[1],\n \"metadata\": {\n  \"k\": [1,\n  2,]}}]}",
       "syntax error while parsing value: unexpected ']'; expected '[', '{', or a literal at line 4 column 5"},
      {head + R"({"id":"a","vector":[1],"metadata":)" + std::string(129, '[') + std::string(129, ']') + "}]}",
       "nesting deeper than 128 levels at line 1 column 213"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_error(c.text), std::string("corrupt data: invalid JSON: ") + c.message) << c.text;
  }
}

TEST(ImportParser, ReadErrorIsReportedAsAnIoError) {
  ScratchDir dir;
  // A directory opens for reading, and then every read fails.
  auto source = FileSource::open(dir.path());
  ASSERT_TRUE(source.ok());
  Result<ImportedRecords> r = parse_export_document(*source.value());
  ASSERT_FALSE(r.ok());
  // The file's fault, not its text's: the I/O error as the read reported it.
  EXPECT_EQ(r.error().kind(), ErrorKind::kIo);
  EXPECT_EQ(r.error().message(), "io error: " + os_error_text(EISDIR));
}

VectorBatch rows(std::vector<std::vector<float>> vs) {
  VectorBatch b;
  for (const auto& v : vs) b.push_back(v.data(), v.size());
  return b;
}

void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> dir_entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ExportImport, RoundTripIntoAFreshDatabase) {
  ScratchDir dir;
  auto src = open_db(dir.file("src"), 3, Metric::kDotProduct);
  ASSERT_TRUE(src->add_many({"a", "b", "c"}, rows({{1e-7f, -0.0f, FLT_MAX}, {FLT_TRUE_MIN, 0.1f, 1e13f}, {1, 2, 3}}),
                            {Json{{"z", 1}, {"a", Json::array({-1, 2.5, "s", nullptr})}}, std::nullopt,
                             Json{{"u", 18446744073709551615ull}}})
                  .ok());
  ASSERT_TRUE(src->remove("c").ok());
  for (bool pretty : {false, true}) {
    const std::string file = dir.file(pretty ? "pretty.json" : "compact.json");
    ASSERT_TRUE(export_json(*src, file, pretty).ok());
    auto dst = open_db(dir.file(pretty ? "dst-pretty" : "dst-compact"), 3, Metric::kCosine);
    ASSERT_TRUE(import_json(*dst, file).ok());
    EXPECT_EQ(dst->count(nullptr), 2u);
    for (const std::string id : {"a", "b"}) {
      auto want = src->get(id);
      auto got = dst->get(id);
      ASSERT_TRUE(got.ok());
      for (size_t j = 0; j < 3; ++j) {
        EXPECT_EQ(std::bit_cast<uint32_t>(got->first[j]), std::bit_cast<uint32_t>(want->first[j]));
      }
      ASSERT_EQ(got->second.has_value(), want->second.has_value());
      if (want->second) {
        EXPECT_TRUE(json_equal(*got->second, *want->second));
      }
    }
    // Importing again is an upsert of the same records.
    ASSERT_TRUE(import_json(*dst, file).ok());
    EXPECT_EQ(dst->count(nullptr), 2u);
    EXPECT_EQ(dst->total_slots(), 2u);
  }
}

TEST(ExportImport, FailuresBeforeTheUpsertChangeNothing) {
  ScratchDir dir;
  auto db = open_db(dir.file("db"), 2);
  ASSERT_TRUE(db->add("keep", {1, 1}, std::nullopt).ok());
  const std::string ok_record = R"({"id":"new","vector":[1.0,2.0]})";
  write_file(dir.file("dim4.json"), R"({"version":1,"dim":4,"metric":"cosine","vectors":[{"id":"x","vector":[1,2,3,4]}]})");
  write_file(dir.file("bad-last.json"),
             R"({"version":1,"dim":2,"metric":"cosine","vectors":[)" + ok_record + R"(,{"id":"y","vector":[1,]}]})");
  write_file(dir.file("short-row.json"),
             R"({"version":1,"dim":2,"metric":"cosine","vectors":[)" + ok_record + R"(,{"id":"y","vector":[1]}]})");
  EXPECT_EQ(import_json(*db, dir.file("dim4.json")).error().message(), "dimension mismatch: expected 2, got 4");
  EXPECT_EQ(import_json(*db, dir.file("bad-last.json")).error().message(),
            "corrupt data: invalid JSON: trailing comma at line 1 column 105");
  EXPECT_EQ(import_json(*db, dir.file("short-row.json")).error().message(), "dimension mismatch: expected 2, got 1");
  EXPECT_EQ(db->ids(), std::vector<std::string>{"keep"});
}

// A document of several pieces: every record lands as one upsert of the
// whole document would leave it (an id repeated across pieces ends with its
// last vector and metadata, on one slot), the import survives a reopen, and
// a short row in the last piece stops the import before the first piece.
// Pieces are cut by record count (the default, at two dimensions) and by
// components (a small budget standing in for wide vectors).
TEST(ExportImport, ManyBatchesActAsOneUpsert) {
  for (const size_t budget : {kImportBatchFloats, size_t{2 * 300}}) {
    SCOPED_TRACE(budget);
    const size_t piece = import_batch_rows(2, budget);
    ASSERT_EQ(piece, budget == kImportBatchFloats ? kImportBatchRecords : 300u);
    ScratchDir dir;
    const size_t n = 2 * piece + 501;
    auto record = [](size_t i, const std::string& id, size_t dim) {
      std::string r = R"({"id":")" + id + R"(","vector":[)" + std::to_string(i) + ".5";
      for (size_t j = 1; j < dim; ++j) r += "," + std::to_string(j);
      return r + R"(],"metadata":{"i":)" + std::to_string(i) + "}}";
    };
    auto document = [&](bool short_last) {
      std::string doc = R"({"version":1,"dim":2,"metric":"cosine","vectors":[)";
      for (size_t i = 0; i < n; ++i) {
        // id7 again in the second and the last piece.
        const std::string id = (i == piece + 3 || i == n - 2) ? "id7" : "id" + std::to_string(i);
        if (i > 0) doc += ",";
        doc += record(i, id, short_last && i == n - 1 ? 1 : 2);
      }
      return doc + "]}";
    };
    auto import = [&](Database& db, const std::string& text) -> Status {
      StringSource source(text, 4096);
      Result<ImportedRecords> records = parse_export_document(source, budget);
      if (!records.ok()) return records.error();
      EXPECT_EQ(records->vectors.size(), (n + piece - 1) / piece);
      return apply_import(db, std::move(records).value());
    };
    auto db = open_db(dir.file("db"), 2);
    ASSERT_TRUE(db->add("keep", {1, 1}, std::nullopt).ok());
    EXPECT_EQ(import(*db, document(true)).error().message(), "dimension mismatch: expected 2, got 1");
    EXPECT_EQ(db->ids(), std::vector<std::string>{"keep"});
    ASSERT_TRUE(import(*db, document(false)).ok());
    auto check = [&](const Database& d) {
      EXPECT_EQ(d.count(nullptr), n - 2 + 1);  // two repeats of id7, plus "keep"
      EXPECT_EQ(d.total_slots(), n - 2 + 1);
      for (size_t i : {size_t{0}, piece - 1, piece, n - 1, size_t{7}}) {
        const size_t from = i == 7 ? n - 2 : i;
        auto got = d.get("id" + std::to_string(i));
        ASSERT_TRUE(got.ok()) << i;
        EXPECT_EQ(got->first, (std::vector<float>{static_cast<float>(from) + 0.5f, 1.0f})) << i;
        ASSERT_TRUE(got->second.has_value());
        EXPECT_EQ((*got->second)["i"], from);
      }
    };
    check(*db);
    db.reset();
    // Every piece was logged: reopening without a save replays them all.
    check(*open_db(dir.file("db"), 2));
  }
}

TEST(ExportFile, AFailedWriteLeavesTheOldDocumentAndNoTemporaryFile) {
  ScratchDir dir;
  auto db = open_db(dir.file("db"), 4);
  ASSERT_TRUE(db->add_many({"a", "b"}, rows({{1, 2, 3, 4}, {5, 6, 7, 8}}), {}).ok());
  const std::string target = dir.file("out.json");
  write_file(target, "old");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  const std::vector<std::string> before = dir_entries(dir.path());

  // Fail the first write, the close, then the rename: calls 1, 2, 3 after the open (call 0).
  for (size_t failing : {1, 2, 3}) {
    FaultInjectingFileOps ops(FileOps::posix());
    ops.set_fault(InjectedFault{failing, ENOSPC});
    const Status st = export_json(*db, target, false, ops);
    ASSERT_FALSE(st.ok()) << failing;
    EXPECT_EQ(st.error().message(), "io error: " + os_error_text(ENOSPC));
    EXPECT_EQ(read_file(target), "old");
    EXPECT_EQ(dir_entries(dir.path()), before);
  }
  ASSERT_TRUE(export_json(*db, target, false).ok());
  EXPECT_EQ(read_file(target).substr(0, 20), R"({"version":1,"dim":4)");
  struct stat st;
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the replaced file's permissions are kept
  EXPECT_EQ(dir_entries(dir.path()), before);
}

TEST(ExportFile, LinksSpecialFilesAndUnwritableTargets) {
  ScratchDir dir;
  auto db = open_db(dir.file("db"), 1);
  ASSERT_TRUE(db->add("a", {1}, std::nullopt).ok());
  const std::string expected = R"({"version":1,"dim":1,"metric":"euclidean","vectors":[{"id":"a","vector":[1.0],"metadata":null}]})";

  // A link to a file: the file gets the document, the link stays a link.
  write_file(dir.file("real.json"), "old");
  std::filesystem::create_symlink("real.json", dir.file("link.json"));
  ASSERT_TRUE(export_json(*db, dir.file("link.json"), false).ok());
  EXPECT_TRUE(std::filesystem::is_symlink(dir.file("link.json")));
  EXPECT_EQ(read_file(dir.file("real.json")), expected);

  // A device is written in place, never replaced.
  ASSERT_TRUE(export_json(*db, "/dev/null", false).ok());
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));

  // Errors name the operating system's reason.
  Result<ExportFile> missing_dir = ExportFile::create(dir.file("no/such/dir.json"));
  ASSERT_FALSE(missing_dir.ok());
  EXPECT_EQ(missing_dir.error().io_detail(), os_error_text(ENOENT));
  Result<ExportFile> is_dir = ExportFile::create(dir.path());
  ASSERT_FALSE(is_dir.ok());
  EXPECT_EQ(is_dir.error().io_detail(), os_error_text(EISDIR));
  if (::geteuid() != 0) {  // root writes anywhere
    write_file(dir.file("ro.json"), "old");
    ASSERT_EQ(::chmod(dir.file("ro.json").c_str(), 0444), 0);
    Result<ExportFile> read_only = ExportFile::create(dir.file("ro.json"));
    ASSERT_FALSE(read_only.ok());
    EXPECT_EQ(read_only.error().io_detail(), os_error_text(EACCES));
    EXPECT_EQ(read_file(dir.file("ro.json")), "old");
  }
}

}  // namespace
}  // namespace kelpo
