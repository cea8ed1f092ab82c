// The process-wide trace log.
//
// Every function that does real work reports "Entering...", "Leaving..." and
// notable facts through LogTrace. The log writes nothing until a stream is
// attached (the driver attaches standard output in debug verbosity), so in
// the other modes a call costs only its argument strings and the lock.
//
// One TraceLog exists per process, created on first use and never destroyed.
// Any thread may call LogTrace: records are written whole under one
// re-entrant lock. setStream and setColumns are called only while the main
// thread is the only thread.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "platform/local_time.h"

namespace lomp {

// Column bits, in the order in which the columns are written.
inline constexpr std::uint32_t TRACE_TIME = 0x02;
inline constexpr std::uint32_t TRACE_FILE = 0x04;
inline constexpr std::uint32_t TRACE_LINE = 0x08;
inline constexpr std::uint32_t TRACE_CLASS = 0x10;
inline constexpr std::uint32_t TRACE_METHOD = 0x20;
inline constexpr std::uint32_t TRACE_THREAD = 0x40;
inline constexpr std::uint32_t TRACE_MESSAGE = 0x80;

class TraceLog {
 public:
  // The one instance; the same object on every call.
  static TraceLog* Instance();

  // Where records go; null drops them. The stream is not owned and must
  // outlive every later LogTrace call.
  void setStream(std::ostream* stream) { stream_ = stream; }
  void setColumns(std::uint32_t bits) { columns_ = bits; }

  // Writes one record: "\n", then the selected columns joined by a tab, no
  // newline after it and no flush. The caller holds the trace lock.
  void WriteRecord(const std::string& file, int line, const std::string& function,
                   const std::string& message);

 private:
  TraceLog() = default;

  std::ostream* stream_ = nullptr;
  std::uint32_t columns_ = 0xFFFF;
  std::string separator_ = "\t";
  bool newlineFirst_ = true;
};

// Writes one record to the process's trace log: source file (its directory
// part is dropped), line, log name ("Class::Method" or a plain function name)
// and message.
void LogTrace(const std::string& file, int line, const std::string& function,
              const std::string& message);

// printf-style formatting into a 1024-byte buffer: the result is at most the
// first 1023 characters of the output.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The time column of a record: hour, minute, second and milliseconds in
// decimal without leading zeros, separated by ':' (9:5:3:7).
std::string FormatTraceTime(const platform::SystemTime& time);

// The current local time as a 64-bit file time (100 ns units since 1601).
std::uint64_t CurrentLocalFileTime();

}  // namespace lomp
