// Message files of any content: every entry is read with bounded fields and
// the reader always reaches the end.
#include <cstdint>
#include <sstream>
#include <string>

#include "app/front/batch_mode.h"
#include "app/front/message_file.h"
#include "runtime/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
  lomp::MessageFileReader reader(input);
  std::size_t entries = 0;
  while (!input.eof() && !input.bad()) {
    const std::string field = reader.readRecipientField();
    const std::string message = reader.readMessageField();
    LOMP_CHECK(field.size() <= lomp::kMaxQuotedFieldLength);
    LOMP_CHECK(message.size() <= lomp::kMaxFieldLength * 4);  // a byte may become several
    LOMP_CHECK(++entries <= size + 2);                        // every entry consumes input
  }
  return 0;
}
