// Storage: the fixed file names of a database directory.
//
//   graph.kelpo   index parameters, deleted set, links, ids and metadata
//   vectors.bin   every slot's vector, then every slot's norm
//   vectors.sq8   quantizer and codes (only while quantization is kept on save)
//   wal.kelpo     write-ahead log since the last save
//   graph.tmp, vectors.tmp
//                 a save in progress; vectors.tmp is reused for vectors.sq8
//                 once the graph has been committed
//
// Building a Storage touches no file.
#pragma once

#include <filesystem>
#include <string>

namespace kelpo {

inline constexpr const char* kGraphFileName = "graph.kelpo";
inline constexpr const char* kVectorsFileName = "vectors.bin";
inline constexpr const char* kQuantizedFileName = "vectors.sq8";
inline constexpr const char* kLogFileName = "wal.kelpo";
inline constexpr const char* kGraphTempName = "graph.tmp";
inline constexpr const char* kVectorsTempName = "vectors.tmp";

struct Storage {
  std::string dir;
  std::string graph_path;
  std::string vectors_path;
  std::string quantized_path;
  std::string log_path;
  std::string graph_temp_path;
  std::string vectors_temp_path;

  explicit Storage(const std::string& directory)
      : dir(directory),
        graph_path(join(directory, kGraphFileName)),
        vectors_path(join(directory, kVectorsFileName)),
        quantized_path(join(directory, kQuantizedFileName)),
        log_path(join(directory, kLogFileName)),
        graph_temp_path(join(directory, kGraphTempName)),
        vectors_temp_path(join(directory, kVectorsTempName)) {}

 private:
  static std::string join(const std::string& dir, const char* name) {
    return (std::filesystem::path(dir) / name).string();
  }
};

}  // namespace kelpo
