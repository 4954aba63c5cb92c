// graph.kelpo: the parser must refuse every malformed file with an error,
// and whatever it accepts must be self-consistent enough to walk.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/storage/graph_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelpo;
  Result<LoadedGraph> g = parse_graph(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!g.ok()) return 0;
  // Every accepted list must name slots below the node count.
  const size_t n = g->node_count();
  for (Slot s = 0; s < n; ++s) {
    for (size_t layer = 0; layer <= g->level(s); ++layer) {
      for (Slot x : g->neighbors(s, layer)) {
        if (x >= n) __builtin_trap();
      }
    }
  }
  for (const MetaRecord& r : g->records) {
    if (r.slot >= n) __builtin_trap();
  }
  return 0;
}
