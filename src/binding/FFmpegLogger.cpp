#include "binding/FFmpegLogger.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cinttypes>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <forward_list>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/main_thread.h"
#include "platform/threads.h"

namespace orvo {
namespace {

// Storage that is constructed on first use and never destroyed: library threads may still log
// while the process runs its static destructors.
template <typename T>
class NoDestructor {
 public:
  NoDestructor() { new (storage_) T(); }
  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

// Unfinished library output of one thread. Text is touched only by its own thread.
struct TLogItem {
  uint32_t ThreadID = 0;
  std::string Text;
};

struct SinkState {
  // The process-wide instance and the library callbacks currently using it.
  std::mutex instanceMutex;
  std::condition_variable idle;
  TFFLogger* instance = nullptr;
  int activeCallbacks = 0;

  // The level last handed to av_log_set_level.
  std::atomic<int> mirror{AV_LOG_INFO};

  // One item per thread that produced library output; items are never removed, so a pointer
  // to one stays valid for the life of the process.
  std::mutex listMutex;
  std::forward_list<TLogItem> items;
};

SinkState& State() {
  static NoDestructor<SinkState> state;
  return state.get();
}

// Library callbacks running on this thread (a handler may log again, or destroy the logger).
thread_local int tlsActiveCallbacks = 0;

// The calling thread's item, cached; the cleaner drops its unfinished text when the thread ends,
// so a later thread that gets the same id does not inherit it.
thread_local TLogItem* tlsItem = nullptr;
thread_local bool tlsCleanerGone = false;
struct ThreadItemCleaner {
  TLogItem* item = nullptr;
  ~ThreadItemCleaner() {
    if (item) item->Text.clear();
    tlsItem = nullptr;
    tlsCleanerGone = true;
  }
};
thread_local ThreadItemCleaner tlsCleaner;

TLogItem& CurrentThreadItem() {
  if (tlsItem) return *tlsItem;
  SinkState& state = State();
  const uint32_t id = CurrentThreadId();
  TLogItem* item = nullptr;
  {
    std::lock_guard lock(state.listMutex);
    for (TLogItem& candidate : state.items) {
      if (candidate.ThreadID == id) {
        item = &candidate;
        break;
      }
    }
    if (!item) {
      state.items.push_front(TLogItem{id, {}});
      item = &state.items.front();
    }
  }
  // A thread that ended its thread-local life (the main thread during exit) looks up each time.
  if (!tlsCleanerGone) {
    tlsCleaner.item = item;
    tlsItem = item;
  }
  return *item;
}

// Holds the process-wide logger for the length of one library callback.
class ActiveLogger {
 public:
  ActiveLogger() {
    SinkState& state = State();
    std::lock_guard lock(state.instanceMutex);
    logger_ = state.instance;
    if (logger_) {
      ++state.activeCallbacks;
      ++tlsActiveCallbacks;
    }
  }
  ~ActiveLogger() {
    if (!logger_) return;
    SinkState& state = State();
    bool destroying;
    {
      std::lock_guard lock(state.instanceMutex);
      --state.activeCallbacks;
      --tlsActiveCallbacks;
      destroying = state.instance != logger_;
    }
    if (destroying) {
      state.idle.notify_all();
      WakeMainThreadWait();
    }
  }
  ActiveLogger(const ActiveLogger&) = delete;
  ActiveLogger& operator=(const ActiveLogger&) = delete;
  TFFLogger* get() const { return logger_; }

 private:
  TFFLogger* logger_ = nullptr;
};

std::string LibraryPrefix(void* context) {
  if (!context) return {};
  const AVClass* cls = *static_cast<const AVClass* const*>(context);
  if (!cls) return {};
  const char* name = cls->item_name ? cls->item_name(context) : cls->class_name;
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, "[%s @ %0*" PRIXPTR "]", name ? name : "",
                static_cast<int>(sizeof(void*) * 2), reinterpret_cast<uintptr_t>(context));
  return buffer;
}

constexpr size_t kLibraryMessageBuffer = 2048;

}  // namespace

int LogLevelToLibrary(TLogLevel level) { return (static_cast<int>(level) - 1) * 8; }

TLogLevel LibraryToLogLevel(int libraryLevel) {
  const int value = std::clamp(libraryLevel / 8 + 1, static_cast<int>(llQuiet),
                               static_cast<int>(llDebug));
  return static_cast<TLogLevel>(value);
}

int LibraryLogLevelMirror() { return State().mirror.load(); }

TFFLogger::TFFLogger() : logLevel_(LibraryToLogLevel(State().mirror.load())) {
  SinkState& state = State();
  std::lock_guard lock(state.instanceMutex);
  if (state.instance) throw std::logic_error("Allow creating only one instance of TFFLogger.");
  state.instance = this;
}

TFFLogger::~TFFLogger() {
  SinkState& state = State();
  std::unique_lock lock(state.instanceMutex);
  if (state.instance != this) return;
  state.instance = nullptr;
  // Library callbacks that already hold this logger finish first. Those running on this thread
  // (a handler destroying the logger) cannot be waited for. The main thread keeps running queued
  // calls meanwhile, because such a callback may be waiting for its handler to run there.
  auto othersDone = [&] { return state.activeCallbacks == tlsActiveCallbacks; };
  if (othersDone()) return;
  if (IsMainThread()) {
    lock.unlock();
    WaitProcessingCalls([&] {
      std::lock_guard relock(state.instanceMutex);
      return othersDone();
    });
  } else {
    state.idle.wait(lock, othersDone);
  }
}

TLogLevel TFFLogger::LogLevel() const { return logLevel_.load(); }

void TFFLogger::SetLogLevel(TLogLevel level) {
  if (logLevel_.exchange(level) == level) return;
  ApplyLevelToLibraries();
}

void TFFLogger::ApplyLevelToLibraries() {
  const int libraryLevel = LogLevelToLibrary(logLevel_.load());
  State().mirror.store(libraryLevel);
  av_log_set_level(libraryLevel);
}

void TFFLogger::SetLogLevelByName(const std::string& name) {
  static const char* const kNames[] = {"quiet", "panic",   "fatal",  "error",
                                       "warning", "info", "verbose", "debug"};
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (int i = 0; i <= llDebug; ++i) {
    if (lower == kNames[i]) {
      SetLogLevel(static_cast<TLogLevel>(i));
      return;
    }
  }
  int libraryLevel = 0;
  const char* first = name.data();
  const char* last = name.data() + name.size();
  if (first != last && *first == '+') ++first;
  const auto [end, error] = std::from_chars(first, last, libraryLevel);
  if (error != std::errc() || end != last || first == last)
    throw std::invalid_argument("Invalid log level: " + name);
  SetLogLevel(LibraryToLogLevel(libraryLevel));
}

bool TFFLogger::Passes(TLogLevel level) const {
  const TLogLevel current = logLevel_.load();
  return current >= level || (level == llVerbose && current != llQuiet);
}

void TFFLogger::Log(const void* sender, TLogLevel level, const std::string& message) {
  if (!OnLog || !Passes(level)) return;
  Deliver(TLogInfo{sender, CurrentThreadId(), level, message});
}

void TFFLogger::LogFmt(const void* sender, TLogLevel level, const char* format, ...) {
  if (!OnLog || !Passes(level)) return;
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(length));
  }
  va_end(args);
  Deliver(TLogInfo{sender, CurrentThreadId(), level, std::move(text)});
}

void TFFLogger::Deliver(const TLogInfo& info) {
  auto call = [this, &info] {
    if (OnLog) OnLog(info.Sender, info.ThreadID, info.LogLevel, info.LogMsg);
  };
  if (TriggerEventInMainThread) {
    RunInMainThread(call);
  } else {
    call();
  }
}

void TFFLogger::HookLibraryLog() {
  av_log_set_callback(&LibraryLogCallback);
  ApplyLevelToLibraries();
}

void LibraryLogCallback(void* context, int level, const char* format, va_list args) {
  // Levels may carry colour bits above the low byte.
  if (level >= 0) level &= 0xff;
  if (level > State().mirror.load()) return;
  const ActiveLogger active;
  TFFLogger* logger = active.get();
  if (!logger || !logger->OnLog || !format) return;

  char buffer[kLibraryMessageBuffer] = {};
  va_list copy;
  va_copy(copy, args);
  std::vsnprintf(buffer, sizeof buffer, format, copy);
  va_end(copy);

  TLogItem& item = CurrentThreadItem();
  if (item.Text.empty()) item.Text = LibraryPrefix(context);
  item.Text.append(buffer);  // up to the first zero byte

  const TLogLevel lineLevel = LibraryToLogLevel(level);
  size_t lineFeed;
  // A handler may log again on this thread and append to Text; re-search after each line.
  while ((lineFeed = item.Text.find('\n')) != std::string::npos) {
    TLogInfo info{logger, item.ThreadID, lineLevel, item.Text.substr(0, lineFeed)};
    item.Text.erase(0, lineFeed + 1);
    try {
      logger->Deliver(info);
    } catch (...) {
      // Unwinding through the C libraries would skip their cleanup; the line is dropped.
    }
  }
}

TFFLogger& Logger() {
  // The main-thread queue must outlive the instance: its destructor may run queued calls.
  (void)IsMainThread();
  static std::mutex creation;
  static std::unique_ptr<TFFLogger> owned;
  std::lock_guard lock(creation);
  {
    SinkState& state = State();
    std::lock_guard stateLock(state.instanceMutex);
    if (state.instance) return *state.instance;
  }
  owned = std::make_unique<TFFLogger>();
  return *owned;
}

}  // namespace orvo
