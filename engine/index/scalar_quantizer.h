// ScalarQuantizer: per-dimension affine 8-bit codes ("SQ8").
//
// Dimension j maps [min[j], min[j] + 255 * scale[j]] onto the codes 0..255.
// Training takes the minimum and maximum of each dimension over all training
// vectors; values outside that range saturate at 0 or 255 when quantized, and
// a NaN becomes 0. A dimension whose values are all equal gets scale 1.0, so
// its codes are all 0 and dequantize back to the value itself.
//
// All arithmetic is f32, and dequantization is a multiplication followed by a
// separate addition (never fused), so codes and their dequantized values are
// the same on every machine and after a round trip through a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelpo {

struct ScalarQuantizer {
  std::vector<float> min;    // dim entries
  std::vector<float> scale;  // dim entries: (max - min) / 255, or 1.0 where max == min
  size_t dim = 0;

  // Trains on the n = count / dim rows of data (the remainder is ignored).
  // dim must not be 0. With no rows, min stays at the largest finite float
  // and scale is computed from the untouched bounds.
  static ScalarQuantizer train(const float* data, size_t count, size_t dim);

  // One code per element: vector and out hold dim entries.
  void quantize(const float* vector, uint8_t* out) const;
  // The codes of the count / dim rows of data, concatenated in row order.
  std::vector<uint8_t> quantize_batch(const float* data, size_t count) const;
  // out[j] = codes[j] * scale[j] + min[j], for dim entries.
  void dequantize(const uint8_t* codes, float* out) const;
};

// One element: clamp (v - min) / scale to [0, 255] and round halves away from
// zero; NaN gives 0.
uint8_t quantize_value(float v, float min, float scale);

}  // namespace kelpo
