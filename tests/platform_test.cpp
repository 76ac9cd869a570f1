#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

#include "platform/bitmap.h"
#include "platform/ini_file.h"
#include "platform/main_thread.h"
#include "platform/threads.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace orvo {
namespace {

TEST(MainThreadQueue, WorkerCallRunsOnMainThreadWhileCallerWaits) {
  ASSERT_TRUE(IsMainThread());
  std::atomic<int> wakeUps{0};
  SetMainThreadWakeUp([&] { ++wakeUps; });
  std::atomic<bool> ranOnMain{false}, callerResumed{false};
  std::thread worker([&] {
    EXPECT_FALSE(IsMainThread());
    RunInMainThread([&] { ranOnMain = IsMainThread(); });
    callerResumed = true;
  });
  EXPECT_TRUE(WaitProcessingCalls([&] { return callerResumed.load(); }, 5000ms));
  worker.join();
  SetMainThreadWakeUp(nullptr);
  EXPECT_TRUE(ranOnMain);
  EXPECT_GE(wakeUps.load(), 1);
}

TEST(MainThreadQueue, CallerBlocksUntilMainThreadProcesses) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    RunInMainThread([] {});
    done = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(done) << "the call must wait for the main thread";
  EXPECT_TRUE(WaitProcessingCalls([&] { return done.load(); }, 5000ms));
  worker.join();
}

TEST(MainThreadQueue, ExceptionReachesTheCallingThread) {
  std::string caught;
  std::thread worker([&] {
    try {
      RunInMainThread([] { throw std::runtime_error("from handler"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
  });
  WaitProcessingCalls([&] { return !caught.empty(); }, 5000ms);
  worker.join();
  EXPECT_EQ(caught, "from handler");
}

TEST(MainThreadQueue, OnMainThreadRunsDirectlyAndWaitTimesOut) {
  int value = 0;
  RunInMainThread([&] { value = 7; });
  EXPECT_EQ(value, 7);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitProcessingCalls([] { return false; }, 30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(MainThreadQueue, CallsFromManyThreadsAllRunInOrderPerThread) {
  constexpr int kThreads = 4, kCalls = 50;
  std::vector<std::vector<int>> seen(kThreads);
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) RunInMainThread([&, t, i] { seen[t].push_back(i); });
      ++finished;
    });
  }
  EXPECT_TRUE(WaitProcessingCalls([&] { return finished == kThreads; }, 10000ms));
  for (auto& w : workers) w.join();
  for (const auto& calls : seen) {
    ASSERT_EQ(calls.size(), static_cast<size_t>(kCalls));
    for (int i = 0; i < kCalls; ++i) EXPECT_EQ(calls[i], i);
  }
}

TEST(MainThreadQueue, ProcessingRunsOnlyCallsQueuedBeforeItStarted) {
  // A worker that queues its next call as soon as the previous one ran must not keep
  // ProcessPendingCalls (and with it every timed main-thread wait) from returning.
  std::atomic<bool> stop{false}, finished{false};
  std::atomic<int> ran{0};
  std::thread worker([&] {
    while (!stop) RunInMainThread([&] { ++ran; });
    finished = true;
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitProcessingCalls([] { return false; }, 100ms));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  stop = true;
  EXPECT_TRUE(WaitProcessingCalls([&] { return finished.load(); }, 5000ms));
  worker.join();
  EXPECT_GT(ran.load(), 0);
}

TEST(Bitmap, RowsArePaddedToFourBytesAndAddressedTopDown) {
  struct Case { int width, bytesPerLine; };
  for (const Case c : {Case{1, 4}, Case{2, 8}, Case{3, 12}, Case{4, 12}, Case{641, 1924}, Case{640, 1920}}) {
    TBitmap bitmap(c.width, 3);
    EXPECT_EQ(bitmap.BytesPerLine(), c.bytesPerLine) << c.width;
    EXPECT_EQ(bitmap.SizeInBytes(), static_cast<size_t>(c.bytesPerLine) * 3);
    EXPECT_EQ(bitmap.ScanLine(2) - bitmap.ScanLine(0), 2 * c.bytesPerLine);
  }
  TBitmap bitmap(2, 2);
  bitmap.Fill(0x102030);  // red 0x10, green 0x20, blue 0x30
  const uint8_t* p = bitmap.ScanLine(1) + 3;
  EXPECT_EQ(p[0], 0x30);
  EXPECT_EQ(p[1], 0x20);
  EXPECT_EQ(p[2], 0x10);
  bitmap.SetSize(-5, 4);
  EXPECT_TRUE(bitmap.Empty());
  EXPECT_EQ(bitmap.SizeInBytes(), 0u);
}

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("orvo_ini_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    path_ = (dir_ / "sub" / "settings.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Contents() const {
    std::ifstream in(path_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  fs::path dir_;
  std::string path_;
};

TEST_F(IniFileTest, MissingFileGivesDefaultsAndWriteCreatesIt) {
  TIniFile ini(path_);
  EXPECT_EQ(ini.ReadString("settings", "OutPutDir", "fallback"), "fallback");
  EXPECT_EQ(ini.ReadInteger("settings", "volume", 64), 64);
  EXPECT_TRUE(ini.ReadBool("lstformat", "0", true));
  EXPECT_FALSE(ini.SectionExists("settings"));
  ASSERT_TRUE(ini.WriteInteger("settings", "volume", 100));
  EXPECT_EQ(Contents(), "[settings]\nvolume=100\n");
}

TEST_F(IniFileTest, NamesIgnoreCaseAndValuesStayVerbatim) {
  TIniFile ini(path_);
  ini.WriteString("Settings", "snapOutPutDir", "/home/u/snaps");
  ini.WriteString("formatInfo1", "VideoSize", "320x240,640x480,");
  ini.WriteString("formatInfo1", "Quoted", "\"a;b\"=c");
  EXPECT_EQ(ini.ReadString("SETTINGS", "SnapOutPutDir", ""), "/home/u/snaps");
  EXPECT_EQ(ini.ReadString("formatinfo1", "videosize", ""), "320x240,640x480,");
  EXPECT_EQ(ini.ReadString("formatInfo1", "Quoted", ""), "\"a;b\"=c");
  // Rewriting under another case replaces the key in place.
  ini.WriteString("settings", "SNAPOUTPUTDIR", "/tmp/x");
  EXPECT_EQ(ini.ReadSection("settings"), std::vector<std::string>{"SNAPOUTPUTDIR"});
  EXPECT_EQ(ini.ReadString("settings", "snapOutPutDir", ""), "/tmp/x");
  EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"Settings", "formatInfo1"}));
}

TEST_F(IniFileTest, EveryOperationRereadsTheFile) {
  TIniFile writer(path_), reader(path_);
  writer.WriteInteger("settings", "skinIndex", 3);
  EXPECT_EQ(reader.ReadInteger("settings", "skinIndex", 0), 3);
  {
    std::ofstream out(path_, std::ios::trunc);
    out << "; edited by hand\r\n[settings]\r\n  skinIndex = 5 \r\n\r\n[other]\r\nk=v\r\n";
  }
  EXPECT_EQ(reader.ReadInteger("settings", "skinIndex", 0), 5);
  writer.WriteString("settings", "mute", "1");
  EXPECT_TRUE(reader.ReadBool("settings", "mute", false));
  EXPECT_EQ(reader.ReadString("other", "k", ""), "v");
  EXPECT_NE(Contents().find("; edited by hand"), std::string::npos) << "comments survive writes";
  EXPECT_EQ(reader.ReadSection("settings"), (std::vector<std::string>{"skinIndex", "mute"}));
}

TEST_F(IniFileTest, IntegersAndBooleansParseLikeTheSettingsExpect) {
  TIniFile ini(path_);
  struct Case { const char* stored; int expected; };
  for (const Case c : {Case{"42", 42}, Case{"-7", -7}, Case{"0x1F", 31}, Case{"$10", 16},
                       Case{"12abc", -1}, Case{"", -1}, Case{"abc", -1}, Case{"99999999999", -1}}) {
    ini.WriteString("s", "k", c.stored);
    EXPECT_EQ(ini.ReadInteger("s", "k", -1), c.expected) << c.stored;
  }
  for (const auto& [stored, expected] : std::vector<std::pair<std::string, bool>>{
           {"0", false}, {"1", true}, {"2", true}, {"-1", true}, {"yes", false}}) {
    ini.WriteString("s", "b", stored);
    EXPECT_EQ(ini.ReadBool("s", "b", false), expected) << stored;
  }
}

TEST_F(IniFileTest, EraseAndDelete) {
  TIniFile ini(path_);
  ini.WriteString("a", "x", "1");
  ini.WriteString("a", "y", "2");
  ini.WriteString("b", "z", "3");
  EXPECT_TRUE(ini.DeleteKey("A", "X"));
  EXPECT_FALSE(ini.ValueExists("a", "x"));
  EXPECT_TRUE(ini.ValueExists("a", "y"));
  EXPECT_TRUE(ini.EraseSection("a"));
  EXPECT_FALSE(ini.SectionExists("a"));
  EXPECT_EQ(ini.ReadString("b", "z", ""), "3");
}

TEST_F(IniFileTest, UnwritableLocationReportsFalse) {
  fs::create_directories(dir_);
  std::ofstream(dir_ / "file") << "x";
  TIniFile ini((dir_ / "file" / "settings.ini").string());  // parent is a file
  EXPECT_FALSE(ini.WriteString("s", "k", "v"));
  EXPECT_EQ(ini.ReadString("s", "k", "d"), "d");
}

TEST(Threads, PriorityLowersTheCallingThreadOnly) {
  EXPECT_EQ(NicenessOf(TThreadPriority::tpNormal), 0);
  EXPECT_GT(NicenessOf(TThreadPriority::tpIdle), NicenessOf(TThreadPriority::tpLowest));
  EXPECT_GT(NicenessOf(TThreadPriority::tpLowest), NicenessOf(TThreadPriority::tpLower));
  const uint32_t mainId = CurrentThreadId();
  const int mainNiceBefore = ::getpriority(PRIO_PROCESS, mainId);
  uint32_t workerId = 0;
  int workerNice = 0;
  std::thread worker([&] {
    workerId = CurrentThreadId();
    EXPECT_TRUE(SetCurrentThreadPriority(TThreadPriority::tpLowest));
    workerNice = ::getpriority(PRIO_PROCESS, workerId);
  });
  worker.join();
  EXPECT_NE(workerId, mainId);
  EXPECT_EQ(workerNice, std::max(mainNiceBefore, NicenessOf(TThreadPriority::tpLowest)));
  EXPECT_EQ(::getpriority(PRIO_PROCESS, mainId), mainNiceBefore);
}

}  // namespace
}  // namespace orvo
