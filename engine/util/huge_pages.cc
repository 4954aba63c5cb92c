#include "engine/util/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace kelpo {

void advise_huge_pages(const void* p, size_t bytes) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  if (p == nullptr || bytes < 2 * kHuge) return;
  const auto start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t first = (start + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t end = (start + bytes) & ~(kHuge - 1);
  if (end <= first) return;
  // A refusal (no transparent huge pages here) changes nothing.
  (void)::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace kelpo
