#include "engine/index/vector_store.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

namespace kelpo {

uint64_t VectorStore::next_version() {
  static std::atomic<uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

Result<VectorStore> VectorStore::map_file(const std::string& path, size_t vector_floats) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return KelpoError::io_errno(errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return KelpoError::io_errno(err);
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size > static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max())) {
    ::close(fd);
    return KelpoError::io("memory map length overflows isize");
  }
  if (vector_floats > size / sizeof(float)) {
    ::close(fd);
    return KelpoError::io("vectors file holds " + std::to_string(size) + " bytes, fewer than the " +
                          std::to_string(vector_floats) + " vector floats it must hold");
  }
  void* addr = nullptr;
  if (size > 0) {
    addr = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (addr == MAP_FAILED) {
      const int err = errno;
      ::close(fd);
      return KelpoError::io_errno(err);
    }
  }
  // The mapping stays valid after the descriptor is closed.
  ::close(fd);

  VectorStore store;
  store.mapped_ = true;
  store.map_addr_ = addr;
  store.map_length_ = size;
  store.mapped_floats_ = static_cast<const float*>(addr);
  store.mapped_count_ = vector_floats;
  store.file_floats_ = size / sizeof(float);
  return store;
}

VectorStore::VectorStore(VectorStore&& other) noexcept { *this = std::move(other); }

VectorStore& VectorStore::operator=(VectorStore&& other) noexcept {
  if (this == &other) return *this;
  unmap();
  version_ = std::exchange(other.version_, next_version());
  mapped_ = std::exchange(other.mapped_, false);
  owned_ = std::move(other.owned_);
  other.owned_.clear();
  map_addr_ = std::exchange(other.map_addr_, nullptr);
  map_length_ = std::exchange(other.map_length_, 0);
  mapped_floats_ = std::exchange(other.mapped_floats_, nullptr);
  mapped_count_ = std::exchange(other.mapped_count_, 0);
  file_floats_ = std::exchange(other.file_floats_, 0);
  return *this;
}

VectorStore::~VectorStore() { unmap(); }

void VectorStore::unmap() {
  if (map_addr_ != nullptr) ::munmap(map_addr_, map_length_);
  map_addr_ = nullptr;
  map_length_ = 0;
  mapped_floats_ = nullptr;
  mapped_count_ = 0;
  file_floats_ = 0;
}

std::vector<float> VectorStore::mapped_norms() const {
  if (!mapped_) return {};
  return std::vector<float>(mapped_floats_ + mapped_count_, mapped_floats_ + file_floats_);
}

void VectorStore::make_owned() {
  if (!mapped_) return;
  FloatArray copy(mapped_floats_, mapped_floats_ + mapped_count_);
  unmap();
  mapped_ = false;
  owned_ = std::move(copy);
}

void VectorStore::append(const float* v, size_t n) {
  make_owned();
  owned_.insert(owned_.end(), v, v + n);
  version_ = next_version();
}

void VectorStore::reserve_more(size_t extra) {
  make_owned();
  const size_t needed = owned_.size() + extra;
  if (needed <= owned_.capacity()) return;
  // Grow geometrically so a stream of small batches stays amortised linear,
  // but never beyond what a single large batch needs.
  owned_.reserve(std::max(needed, owned_.capacity() + owned_.capacity() / 2));
}

void VectorStore::overwrite(size_t offset, const float* v, size_t n) {
  make_owned();
  // memmove: the caller may pass a row of this very store.
  std::memmove(owned_.data() + offset, v, n * sizeof(float));
  version_ = next_version();
}

}  // namespace kelpo
