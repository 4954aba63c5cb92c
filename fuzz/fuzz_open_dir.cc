// A whole database directory whose files are mutated together: the input is
// graph.kelpo, vectors.bin, vectors.sq8 and wal.kelpo joined by the part
// separator (an empty part: no such file). Whatever opens must answer reads
// and searches, save, and reopen with the same records.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "engine/db/database.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelpo;
  const std::string& dir = fuzz::scratch_dir("dir");
  static const char* const kNames[] = {"graph.kelpo", "vectors.bin", "vectors.sq8", "wal.kelpo"};
  const std::vector<std::string_view> parts =
      fuzz::split_parts(std::string_view(reinterpret_cast<const char*>(data), size), 4);
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.path().filename() != "writer.lock") std::filesystem::remove_all(e.path());
  }
  for (size_t i = 0; i < 4; ++i) {
    if (!parts[i].empty()) fuzz::write_file(dir + "/" + kNames[i], parts[i]);
  }
  std::vector<std::string> ids;
  {
    auto db = Database::open(dir);
    if (!db.ok()) return 0;
    Database& d = **db;
    ids = d.ids();
    for (size_t i = 0; i < ids.size() && i < 64; ++i) {
      if (!d.get(ids[i]).ok()) __builtin_trap();
    }
    std::vector<float> q(d.dim(), 0.5f);
    SearchOptions opt;
    opt.k = 5;
    if (!d.search(q.data(), q.size(), opt).ok()) __builtin_trap();
    (void)d.count(nullptr);
    (void)d.stats();
    if (!d.save().ok()) return 0;  // e.g. a vector too long for the format; nothing was acknowledged
  }
  auto back = Database::open(dir);
  if (!back.ok() || (*back)->ids().size() != ids.size()) __builtin_trap();
  for (const std::string& id : ids) {
    if (!(*back)->contains(id)) __builtin_trap();
  }
  return 0;
}
