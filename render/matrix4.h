#pragma once
#include <array>

// Row-major 4 x 4 matrix product, in the element type the caller computes in.
template <typename T>
std::array<T, 16> multiplyMatrix4(const std::array<T, 16>& a, const std::array<T, 16>& b) {
  std::array<T, 16> product{};
  for (int row = 0; row < 4; ++row) {
    for (int column = 0; column < 4; ++column) {
      T sum = 0;
      for (int k = 0; k < 4; ++k) sum += a[row * 4 + k] * b[k * 4 + column];
      product[row * 4 + column] = sum;
    }
  }
  return product;
}
