// Fuzzes the dotted-quad check and its conversion: whatever IsDottedQuad accepts must convert
// and convert back to the canonical form of the same address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/IdStack.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!TIdStack::IsDottedQuad(text)) {
    try {
      TIdStack::DottedQuadToAddress(text);
    } catch (const EIdException&) {
      return 0;
    }
    std::abort();  // converted something that is not a dotted quad
  }
  const std::uint32_t address = TIdStack::DottedQuadToAddress(text);
  const std::string canonical = TIdStack::AddressToDottedQuad(address);
  if (!TIdStack::IsDottedQuad(canonical)) std::abort();
  if (TIdStack::DottedQuadToAddress(canonical) != address) std::abort();
  return 0;
}
