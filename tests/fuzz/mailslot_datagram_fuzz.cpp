// Datagrams arriving on UDP 138: parsing refuses or accepts with bounds, and
// an accepted mailslot write builds and parses again to the same fields.
#include <cstdint>
#include <span>

#include "runtime/check.h"
#include "wire/mailslot_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lomp::wire;
  const auto parsed = ParseMailslotDatagram(std::span(data, size));
  if (!parsed) return 0;
  LOMP_CHECK(parsed->data.size() <= size);
  const auto rebuilt = BuildMailslotDatagram(*parsed);
  if (!rebuilt) return 0;  // padding may push it over the limit
  const auto again = ParseMailslotDatagram(*rebuilt);
  LOMP_CHECK(again && again->data == parsed->data && again->mailslot == parsed->mailslot &&
             again->source == parsed->source && again->destination == parsed->destination);
  return 0;
}
