// The JSON interchange document: every live record of a database with its id,
// full-precision vector and metadata, and nothing of the index (no graph,
// quantization or deletion state).
//
//   {"version":1,"dim":2,"metric":"cosine","vectors":[
//     {"id":"a","vector":[1.0,0.5],"metadata":{"k":"v"}}]}
//
// Members are written in the order above. On import, "version", "dim",
// "metric" and "vectors" are required ("version" and "metric" are otherwise
// ignored), "id" and "vector" are required in each record, "metadata" is
// optional (absent and null both mean none), and unknown members are skipped
// at both levels.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/metadata/json.h"

namespace kelpo {

// The version this code writes. Readers accept any non-negative version.
inline constexpr uint64_t kExportVersion = 1;

struct ExportVector {
  std::string id;
  std::vector<float> vector;
  std::optional<Json> metadata;
};

struct ExportFormat {
  uint64_t version = kExportVersion;
  uint64_t dim = 0;
  std::string metric;  // canonical name: "cosine", "euclidean" or "dot_product"
  std::vector<ExportVector> vectors;
};

}  // namespace kelpo
