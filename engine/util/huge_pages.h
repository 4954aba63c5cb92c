// Large arrays that an open fills at once: backed by huge pages where the
// kernel allows it on request, so filling them costs one fault per 2 MiB
// instead of one per 4 KiB page. On virtual machines a page fault costs tens
// of microseconds, and a 40 MiB array costs ten thousand of them.
#pragma once

#include <cstddef>

namespace kelpo {

// Advice only: asks for huge pages over the whole 2 MiB-aligned stretches
// inside [p, p + bytes). Useful before the memory is first touched (a fresh
// allocation); ignored below a few MiB, where it saves little, and wherever
// the kernel refuses.
void advise_huge_pages(const void* p, size_t bytes);

// Reserves room for n elements in an empty container and advises huge pages
// for it, so the resize or fill that follows touches huge pages.
template <class V>
void reserve_huge(V& v, size_t n) {
  v.reserve(n);
  advise_huge_pages(v.data(), v.capacity() * sizeof(typename V::value_type));
}

}  // namespace kelpo
