#include "engine/storage/vector_files.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/engine/storage_test_util.h"

namespace kelpo {
namespace {

using testing::render;
using testing::TempDir;

std::string float_bytes(const std::vector<float>& v) {
  return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
}

TEST(VectorFilesTest, VectorsFileIsRawVectorsThenNorms) {
  const std::vector<float> vectors = {1.0f, -2.5f, 0.0f, 3.0e-38f, -0.0f, 7.0f};  // 3 slots of dim 2
  const std::vector<float> norms = {2.69f, 3.0e-38f, 7.0f};
  const std::string bytes = render([&](BufferedFileWriter& out) { return write_vectors_file(out, vectors, norms, 2); });
  ASSERT_EQ(bytes.size(), vectors_file_size(3, 2));
  EXPECT_EQ(bytes.size(), 36u);
  EXPECT_EQ(bytes, float_bytes(vectors) + float_bytes(norms));
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x00\x00\x80\x3F", 4));  // 1.0f, little-endian

  EXPECT_EQ(render([](BufferedFileWriter& out) { return write_vectors_file(out, {}, {}, 8); }), "");

  MemFileOps mem;
  ASSERT_TRUE(mem.create_directories("/r").ok());
  BufferedFileWriter out(mem, mem.open_for_write("/r/f", WriteMode::kTruncate).value());
  EXPECT_FALSE(write_vectors_file(out, vectors, norms, 3).ok());  // 6 floats are not 3 slots of dim 3
}

TEST(VectorFilesTest, VectorsFileMustHaveExactlyTheGraphsSize) {
  const uint64_t dim = 8, n = 5, exact = 4 * n * (dim + 1);
  EXPECT_TRUE(check_vectors_file_size(exact, n, dim).ok());
  EXPECT_TRUE(check_vectors_file_size(0, 0, dim).ok());
  for (uint64_t size : {uint64_t{0}, exact - 4, exact + 4, exact - 4 * (dim + 1), exact + 4 * (dim + 1), exact + 1}) {
    Status st = check_vectors_file_size(size, n, dim);
    ASSERT_FALSE(st.ok()) << size;
    EXPECT_EQ(st.error().message(), "io error: vectors file holds " + std::to_string(size) +
                                        " bytes, but 5 slots of dimension 8 need exactly 180");
  }
  // The largest counts must not wrap around to a size some file could have.
  // 4 * 2^30 * 2^32 is 2^64, which wraps to an empty file.
  EXPECT_FALSE(check_vectors_file_size(0, 0x40000000u, 0xFFFFFFFFu).ok());
  EXPECT_EQ(vectors_file_size(0x40000000u, 0xFFFFFFFFu), ~uint64_t{0});
}

TEST(VectorFilesTest, MappingChecksTheSizeAndCopiesTheNorms) {
  TempDir dir;
  FileOps& ops = FileOps::posix();
  const std::vector<float> vectors = {1, 2, 3, 4, 5, 6};
  const std::vector<float> norms = {0.5f, 0.25f};
  const std::string path = dir.file("vectors.bin");
  auto write_file = [&](const std::string& bytes) {
    Result<int> fd = ops.open_for_write(path, WriteMode::kTruncate);
    ASSERT_TRUE(ops.write_all(*fd, bytes.data(), bytes.size()).ok());
    ASSERT_TRUE(ops.close(*fd).ok());
  };

  write_file(float_bytes(vectors) + float_bytes(norms));
  Result<MappedVectors> mapped = map_vectors_file(ops, path, 2, 3);
  ASSERT_TRUE(mapped.ok()) << mapped.error().message();
  EXPECT_TRUE(mapped->store.is_mapped());
  ASSERT_EQ(mapped->store.size(), 6u);
  EXPECT_EQ(std::memcmp(mapped->store.data(), vectors.data(), 24), 0);
  EXPECT_EQ(mapped->norms, norms);

  // Too short, or one slot too long (as after a save of another graph).
  write_file(float_bytes(vectors) + float_bytes({0.5f}));
  EXPECT_FALSE(map_vectors_file(ops, path, 2, 3).ok());
  write_file(float_bytes(vectors) + float_bytes(norms) + float_bytes({9, 9, 9, 9}));
  EXPECT_FALSE(map_vectors_file(ops, path, 2, 3).ok());

  write_file("");
  Result<MappedVectors> empty = map_vectors_file(ops, path, 0, 3);
  ASSERT_TRUE(empty.ok()) << empty.error().message();
  EXPECT_EQ(empty->store.size(), 0u);
  EXPECT_TRUE(empty->norms.empty());

  EXPECT_EQ(map_vectors_file(ops, dir.file("missing"), 0, 3).error().message(),
            "io error: No such file or directory (os error 2)");
}

TEST(VectorFilesTest, QuantizerFileRoundTripAndCodeRegion) {
  const std::vector<float> min = {-1.0f, 0.0f, 2.0f};
  const std::vector<float> scale = {0.01f, 0.02f, 0.03f};
  const std::vector<uint8_t> codes = {1, 2, 3, 4, 5, 6, 250, 251, 252, 7, 8, 9};  // 4 slots
  const std::string bytes = render([&](BufferedFileWriter& out) { return write_quantizer_file(out, min, scale, codes); });
  ASSERT_EQ(bytes.size(), 4 + 8 * 3 + 12u);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\x03\x00\x00\x00", 4));

  Result<QuantizerFile> q = parse_quantizer_file(bytes, 4, 3);
  ASSERT_TRUE(q.ok()) << q.error().message();
  EXPECT_EQ(q->dim, 3u);
  EXPECT_EQ(q->min, min);
  EXPECT_EQ(q->scale, scale);
  EXPECT_EQ(q->codes, codes);

  // A longer code region loads, cut to the slots that exist, so codes of
  // slots added later line up with them.
  q = parse_quantizer_file(bytes, 3, 3);
  ASSERT_TRUE(q.ok());
  EXPECT_EQ(q->codes, std::vector<uint8_t>(codes.begin(), codes.begin() + 9));
  // A shorter one leaves slots without codes.
  EXPECT_EQ(parse_quantizer_file(bytes, 5, 3).error().message(),
            "io error: quantizer file holds 12 code bytes, but 5 slots of dimension 3 need 15");
  EXPECT_EQ(parse_quantizer_file(bytes, 4, 4).error().message(),
            "io error: quantizer file has dimension 3, the database 4");
}

TEST(VectorFilesTest, QuantizerFileTruncationAndHostileDimension) {
  const std::vector<float> min = {0, 1}, scale = {1, 2};
  const std::string bytes = render([&](BufferedFileWriter& out) { return write_quantizer_file(out, min, scale, {}); });
  ASSERT_EQ(bytes.size(), 20u);
  for (size_t len = 0; len < bytes.size(); ++len) {
    EXPECT_EQ(parse_quantizer_file(bytes.substr(0, len), 0, 2).error().message(),
              "io error: failed to fill whole buffer")
        << len;
  }
  EXPECT_TRUE(parse_quantizer_file(bytes, 0, 2).ok());
  std::string huge = bytes;
  huge.replace(0, 4, std::string("\xFF\xFF\xFF\xFF", 4));
  EXPECT_EQ(parse_quantizer_file(huge, 1, 0xFFFFFFFFu).error().message(), "io error: failed to fill whole buffer");
}

}  // namespace
}  // namespace kelpo
