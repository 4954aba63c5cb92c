#include "engine/db/id_map.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

namespace kelpo {
namespace {

// Random inserts, assignments and erasures over a small id universe (so
// probe runs overlap, wrap around the table's end and shift back on erase)
// against std::map, comparing every answer and, often, the whole contents.
TEST(IdMap, AgreesWithAnOrderedMapUnderRandomOperations) {
  std::mt19937_64 rng(20261209);
  for (int round = 0; round < 20; ++round) {
    const size_t universe = 8 + rng() % 400;
    auto pick = [&] {
      const size_t k = rng() % universe;
      // Short ids live in the entry; long ones on the heap.
      return k % 3 == 0 ? "a-long-id-that-does-not-fit-inline-" + std::to_string(k) : "v" + std::to_string(k);
    };
    IdMap map;
    std::map<std::string, Slot> model;
    if (rng() % 2) {
      const size_t n = rng() % universe;
      map.reserve(n);
    }
    for (int step = 0; step < 3000; ++step) {
      const std::string id = pick();
      const auto slot = static_cast<Slot>(rng() % 1000);
      switch (rng() % 5) {
        case 0: {
          const bool inserted = map.emplace(id, slot).second;
          ASSERT_EQ(inserted, model.emplace(id, slot).second) << id;
          break;
        }
        case 1:
          map[id] = slot;
          model[id] = slot;
          break;
        case 2:
          ASSERT_EQ(map.erase(id), model.erase(id)) << id;
          break;
        case 3: {
          auto it = map.find(id);
          if (it != map.end()) {
            map.erase(it);
            model.erase(id);
          }
          break;
        }
        default: {
          auto it = map.find(id);
          auto m = model.find(id);
          ASSERT_EQ(it == map.end(), m == model.end()) << id;
          if (m != model.end()) {
            ASSERT_EQ(it->first, id);
            ASSERT_EQ(it->second, m->second);
          }
        }
      }
      ASSERT_EQ(map.size(), model.size());
      if (step % 97 == 0 || step == 2999) {
        std::map<std::string, Slot> seen;
        for (const auto& [key, value] : map) ASSERT_TRUE(seen.emplace(key, value).second) << key;
        ASSERT_EQ(seen, model);
        for (const auto& [key, value] : model) ASSERT_EQ(map.count(key), 1u) << key;
      }
    }
    IdMap moved = std::move(map);
    ASSERT_EQ(moved.size(), model.size());
    for (const auto& [key, value] : model) ASSERT_EQ(moved.find(key)->second, value);
  }
}

}  // namespace
}  // namespace kelpo
