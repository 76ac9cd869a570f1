#pragma once
// The log sink: the media libraries' own output (through av_log_set_callback) and the messages
// of the engine's modules reach the application through one OnLog event, optionally delivered on
// the main thread. It also keeps the libraries' log level in step with LogLevel.
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

#include "component/FFBaseComponent.h"

namespace orvo {

enum TLogLevel { llQuiet, llPanic, llFatal, llError, llWarning, llInfo, llVerbose, llDebug };

// (level - 1) * 8: llQuiet -8 ... llDebug 48.
int LogLevelToLibrary(TLogLevel level);
// (L / 8 truncated toward zero) + 1, clamped to llQuiet..llDebug.
TLogLevel LibraryToLogLevel(int libraryLevel);

// Sender, thread id, level, text.
using TLogEvent = std::function<void(const void* sender, uint32_t threadId, TLogLevel level,
                                     const std::string& message)>;

struct TLogInfo {
  const void* Sender = nullptr;
  uint32_t ThreadID = 0;
  TLogLevel LogLevel = llInfo;
  std::string LogMsg;
};

class TFFLogger : public TFFBaseComponent {
 public:
  // Only one instance may exist: a second construction throws std::logic_error with
  // "Allow creating only one instance of TFFLogger.".
  TFFLogger();
  ~TFFLogger() override;

  TLogLevel LogLevel() const;
  void SetLogLevel(TLogLevel level);
  // "quiet" ... "debug" (any case) or a decimal library level; other text throws
  // std::invalid_argument.
  void SetLogLevelByName(const std::string& name);

  // Assign these before logging starts: they are read by every logging thread without a lock.
  bool TriggerEventInMainThread = true;
  TLogEvent OnLog;

  // Delivered when OnLog is assigned and (LogLevel >= level, or level is llVerbose and LogLevel
  // is not llQuiet). An exception thrown by OnLog reaches the caller (also when the handler ran
  // on the main thread).
  void Log(const void* sender, TLogLevel level, const std::string& message);
  void LogFmt(const void* sender, TLogLevel level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  // Installs the library log callback and applies LogLevel to the libraries.
  void HookLibraryLog();

 private:
  friend void LibraryLogCallback(void* context, int level, const char* format, va_list args);
  bool Passes(TLogLevel level) const;
  // Runs OnLog, on the main thread when TriggerEventInMainThread is set.
  void Deliver(const TLogInfo& info);
  void ApplyLevelToLibraries();
  std::atomic<TLogLevel> logLevel_;
};

// The single instance, created on first use.
TFFLogger& Logger();

// The level last handed to the libraries (initially 32).
int LibraryLogLevelMirror();

// The callback installed into the libraries; exposed so tests can feed it directly. Library
// output is collected per thread and delivered line by line. It never lets an exception of OnLog
// escape into the C libraries (the handler's exception is dropped there), and it does nothing
// once the logger is gone, so library threads may keep logging while the process exits.
void LibraryLogCallback(void* context, int level, const char* format, va_list args);

}  // namespace orvo
