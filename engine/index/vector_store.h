// VectorStore: every slot's vector, back to back (slot s at floats s*dim ..
// (s+1)*dim - 1), either owned in memory or read from a memory-mapped vectors
// file.
//
// Owned: a growable array, 64-byte aligned so rows whose byte length is a
// multiple of 64 never straddle a cache line.
// Mapped: a read-only shared mapping of a whole file whose first
// vector_floats() floats are the vectors; the floats after them (the saved
// norms) are copied out by mapped_norms(). The mapping has one owner and is
// unmapped in the destructor or when the store is converted to Owned.
//
// Nothing ever writes into a mapping: every mutating call converts the store
// to Owned first. A store is not thread-safe for writes; concurrent reads of
// data() are fine, and so is one append within the room has_room() reports
// beside readers of the rows already there (it moves nothing they read).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "engine/util/error.h"

namespace kelpo {

// std::allocator with a fixed over-alignment.
template <class T, size_t Align>
struct AlignedAllocator {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = AlignedAllocator<U, Align>;
  };
  AlignedAllocator() = default;
  template <class U>
  AlignedAllocator(const AlignedAllocator<U, Align>&) {}  // NOLINT: allocator conversion
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t{Align})); }
  void deallocate(T* p, size_t) { ::operator delete(p, std::align_val_t{Align}); }
  template <class U>
  bool operator==(const AlignedAllocator<U, Align>&) const {
    return true;
  }
};

using FloatArray = std::vector<float, AlignedAllocator<float, 64>>;

class VectorStore {
 public:
  // An empty Owned store.
  VectorStore() = default;
  // An Owned store holding exactly these floats.
  explicit VectorStore(FloatArray floats) : owned_(std::move(floats)) {}

  // Maps the whole file at `path` read-only and shared. Its first
  // `vector_floats` floats are the vectors. Fails with an io error if the file
  // cannot be opened, sized or mapped, or is shorter than 4 * vector_floats
  // bytes (reading past the end of a mapping kills the process).
  static Result<VectorStore> map_file(const std::string& path, size_t vector_floats);

  VectorStore(VectorStore&& other) noexcept;
  VectorStore& operator=(VectorStore&& other) noexcept;
  VectorStore(const VectorStore&) = delete;
  VectorStore& operator=(const VectorStore&) = delete;
  ~VectorStore();

  bool is_mapped() const { return mapped_; }
  // The vector floats, in slot order. May be null when size() is 0.
  const float* data() const { return mapped_ ? mapped_floats_ : owned_.data(); }
  // Number of vector floats (node count * dim).
  size_t size() const { return mapped_ ? mapped_count_ : owned_.size(); }
  // Identifies the floats the store holds: every store starts with a number
  // no other store in this process has had, every change of its floats takes
  // a new one, and a move carries it along. So a save can tell that the
  // vectors are exactly those it last wrote or loaded without comparing them.
  uint64_t version() const { return version_; }
  // Bytes held for the vector floats.
  uint64_t byte_size() const { return static_cast<uint64_t>(size()) * sizeof(float); }

  // Mapped: the floats that follow the vectors in the file (size / 4 floats in
  // all, rounded down), copied into memory. Owned: empty.
  std::vector<float> mapped_norms() const;

  // Mapped -> Owned: copies the vector floats into an array of exactly their
  // count and releases the mapping. No-op when already Owned.
  void make_owned();

  // Appends n floats (converting to Owned first).
  void append(const float* v, size_t n);
  // Makes room for `extra` more floats without changing size() (Owned).
  void reserve_more(size_t extra);
  // Whether `extra` more floats can be appended without moving the floats
  // (Owned, with the room reserved).
  bool has_room(size_t extra) const { return !mapped_ && owned_.capacity() - owned_.size() >= extra; }
  // Overwrites floats [offset, offset + n) (converting to Owned first).
  void overwrite(size_t offset, const float* v, size_t n);

 private:
  void unmap();
  static uint64_t next_version();

  uint64_t version_ = next_version();
  bool mapped_ = false;
  FloatArray owned_;                     // Owned variant
  void* map_addr_ = nullptr;             // Mapped: start of the mapping (page aligned), or null for an empty file
  size_t map_length_ = 0;                // Mapped: bytes mapped
  const float* mapped_floats_ = nullptr; // Mapped: == map_addr_
  size_t mapped_count_ = 0;              // Mapped: vector floats at the start of the mapping
  size_t file_floats_ = 0;               // Mapped: file size / 4
};

}  // namespace kelpo
