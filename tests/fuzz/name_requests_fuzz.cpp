// Name service requests from any node, as the receiver's name service reads
// them, and the answers it builds from them: a query answered is read back
// by our own resolver as that address, a node status as those names; and
// registration answers from any node.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "runtime/check.h"
#include "wire/name_service_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lomp::wire;
  const std::span<const std::uint8_t> message(data, size);
  if (const auto request = ParseNameRequest(message)) {
    constexpr std::uint32_t kAddress = 0x0A0B0C0D;
    if (request->kind == NameRequest::Kind::Query) {
      const Bytes answer =
          BuildPositiveQueryResponse(request->transactionId, request->name, kAddress, 300);
      const NameQueryAnswer read =
          ParseNameQueryAnswer(answer, request->transactionId, request->name);
      LOMP_CHECK(read.kind == NameQueryAnswer::Kind::Positive && read.address == kAddress);
    } else if (request->kind == NameRequest::Kind::Status) {
      const std::vector<NodeStatusName> names = {{request->name, 0x0400}};
      const auto read = ParseNodeStatusResponse(
          BuildNodeStatusResponse(request->transactionId, request->name, names),
          request->transactionId);
      LOMP_CHECK(read && read->size() == 1 && (*read)[0].name == request->name);
    } else if (request->kind == NameRequest::Kind::Registration) {
      const RegistrationAnswer read = ParseRegistrationAnswer(
          BuildNameConflictResponse(request->transactionId, request->name, request->address),
          request->transactionId, request->name);
      LOMP_CHECK(read.kind == RegistrationAnswer::Kind::Negative && read.rcode == 6 &&
                 read.address == request->address);
    }
  }
  // The same bytes as an answer to a registration of ours.
  if (size >= 18) {
    Name16 name;
    std::memcpy(name.data(), data, name.size());
    const auto id = static_cast<std::uint16_t>(data[16] << 8 | data[17]);
    const RegistrationAnswer answer = ParseRegistrationAnswer(message.subspan(18), id, name);
    if (answer.kind == RegistrationAnswer::Kind::Unrelated) LOMP_CHECK(answer.rcode == 0);
  }
  return 0;
}
