// splitmix64 for the benchmark inputs: fast, seeded, and good enough to make
// bytes nothing can compress.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace iccdrop::bench {

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // A number in [0, n).
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  void fill(unsigned char* out, std::size_t n) {
    while (n >= 8) {
      const std::uint64_t v = next();
      std::memcpy(out, &v, 8);
      out += 8;
      n -= 8;
    }
    if (n > 0) {
      const std::uint64_t v = next();
      std::memcpy(out, &v, n);
    }
  }

 private:
  std::uint64_t state_;
};

}  // namespace iccdrop::bench
