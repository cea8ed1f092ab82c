// Golden bytes written as hex text in tests: "12 34 AB".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lomp::testing {

inline std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return bytes;
}

}  // namespace lomp::testing
