#include "runtime/trace_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <ostream>

namespace lomp {
namespace {

constexpr size_t kFormatBufferSize = 1024;

// Guards the creation of the instance and every record. Re-entrant: LogTrace
// takes it and then Instance() takes it again.
std::recursive_mutex& TraceLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::string FileNameOnly(const std::string& path) {
  const auto separator = path.find_last_of("\\/");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string HexThreadId(std::uint32_t id) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%x", id);
  return buffer;
}

}  // namespace

TraceLog* TraceLog::Instance() {
  const std::lock_guard lock(TraceLock());
  static TraceLog* const instance = new TraceLog();  // lives until the process ends
  return instance;
}

void TraceLog::WriteRecord(const std::string& file, int line, const std::string& function,
                           const std::string& message) {
  if (stream_ == nullptr) return;

  std::string className;
  std::string methodName;
  if (columns_ & (TRACE_CLASS | TRACE_METHOD)) {
    const auto split = function.rfind("::");
    if (split == std::string::npos) {
      methodName = function;
    } else {
      className = function.substr(0, split);
      methodName = function.substr(split + 2);
    }
  }

  std::string record;
  if (newlineFirst_) record += '\n';
  std::string pendingSeparator;
  auto column = [&](std::uint32_t bit, const std::string& content) {
    if ((columns_ & bit) == 0) return;
    record += pendingSeparator;
    record += content;
    pendingSeparator = separator_;
  };
  column(TRACE_TIME, (columns_ & TRACE_TIME) ? FormatTraceTime(platform::GetLocalTime()) : "");
  column(TRACE_FILE, FileNameOnly(file));
  column(TRACE_LINE, std::to_string(line));
  column(TRACE_CLASS, className);
  column(TRACE_METHOD, methodName);
  column(TRACE_THREAD, HexThreadId(platform::CurrentThreadId()));
  column(TRACE_MESSAGE, message);
  // One write per record, so a record reaches the stream in one piece.
  stream_->write(record.data(), static_cast<std::streamsize>(record.size()));
}

void LogTrace(const std::string& file, int line, const std::string& function,
              const std::string& message) {
  const std::lock_guard lock(TraceLock());
  TraceLog::Instance()->WriteRecord(file, line, function, message);
}

std::string FormatText(const char* format, ...) {
  char buffer[kFormatBufferSize] = {};
  va_list arguments;
  va_start(arguments, format);
  // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): va_start above
  std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  return buffer;
}

std::string FormatTraceTime(const platform::SystemTime& time) {
  return std::to_string(time.hour) + ":" + std::to_string(time.minute) + ":" +
         std::to_string(time.second) + ":" + std::to_string(time.milliseconds);
}

std::uint64_t CurrentLocalFileTime() {
  return platform::SystemTimeToFileTime(platform::GetLocalTime());
}

}  // namespace lomp
