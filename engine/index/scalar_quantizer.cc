#include "engine/index/scalar_quantizer.h"

#include <cmath>
#include <limits>

namespace kelpo {

ScalarQuantizer ScalarQuantizer::train(const float* data, size_t count, size_t dim) {
  ScalarQuantizer q;
  q.dim = dim;
  const float largest = std::numeric_limits<float>::max();
  q.min.assign(dim, largest);
  std::vector<float> max(dim, -largest);
  const size_t rows = dim == 0 ? 0 : count / dim;
  for (size_t r = 0; r < rows; ++r) {
    const float* v = data + r * dim;
    for (size_t j = 0; j < dim; ++j) {
      // Two plain comparisons: a NaN updates neither bound.
      if (v[j] < q.min[j]) q.min[j] = v[j];
      if (v[j] > max[j]) max[j] = v[j];
    }
  }
  q.scale.resize(dim);
  for (size_t j = 0; j < dim; ++j) {
    const float range = max[j] - q.min[j];
    // A NaN range is not equal to 0 and keeps its NaN scale (codes 0).
    q.scale[j] = range != 0.0f ? range / 255.0f : 1.0f;
  }
  return q;
}

uint8_t quantize_value(float v, float min, float scale) {
  const float x = (v - min) / scale;
  if (!(x > 0.0f)) return 0;  // also NaN
  if (x >= 255.0f) return 255;
  return static_cast<uint8_t>(std::round(x));
}

void ScalarQuantizer::quantize(const float* vector, uint8_t* out) const {
  for (size_t j = 0; j < dim; ++j) out[j] = quantize_value(vector[j], min[j], scale[j]);
}

std::vector<uint8_t> ScalarQuantizer::quantize_batch(const float* data, size_t count) const {
  const size_t rows = dim == 0 ? 0 : count / dim;
  std::vector<uint8_t> codes(rows * dim);
  for (size_t r = 0; r < rows; ++r) quantize(data + r * dim, codes.data() + r * dim);
  return codes;
}

void ScalarQuantizer::dequantize(const uint8_t* codes, float* out) const {
  for (size_t j = 0; j < dim; ++j) {
    const float scaled = static_cast<float>(codes[j]) * scale[j];
    out[j] = scaled + min[j];
  }
}

}  // namespace kelpo
