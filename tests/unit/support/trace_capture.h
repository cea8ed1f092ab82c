// Attaches a string stream to the trace log for the life of the object, with
// the method and message columns, and hands the records back as lines.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "runtime/trace_log.h"

namespace lomp::testing {

class TraceCapture {
 public:
  explicit TraceCapture(std::uint32_t columns = TRACE_METHOD | TRACE_MESSAGE) {
    TraceLog::Instance()->setStream(&stream_);
    TraceLog::Instance()->setColumns(columns);
  }
  ~TraceCapture() {
    TraceLog::Instance()->setStream(nullptr);
    TraceLog::Instance()->setColumns(0xFFFF);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  // One entry per record, without the newline that starts it.
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::istringstream input(stream_.str());
    std::string line;
    std::getline(input, line);  // the text before the first record's newline
    while (std::getline(input, line)) lines.push_back(line);
    return lines;
  }

  // Records whose message starts with `prefix` (method column dropped).
  std::vector<std::string> Messages(const std::string& prefix = "") const {
    std::vector<std::string> messages;
    for (const std::string& line : Lines()) {
      const auto tab = line.find('\t');
      const std::string message = tab == std::string::npos ? line : line.substr(tab + 1);
      if (message.rfind(prefix, 0) == 0) messages.push_back(message);
    }
    return messages;
  }

 private:
  std::ostringstream stream_;
};

}  // namespace lomp::testing
