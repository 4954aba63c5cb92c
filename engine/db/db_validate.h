// Checks on caller-supplied vectors, made before anything is logged.
//
// A NaN or infinite component is refused everywhere a vector enters: its
// distances would be NaN (ranking first or nowhere and breaking the order of
// every result list), and its export could not be read back.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/util/error.h"

namespace kelpo {

struct VectorBatch;

// "invalid vector: component {i} is not finite" for the first such component.
Status check_finite(const float* v, size_t n);
// The same for every row; the message names the row's id when `ids` is
// given (one per row), else the row's position.
Status check_finite_rows(const VectorBatch& rows, const std::vector<std::string>* ids);

}  // namespace kelpo
