#include "engine/util/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kelpo {
namespace {

TEST(KelpoError, DisplayTexts) {
  EXPECT_EQ(KelpoError::dimension_mismatch(3, 2).message(), "dimension mismatch: expected 3, got 2");
  EXPECT_EQ(KelpoError::duplicate_id("a").message(), "id 'a' already exists, use upsert instead");
  EXPECT_EQ(KelpoError::not_found("x").message(), "id 'x' not found");
  EXPECT_EQ(KelpoError::database_not_found("/p").message(), "database not found at '/p'");
  EXPECT_EQ(KelpoError::io("bad graph magic").message(), "io error: bad graph magic");
  EXPECT_EQ(KelpoError::io_errno(ENOENT).message(), "io error: No such file or directory (os error 2)");
  EXPECT_EQ(KelpoError::io_errno(ENOENT).io_detail(), "No such file or directory (os error 2)");
  EXPECT_EQ(KelpoError::invalid_metric("x").message(),
            "invalid metric 'x': use 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'");
  EXPECT_EQ(KelpoError::corrupt_data("vector slot missing").message(), "corrupt data: vector slot missing");
  EXPECT_EQ(KelpoError::invalid_filter("f").message(), "invalid filter: f");
  EXPECT_EQ(KelpoError::collection_exists("docs").message(), "collection 'docs' already exists");
  EXPECT_EQ(KelpoError::invalid_collection_name("name cannot be empty").message(),
            "invalid collection name: name cannot be empty");
}

Result<int> half(int x) {
  if (x % 2) return KelpoError::corrupt_data("odd");
  return x / 2;
}

Status chain(int x) {
  KELPO_RETURN_IF_ERROR(half(x));
  return Status::OK();
}

TEST(KelpoError, ResultAndStatusPropagate) {
  EXPECT_EQ(half(4).value(), 2);
  EXPECT_FALSE(half(3).ok());
  EXPECT_EQ(half(3).error().kind(), ErrorKind::kCorruptData);
  EXPECT_TRUE(chain(2).ok());
  EXPECT_EQ(chain(1).error().message(), "corrupt data: odd");
}

}  // namespace
}  // namespace kelpo
