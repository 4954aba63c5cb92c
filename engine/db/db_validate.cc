#include "engine/db/db_validate.h"

#include <cmath>

#include "engine/db/database.h"

namespace kelpo {

namespace {

// The first non-finite component, or n when there is none. Summing v*0
// keeps the common all-finite case one branch-free pass: the sum stays 0
// exactly when every component is finite.
size_t first_non_finite(const float* v, size_t n) {
  float probe = 0.0f;
  for (size_t i = 0; i < n; ++i) probe += v[i] * 0.0f;
  if (probe == 0.0f) return n;
  for (size_t i = 0; i < n; ++i) {
    if (!std::isfinite(v[i])) return i;
  }
  return n;
}

}  // namespace

Status check_finite(const float* v, size_t n) {
  const size_t bad = first_non_finite(v, n);
  if (bad == n) return Status::OK();
  return KelpoError::invalid_vector("component " + std::to_string(bad) + " is not finite");
}

Status check_finite_rows(const VectorBatch& rows, const std::vector<std::string>* ids) {
  for (size_t r = 0; r < rows.size(); ++r) {
    const size_t n = rows.row_size(r);
    const size_t bad = first_non_finite(rows.row(r), n);
    if (bad == n) continue;
    const std::string which = ids ? "id '" + (*ids)[r] + "'" : "row " + std::to_string(r);
    return KelpoError::invalid_vector(which + ", component " + std::to_string(bad) + " is not finite");
  }
  return Status::OK();
}

}  // namespace kelpo
