// Requests from any sender on a Messenger session: a stream of them never
// reads out of bounds, every one gets a well-formed reply that echoes its
// command, and a message never comes out longer than the text limit allows.
#include <cstdint>
#include <cstring>
#include <string>

#include "runtime/check.h"
#include "smb/messenger_server.h"

namespace {

using namespace lomp;

constexpr std::size_t kMaxText = 600;

}  // namespace

// Input: requests one after another, each a 16-bit little-endian length
// (the transport's, which may lie about the bytes that follow) and its bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MessengerServerSession session([](const std::string& to) { return to == "BOB"; }, kMaxText, 9);
  std::size_t at = 0;
  while (size - at >= 2) {
    const std::int32_t length = data[at] | data[at + 1] << 8;
    at += 2;
    const std::size_t present =
        std::min<std::size_t>({static_cast<std::size_t>(length), size - at,
                               static_cast<std::size_t>(PduBuffer::kCapacity)});
    PduBuffer request;
    std::memcpy(request.bytes, data + at, present);
    request.length = length;
    at += present;
    const MessengerServerSession::Step step = session.Handle(request);
    const PduBuffer& reply = step.reply;
    LOMP_CHECK(reply.length >= 35 && reply.length <= 37);
    LOMP_CHECK(reply.bytes[0] == 0xFF && std::memcmp(reply.bytes + 1, "SMB", 3) == 0);
    LOMP_CHECK((reply.bytes[9] & 0x80) != 0);
    if (present > 4 && length > 4) LOMP_CHECK(reply.bytes[4] == request.bytes[4]);
    if (step.message) {
      LOMP_CHECK(reply.bytes[5] == 0);
      LOMP_CHECK(step.message->to == "BOB");
      // Line breaks may only shrink the text.
      LOMP_CHECK(step.message->text.size() <= kMaxText);
    }
  }
  return 0;
}
