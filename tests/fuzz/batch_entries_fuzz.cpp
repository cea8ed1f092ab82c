// Batch mode's whole loop over any message file: each entry's recipient
// field becomes a switch and a list, each list item one delivery. Every
// delivery names a bounded recipient (empty for an empty list item, as in
// "a,,b") of a known kind, and the loop always ends. Deliveries overlap as
// they do by default, so the deliverer is called from several threads.
#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>

#include "app/front/batch_mode.h"
#include "app/front/console.h"
#include "app/front/message_file.h"
#include "runtime/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::ostringstream console;
  console.str("");
  lomp::setConsoleStream(&console);
  lomp::setConsoleErrorStream(&console);
  lomp::programOptions().inputSource = lomp::kInputMessageFile;
  std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
  std::atomic<std::size_t> deliveries{0};
  const int code = lomp::runBatchMode(input, [&](const lomp::MessageRecord& record) {
    LOMP_CHECK(++deliveries <= size + 1);
    LOMP_CHECK(record.recipient.size() <= lomp::kMaxQuotedFieldLength);
    LOMP_CHECK(record.kind == lomp::RecipientKind::Personal ||
               record.kind == lomp::RecipientKind::Group);
    LOMP_CHECK(record.text.size() <= lomp::kMaxFieldLength * 4 ||
               record.text == lomp::programOptions().messageText);
  });
  // 3: UTF-16 input, refused before any delivery.
  LOMP_CHECK(code == 0 || code == 4 || (code == 3 && deliveries == 0));
  lomp::setConsoleStream(nullptr);
  lomp::setConsoleErrorStream(nullptr);
  return 0;
}
