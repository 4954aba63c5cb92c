// Helpers shared by the fuzz harnesses: a scratch directory in memory-backed
// storage, whole-file writes, and splitting one input into several files.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kelpo::fuzz {

// A directory of this process's own, made once and removed at exit; /dev/shm
// keeps the harnesses off the disk (and is memory, so it must not be left
// behind) when it exists.
inline std::string& scratch_path() {
  static std::string path;
  return path;
}
inline const std::string& scratch_dir(const char* name) {
  std::string& dir = scratch_path();
  if (dir.empty()) {
    const std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    dir = (base / ("kelpo-fuzz-" + std::string(name) + "-" + std::to_string(::getpid()))).string();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(scratch_path(), ec);
    });
  }
  return dir;
}

inline void write_file(const std::string& path, std::string_view bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
  std::fclose(f);
}

// The parts of an input joined by kSeparator (the seed corpora are written
// that way), at most `n` of them; missing parts are empty.
inline constexpr std::string_view kSeparator = "\n--kelpo-part--\n";
inline std::vector<std::string_view> split_parts(std::string_view input, size_t n) {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < n) {
    const size_t at = input.find(kSeparator);
    if (at == std::string_view::npos) break;
    parts.push_back(input.substr(0, at));
    input.remove_prefix(at + kSeparator.size());
  }
  parts.push_back(input);
  parts.resize(n);
  return parts;
}

// Reads a little-endian u32 from the front of `in` (zero-padded), consuming it.
inline uint32_t take_u32(std::string_view& in) {
  uint32_t v = 0;
  for (int i = 0; i < 4 && !in.empty(); ++i) {
    v |= uint32_t{static_cast<unsigned char>(in.front())} << (8 * i);
    in.remove_prefix(1);
  }
  return v;
}

}  // namespace kelpo::fuzz
