// The JSON import parser, fed in small and odd-sized reads so that every
// token can straddle a buffer boundary. Accepted documents must hold one
// row and one metadata entry per id.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/export/import_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kelpo;
  if (size == 0) return 0;
  // The first byte picks the read size, the rest is the document.
  const size_t chunk = 1 + data[0] % 64;
  const std::string_view doc(reinterpret_cast<const char*>(data) + 1, size - 1);
  StringSource pieces(doc, chunk), whole(doc);
  Result<ImportedRecords> a = parse_export_document(pieces);
  Result<ImportedRecords> b = parse_export_document(whole);
  // How the bytes arrive must not change the outcome.
  if (a.ok() != b.ok()) __builtin_trap();
  if (!a.ok()) {
    if (a.error().message() != b.error().message()) __builtin_trap();
    return 0;
  }
  if (a->ids != b->ids || a->vectors.size() != b->vectors.size()) __builtin_trap();
  size_t rows = 0;
  for (size_t i = 0; i < a->vectors.size(); ++i) {
    if (a->vectors[i].data != b->vectors[i].data) __builtin_trap();
    rows += a->vectors[i].size();
  }
  if (rows != a->ids.size() || a->metadatas.size() != a->ids.size()) __builtin_trap();
  return 0;
}
