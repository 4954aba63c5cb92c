// The log reader and replay: the input is wal.kelpo of a 4-dimensional
// database. Opening replays it; one more write then runs the tail repair
// (a damaged tail is moved aside before the append). The reopened database
// must hold what the first one held plus that write.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "engine/db/database.h"
#include "fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelpo;
  const std::string& dir = fuzz::scratch_dir("wal");
  std::filesystem::remove(dir + "/wal.kelpo.corrupt");
  fuzz::write_file(dir + "/wal.kelpo", std::string_view(reinterpret_cast<const char*>(data), size));
  size_t live = 0;
  {
    auto db = Database::open_or_create_with_config(dir, 4, Metric::kCosine, {});
    if (!db.ok()) return 0;  // an unreadable log is an error, not a crash
    live = (*db)->ids().size();
    const float q[4] = {1, 0, 0, 0};
    SearchOptions opt;
    opt.k = 3;
    if (!(*db)->search(q, 4, opt).ok()) __builtin_trap();
    if (!(*db)->upsert("fuzz-probe", {0, 1, 0, 0}, std::nullopt).ok()) __builtin_trap();
  }
  auto again = Database::open_or_create_with_config(dir, 4, Metric::kCosine, {});
  if (!again.ok() || !(*again)->contains("fuzz-probe")) __builtin_trap();
  const size_t now = (*again)->ids().size();
  if (now != live && now != live + 1) __builtin_trap();
  return 0;
}
