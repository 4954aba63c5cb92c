#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db_test_util.h"
#include "engine/client/client.h"
#include "engine/client/collection_dir.h"

namespace kelpo {
namespace {

using testing_util::ScratchDir;
namespace fs = std::filesystem;

// ASCII letters and digits, plus é and the two Han characters of "数据":
// enough to tell the rules apart without a Unicode table.
bool test_alnum(char32_t c) {
  return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9') || c == U'\u00e9' ||
         c == U'\u6570' || c == U'\u636e';
}

std::string reason(std::string_view name) {
  const Status st = validate_name(name, test_alnum);
  if (st.ok()) return "ok";
  EXPECT_EQ(st.error().kind(), ErrorKind::kInvalidCollectionName);
  return st.error().message();
}

TEST(CollectionName, ReasonsInTheirOrder) {
  const std::string empty = "invalid collection name: name cannot be empty";
  const std::string path = "invalid collection name: name cannot contain path separators or be '.' or '..'";
  const std::string chars = "invalid collection name: name must be alphanumeric, hyphens, or underscores";
  EXPECT_EQ(reason(""), empty);
  for (const char* n : {"/", "a/b", "a\\b", ".", "..", "a b/c", "../x", "\\\xff"}) EXPECT_EQ(reason(n), path) << n;
  for (const char* n : {"...", "a.b", "a b", ".x", "x\xff", "\xc3", "caf\xc3\xa9\xcc\x81", "\xed\xa0\x80"}) {
    EXPECT_EQ(reason(n), chars) << n;
  }
  for (const char* n : {"docs", "A-1_b", "-", "_", "caf\xc3\xa9", "\xe6\x95\xb0\xe6\x8d\xae"}) EXPECT_EQ(reason(n), "ok") << n;
}

void touch(const std::string& path) { std::ofstream(path) << "x"; }

TEST(CollectionDir, ListsOnlyRealCollectionDirectoriesInByteOrder) {
  ScratchDir root;
  for (const char* name : {"c", "a", "B", "\xc3\xa9", "b"}) {
    fs::create_directory(root.file(name));
    touch(root.file(name) + "/graph.kelpo");
  }
  fs::create_directory(root.file("empty"));
  fs::create_directory(root.file("no-graph"));
  touch(root.file("no-graph/vectors.bin"));
  fs::create_directory(root.file("graph-is-dir"));
  fs::create_directory(root.file("graph-is-dir/graph.kelpo"));
  touch(root.file("plain-file"));
  fs::create_directory_symlink("a", root.file("link-to-a"));
  fs::create_directory(root.file("\xff"));  // not UTF-8
  touch(root.file("\xff/graph.kelpo"));

  auto names = list_collection_dirs(root.path());
  ASSERT_TRUE(names.ok());
  EXPECT_EQ(names.value(), (std::vector<std::string>{"B", "a", "b", "c", "graph-is-dir", "\xc3\xa9"}));

  auto missing = list_collection_dirs(root.file("nope"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "io error: " + os_error_text(ENOENT));
}

TEST(CollectionDir, RemovalNeverFollowsLinks) {
  ScratchDir root;
  fs::create_directory(root.file("outside"));
  touch(root.file("outside/precious"));
  fs::create_directories(root.file("docs/sub/deeper"));
  touch(root.file("docs/graph.kelpo"));
  touch(root.file("docs/sub/deeper/f"));
  fs::create_directory_symlink("../outside", root.file("docs/link-dir"));
  fs::create_directory_symlink("../../outside", root.file("docs/sub/link-dir"));
  fs::create_symlink("../outside/precious", root.file("docs/link-file"));
  fs::create_directory_symlink("outside", root.file("alias"));

  ASSERT_TRUE(remove_tree(root.file("docs")).ok());
  ASSERT_TRUE(remove_tree(root.file("alias")).ok());  // the link goes, not what it names
  EXPECT_FALSE(fs::exists(fs::symlink_status(root.file("docs"))));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root.file("alias"))));
  EXPECT_TRUE(fs::exists(root.file("outside/precious")));
  EXPECT_TRUE(remove_tree(root.file("docs")).ok());  // already gone is fine
}

TEST(Client, CollectionsLiveUnderTheRoot) {
  ScratchDir scratch;
  auto client = Client::open(scratch.file("x/y/"), test_alnum);
  ASSERT_TRUE(client.ok());
  EXPECT_TRUE(fs::is_directory(scratch.file("x/y")));
  EXPECT_EQ(client->collection_path("docs"), scratch.file("x/y/docs"));

  auto docs = client->create_collection("docs", 3, Metric::kEuclidean, DatabaseConfig{});
  ASSERT_TRUE(docs.ok()) << docs.error().message();
  ASSERT_TRUE(docs.value()->add("a", {1, 2, 3}, std::nullopt).ok());
  ASSERT_TRUE(docs.value()->save().ok());
  EXPECT_EQ(client->create_collection("docs", 3, Metric::kEuclidean, {}).error().message(),
            "collection 'docs' already exists");
  touch(scratch.file("x/y/file"));
  EXPECT_EQ(client->create_collection("file", 3, Metric::kEuclidean, {}).error().message(),
            "collection 'file' already exists");
  fs::create_symlink("nowhere", scratch.file("x/y/dangling"));
  EXPECT_EQ(client->create_collection("dangling", 3, Metric::kEuclidean, {}).error().message(),
            "collection 'dangling' already exists");

  auto again = client->get_collection("docs");
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.value()->count(nullptr), 1u);
  EXPECT_EQ(client->get_collection("nope").error().message(),
            "database not found at '" + scratch.file("x/y/nope") + "'");
  // The stored dimension and metric win over the arguments.
  auto got = client->get_or_create_collection("docs", 8, Metric::kCosine);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got.value()->dim(), 3u);

  EXPECT_EQ(client->list_collections().value(), std::vector<std::string>{"docs"});
  EXPECT_TRUE(client->delete_collection("docs").value());
  EXPECT_FALSE(client->delete_collection("docs").value());
  EXPECT_TRUE(client->list_collections().value().empty());
  EXPECT_EQ(client->delete_collection("..").error().kind(), ErrorKind::kInvalidCollectionName);
}

}  // namespace
}  // namespace kelpo
