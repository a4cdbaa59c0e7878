// Deterministic test data; portable, so the Windows build of the scripted suites shares it.
#include <cstdint>
#include <string>

#include "tests/support/TempDir.h"

namespace veldra::test {

std::string PatternBytes(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  std::uint64_t x = 0x9E3779B97F4A7C15ULL * (seed + 1);
  for (std::size_t i = 0; i < size; ++i) {
    // xorshift64*: cheap and never repeats within any size a test uses.
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    out[i] = static_cast<char>((x * 2685821657736338717ULL) >> 56);
  }
  return out;
}

}  // namespace veldra::test
