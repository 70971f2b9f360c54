// Log records and the process-wide log sink. While no sink is set, records
// go to the default sink, which prints one line to standard error.
#pragma once

#include <cstdint>

namespace vorlet::v2 {

enum class LogLevel : uint32_t { trace = 0, debug = 1, info = 2, warn = 3, error = 4 };

// Handed to a sink for the length of the call; every text is borrowed and
// may be NULL.
struct LogRecord {
  uint32_t record_size;  // 48
  uint32_t level;
  const char* component;
  const char* message;
  const char* file;
  uint32_t line;
  uint64_t timestamp_ns;  // monotonic; 0 when the clock failed
};

using LogSink = int (*)(const LogRecord* record, void* context);

// "trace" .. "error", "unknown" for any other value.
const char* log_level_name(uint32_t level) noexcept;

// Installs the process-wide sink; NULL goes back to the default sink.
void log_set_sink(LogSink sink, void* context) noexcept;

// Builds a record and hands it to the sink (outside the sink mutex, so
// sinks may run on several threads at once); returns the sink's result.
int log_emit(uint32_t level, const char* component, const char* message, const char* file, uint32_t line) noexcept;

// Prints "vorlet[level] component: message (file:line)" to standard error.
int log_default_sink(const LogRecord* record, void* context) noexcept;

// Where the lifecycle lines say they come from.
inline constexpr const char* kLifecycleComponent = "vorlet-runtime-v2";
inline constexpr const char* kLifecycleFile = "v2\\src\\runtime";
inline constexpr uint32_t kLifecycleCreatedLine = 4088;
inline constexpr uint32_t kLifecycleStartedLine = 4667;
inline constexpr uint32_t kLifecycleStoppedLine = 4751;

// An info line of the runtime's lifecycle, written only while the
// environment variable VORLET_V2_RUNTIME_LIFECYCLE_LOG is exactly "1" (read
// at every call). Never fails the caller.
void log_lifecycle(const char* message, const char* file, uint32_t line) noexcept;

}  // namespace vorlet::v2
