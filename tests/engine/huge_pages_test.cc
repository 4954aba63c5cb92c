// Huge-page advice is only advice: whatever the sizes and alignments, the
// advised containers and the files read through it hold exactly what was put
// in them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/storage/file_ops.h"
#include "engine/util/huge_pages.h"

namespace kelpo {
namespace {

TEST(HugePages, AdvisedMemoryAndFilesReadBackExactly) {
  std::mt19937_64 rng(20261208);
  const size_t mib = size_t{1} << 20;
  // Around the 4 MiB threshold and the 2 MiB boundaries, plus small sizes.
  std::vector<size_t> sizes = {0, 1, 4095, 4 * mib - 1, 4 * mib, 4 * mib + 1, 6 * mib + 3};
  for (int i = 0; i < 6; ++i) sizes.push_back(rng() % (9 * mib));

  // Odd starting addresses: advice must stay inside the range it is given.
  std::vector<char> canvas(12 * mib, 'x');
  for (int i = 0; i < 20; ++i) {
    const size_t at = rng() % (canvas.size() / 2), len = rng() % (canvas.size() - at);
    advise_huge_pages(canvas.data() + at, len);
  }
  EXPECT_EQ(std::count(canvas.begin(), canvas.end(), 'x'), static_cast<ptrdiff_t>(canvas.size()));

  const std::string path = (std::filesystem::temp_directory_path() /
                            ("kelpo-huge-pages-" + std::to_string(::getpid()) + ".bin")).string();
  for (size_t n : sizes) {
    std::vector<uint32_t> words;
    reserve_huge(words, n / 4);
    EXPECT_GE(words.capacity(), n / 4);
    for (size_t i = 0; i < n / 4; ++i) words.push_back(static_cast<uint32_t>(i * 2654435761u));
    for (size_t i = 0; i < words.size(); i += 4099) ASSERT_EQ(words[i], static_cast<uint32_t>(i * 2654435761u));

    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    {
      std::FILE* f = std::fopen(path.c_str(), "wb");
      ASSERT_NE(f, nullptr);
      ASSERT_EQ(std::fwrite(bytes.data(), 1, n, f), n);
      std::fclose(f);
    }
    Result<std::string> read = FileOps::posix().read_file(path);
    ASSERT_TRUE(read.ok()) << read.error().message();
    EXPECT_EQ(read->size(), n);
    EXPECT_TRUE(*read == bytes) << "file of " << n << " bytes read back differently";
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace kelpo
