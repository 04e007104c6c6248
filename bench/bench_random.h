// A small seeded generator (splitmix64) whose output is the same with every
// compiler and standard library, unlike the std:: distributions.
#pragma once

#include <cstdint>

namespace tallyroot::bench {

class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}

  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  // Uniform in [0, bound) for bound > 0; the bias of the plain modulo is far
  // below anything a benchmark tree could show.
  std::uint64_t Below(std::uint64_t bound) { return Next() % bound; }

  // Uniform in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }

 private:
  std::uint64_t state_;
};

}  // namespace tallyroot::bench
