#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/version.h>
}

#include "binding/FFmpegLogger.h"
#include "platform/main_thread.h"
#include "platform/threads.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;

// A library-style context: its first member points to the class descriptor.
const char* FakeItemName(void*) { return "fake item"; }
AVClass MakeFakeClass() {
  AVClass cls{};
  cls.class_name = "FakeClass";
  cls.item_name = FakeItemName;
  cls.version = LIBAVUTIL_VERSION_INT;
  return cls;
}
const AVClass kFakeClass = MakeFakeClass();
struct FakeContext {
  const AVClass* avClass = &kFakeClass;
  int payload = 0;
};

std::string PrefixOf(const void* context) {
  std::ostringstream text;
  text << "[fake item @ " << std::uppercase << std::hex << std::setfill('0')
       << std::setw(sizeof(void*) * 2) << reinterpret_cast<uintptr_t>(context) << "]";
  return text.str();
}

struct Event {
  const void* sender;
  uint32_t threadId;
  TLogLevel level;
  std::string text;
  uint32_t handlerThread;  // where OnLog ran
};

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logger_ = &Logger();
    logger_->HookLibraryLog();
    logger_->SetLogLevel(llInfo);
    logger_->TriggerEventInMainThread = false;
    logger_->OnLog = Recorder();
  }

  void TearDown() override {
    // Finish this thread's pending library text so it does not leak into the next test.
    logger_->OnLog = [](const void*, uint32_t, TLogLevel, const std::string&) {};
    logger_->TriggerEventInMainThread = false;
    logger_->SetLogLevel(llInfo);
    av_log(nullptr, AV_LOG_ERROR, "\n");
    logger_->OnLog = nullptr;
    logger_->TriggerEventInMainThread = true;
  }

  TLogEvent Recorder() {
    return [this](const void* sender, uint32_t threadId, TLogLevel level, const std::string& text) {
      std::lock_guard lock(mutex_);
      events_.push_back(Event{sender, threadId, level, text, CurrentThreadId()});
    };
  }

  std::vector<Event> TakeEvents() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
  }

  std::vector<std::string> TakeTexts() {
    std::vector<std::string> texts;
    for (const Event& e : TakeEvents()) texts.push_back(e.text);
    return texts;
  }

  TFFLogger* logger_ = nullptr;
  std::mutex mutex_;
  std::vector<Event> events_;
};

using Texts = std::vector<std::string>;

TEST_F(LoggerTest, LibraryOutputArrivesLineByLineWithThePrefixAtTheStartOfALine) {
  FakeContext ctx;
  av_log(&ctx, AV_LOG_INFO, "abc");
  EXPECT_TRUE(TakeEvents().empty());
  av_log(&ctx, AV_LOG_INFO, "%s\n%s", "def", "xyz");

  const std::vector<Event> first = TakeEvents();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].text, PrefixOf(&ctx) + "abcdef");
  EXPECT_EQ(first[0].sender, logger_);
  EXPECT_EQ(first[0].threadId, CurrentThreadId());
  EXPECT_EQ(first[0].level, llInfo);

  // "xyz" was kept: it continues without a prefix, and one message may end several lines.
  av_log(&ctx, AV_LOG_WARNING, "!\nnext\n");
  const std::vector<Event> more = TakeEvents();
  ASSERT_EQ(more.size(), 2u);
  EXPECT_EQ(more[0].text, "xyz!");
  EXPECT_EQ(more[0].level, llWarning);
  EXPECT_EQ(more[1].text, "next");

  av_log(nullptr, AV_LOG_INFO, "no context\n");
  av_log(&ctx, AV_LOG_INFO, "\n");
  EXPECT_EQ(TakeTexts(), (Texts{"no context", PrefixOf(&ctx)}));
}

// Runs steps of several threads in a fixed order; every wait is bounded.
class Sequencer {
 public:
  void WaitFor(int step) {
    std::unique_lock lock(mutex_);
    EXPECT_TRUE(changed_.wait_for(lock, 10s, [&] { return step_ == step; })) << "step " << step;
  }
  void Advance() {
    {
      std::lock_guard lock(mutex_);
      ++step_;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int step_ = 0;
};

TEST_F(LoggerTest, ThreadsWritingPartialLinesInterleavedEachGetTheirOwnLine) {
  FakeContext ctx;
  const uint32_t mainId = CurrentThreadId();
  for (const bool inMainThread : {true, false}) {
    SCOPED_TRACE(inMainThread ? "delivered on the main thread" : "delivered directly");
    logger_->TriggerEventInMainThread = inMainThread;
    Sequencer sequence;
    std::atomic<int> finished{0};
    uint32_t ids[2] = {};
    // Step order: A "a1", B "b1", A "a2\n", B "b2\n".
    auto writer = [&](int index, const char* head, const char* tail) {
      ids[index] = CurrentThreadId();
      sequence.WaitFor(index);
      av_log(&ctx, AV_LOG_INFO, "%s", head);
      sequence.Advance();
      sequence.WaitFor(index + 2);
      av_log(&ctx, AV_LOG_INFO, "%s\n", tail);
      sequence.Advance();
      ++finished;
      WakeMainThreadWait();
    };
    std::thread a(writer, 0, "a1", "a2");
    std::thread b(writer, 1, "b1", "b2");
    const bool done = WaitProcessingCalls([&] { return finished == 2; }, 20s);
    a.join();
    b.join();
    ASSERT_TRUE(done);

    const std::vector<Event> events = TakeEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].text, PrefixOf(&ctx) + "a1a2");
    EXPECT_EQ(events[0].threadId, ids[0]);
    EXPECT_EQ(events[1].text, PrefixOf(&ctx) + "b1b2");
    EXPECT_EQ(events[1].threadId, ids[1]);
    for (const Event& e : events)
      EXPECT_EQ(e.handlerThread, inMainThread ? mainId : e.threadId) << e.text;
  }
}

TEST_F(LoggerTest, LibraryMessagesAboveTheMirroredLevelAreDropped) {
  EXPECT_EQ(LibraryLogLevelMirror(), 32);
  EXPECT_EQ(av_log_get_level(), 32);
  av_log(nullptr, AV_LOG_VERBOSE, "hidden ");
  av_log(nullptr, AV_LOG_INFO, "shown\n");
  EXPECT_EQ(TakeTexts(), Texts{"shown"});

  logger_->SetLogLevel(llDebug);
  EXPECT_EQ(LibraryLogLevelMirror(), 48);
  EXPECT_EQ(av_log_get_level(), 48);
  av_log(nullptr, AV_LOG_VERBOSE, "verbose\n");
  av_log(nullptr, AV_LOG_DEBUG, "debug\n");
  const std::vector<Event> events = TakeEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].text, "verbose");
  EXPECT_EQ(events[0].level, llVerbose);
  EXPECT_EQ(events[1].level, llDebug);
}

TEST_F(LoggerTest, LevelConversionsAndLevelNames) {
  const struct {
    TLogLevel level;
    int library;
  } kLevels[] = {{llQuiet, -8},   {llPanic, 0}, {llFatal, 8},    {llError, 16},
                 {llWarning, 24}, {llInfo, 32}, {llVerbose, 40}, {llDebug, 48}};
  for (const auto& row : kLevels) {
    EXPECT_EQ(LogLevelToLibrary(row.level), row.library);
    EXPECT_EQ(LibraryToLogLevel(row.library), row.level);
  }

  const struct {
    const char* name;
    TLogLevel expected;
  } kNames[] = {
      {"Warning", llWarning}, {"QUIET", llQuiet},   {"debug", llDebug},
      {"20", llError},        {"-7", llPanic},  // truncated toward zero, not floored
      {"-9", llQuiet},        {"47", llVerbose},    {"1000", llDebug},
      {"info", llInfo},
  };
  for (const auto& row : kNames) {
    logger_->SetLogLevelByName(row.name);
    EXPECT_EQ(logger_->LogLevel(), row.expected) << row.name;
    EXPECT_EQ(LibraryLogLevelMirror(), LogLevelToLibrary(row.expected)) << row.name;
  }
  for (const char* bad : {"loud", "", "12abc", " 12"}) {
    EXPECT_THROW(logger_->SetLogLevelByName(bad), std::invalid_argument) << bad;
    EXPECT_EQ(logger_->LogLevel(), llInfo) << bad;
  }
}

TEST_F(LoggerTest, OwnMessagesPassTheLevelFilter) {
  const struct {
    TLogLevel loggerLevel;
    TLogLevel messageLevel;
    bool delivered;
  } kCases[] = {
      {llError, llVerbose, true},  {llQuiet, llVerbose, false}, {llError, llError, true},
      {llError, llWarning, false}, {llInfo, llDebug, false},    {llDebug, llDebug, true},
      {llQuiet, llQuiet, true},    {llQuiet, llPanic, false},
  };
  const int sender = 0;
  for (const auto& row : kCases) {
    logger_->SetLogLevel(row.loggerLevel);
    logger_->Log(&sender, row.messageLevel, "own");
    logger_->LogFmt(&sender, row.messageLevel, "%s=%d", "x", 5);
    const std::vector<Event> events = TakeEvents();
    SCOPED_TRACE(::testing::Message() << row.loggerLevel << " / " << row.messageLevel);
    if (!row.delivered) {
      EXPECT_TRUE(events.empty());
      continue;
    }
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].text, "own");
    EXPECT_EQ(events[1].text, "x=5");
    for (const Event& e : events) {
      EXPECT_EQ(e.sender, &sender);
      EXPECT_EQ(e.threadId, CurrentThreadId());
      EXPECT_EQ(e.level, row.messageLevel);
    }
  }
}

TEST_F(LoggerTest, NothingIsCollectedWhileOnLogIsUnassigned) {
  FakeContext ctx;
  logger_->OnLog = nullptr;
  av_log(&ctx, AV_LOG_INFO, "lost ");
  logger_->Log(nullptr, llError, "lost");
  logger_->OnLog = Recorder();
  av_log(&ctx, AV_LOG_INFO, "kept\n");
  EXPECT_EQ(TakeTexts(), Texts{PrefixOf(&ctx) + "kept"});
}

TEST_F(LoggerTest, LibraryMessagesAreCutAt2047Bytes) {
  const std::string longText(3000, 'x');
  av_log(nullptr, AV_LOG_INFO, "%s\n", longText.c_str());
  EXPECT_TRUE(TakeEvents().empty());  // the line feed was cut off with the rest
  av_log(nullptr, AV_LOG_INFO, "\n");
  EXPECT_EQ(TakeTexts(), Texts{std::string(2047, 'x')});
}

TEST_F(LoggerTest, HandlerExceptionsReachTheLoggingThreadButNotTheLibraries) {
  logger_->OnLog = [](const void*, uint32_t, TLogLevel, const std::string&) {
    throw std::runtime_error("handler failed");
  };
  for (const bool inMainThread : {true, false}) {
    SCOPED_TRACE(inMainThread ? "delivered on the main thread" : "delivered directly");
    logger_->TriggerEventInMainThread = inMainThread;
    std::string caught;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
      try {
        logger_->Log(nullptr, llError, "boom");
      } catch (const std::runtime_error& e) {
        caught = e.what();
      }
      finished = true;
      WakeMainThreadWait();
    });
    const bool done = WaitProcessingCalls([&] { return finished.load(); }, 20s);
    worker.join();
    ASSERT_TRUE(done);
    EXPECT_EQ(caught, "handler failed");
  }

  logger_->TriggerEventInMainThread = false;
  EXPECT_NO_THROW(av_log(nullptr, AV_LOG_ERROR, "dropped\n"));
  logger_->OnLog = Recorder();
  av_log(nullptr, AV_LOG_ERROR, "after\n");
  EXPECT_EQ(TakeTexts(), Texts{"after"});
}

TEST(LoggerInstanceTest, OnlyOneInstanceExists) {
  TFFLogger& logger = Logger();
  EXPECT_EQ(&Logger(), &logger);
  try {
    TFFLogger second;
    FAIL() << "a second logger was created";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Allow creating only one instance of TFFLogger.");
  }
  EXPECT_EQ(&Logger(), &logger);
}

// Library threads keep logging while the process runs its static destructors, the logger's
// among them: the exit must neither crash nor hang. With deliveries for the main thread, the
// threads wait for a main thread that no longer pumps; the logger's destruction must run their
// pending deliveries (the handler then reports on stderr) before it lets them go.
TEST(LoggerExitTest, LibraryThreadsMayLogWhileTheProcessExits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const bool inMainThread : {false, true}) {
    SCOPED_TRACE(inMainThread ? "delivered on the main thread" : "delivered directly");
    EXPECT_EXIT(
        {
          alarm(30);
          static std::atomic<int> delivered{0};
          TFFLogger& logger = Logger();
          logger.HookLibraryLog();
          logger.TriggerEventInMainThread = inMainThread;
          // The handler owns heap state (stored by std::function on the heap) and uses it
          // after a pause, so a logger destroyed under a running handler shows.
          logger.OnLog = [tag = std::string("tick")](const void*, uint32_t, TLogLevel,
                                                     const std::string& text) {
            std::this_thread::sleep_for(100us);
            if (text.ends_with(tag) && delivered++ == 0) std::fputs("handler ran\n", stderr);
          };
          for (int i = 0; i < 2; ++i) {
            std::thread([] {
              FakeContext ctx;
              for (;;) av_log(&ctx, AV_LOG_ERROR, "tick\n");
            }).detach();
          }
          if (inMainThread) {
            std::this_thread::sleep_for(50ms);  // both threads now wait for the main thread
          } else {
            const auto deadline = std::chrono::steady_clock::now() + 20s;
            while (delivered < 50 && std::chrono::steady_clock::now() < deadline)
              std::this_thread::sleep_for(1ms);
          }
          std::exit(0);
        },
        ::testing::ExitedWithCode(0), "handler ran");
  }
}

}  // namespace
}  // namespace orvo
