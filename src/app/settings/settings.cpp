#include "app/settings/settings.h"

#include "platform/identity.h"
#include "runtime/text_conversion.h"

namespace lomp {
namespace {

constexpr std::size_t kComputerNameMax = 15;  // a NetBIOS name without its suffix
constexpr std::size_t kUserNameMax = 256;

}  // namespace

ProgramOptions& programOptions() {
  static ProgramOptions options;
  return options;
}

void ChooseDefaultSignature(ProgramOptions& options) {
  if (!options.signatureGiven) options.signature = computerNameUpper();
}

std::string computerNameUpper() {
  const auto name = platform::HostComputerName();
  if (!name) return {};
  std::string ansi = ConsoleToAnsi(*name);
  if (ansi.size() > kComputerNameMax) ansi.resize(kComputerNameMax);
  ToUpper(ansi);
  return ansi;
}

std::string userNameUpper() {
  const auto name = platform::EffectiveUserName();
  if (!name) return {};
  std::string ansi = ConsoleToAnsi(*name);
  if (ansi.size() > kUserNameMax) return {};  // the system's call fails on such a name
  ToUpper(ansi);
  return ansi;
}

}  // namespace lomp
