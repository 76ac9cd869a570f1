// The task list component: runs in the calling thread and in workers, the order and threads of
// its events, stopping, pausing, the working state and its exceptions, the probes on the inputs
// and the settings it hands to every task.
#include <gtest/gtest.h>

#include <cstdlib>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "component/FFmpegVCL.h"
#include "platform/main_thread.h"
#include "support/read_back.h"
#include "support/test_media.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string& Clip() {
  return testing::MediaOnce("vcl-clip.avi", testing::AviClip(96, 72, 1.0));
}
// Two seconds: with a hook that sleeps a little per picture, a run lasts long enough to act on.
const std::string& LongClip() {
  return testing::MediaOnce("vcl-long.avi", testing::AviClip(96, 72, 2.0));
}

std::string Out(const std::string& name) { return testing::MediaPath(name); }

// Waits on the main thread, running the calls handed to it.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
  return WaitProcessingCalls(done, limit);
}

// Lets the main thread serve handed-over calls for a while.
void Pump(std::chrono::milliseconds time) {
  WaitProcessingCalls([] { return false; }, time);
}

// What the events of one component delivered, from whatever thread.
struct TEvents {
  mutable std::mutex Lock;
  std::vector<TTerminateInfo> Ends;
  std::vector<std::thread::id> EndThreads;
  std::vector<TProgressInfo> Progress;
  std::vector<std::thread::id> ProgressThreads;
  std::map<int, int> Hooks;  // task -> calls
  std::map<int, std::thread::id> HookThreads;
  std::vector<TPreviewInfo> Previews;
  std::vector<std::thread::id> PreviewThreads;

  size_t EndCount() const {
    std::lock_guard<std::mutex> l(Lock);
    return Ends.size();
  }
  int HookCount(int task) const {
    std::lock_guard<std::mutex> l(Lock);
    auto it = Hooks.find(task);
    return it == Hooks.end() ? 0 : it->second;
  }
  std::vector<int> EndOrder() const {
    std::lock_guard<std::mutex> l(Lock);
    std::vector<int> order;
    for (const TTerminateInfo& e : Ends) order.push_back(e.TaskIndex);
    return order;
  }
};

class VclTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    FFLoader().LoadLibraries(ConverterLibraries);
    SetMainThread();
    Logger().SetLogLevel(llQuiet);
  }

  void SetUp() override { mainThread_ = std::this_thread::get_id(); }

  // Records every event; the hook sleeps `hookSleep` per picture to stretch the run.
  void Watch(TFFmpegVCL& vcl, TEvents& ev, std::chrono::milliseconds hookSleep = 0ms) {
    vcl.OnTerminate = [&ev](TCustomFFmpegVCL&, const TTerminateInfo& info) {
      std::lock_guard<std::mutex> l(ev.Lock);
      ev.Ends.push_back(info);
      ev.EndThreads.push_back(std::this_thread::get_id());
    };
    vcl.OnProgress = [&ev](TCustomFFmpegVCL&, TProgressInfo* info) {
      std::lock_guard<std::mutex> l(ev.Lock);
      ev.Progress.push_back(*info);
      ev.ProgressThreads.push_back(std::this_thread::get_id());
    };
    vcl.OnCustomHook = [&ev, hookSleep](TCustomFFmpegVCL&, THookInfo* info) {
      {
        std::lock_guard<std::mutex> l(ev.Lock);
        ++ev.Hooks[info->TaskIndex];
        ev.HookThreads[info->TaskIndex] = std::this_thread::get_id();
      }
      if (hookSleep > 0ms) std::this_thread::sleep_for(hookSleep);
    };
  }

  // A task converting `input` into `output` with MPEG-4 and MP2; hooked when `hook`.
  static int AddClipTask(TFFmpegVCL& vcl, const std::string& input, const std::string& output,
                         bool hook, const std::function<void(TOutputOptions&)>& edit = {}) {
    const int index = vcl.AddTask(input);
    EXPECT_GE(index, 0) << vcl.LastErrMsg();
    if (index < 0) return index;
    TOutputOptions o;
    o.VideoCodec = "mpeg4";
    o.AudioCodec = "mp2";
    o.CustomHook = hook;
    if (edit) edit(o);
    EXPECT_TRUE(vcl.SetOutputFile(index, output, &o)) << vcl.LastErrMsg();
    return index;
  }

  static std::string ThrownBy(const std::function<void()>& call) {
    try {
      call();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "<nothing>";
  }

  std::thread::id mainThread_;
};

TEST_F(VclTest, PropertiesAndTheirDefaults) {
  TFFmpegVCL vcl;
  EXPECT_EQ(vcl.Version(), "3.3");
  EXPECT_EQ(vcl.ProgressInterval(), 500);
  EXPECT_TRUE(vcl.TriggerEventInMainThread);
  EXPECT_FALSE(vcl.Preview());
  EXPECT_FALSE(vcl.PreviewBitmap());
  EXPECT_EQ(vcl.ThreadPriority, TThreadPriority::tpNormal);
  EXPECT_EQ(vcl.Threads, 0);
  for (const auto& [set, read] : std::vector<std::pair<int, int>>{
           {50, 100}, {100, 100}, {-5, 100}, {101, 101}, {2000, 2000}}) {
    vcl.SetProgressInterval(set);
    EXPECT_EQ(vcl.ProgressInterval(), read) << set;
  }
}

TEST_F(VclTest, EveryNewTaskGetsTheCodecThreadsAndPreviewBits) {
  TFFmpegVCL vcl;
  ASSERT_EQ(AddClipTask(vcl, Clip(), Out("threads0.avi"), false), 0);
  vcl.Threads = 2;
  vcl.SetPreviewBitmap(true);
  ASSERT_EQ(AddClipTask(vcl, Clip(), Out("threads2.avi"), false), 1);
  const TFFmpeg& automatic = *vcl.Task(0);
  const TFFmpeg& two = *vcl.Task(1);
  EXPECT_EQ(automatic.Options().ThreadCount, 0);
  EXPECT_EQ(two.Options().ThreadCount, 2);
  EXPECT_EQ(automatic.Options().Verbose, 1);
  for (const TOutputStream& s : automatic.OutputFile(0).Streams) EXPECT_EQ(s.Codec->thread_count, 0);
  for (const TOutputStream& s : two.OutputFile(0).Streams) EXPECT_EQ(s.Codec->thread_count, 2);
  for (const TInputStream& s : two.InputStreams()) {
    if (s.Codec) {
      EXPECT_EQ(s.Codec->thread_count, 2);
    }
  }
  // The preview bits apply to every task at once.
  EXPECT_EQ(vcl.Task(0)->PreviewFlags(), kPreviewBitmap);
  EXPECT_EQ(vcl.Task(1)->PreviewFlags(), kPreviewBitmap);
  vcl.SetPreviewBitmap(false);
  EXPECT_EQ(vcl.Task(0)->PreviewFlags(), 0);
  EXPECT_EQ(vcl.Task(1)->PreviewFlags(), 0);
}

TEST_F(VclTest, ProbesAreAttachedToTheOpenedInputs) {
  TFFmpegVCL vcl;
  const std::string wide = testing::MediaOnce("vcl-wide.avi", testing::AviClip(128, 96, 0.2));
  ASSERT_EQ(vcl.AddTask(Clip()), 0);
  ASSERT_EQ(vcl.AddTask(LongClip()), 1);
  ASSERT_EQ(vcl.AddTask(wide), 2);
  for (int i = 0; i < 3; ++i) {
    TAVProbe* probe = vcl.AVProbes(i, 0);
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe->FormatContext(), vcl.Task(i)->InputFile(0).Context.get());
    EXPECT_FALSE(probe->OwnsContext());
  }
  EXPECT_EQ(vcl.AVProbes(0, 1), nullptr);
  EXPECT_EQ(vcl.AVProbes(3, 0), nullptr);
  EXPECT_EQ(vcl.AVProbes(-1, 0), nullptr);

  // Removing a task moves the later ones up, with their probes.
  vcl.RemoveTask(1);
  vcl.RemoveTask(5);  // out of range: nothing
  ASSERT_EQ(vcl.TasksCount(), 2);
  TVideoStreamInfo info;
  ASSERT_TRUE(vcl.AVProbes(1, 0)->GetVideoStreamInfo(-1, info));
  EXPECT_EQ(info.Width, 128);
  TFileStreamInfo file;
  ASSERT_TRUE(vcl.AVProbes(0, 0)->GetFileStreamInfo(file));
  EXPECT_NEAR(double(file.Duration), 1e6, 1e5);

  EXPECT_EQ(vcl.AddTask(Out("absent.avi")), -1);
  EXPECT_FALSE(vcl.LastErrMsg().empty());
  vcl.ClearTasks();
  EXPECT_EQ(vcl.TasksCount(), 0);
  EXPECT_EQ(vcl.LastErrMsg(), "");
  EXPECT_EQ(vcl.AVProbes(0, 0), nullptr);
}

TEST_F(VclTest, TwentyOutputsAtMost) {
  TFFmpegVCL vcl;
  ASSERT_EQ(vcl.AddTask(Clip()), 0);
  TOutputOptions o;
  o.DisableVideo = true;
  o.AudioCodec = "pcm_s16le";
  for (int i = 0; i < 20; ++i)
    ASSERT_TRUE(vcl.SetOutputFile(0, Out("many" + std::to_string(i) + ".wav"), &o))
        << i << ": " << vcl.LastErrMsg();
  EXPECT_FALSE(vcl.SetOutputFile(0, Out("many20.wav"), &o));
  EXPECT_EQ(vcl.LastErrMsg(), "max output files 20 reached");
  EXPECT_FALSE(vcl.SetOutputFile(0, Out("many20.wav")));
  EXPECT_EQ(vcl.Task(0)->OutputFileCount(), 20);
}

// Parallel count 0 or below: every task runs in the calling thread and the call returns after
// the run-end event.
TEST_F(VclTest, SequentialRunEndsEachTaskThenTheRunInTheCallingThread) {
  for (int parallel : {0, -1}) {
    TEvents ev;  // outlives the component, whose threads write into it
    TFFmpegVCL vcl;
    Watch(vcl, ev);
    std::vector<int64_t> totals;
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(AddClipTask(vcl, Clip(), Out("seq" + std::to_string(i) + ".avi"), true), i);
      totals.push_back(vcl.Task(i)->ProgressTotal());
    }
    vcl.StartTask(parallel);
    ASSERT_EQ(ev.EndOrder(), (std::vector<int>{0, 1, 2, -1})) << parallel;
    EXPECT_TRUE(vcl.AllDone());
    for (const TTerminateInfo& end : ev.Ends) {
      EXPECT_TRUE(end.Finished) << end.TaskIndex;
      EXPECT_FALSE(end.Exception) << end.ExceptionMsg;
      EXPECT_EQ(end.ExceptionMsg, "");
    }
    for (std::thread::id id : ev.EndThreads) EXPECT_EQ(id, mainThread_);
    for (std::thread::id id : ev.ProgressThreads) EXPECT_EQ(id, mainThread_);
    for (const auto& [task, id] : ev.HookThreads) EXPECT_EQ(id, mainThread_);
    // Each task's last report.
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(ev.HookCount(i), 25) << i;
      auto last = std::find_if(ev.Progress.rbegin(), ev.Progress.rend(),
                               [i](const TProgressInfo& p) { return p.TaskIndex == i; });
      ASSERT_NE(last, ev.Progress.rend()) << i;
      EXPECT_EQ(last->FileIndex, -1);
      EXPECT_EQ(last->FrameNumber, 25);
      EXPECT_NEAR(double(last->CurrentDuration), 1e6, 1.5e5);
      EXPECT_EQ(last->TotalDuration, totals[size_t(i)]);
      EXPECT_GT(last->CurrentSize, 0);
      EXPECT_GT(testing::ReadFirstVideo(Out("seq" + std::to_string(i) + ".avi")).Frames, 20);
    }
  }
}

TEST_F(VclTest, ThreadedRunStartsAtMostTheParallelCountAndEndsOnThreadsOfItsOwn) {
  for (int parallel : {1, 2, 5}) {
    SCOPED_TRACE(parallel);
    TEvents ev;  // outlives the component, whose threads write into it
    TFFmpegVCL vcl;
    Watch(vcl, ev, 3ms);
    std::atomic<int> mostRunning{0};
    std::atomic<bool> orderBroken{false};
    auto recordHook = vcl.OnCustomHook;
    vcl.OnCustomHook = [&, recordHook](TCustomFFmpegVCL& sender, THookInfo* info) {
      int running = 0;
      for (int i = 0; i < sender.TasksCount(); ++i) {
        if (sender.Task(i)->Running()) ++running;
        // One at a time: every earlier task has ended, no later one has begun.
        if (parallel == 1 && i < info->TaskIndex && !sender.Task(i)->Terminated())
          orderBroken = true;
        if (parallel == 1 && i > info->TaskIndex && sender.Task(i)->Running()) orderBroken = true;
      }
      int seen = mostRunning.load();
      while (running > seen && !mostRunning.compare_exchange_weak(seen, running)) {
      }
      recordHook(sender, info);
    };
    for (int i = 0; i < 3; ++i)
      ASSERT_EQ(AddClipTask(vcl, LongClip(), Out("par" + std::to_string(i) + ".avi"), true), i);
    vcl.StartTask(parallel);
    // Returns at once, with the first tasks running.
    EXPECT_TRUE(vcl.Working());
    EXPECT_EQ(ev.EndCount(), 0u);
    int running = 0;
    for (int i = 0; i < 3; ++i) running += vcl.Task(i)->Running() ? 1 : 0;
    EXPECT_EQ(running, std::min(parallel, 3));

    ASSERT_TRUE(WaitFor([&] { return ev.EndCount() == 4; }));
    EXPECT_TRUE(WaitFor([&] { return vcl.AllDone(); }, 5s));
    EXPECT_LE(mostRunning.load(), std::min(parallel, 3));
    EXPECT_FALSE(orderBroken.load());
    std::vector<int> order = ev.EndOrder();
    EXPECT_EQ(order.back(), -1);
    if (parallel == 1) {
      EXPECT_EQ(order, (std::vector<int>{0, 1, 2, -1}));
    }
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, (std::vector<int>{-1, 0, 1, 2}));
    std::set<std::thread::id> workers;
    for (const auto& [task, id] : ev.HookThreads) workers.insert(id);
    EXPECT_EQ(workers.size(), 3u);
    EXPECT_EQ(workers.count(mainThread_), 0u);
    for (size_t i = 0; i < ev.Ends.size(); ++i) {
      EXPECT_TRUE(ev.Ends[i].Finished);
      EXPECT_FALSE(ev.Ends[i].Exception) << ev.Ends[i].ExceptionMsg;
      EXPECT_NE(ev.EndThreads[i], mainThread_);
      EXPECT_EQ(workers.count(ev.EndThreads[i]), 0u);
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ev.HookCount(i), 50) << i;
  }
}

// Progress reports: on the main thread when asked, else on the worker; throttled to the
// interval; the last of each task marks the end; the total comes from the input or the
// recording time.
TEST_F(VclTest, ProgressArrivesAtTheIntervalOnTheThreadAsked) {
  for (bool mainThread : {true, false}) {
    SCOPED_TRACE(mainThread);
    TEvents ev;  // outlives the component, whose threads write into it
    TFFmpegVCL vcl;
    Watch(vcl, ev, 5ms);
    vcl.TriggerEventInMainThread = mainThread;
    vcl.SetProgressInterval(100);
    vcl.SetPreviewBitmap(true);
    vcl.OnPreviewBitmap = [&ev](TCustomFFmpegVCL&, const TPreviewInfo& info) {
      std::lock_guard<std::mutex> l(ev.Lock);
      ev.Previews.push_back(info);
      ev.PreviewThreads.push_back(std::this_thread::get_id());
    };
    ASSERT_EQ(AddClipTask(vcl, LongClip(), Out("prog0.avi"), true), 0);
    ASSERT_EQ(AddClipTask(vcl, LongClip(), Out("prog1.avi"), true,
                          [](TOutputOptions& o) { o.RecordingTime = 1000000; }),
              1);
    const int64_t inputTotal = vcl.Task(0)->ProgressTotal();
    EXPECT_NEAR(double(inputTotal), 2e6, 1e5);
    const auto start = Clock::now();
    vcl.StartTask(1);
    EXPECT_EQ(vcl.Task(0)->ProgressInterval, 100000);
    ASSERT_TRUE(WaitFor([&] { return ev.EndCount() == 3; }));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);

    std::lock_guard<std::mutex> l(ev.Lock);
    for (std::thread::id id : ev.ProgressThreads) {
      if (mainThread) {
        EXPECT_EQ(id, mainThread_);
      } else {
        EXPECT_TRUE(id == ev.HookThreads[0] || id == ev.HookThreads[1]);
      }
    }
    for (std::thread::id id : ev.PreviewThreads) {
      if (mainThread) {
        EXPECT_EQ(id, mainThread_);
      } else {
        EXPECT_NE(id, mainThread_);
      }
    }
    // At most one report per interval, and the final one.
    EXPECT_LE(ev.Progress.size(), size_t(elapsed.count() / 100 + 4)) << elapsed.count();
    for (int task = 0; task < 2; ++task) {
      std::vector<TProgressInfo> reports;
      for (const TProgressInfo& p : ev.Progress)
        if (p.TaskIndex == task) reports.push_back(p);
      ASSERT_GE(reports.size(), 2u) << task;
      for (size_t i = 0; i + 1 < reports.size(); ++i) {
        EXPECT_EQ(reports[i].FileIndex, 0);
        EXPECT_LE(reports[i].FrameNumber, reports[i + 1].FrameNumber);
        EXPECT_LE(reports[i].CurrentDuration, reports[i + 1].CurrentDuration);
      }
      EXPECT_EQ(reports.back().FileIndex, -1);
      const int64_t total = task == 0 ? inputTotal : 1000000;
      for (const TProgressInfo& p : reports) EXPECT_EQ(p.TotalDuration, total);
      EXPECT_NEAR(double(reports.back().CurrentDuration), double(total), 1.5e5);
      EXPECT_EQ(reports.back().FrameNumber, task == 0 ? 50 : 25);
    }
    ASSERT_FALSE(ev.Previews.empty());
    for (const TPreviewInfo& p : ev.Previews) {
      EXPECT_TRUE(p.TaskIndex == 0 || p.TaskIndex == 1);
      ASSERT_NE(p.Bitmap, nullptr);
    }
  }
}

TEST_F(VclTest, HookRunsOnTheWorkerAndItsAnswersReachTheEngine) {
  TEvents ev;
  TFFmpegVCL vcl;
  struct TCall {
    int Frame;
    int64_t Pts;
    bool Update, StopHook;
    int Width;
  };
  std::map<int, std::vector<TCall>> calls;
  std::map<int, std::thread::id> threads;
  std::mutex lock;
  vcl.OnTerminate = [&ev](TCustomFFmpegVCL&, const TTerminateInfo& info) {
    std::lock_guard<std::mutex> l(ev.Lock);
    ev.Ends.push_back(info);
  };
  vcl.OnCustomHook = [&](TCustomFFmpegVCL&, THookInfo* info) {
    {
      std::lock_guard<std::mutex> l(lock);
      calls[info->TaskIndex].push_back(
          {info->FrameNumber, info->PTS, info->Update, info->StopHook, info->Bitmap->Width()});
      threads[info->TaskIndex] = std::this_thread::get_id();
    }
    info->Bitmap->Fill(0xFFFFFF);
    if (info->TaskIndex == 1) info->Update = false;                       // left unchanged
    if (info->TaskIndex == 2 && info->FrameNumber == 3) info->StopHook = true;  // no more calls
  };
  for (int i = 0; i < 3; ++i)
    ASSERT_EQ(AddClipTask(vcl, Clip(), Out("hook" + std::to_string(i) + ".avi"), true), i);
  ASSERT_EQ(AddClipTask(vcl, Clip(), Out("hook3.avi"), false), 3);  // not hooked
  vcl.StartTask(1);
  ASSERT_TRUE(WaitFor([&] { return ev.EndCount() == 5; }));

  std::lock_guard<std::mutex> l(lock);
  EXPECT_EQ(calls[0].size(), 25u);
  EXPECT_EQ(calls[1].size(), 25u);
  EXPECT_EQ(calls[2].size(), 3u);
  EXPECT_EQ(calls.count(3), 0u);
  for (const auto& [task, list] : calls) {
    EXPECT_NE(threads[task], mainThread_);
    for (size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(list[i].Frame, int(i) + 1);
      EXPECT_TRUE(list[i].Update);
      EXPECT_FALSE(list[i].StopHook);
      EXPECT_EQ(list[i].Width, 96);
      if (i > 0) {
        EXPECT_GT(list[i].Pts, list[i - 1].Pts);
      }
    }
  }
  // The first pictures: painted white, left alone, and painted white before the hook stopped.
  const testing::TVideoRead painted = testing::ReadFirstVideo(Out("hook0.avi"));
  const testing::TVideoRead untouched = testing::ReadFirstVideo(Out("hook1.avi"));
  ASSERT_FALSE(painted.FirstLuma.empty());
  ASSERT_FALSE(untouched.FirstLuma.empty());
  auto whiteShare = [](const std::vector<uint8_t>& luma) {
    return double(std::count_if(luma.begin(), luma.end(), [](uint8_t y) { return y >= 230; })) /
           double(luma.size());
  };
  EXPECT_GT(whiteShare(painted.FirstLuma), 0.95);
  EXPECT_LT(whiteShare(untouched.FirstLuma), 0.5);
}

// Stopping with waiting while the first of three runs: it ends unfinished, the two that never
// started end too, then the run ends. Progress is handed to the main thread meanwhile, so the
// stop must keep serving it.
TEST_F(VclTest, StopWithWaitingDuringTheFirstOfThree) {
  for (int parallel : {0, 1}) {
    SCOPED_TRACE(parallel);
    TEvents ev;  // outlives the component, whose threads write into it
    TFFmpegVCL vcl;
    Watch(vcl, ev, 5ms);
    vcl.SetProgressInterval(100);
    std::atomic<bool> stopped{false};
    if (parallel == 0) {
      // The run is in this thread: stop from its first hooked picture.
      auto recordHook = vcl.OnCustomHook;
      vcl.OnCustomHook = [&stopped, recordHook](TCustomFFmpegVCL& sender, THookInfo* info) {
        recordHook(sender, info);
        if (!stopped.exchange(true)) sender.StopTask(true);
      };
    }
    for (int i = 0; i < 3; ++i)
      ASSERT_EQ(AddClipTask(vcl, LongClip(), Out("stop" + std::to_string(i) + ".avi"), true), i);
    vcl.StartTask(parallel);
    if (parallel == 1) {
      ASSERT_TRUE(WaitFor([&] { return ev.HookCount(0) >= 3; }));
      vcl.StopTask(true);
      EXPECT_FALSE(vcl.Task(0)->Running());
    }
    ASSERT_TRUE(WaitFor([&] { return ev.EndCount() == 4; }));
    std::vector<int> order = ev.EndOrder();
    EXPECT_EQ(order.back(), -1);
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, (std::vector<int>{-1, 0, 1, 2}));
    {
      std::lock_guard<std::mutex> l(ev.Lock);
      for (const TTerminateInfo& end : ev.Ends) {
        EXPECT_EQ(end.Finished, end.TaskIndex == -1) << end.TaskIndex;
        EXPECT_FALSE(end.Exception) << end.TaskIndex << ": " << end.ExceptionMsg;
      }
      EXPECT_LT(ev.Hooks[0], 50);
      EXPECT_EQ(ev.Hooks.count(1), 0u);
      EXPECT_EQ(ev.Hooks.count(2), 0u);
    }
    // Freeing the stopped tasks tells no further end.
    vcl.ClearTasks();
    Pump(100ms);
    EXPECT_EQ(ev.EndCount(), 4u);
  }
}

// A sequential run stopped from the end event of its first task: the two tasks that never
// started end from threads of their own, which must not wait for the handler that waits for them.
TEST_F(VclTest, StopFromTheFirstEndOfASequentialRun) {
  std::atomic<bool> done{false};
  std::thread watchdog([&done] {
    for (int i = 0; i < 600 && !done; ++i) std::this_thread::sleep_for(50ms);
    if (!done) {
      std::fprintf(stderr, "StopTask from the end event deadlocked\n");
      std::abort();
    }
  });
  {
    TFFmpegVCL vcl;
    std::mutex lock;
    std::vector<int> ends;
    vcl.OnTerminate = [&](TCustomFFmpegVCL& sender, const TTerminateInfo& info) {
      {
        std::lock_guard<std::mutex> l(lock);
        ends.push_back(info.TaskIndex);
      }
      if (info.TaskIndex == 0) sender.StopTask(true);
    };
    for (int i = 0; i < 3; ++i)
      ASSERT_EQ(AddClipTask(vcl, Clip(), Out("stopend" + std::to_string(i) + ".avi"), false), i);
    vcl.StartTask(0);
    std::lock_guard<std::mutex> l(lock);
    ASSERT_EQ(ends.size(), 4u);
    EXPECT_EQ(ends.front(), 0);
    EXPECT_EQ(ends.back(), -1);
    EXPECT_TRUE(vcl.AllDone());
  }
  done = true;
  watchdog.join();
}

TEST_F(VclTest, PauseHoldsAThreadedRunAndResumeFinishesIt) {
  TEvents ev;
  TFFmpegVCL vcl;
  Watch(vcl, ev, 2ms);
  ASSERT_EQ(AddClipTask(vcl, LongClip(), Out("pause.avi"), true), 0);
  vcl.StartTask(1);
  ASSERT_TRUE(WaitFor([&] { return ev.HookCount(0) >= 2; }));
  vcl.PauseTask();
  EXPECT_TRUE(vcl.Task(0)->Paused());
  Pump(100ms);  // the picture in flight may still pass
  const int held = ev.HookCount(0);
  Pump(300ms);
  EXPECT_EQ(ev.HookCount(0), held);
  EXPECT_EQ(ev.EndCount(), 0u);
  vcl.ResumeTask();
  EXPECT_FALSE(vcl.Task(0)->Paused());
  ASSERT_TRUE(WaitFor([&] { return ev.EndCount() == 2; }));
  EXPECT_EQ(ev.HookCount(0), 50);
  EXPECT_TRUE(ev.Ends[0].Finished);
}

TEST_F(VclTest, TaskOperationsRaiseOnceStartedUntilClearTasks) {
  TEvents ev;
  TFFmpegVCL vcl;
  Watch(vcl, ev, 3ms);
  ASSERT_EQ(AddClipTask(vcl, LongClip(), Out("busy.avi"), true), 0);
  vcl.StartTask(1);
  auto expectRaising = [&](const char* when) {
    SCOPED_TRACE(when);
    EXPECT_EQ(ThrownBy([&] { vcl.AddTask(Clip()); }), "Cannot AddTask while working.");
    EXPECT_EQ(ThrownBy([&] { vcl.SetOutputFile(0, Out("busy2.avi")); }),
              "Cannot SetOutputFile while working.");
    EXPECT_EQ(ThrownBy([&] { vcl.RemoveTask(0); }), "Cannot RemoveTask while working.");
    EXPECT_EQ(ThrownBy([&] { vcl.StartTask(1); }), "Cannot StartTask while working.");
    EXPECT_EQ(vcl.TasksCount(), 1);
  };
  expectRaising("working");
  EXPECT_EQ(ThrownBy([&] { vcl.ClearTasks(); }), "Cannot ClearTasks while working.");
  // Allowed while working.
  EXPECT_EQ(ThrownBy([&] {
              vcl.PauseTask();
              vcl.ResumeTask();
              vcl.SetProgressInterval(200);
              vcl.SetPreviewBitmap(false);
            }),
            "<nothing>");
  ASSERT_TRUE(WaitFor([&] { return ev.EndCount() == 2 && vcl.AllDone(); }));
  expectRaising("ended");
  EXPECT_EQ(ThrownBy([&] { vcl.ClearTasks(); }), "<nothing>");
  EXPECT_FALSE(vcl.Working());
  EXPECT_EQ(vcl.TasksCount(), 0);
  // Idle again: a new batch.
  ASSERT_EQ(AddClipTask(vcl, Clip(), Out("busy3.avi"), false), 0);
  vcl.StartTask(0);
  EXPECT_EQ(ev.EndCount(), 4u);
}

// The application empties the list when the run-end event arrives, from the event's own
// thread or by handing the work to the main thread and waiting for it. In a run in the calling
// thread the event comes from inside the last task's run: clearing raises there.
TEST_F(VclTest, RunEndHandlerMayClearTheTasksOfAThreadedRun) {
  struct Case {
    int parallel;
    bool viaMainThread;
    const char* thrown;
  };
  for (const Case& c : {Case{1, true, "<nothing>"}, Case{1, false, "<nothing>"},
                        Case{0, false, "Cannot ClearTasks while working."}}) {
    SCOPED_TRACE(std::to_string(c.parallel) + (c.viaMainThread ? " via main" : " direct"));
    std::atomic<bool> done{false};
    std::string thrown = "<not cleared>";
    TFFmpegVCL vcl;
    vcl.OnTerminate = [&](TCustomFFmpegVCL& sender, const TTerminateInfo& info) {
      if (info.TaskIndex >= 0) return;
      std::string result;
      auto clear = [&] { result = ThrownBy([&] { sender.ClearTasks(); }); };
      if (c.viaMainThread)
        RunInMainThread(clear);
      else
        clear();
      thrown = result;
      done = true;
    };
    for (int i = 0; i < 2; ++i)
      ASSERT_EQ(AddClipTask(vcl, Clip(), Out("clear" + std::to_string(i) + ".avi"), false), i);
    vcl.StartTask(c.parallel);
    ASSERT_TRUE(WaitFor([&] { return done.load(); }));
    EXPECT_EQ(thrown, c.thrown);
    if (c.parallel == 0) {
      EXPECT_TRUE(vcl.AllDone());
      EXPECT_EQ(vcl.TasksCount(), 2);
      vcl.ClearTasks();
    }
    EXPECT_EQ(vcl.TasksCount(), 0);
    EXPECT_FALSE(vcl.Working());
  }
}

// Tasks that cannot run end at once with the reason; the run goes on with the next ones.
TEST_F(VclTest, TasksThatCannotStartEndWithTheirErrorAndTheRunGoesOn) {
  for (int parallel : {1, 0}) {
    SCOPED_TRACE(parallel);
    TEvents ev;  // outlives the component, whose threads write into it
    TFFmpegVCL vcl;
    Watch(vcl, ev);
    ASSERT_EQ(AddClipTask(vcl, Clip(), Out("fail-ok.avi"), false), 0);
    ASSERT_EQ(vcl.AddTask(Clip()), 1);  // no output
    ASSERT_EQ(vcl.AddTask(Clip()), 2);  // no output
    vcl.StartTask(parallel);
    ASSERT_TRUE(WaitFor([&] { return ev.EndCount() == 4; }, 20s));
    ASSERT_EQ(ev.EndOrder(), (std::vector<int>{0, 1, 2, -1}));
    EXPECT_TRUE(ev.Ends[0].Finished);
    for (int i : {1, 2}) {
      EXPECT_FALSE(ev.Ends[size_t(i)].Finished);
      EXPECT_TRUE(ev.Ends[size_t(i)].Exception);
      EXPECT_EQ(ev.Ends[size_t(i)].ExceptionMsg, "At least one output file must be specified");
    }
    EXPECT_TRUE(ev.Ends[3].Finished);
    EXPECT_FALSE(ev.Ends[3].Exception);
    EXPECT_TRUE(WaitFor([&] { return vcl.AllDone(); }, 5s));
  }
}

TEST_F(VclTest, StartingAnEmptyListLeavesTheComponentIdle) {
  TEvents ev;
  TFFmpegVCL vcl;
  Watch(vcl, ev);
  for (int parallel : {1, 0}) {
    vcl.StartTask(parallel);
    EXPECT_FALSE(vcl.Working());
    EXPECT_EQ(ev.EndCount(), 0u);
  }
  ASSERT_EQ(AddClipTask(vcl, Clip(), Out("after-empty.avi"), false), 0);
  vcl.StartTask(0);
  EXPECT_EQ(ev.EndOrder(), (std::vector<int>{0, -1}));
}

}  // namespace
}  // namespace orvo
