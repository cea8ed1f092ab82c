// Frames that a local peer hands the receiver service (lomp --from-samba, or
// anyone who can connect): what decodes is made harmless, so it encodes and
// decodes again to the same notice, and no field holds a control character
// but the text's line feeds and tabs.
#include <cstdint>
#include <string>
#include <string_view>

#include "app/listen/notice.h"
#include "runtime/check.h"

namespace {

bool Harmless(const std::string& field, bool keepLines) {
  for (const char c : field) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 || byte == 0x7F) && !(keepLines && (c == '\n' || c == '\t'))) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace lomp;
  const std::string_view payload(reinterpret_cast<const char*>(data), size);
  const auto notice = DecodeNotice(payload);
  if (!notice) return 0;
  for (const std::string* field : {&notice->from, &notice->to, &notice->time, &notice->address}) {
    LOMP_CHECK(Harmless(*field, false));
  }
  LOMP_CHECK(Harmless(notice->text, true));
  LOMP_CHECK(HarmlessUtf8(notice->text, true) == notice->text);
  const std::string frame = EncodeNotice(*notice);
  const auto again = DecodeNotice(std::string_view(frame).substr(4));
  LOMP_CHECK(again && again->from == notice->from && again->to == notice->to &&
             again->text == notice->text && again->kind == notice->kind &&
             again->cut == notice->cut);
  return 0;
}
