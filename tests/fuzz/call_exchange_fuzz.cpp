// The calling side of a session set-up against any bytes a peer may send:
// keep-alives, responses of every type and length, RETARGETs, garbage. The
// outcome must be what the first frame after the keep-alives says.
#include <cstdint>
#include <cstring>

#include "fake_socket.h"
#include "platform/nbt/session_setup.h"
#include "runtime/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lomp::platform::nbt;
  using namespace lomp::wire;
  size = std::min(size, lomp::fuzzing::ScriptedSocket::kMaxScript);
  lomp::fuzzing::ScriptedSocket peer(data, size);
  Name16 called{};
  Name16 calling{};
  called.fill('A');
  calling.fill('B');
  const CallAnswer answer = ExchangeSessionRequest(peer.fd(), BuildSessionRequest(called, calling),
                                                   -1, Clock::now() + std::chrono::seconds(5));

  // What the script says, read independently: 85 00 00 00 frames are skipped.
  std::size_t at = 0;
  while (at + 4 <= size && data[at] == 0x85 && data[at + 1] == 0 && data[at + 2] == 0 &&
         data[at + 3] == 0) {
    at += 4;
  }
  using Kind = CallAnswer::Kind;
  if (at + 4 > size) {
    LOMP_CHECK(answer.kind == Kind::NoAnswer);
    return 0;
  }
  const std::uint8_t type = data[at];
  const std::uint8_t flags = data[at + 1];
  const std::uint32_t length = (flags & 1u) << 16 | data[at + 2] << 8 | data[at + 3];
  if ((flags & 0xFE) != 0) {
    LOMP_CHECK(answer.kind == Kind::Garbage);
  } else if (type == 0x82 && length == 0) {
    LOMP_CHECK(answer.kind == Kind::Accepted);
  } else if (type == 0x83 && length == 1) {
    if (at + 5 > size) {
      LOMP_CHECK(answer.kind == Kind::NoAnswer);
    } else {
      LOMP_CHECK(answer.kind == Kind::Refused);
      LOMP_CHECK(answer.refusal == data[at + 4]);
    }
  } else if (type == 0x84 && length == 6) {
    if (at + 10 > size) {
      LOMP_CHECK(answer.kind == Kind::NoAnswer);
    } else {
      LOMP_CHECK(answer.kind == Kind::Retarget);
      LOMP_CHECK(std::memcmp(&answer.address.s_addr, data + at + 4, 4) == 0);
      LOMP_CHECK(answer.port == (data[at + 8] << 8 | data[at + 9]));
    }
  } else {
    LOMP_CHECK(answer.kind == Kind::Garbage);
  }
  return 0;
}
