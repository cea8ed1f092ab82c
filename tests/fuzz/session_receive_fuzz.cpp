// RECEIVE against any byte stream, with buffers of any size: the pieces it
// hands out put together are exactly the session messages of the stream, no
// piece is larger than its buffer, and anything that is not a session
// message or a keep-alive ends the session.
//
// Input: one byte that seeds the buffer sizes, then the stream.
#include <cstdint>
#include <vector>

#include "fake_socket.h"
#include "platform/nbt/session_stream.h"
#include "runtime/check.h"

namespace {

using namespace lomp::platform::nbt;
using namespace lomp::wire;

// The session messages of `stream`, read independently, and whether the
// stream ends cleanly after them (between frames).
std::vector<Bytes> ModelMessages(const std::uint8_t* stream, std::size_t size, bool& clean) {
  std::vector<Bytes> messages;
  std::size_t at = 0;
  clean = false;
  for (;;) {
    if (at == size) {
      clean = true;
      return messages;
    }
    if (at + 4 > size) return messages;
    const std::uint8_t type = stream[at];
    const std::uint8_t flags = stream[at + 1];
    const std::size_t length = (flags & 1u) << 16 | stream[at + 2] << 8 | stream[at + 3];
    if ((flags & 0xFE) != 0) return messages;
    if (type == 0x85 && length == 0) {
      at += 4;
      continue;
    }
    if (type != 0x00) return messages;
    if (at + 4 + length > size) {
      messages.emplace_back(stream + at + 4, stream + size);  // cut short
      return messages;
    }
    messages.emplace_back(stream + at + 4, stream + at + 4 + length);
    at += 4 + length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  unsigned seed = data[0];
  const std::uint8_t* stream = data + 1;
  const std::size_t length = std::min(size - 1, lomp::fuzzing::ScriptedSocket::kMaxScript);
  lomp::fuzzing::ScriptedSocket peer(stream, length);

  bool clean = false;
  const std::vector<Bytes> expected = ModelMessages(stream, length, clean);
  std::vector<Bytes> received;
  Bytes current;
  std::uint32_t remaining = 0;
  for (int calls = 0;; ++calls) {
    LOMP_CHECK(calls <= static_cast<int>(length) + 2);
    seed = seed * 1103515245u + 12345u;
    const std::size_t capacity = 1 + (seed >> 16) % 1500;
    Bytes piece;
    const ReceiveOutcome outcome = ReceiveSessionMessage(peer.fd(), remaining, capacity, piece, -1,
                                                         Clock::now() + std::chrono::seconds(5));
    LOMP_CHECK(piece.size() <= capacity);
    using Kind = ReceiveOutcome::Kind;
    if (outcome.kind == Kind::Partial || outcome.kind == Kind::Message) {
      LOMP_CHECK(outcome.kind == Kind::Message || remaining > 0);
      current.insert(current.end(), piece.begin(), piece.end());
      if (outcome.kind == Kind::Message) {
        received.push_back(current);
        current.clear();
      }
      continue;
    }
    LOMP_CHECK(outcome.kind == Kind::Closed || outcome.kind == Kind::Broken);
    LOMP_CHECK((outcome.kind == Kind::Closed) == clean);
    break;
  }
  // Every whole message arrived as sent; a message cut short by the end of
  // the stream never counts as received.
  if (clean) {
    LOMP_CHECK(received == expected);
  } else {
    LOMP_CHECK(received.size() <= expected.size());
    for (std::size_t i = 0; i < received.size(); ++i) LOMP_CHECK(received[i] == expected[i]);
  }
  return 0;
}
