// Command lines of any content: arguments separated by NUL bytes.
#include <cstdint>
#include <string>
#include <vector>

#include "app/front/program_options.h"
#include "runtime/check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments = {"lomp"};
  std::string current;
  for (std::size_t i = 0; i < size && arguments.size() < 64; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  arguments.push_back(current);
  lomp::ProgramOptions options;
  const bool valid = lomp::parseCommandLine(arguments, options);
  LOMP_CHECK(options.timeoutMs >= 500 && options.timeoutMs <= 20000);
  LOMP_CHECK(!valid || options.batchMode || !options.recipients.empty());
  LOMP_CHECK(options.verbosity == 1 || options.verbosity == 2 || options.verbosity == 8);
  return 0;
}
