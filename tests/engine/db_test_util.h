// Shared helpers for the database tests: a scratch directory and a few vectors.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/db/database.h"

namespace kelpo::testing_util {

class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kelpo-db-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::unique_ptr<Database> open_db(const std::string& path, size_t dim, Metric metric = Metric::kEuclidean,
                                         DatabaseConfig config = {}) {
  auto db = Database::open_or_create_with_config(path, dim, metric, config);
  EXPECT_TRUE(db.ok()) << (db.ok() ? "" : db.error().message());
  return db.ok() ? std::move(db.value()) : nullptr;
}

inline std::vector<float> random_vector(std::mt19937& rng, size_t dim) {
  std::normal_distribution<float> g;
  std::vector<float> v(dim);
  for (auto& x : v) x = g(rng);
  return v;
}

inline VectorBatch random_batch(std::mt19937& rng, size_t n, size_t dim) {
  VectorBatch b = VectorBatch::uniform(n, dim);
  std::normal_distribution<float> g;
  for (auto& x : b.data) x = g(rng);
  return b;
}

// Everything a reader can observe of the live records.
using Snapshot = std::map<std::string, std::pair<std::vector<float>, std::optional<Json>>>;

inline Snapshot snapshot(const Database& db) {
  Snapshot out;
  for (const std::string& id : db.ids()) out[id] = db.get(id).value();
  return out;
}

inline off_t file_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

}  // namespace kelpo::testing_util
