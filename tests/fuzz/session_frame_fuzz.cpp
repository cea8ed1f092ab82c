// Session service frames from any peer: a header of any length field, and
// SESSION REQUEST payloads of any shape.
#include <cstdint>
#include <span>

#include "runtime/check.h"
#include "wire/nbt_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lomp::wire;
  if (size >= 4) {
    const auto header = ParseFrameHeader(std::span<const std::uint8_t, 4>(data, 4));
    if (header) LOMP_CHECK(header->length <= kMaxFrameLength);
  }
  const std::span<const std::uint8_t> payload(data, size);
  if (const auto names = ParseSessionRequest(payload)) {
    const Bytes rebuilt = BuildSessionRequest(names->first, names->second);
    const auto again = ParseSessionRequest(std::span(rebuilt).subspan(4));
    LOMP_CHECK(again && *again == *names);
  }
  return 0;
}
