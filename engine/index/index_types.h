// Small types shared by the index's components.
#pragma once

#include <cstdint>

namespace kelpo {

// The number of a vector in the index: dense from 0 in insertion order.
using Slot = uint32_t;
// Marks an index without entry point (no nodes).
inline constexpr Slot NO_ENTRY = 0xFFFFFFFF;

// One entry of a ranked list: lists are in ascending distance, ties in
// whatever order the producing step left them.
struct Neighbor {
  Slot slot;
  float distance;
};

}  // namespace kelpo
