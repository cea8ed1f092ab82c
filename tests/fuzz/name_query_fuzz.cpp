// Name query responses from any host: the first 18 bytes choose the name and
// transaction asked about, the rest is the answer.
#include <cstdint>
#include <cstring>
#include <span>

#include "runtime/check.h"
#include "wire/nbt_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lomp::wire;
  if (size < 18) return 0;
  Name16 name;
  std::memcpy(name.data(), data, name.size());
  const auto id = static_cast<std::uint16_t>(data[16] << 8 | data[17]);
  const std::span<const std::uint8_t> message(data + 18, size - 18);
  const NameQueryAnswer answer = ParseNameQueryAnswer(message, id, name);
  // Only a positive answer carries an address, and only a wait a TTL.
  if (answer.kind != NameQueryAnswer::Kind::Positive) LOMP_CHECK(answer.address == 0);

  std::size_t offset = 0;
  if (const auto decoded = ReadEncodedName(message, offset)) {
    LOMP_CHECK(offset <= message.size());
    Bytes encoded;
    AppendEncodedName(encoded, *decoded);
    std::size_t again = 0;
    LOMP_CHECK(ReadEncodedName(encoded, again) == decoded && again == encoded.size());
  }
  return 0;
}
