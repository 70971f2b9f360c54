#include "runtime/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/mutex.h"

namespace vorlet::v2 {
namespace {

static_assert(sizeof(LogRecord) == 48);

struct SinkSlot {
  Mutex mutex;
  LogSink sink GUARDED_BY(mutex);
  void* context GUARDED_BY(mutex);
};

constinit SinkSlot g_sink{};

}  // namespace

const char* log_level_name(uint32_t level) noexcept {
  static const char* const names[] = {"trace", "debug", "info", "warn", "error"};
  return level < 5 ? names[level] : "unknown";
}

void log_set_sink(LogSink sink, void* context) noexcept {
  MutexLock hold(&g_sink.mutex);
  g_sink.sink = sink;
  g_sink.context = sink == nullptr ? nullptr : context;
}

int log_emit(uint32_t level, const char* component, const char* message, const char* file, uint32_t line) noexcept {
  LogRecord record{48, level, component, message, file, line, 0};
  if (clock_monotonic_ns(&record.timestamp_ns) != 0) record.timestamp_ns = 0;
  LogSink sink;
  void* context;
  {
    MutexLock hold(&g_sink.mutex);
    sink = g_sink.sink;
    context = g_sink.context;
  }
  if (sink == nullptr) return log_default_sink(&record, nullptr);
  return sink(&record, context);
}

int log_default_sink(const LogRecord* record, void*) noexcept {
  if (record == nullptr) return 0;
  return std::fprintf(stderr, "vorlet[%s] %s: %s (%s:%u)\n", log_level_name(record->level),
                      record->component != nullptr ? record->component : "unknown",
                      record->message != nullptr ? record->message : "",
                      record->file != nullptr ? record->file : "unknown", record->line);
}

void log_lifecycle(const char* message, const char* file, uint32_t line) noexcept {
  const char* value = std::getenv("VORLET_V2_RUNTIME_LIFECYCLE_LOG");
  if (value == nullptr || std::strcmp(value, "1") != 0) return;
  log_emit(static_cast<uint32_t>(LogLevel::info), kLifecycleComponent, message, file, line);
}

}  // namespace vorlet::v2
