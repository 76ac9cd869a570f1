// The conversion task's life: starting in a worker or in the caller's thread, the end delivered
// once, stopping, pausing and resuming from the main thread while events are handed to it, the
// custom hook and preview bitmaps.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/time.h>
}

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "engine/ConvertThread.h"
#include "engine/FFmpeg.h"
#include "platform/main_thread.h"
#include "platform/threads.h"
#include "support/read_back.h"
#include "support/test_media.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;

std::string Media(const std::string& name) { return testing::MediaPath(name); }

// A clip with picture and sound, made once per suite.
const std::string& Clip() {
  return testing::MediaOnce("worker-clip.avi", testing::AviClip(160, 120, 2.0));
}

// A longer clip for the tests that act while the conversion runs.
const std::string& LongClip() {
  return testing::MediaOnce("worker-long.avi", testing::AviClip(320, 240, 20.0));
}

struct TReadBack {
  bool Opened = false;
  int VideoFrames = 0;
  double Duration = 0;  // seconds, from the last decoded picture's end
  std::vector<uint8_t> FirstLuma;  // first picture's Y plane, row by row
  int Width = 0, Height = 0;
};

// Decodes the file's video to its end.
TReadBack ReadBack(const std::string& path) {
  testing::TVideoRead video = testing::ReadFirstVideo(path);
  if (!video.Decoding) return {};
  return {true, video.Frames, video.LastTime, std::move(video.FirstLuma), video.Width,
          video.Height};
}

class WorkerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    FFLoader().LoadLibraries(ConverterLibraries);
    SetMainThread();
  }

  // An engine with the clip opened and an output created.
  std::unique_ptr<TCustomFFmpeg> Prepare(const std::string& input, const std::string& output,
                                         const std::vector<std::pair<std::string, std::string>>&
                                             outputOptions = {}) {
    auto engine = std::make_unique<TCustomFFmpeg>();
    engine->DispatchOption("v", "-1");
    EXPECT_TRUE(engine->OpenInputFile(input)) << engine->LastErrorText();
    for (const auto& [name, value] : outputOptions) engine->DispatchOption(name, value);
    EXPECT_GT(engine->OpenOutputFile(output, false), 0) << engine->LastErrorText();
    return engine;
  }

  // Waits on the main thread, running the calls workers hand to it.
  static bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
    return WaitProcessingCalls(done, limit);
  }
};

TEST_F(WorkerTest, StartWithoutFilesEndsAtOnceWithTheReason) {
  struct Case {
    bool withInput;
    const char* text;
  };
  for (const Case& c : {Case{false, "At least one output file must be specified"},
                        Case{true, "At least one output file must be specified"}}) {
    TCustomFFmpeg engine;
    if (c.withInput) {
      ASSERT_TRUE(engine.OpenInputFile(Clip()));
    }
    int ends = 0;
    std::thread::id endThread;
    engine.OnTerminate = [&](TCustomFFmpeg& sender) {
      ++ends;
      endThread = std::this_thread::get_id();
      EXPECT_EQ(&sender, &engine);
    };
    EXPECT_EQ(engine.StartConvert(true, TThreadPriority::tpNormal), nullptr);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(endThread, std::this_thread::get_id());
    EXPECT_TRUE(engine.Error());
    EXPECT_EQ(engine.ErrorText(), c.text);
    EXPECT_TRUE(engine.Terminated());
    EXPECT_FALSE(engine.Finished());
    // A terminated task does not start again.
    EXPECT_EQ(engine.StartConvert(true, TThreadPriority::tpNormal), nullptr);
    EXPECT_EQ(ends, 1);
  }
  // Output without input.
  TCustomFFmpeg engine;
  engine.DispatchOption("f", "wav");
  engine.DispatchOption("acodec", "pcm_s16le");
  ASSERT_GT(engine.OpenOutputFile(Media("no-input.wav"), false), 0);
  engine.StartConvert(false, TThreadPriority::tpNormal);
  EXPECT_EQ(engine.ErrorText(), "At least one input file must be specified");
}

TEST_F(WorkerTest, ThreadedRunFinishesAndDeliversTheEndOnceOnTheWorker) {
  auto engine = Prepare(Clip(), Media("threaded.mp4"), {{"vcodec", "mpeg4"}, {"acodec", "aac"}});
  std::atomic<int> ends{0};
  std::thread::id endThread;
  engine->OnTerminate = [&](TCustomFFmpeg&) {
    endThread = std::this_thread::get_id();
    ++ends;
  };
  std::atomic<int> reports{0};
  std::atomic<bool> sawFinal{false};
  engine->ProgressInterval = 0;
  engine->OnProgress = [&](TCustomFFmpeg&, const TConversionProgress& info) {
    ++reports;
    if (info.FileIndex == -1) sawFinal = true;
  };
  TConvertThread* worker = engine->StartConvert(true, TThreadPriority::tpLower);
  ASSERT_NE(worker, nullptr);
  EXPECT_TRUE(engine->Running());
  worker->Start();
  ASSERT_TRUE(WaitFor([&] { return ends.load() == 1; }));
  worker->Join();
  EXPECT_NE(endThread, std::this_thread::get_id());
  EXPECT_TRUE(engine->Finished());
  EXPECT_FALSE(engine->Error()) << engine->ErrorText();
  EXPECT_FALSE(engine->Running());
  EXPECT_TRUE(sawFinal);
  EXPECT_GT(reports.load(), 1);
  engine.reset();
  const TReadBack out = ReadBack(Media("threaded.mp4"));
  ASSERT_TRUE(out.Opened);
  EXPECT_NEAR(out.VideoFrames, 50, 1);
}

TEST_F(WorkerTest, StopNeverStartedTaskDeliversTheEndFromAnotherThread) {
  auto engine = Prepare(Clip(), Media("never.avi"));
  std::thread::id endThread;
  int ends = 0;
  engine->OnTerminate = [&](TCustomFFmpeg&) {
    ++ends;
    endThread = std::this_thread::get_id();
  };
  engine->Stop(true);
  EXPECT_EQ(ends, 1);
  EXPECT_NE(endThread, std::this_thread::get_id());
  EXPECT_FALSE(engine->Finished());
  EXPECT_FALSE(engine->Error());
  EXPECT_TRUE(engine->Terminated());
}

TEST_F(WorkerTest, StopWithWaitingFromTheMainThreadWhileEventsGoThroughIt) {
  auto engine = Prepare(LongClip(), Media("stopped.avi"), {{"re", "1"}});
  std::atomic<int> mainThreadReports{0};
  engine->ProgressInterval = 20000;
  engine->OnProgress = [&](TCustomFFmpeg&, const TConversionProgress&) {
    // Handed to the main thread and waited for, as the task component does.
    RunInMainThread([&] {
      EXPECT_TRUE(IsMainThread());
      ++mainThreadReports;
    });
  };
  std::atomic<int> ends{0};
  engine->OnTerminate = [&](TCustomFFmpeg&) { ++ends; };
  TConvertThread* worker = engine->StartConvert(true, TThreadPriority::tpNormal);
  ASSERT_NE(worker, nullptr);
  worker->Start();
  ASSERT_TRUE(WaitFor([&] { return mainThreadReports.load() >= 3; }, 30s));
  const auto before = std::chrono::steady_clock::now();
  engine->StopConvert(true);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
  EXPECT_EQ(ends.load(), 1);
  EXPECT_FALSE(engine->Finished());
  EXPECT_FALSE(engine->Error()) << engine->ErrorText();
  // Stopping again and freeing the engine do not run the task once more.
  engine->StopConvert(true);
  engine.reset();
  EXPECT_EQ(ends.load(), 1);
  // The stopped output is a complete file with what was converted.
  const TReadBack out = ReadBack(Media("stopped.avi"));
  ASSERT_TRUE(out.Opened);
  EXPECT_GT(out.VideoFrames, 0);
  EXPECT_LT(out.VideoFrames, 500);
}

TEST_F(WorkerTest, PauseHoldsTheConversionAndResumeContinuesIt) {
  auto engine = Prepare(LongClip(), Media("paused.avi"));
  std::atomic<int64_t> lastTime{0};
  std::atomic<int> ends{0};
  engine->ProgressInterval = 0;
  engine->OnProgress = [&](TCustomFFmpeg&, const TConversionProgress& info) { lastTime = info.Time; };
  engine->OnTerminate = [&](TCustomFFmpeg&) { ++ends; };
  TConvertThread* worker = engine->StartConvert(true, TThreadPriority::tpNormal);
  ASSERT_NE(worker, nullptr);
  worker->Start();
  ASSERT_TRUE(WaitFor([&] { return lastTime.load() > 0; }, 30s));
  engine->PauseConvert();
  std::this_thread::sleep_for(200ms);  // the worker reaches its next packet and stops there
  const int64_t held = lastTime.load();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(lastTime.load(), held);
  EXPECT_TRUE(engine->Running());
  engine->ResumeConvert();
  ASSERT_TRUE(WaitFor([&] { return ends.load() == 1; }));
  EXPECT_TRUE(engine->Finished());
  EXPECT_GT(lastTime.load(), held);
  worker->Join();
}

TEST_F(WorkerTest, FailingConversionEndsWithTheErrorText) {
  // H.263 takes only a few picture sizes: opening its encoder fails.
  auto engine =
      Prepare(Clip(), Media("failing.avi"), {{"vcodec", "h263"}, {"s", "300x200"}, {"an", "1"}});
  std::atomic<int> ends{0};
  engine->OnTerminate = [&](TCustomFFmpeg&) { ++ends; };
  engine->StartConvert(false, TThreadPriority::tpNormal);
  EXPECT_EQ(ends.load(), 1);
  EXPECT_TRUE(engine->Error());
  EXPECT_FALSE(engine->Finished());
  EXPECT_EQ(engine->ErrorText().rfind("Error while opening encoder for output stream #0.0 (Video)", 0),
            0u)
      << engine->ErrorText();
  engine.reset();
  // A failed output that stayed empty is removed.
  EXPECT_FALSE(std::ifstream(Media("failing.avi")).good());
}

TEST_F(WorkerTest, CustomHookDrawsIntoTheEncodedPictures) {
  struct Case {
    const char* name;
    bool draw;      // paint the bitmap white
    bool update;    // hand it back
    bool stop;      // no more pictures after the first
    bool raise;     // the handler throws
  };
  const Case cases[] = {{"white", true, true, false, false},
                        {"no-update", true, false, false, false},
                        {"raises", true, true, false, true},
                        {"stop-first", true, true, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string output = Media(std::string("hook-") + c.name + ".avi");
    auto engine = Prepare(Clip(), output, {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"an", "1"}});
    int calls = 0;
    int width = 0;
    engine->OnCustomHook = [&](TCustomFFmpeg&, TBitmap& bitmap, bool& stop, bool& update,
                               int64_t, int frame) {
      ++calls;
      EXPECT_EQ(frame, calls);
      width = bitmap.Width();
      if (c.draw) {
        for (int y = 0; y < bitmap.Height(); ++y)
          std::fill(bitmap.ScanLine(y), bitmap.ScanLine(y) + bitmap.Width() * 3, 255);
      }
      update = c.update;
      if (c.stop) stop = true;
      if (c.raise) throw std::runtime_error("handler failed");
    };
    engine->StartConvert(false, TThreadPriority::tpNormal);
    EXPECT_FALSE(engine->Error()) << engine->ErrorText();
    EXPECT_EQ(width, 160);
    EXPECT_EQ(calls, c.stop ? 1 : 50);
    engine.reset();
    const TReadBack out = ReadBack(output);
    ASSERT_TRUE(out.Opened);
    ASSERT_FALSE(out.FirstLuma.empty());
    double mean = 0;
    for (uint8_t y : out.FirstLuma) mean += y;
    mean /= double(out.FirstLuma.size());
    const bool white = c.update && !c.raise;
    if (white)
      EXPECT_GT(mean, 230) << "the drawing reaches the encoder";
    else
      EXPECT_LT(mean, 200) << "the picture stays as decoded";
  }
}

TEST_F(WorkerTest, PreviewBitmapsAreThrottledToTheInterval) {
  auto engine = Prepare(Clip(), Media("preview.avi"), {{"re", "1"}});
  std::vector<int64_t> clocks;
  int width = 0;
  engine->SetPreviewFlags(kPreviewBitmap);
  engine->PreviewInterval = 100000;
  engine->OnPreviewBitmap = [&](TCustomFFmpeg&, TBitmap& bitmap, int64_t, int) {
    width = bitmap.Width();
    clocks.push_back(av_gettime_relative());
  };
  engine->StartConvert(false, TThreadPriority::tpNormal);
  EXPECT_FALSE(engine->Error()) << engine->ErrorText();
  EXPECT_EQ(width, 160);
  // Two seconds of pictures read in real time: about one preview per 100 ms, never closer.
  EXPECT_GE(clocks.size(), 10u);
  EXPECT_LE(clocks.size(), 21u);
  for (size_t i = 1; i < clocks.size(); ++i) EXPECT_GE(clocks[i] - clocks[i - 1], 100000);
}

TEST_F(WorkerTest, WorkerRunsAtTheRequestedPriority) {
  auto engine = Prepare(Clip(), Media("priority.avi"));
  std::atomic<int> niceness{-100};
  engine->OnProgress = [&](TCustomFFmpeg&, const TConversionProgress&) {
    errno = 0;
    niceness = getpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()));
  };
  engine->ProgressInterval = 0;
  std::atomic<bool> ended{false};
  engine->OnTerminate = [&](TCustomFFmpeg&) { ended = true; };
  TConvertThread* worker = engine->StartConvert(true, TThreadPriority::tpLowest);
  ASSERT_NE(worker, nullptr);
  worker->Start();
  ASSERT_TRUE(WaitFor([&] { return ended.load(); }));
  worker->Join();
  EXPECT_EQ(niceness.load(), NicenessOf(TThreadPriority::tpLowest));
}

TEST_F(WorkerTest, DeinterlacedPicturesReachTheHook) {
  // A picture of alternating black and white rows, kept lossless.
  const std::string combed = Media("combed.mkv");
  {
    auto engine = Prepare(Clip(), combed, {{"vcodec", "ffv1"}, {"an", "1"}});
    engine->OnCustomHook = [](TCustomFFmpeg&, TBitmap& bitmap, bool&, bool&, int64_t, int) {
      for (int y = 0; y < bitmap.Height(); ++y)
        std::fill(bitmap.ScanLine(y), bitmap.ScanLine(y) + bitmap.Width() * 3, y % 2 ? 255 : 0);
    };
    engine->StartConvert(false, TThreadPriority::tpNormal);
    ASSERT_FALSE(engine->Error()) << engine->ErrorText();
  }
  // The largest step between neighbouring rows of the middle column, as the hook sees it.
  auto combing = [&](bool deinterlace) {
    auto engine = Prepare(combed, Media("decombed.avi"), {{"an", "1"}});
    if (deinterlace) engine->DispatchOption("deinterlace", "1");
    int step = 0;
    engine->OnCustomHook = [&](TCustomFFmpeg&, TBitmap& bitmap, bool& stop, bool& update,
                               int64_t, int) {
      const int x = bitmap.Width() / 2 * 3;
      for (int y = 40; y < bitmap.Height() - 40; ++y)
        step = std::max(step, std::abs(bitmap.ScanLine(y)[x] - bitmap.ScanLine(y + 1)[x]));
      update = false;
      stop = true;
    };
    engine->StartConvert(false, TThreadPriority::tpNormal);
    EXPECT_FALSE(engine->Error()) << engine->ErrorText();
    return step;
  };
  EXPECT_GT(combing(false), 200);
  EXPECT_LT(combing(true), 100);
}

TEST_F(WorkerTest, FrameHookModuleChangesThePictures) {
  // "|" separates the words, so the module path could hold blanks.
  auto engine = Prepare(Clip(), Media("vhook.avi"),
                        {{"vcodec", "mpeg4"}, {"qscale", "2"}, {"an", "1"},
                         {"vhook", std::string(ORVO_TEST_HOOK) + "|200"}});
  engine->StartConvert(false, TThreadPriority::tpNormal);
  ASSERT_FALSE(engine->Error()) << engine->ErrorText();
  engine.reset();
  const TReadBack out = ReadBack(Media("vhook.avi"));
  ASSERT_FALSE(out.FirstLuma.empty());
  for (uint8_t y : out.FirstLuma) ASSERT_NEAR(y, 200, 3);
}

TEST_F(WorkerTest, ClosingThePreviewWindowTurnsThePreviewOff) {
  struct TFakeWindow : TPreviewer {
    std::atomic<int>* shows;
    explicit TFakeWindow(std::atomic<int>* s) : shows(s) {}
    bool Show(const TBitmap& picture, int, int64_t) override {
      EXPECT_EQ(picture.Width(), 160);
      return ++*shows < 3;  // closed by the user at the third picture
    }
  };
  std::atomic<int> shows{0};
  std::atomic<int> windows{0};
  SetPreviewerFactory([&] {
    ++windows;
    return std::make_unique<TFakeWindow>(&shows);
  });
  auto engine = Prepare(Clip(), Media("preview-closed.avi"));
  engine->PreviewInterval = 0;
  engine->SetPreviewFlags(kPreviewWindow);
  engine->StartConvert(false, TThreadPriority::tpNormal);
  SetPreviewerFactory(nullptr);
  EXPECT_FALSE(engine->Error()) << engine->ErrorText();
  EXPECT_EQ(shows.load(), 3);
  EXPECT_EQ(windows.load(), 1);
  EXPECT_EQ(engine->PreviewFlags() & kPreviewWindow, 0);
}

TEST_F(WorkerTest, PreviewWindowWithoutAWindowTurnsItselfOff) {
  auto engine = Prepare(Clip(), Media("preview-window.avi"));
  engine->SetPreviewFlags(kPreviewWindow);
  engine->StartConvert(false, TThreadPriority::tpNormal);
  EXPECT_FALSE(engine->Error()) << engine->ErrorText();
  EXPECT_EQ(engine->PreviewFlags() & kPreviewWindow, 0);
}

}  // namespace
}  // namespace orvo
