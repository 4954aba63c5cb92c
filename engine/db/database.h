// Database: binds string ids to index slots, keeps per-slot metadata and its
// inverted index, logs every write ahead of memory, and answers searches.
//
// THIS HEADER IS THE CONTRACT the binding codes against; the implementation
// arrives with the engine work. (Comment to be replaced by the lock notes.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/index/distance.h"
#include "engine/metadata/filter.h"
#include "engine/metadata/json.h"
#include "engine/util/error.h"

namespace kelpo {

// Creation parameters other than dimension and metric.
struct DatabaseConfig {
  size_t m = 16;
  size_t ef_construction = 200;
  bool quantize = false;
};

// Many vectors in one flat buffer; rows may differ in length (the engine checks
// each against the dimension). Row i is data[offsets[i] .. offsets[i+1]).
struct VectorBatch {
  std::vector<float> data;
  std::vector<size_t> offsets{0};

  size_t size() const { return offsets.size() - 1; }
  const float* row(size_t i) const { return data.data() + offsets[i]; }
  size_t row_size(size_t i) const { return offsets[i + 1] - offsets[i]; }
  // Appends a row of n floats.
  void push_back(const float* v, size_t n) {
    data.insert(data.end(), v, v + n);
    offsets.push_back(data.size());
  }
  // A batch of `rows` rows of `cols` floats each, left uninitialised-to-zero for
  // the caller to fill through data().
  static VectorBatch uniform(size_t rows, size_t cols) {
    VectorBatch b;
    b.data.resize(rows * cols);
    b.offsets.resize(rows + 1);
    for (size_t i = 0; i <= rows; ++i) b.offsets[i] = i * cols;
    return b;
  }
};

struct SearchHit {
  std::string id;
  float distance = 0.0f;
  std::optional<Json> metadata;
};

struct SearchOptions {
  size_t k = 10;
  std::optional<size_t> ef_search;
  const Filter* filter = nullptr;  // not owned
  std::optional<float> max_distance;
};

struct DatabaseStats {
  uint64_t num_vectors = 0;
  uint64_t num_deleted = 0;
  uint64_t num_layers = 0;
  double avg_degree_layer0 = 0.0;
  uint64_t max_degree_layer0 = 0;
  uint64_t min_degree_layer0 = 0;
  uint64_t memory_vectors_bytes = 0;
  uint64_t memory_graph_bytes = 0;
  uint64_t memory_quantized_bytes = 0;
  bool uses_brute_force = true;
  bool uses_quantized_search = false;
};

class Database {
 public:
  // Creates the directory if needed and starts an empty database there (later:
  // loads a saved one). Replays an existing log.
  static Result<std::unique_ptr<Database>> open_or_create_with_config(const std::string& path, size_t dim,
                                                                      Metric metric, const DatabaseConfig& config);

  Status add(const std::string& id, std::vector<float> vector, std::optional<Json> metadata);
  Status upsert(const std::string& id, std::vector<float> vector, std::optional<Json> metadata);
  Status update(const std::string& id, std::optional<std::vector<float>> vector, std::optional<Json> metadata);
  // "delete": true when the id was live and is now deleted.
  Result<bool> remove(const std::string& id);
  Result<std::pair<std::vector<float>, std::optional<Json>>> get(const std::string& id) const;
  std::vector<std::string> ids() const;
  size_t count(const Filter* filter) const;
  bool contains(const std::string& id) const;
  size_t dim() const;
  Metric metric() const;

  Status add_many(const std::vector<std::string>& ids, const VectorBatch& vectors,
                  std::vector<std::optional<Json>> metadatas);
  Status upsert_many(const std::vector<std::string>& ids, const VectorBatch& vectors,
                     std::vector<std::optional<Json>> metadatas);
  Result<size_t> delete_many(const std::vector<std::string>& ids);

  Result<std::vector<SearchHit>> search(const float* query, size_t query_len, const SearchOptions& options) const;
  Result<std::vector<std::vector<SearchHit>>> search_many(const VectorBatch& queries,
                                                          const SearchOptions& options) const;

  DatabaseStats stats() const;
  size_t total_slots() const;
  size_t deleted_count() const;
};

// max(200, k + floor(10 * sqrt(k))).
size_t default_ef(size_t k);

}  // namespace kelpo
