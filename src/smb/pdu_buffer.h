// The fixed byte buffer that every PDU is encoded into and decoded from.
//
// A plain value type made on the stack for one encode or one decode. Encoders
// check their size before they append, and decoders check `Remaining()`
// before they read: an append past the capacity or a read past `length` is a
// bug and stops the program.
#pragma once

#include <cstdint>
#include <cstring>

#include "runtime/check.h"

namespace lomp {

struct PduBuffer {
  static constexpr std::int32_t kCapacity = 1024;

  std::uint8_t bytes[kCapacity] = {};
  std::int32_t length = 0;        // bytes written, or bytes received
  std::int32_t readPosition = 0;  // index of the next byte Read takes

  void Clear() {
    length = 0;
    readPosition = 0;
  }

  void Append(const void* source, std::int32_t count) {
    LOMP_CHECK(count >= 0 && length >= 0 && count <= kCapacity - length);
    if (count > 0) std::memcpy(bytes + length, source, static_cast<size_t>(count));
    length += count;
  }

  void AppendByte(unsigned value) {
    const auto byte = static_cast<std::uint8_t>(value & 0xFF);
    Append(&byte, 1);
  }

  // Bytes between the read position and the end of the received data; a
  // length outside 0..capacity (set by a transport) counts as its bound.
  std::int32_t Remaining() const {
    const std::int32_t end = length < 0 ? 0 : (length > kCapacity ? kCapacity : length);
    return readPosition >= end ? 0 : end - readPosition;
  }

  void Read(void* destination, std::int32_t count) {
    LOMP_CHECK(count >= 0 && readPosition >= 0 && count <= Remaining());
    if (count > 0) std::memcpy(destination, bytes + readPosition, static_cast<size_t>(count));
    readPosition += count;
  }

  void SetReadPosition(std::int32_t position) { readPosition = position; }
  std::int32_t& Length() { return length; }
  std::uint8_t* Data() { return bytes; }
};

}  // namespace lomp
