#pragma once
// Collects what one engine logs, so that tests can check its lines. The hook runs on the thread
// that logs (never queued for the main thread), so no test waits for main-thread calls.
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "binding/FFmpegLogger.h"

namespace orvo::testing {

struct TLogLine {
  TLogLevel Level;
  std::string Text;
};

class EngineLogCapture {
 public:
  EngineLogCapture() = default;
  EngineLogCapture(const EngineLogCapture&) = delete;
  EngineLogCapture& operator=(const EngineLogCapture&) = delete;
  ~EngineLogCapture() { Stop(); }

  // Sets the log level to `level` and installs the hook; lines above `keepUpTo` are not kept.
  // Nothing is kept until a sender is followed.
  void Start(TLogLevel level, TLogLevel keepUpTo = llDebug);
  // Takes the hook away and puts the earlier log level back.
  void Stop();

  // From now on keeps only `sender`'s lines (none for nullptr); `forget` drops those kept so far.
  void Follow(const void* sender, bool forget = true);
  // Keeps the lines of whichever sender `current` returns when each line arrives.
  void FollowCurrent(std::function<const void*()> current);
  void Clear();

  std::vector<TLogLine> Lines() const;
  // Whether a line of exactly this level and text was kept.
  bool Logged(TLogLevel level, const std::string& text) const;
  bool LoggedContaining(const std::string& part) const;
  int Count(TLogLevel level, const std::string& text) const;
  // The texts of the kept lines that contain `part`.
  std::vector<std::string> Containing(const std::string& part) const;
  // The last `count` lines, one a line, for failure messages.
  std::string LastLines(size_t count) const;

 private:
  bool started_ = false;
  TLogLevel savedLevel_ = llInfo;
  TLogLevel keepUpTo_ = llDebug;
  mutable std::mutex mutex_;
  std::function<const void*()> sender_;  // empty: nothing kept
  std::vector<TLogLine> lines_;
};

}  // namespace orvo::testing
