// NODE STATUS answers from any host: the first two bytes are the
// transaction id asked about, the rest is the answer.
#include <cstdint>
#include <span>

#include "runtime/check.h"
#include "wire/nbt_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lomp::wire;
  if (size < 2) return 0;
  const auto id = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
  const std::span<const std::uint8_t> message(data + 2, size - 2);
  const auto names = ParseNodeStatusResponse(message, id);
  if (!names) return 0;
  LOMP_CHECK(names->size() <= 255 && 1 + 18 * names->size() <= message.size());
  if (const auto chosen = MessengerName(*names)) {
    bool listed = false;
    for (const NodeStatusName& entry : *names) {
      listed |= entry.name == *chosen && (entry.flags & kNameFlagGroup) == 0;
    }
    LOMP_CHECK(listed && (*chosen)[15] == 0x03);
  }
  (void)ParseNameQueryAnswer(message, id, Name16{});
  return 0;
}
