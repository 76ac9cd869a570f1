// Bad inputs and bad places to write: every task ends, once, with a clear error or a readable
// best-effort output; nothing crashes or hangs. Stopping at any moment ends the task cleanly, and
// a stopped output with pictures in it can be read.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "binding/FFmpegLoader.h"
#include "engine/ConvertThread.h"
#include "engine/FFmpeg.h"
#include "platform/main_thread.h"
#include "support/read_back.h"
#include "support/test_media.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;
using Options = std::vector<std::pair<std::string, std::string>>;

std::string Media(const std::string& name) { return testing::MediaPath(name); }

// A source in each container, with the codecs its outputs are written with.
struct Container {
  const char* name;  // muxer
  const char* extension;
  const char* video;
  const char* audio;
};
const Container kContainers[] = {{"avi", "avi", "mpeg4", "mp2"},
                                 {"mp4", "mp4", "mpeg4", "aac"},
                                 {"matroska", "mkv", "mpeg4", "mp2"},
                                 {"mpegts", "ts", "mpeg2video", "mp2"},
                                 {"flv", "flv", "flv", "aac"}};

const std::string& Source(const Container& c) {
  testing::TestMediaSpec recipe;
  recipe.container = c.name;
  recipe.videoEncoder = c.video;
  recipe.audioEncoder = c.audio;
  recipe.width = 160;
  recipe.height = 120;
  recipe.seconds = 2.0;
  return testing::MediaOnce(std::string("source.") + c.extension, recipe);
}

Options CodecsOf(const Container& c) { return {{"vcodec", c.video}, {"acodec", c.audio}}; }

// Whether a file opens and how many pictures it decodes to.
struct Readable {
  bool opened = false;
  int videoFrames = 0;
};

Readable Read(const std::string& path) {
  const testing::TVideoRead video = testing::ReadFirstVideo(path);
  return {video.Opened, video.Frames};
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

// How a task ended.
struct Outcome {
  bool opened = false;  // input and output were accepted
  std::string openError;
  int ends = 0;
  bool error = false;
  bool finished = false;
  std::string errorText;
};

enum class StopAt { Never, Start, FirstReport };
// Every step a decoded picture can take before encoding: deinterlacing, the custom hook drawing
// on it, preview bitmaps.
enum class Pictures { Plain, AllSteps };

// Converts in a worker and waits, bounded, for the end. A task that does not end is a failure;
// one that does not even end when stopped would hang the suite, so it aborts it.
Outcome Convert(const std::string& input, const std::string& output, const Options& options,
                StopAt stop = StopAt::Never, Pictures pictures = Pictures::Plain) {
  Outcome outcome;
  auto engine = std::make_unique<TCustomFFmpeg>();
  engine->DispatchOption("v", "-1");
  if (stop == StopAt::FirstReport) engine->DispatchOption("re", "1");
  if (!engine->OpenInputFile(input)) {
    outcome.openError = engine->LastErrorText();
    return outcome;
  }
  for (const auto& [name, value] : options) engine->DispatchOption(name, value);
  if (engine->OpenOutputFile(output, false) < 0) {
    outcome.openError = engine->LastErrorText();
    return outcome;
  }
  outcome.opened = true;
  if (pictures == Pictures::AllSteps) {
    engine->DispatchOption("deinterlace", "1");
    engine->OnCustomHook = [](TCustomFFmpeg&, TBitmap& bitmap, bool&, bool& update, int64_t,
                              int) {
      std::fill(bitmap.ScanLine(0), bitmap.ScanLine(0) + bitmap.Width() * 3, 255);
      update = true;
    };
    engine->SetPreviewFlags(kPreviewBitmap);
    engine->PreviewInterval = 0;
    engine->OnPreviewBitmap = [](TCustomFFmpeg&, TBitmap& bitmap, int64_t, int) {
      EXPECT_GT(bitmap.Width(), 0);
    };
  }
  std::atomic<int> ends{0};
  std::atomic<int> reports{0};
  engine->OnTerminate = [&](TCustomFFmpeg&) { ++ends; };
  engine->ProgressInterval = 50000;
  engine->OnProgress = [&](TCustomFFmpeg&, const TConversionProgress&) { ++reports; };
  TConvertThread* worker = engine->StartConvert(true, TThreadPriority::tpNormal);
  if (!worker) {
    ADD_FAILURE() << "no worker";
    return outcome;
  }
  worker->Start();
  if (stop == StopAt::Start) engine->StopConvert(true);
  if (stop == StopAt::FirstReport) {
    EXPECT_TRUE(WaitProcessingCalls([&] { return reports > 0 || ends > 0; }, 30s));
    engine->StopConvert(true);
  }
  if (!WaitProcessingCalls([&] { return ends.load() > 0; }, 60s)) {
    ADD_FAILURE() << "the task did not end";
    engine->StopConvert(false);
    if (!WaitProcessingCalls([&] { return ends.load() > 0; }, 10s)) {
      std::fprintf(stderr, "the task did not end when stopped\n");
      std::abort();
    }
  }
  worker->Join();
  outcome.ends = ends;
  outcome.error = engine->Error();
  outcome.finished = engine->Finished();
  outcome.errorText = engine->ErrorText();
  engine.reset();
  EXPECT_EQ(outcome.ends, 1);
  return outcome;
}

// A bad input ends with a clear reason, or with an output that can be read.
void ExpectClearEnd(const Outcome& outcome, const std::string& output) {
  if (!outcome.opened) {
    EXPECT_FALSE(outcome.openError.empty());
    return;
  }
  if (outcome.error) {
    EXPECT_FALSE(outcome.errorText.empty());
    EXPECT_FALSE(outcome.finished);
    return;
  }
  EXPECT_TRUE(outcome.finished);
  if (Exists(output)) {
    EXPECT_TRUE(Read(output).opened) << "a best-effort output must be readable";
  }
}

class RobustnessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries));
    SetMainThread();
  }
};

TEST_F(RobustnessTest, DamagedInputsEndClearly) {
  for (const Container& c : kContainers) {
    SCOPED_TRACE(c.name);
    const std::string& source = Source(c);
    const auto size = static_cast<size_t>(std::ifstream(source, std::ios::ate).tellg());
    ASSERT_GT(size, 8192u);

    const std::string truncated = testing::WriteTruncatedCopy(
        source, Media(std::string("truncated.") + c.extension), size / 2);

    // A copy with a block in the middle overwritten by noise.
    const std::string corrupted = Media(std::string("corrupted.") + c.extension);
    {
      std::ifstream in(source, std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::mt19937 noise(7);
      for (size_t i = size / 2 - 2048; i < size / 2 + 2048; ++i) bytes[i] = char(noise());
      testing::WriteBytes(corrupted, bytes);
    }

    for (const std::string& input : {truncated, corrupted}) {
      SCOPED_TRACE(input);
      const std::string output = input + ".out." + c.extension;
      const Outcome outcome =
          Convert(input, output, CodecsOf(c), StopAt::Never, Pictures::AllSteps);
      ExpectClearEnd(outcome, output);
      // What could be read before (and after) the damage is converted.
      if (outcome.finished) {
        EXPECT_GE(Read(output).videoFrames, 20);
      }
    }
  }
}

TEST_F(RobustnessTest, InputsThatAreNoMediaAreRefused) {
  const std::string empty = testing::WriteBytes(Media("empty.avi"), "");
  const std::string noise = testing::WriteRandomBytes(Media("noise.mkv"), 64 * 1024, 11);
  const std::string noiseTs = testing::WriteRandomBytes(Media("noise.ts"), 64 * 1024, 12);
  for (const std::string& input : {empty, noise, noiseTs}) {
    SCOPED_TRACE(input);
    const std::string output = input + ".out.avi";
    const Outcome outcome = Convert(input, output, CodecsOf(kContainers[0]));
    ExpectClearEnd(outcome, output);
  }
  // The empty file says why.
  TCustomFFmpeg engine;
  EXPECT_FALSE(engine.OpenInputFile(empty));
  EXPECT_EQ(engine.LastErrorText().rfind(empty + ": ", 0), 0u) << engine.LastErrorText();
}

TEST_F(RobustnessTest, OutputInAFolderThatCannotBeWrittenIsRefused) {
  const std::string notAFolder = testing::WriteBytes(Media("plain-file"), "x");
  for (const std::string& output :
       {Media("missing-folder/out.avi"), notAFolder + "/out.avi"}) {
    SCOPED_TRACE(output);
    const Outcome outcome = Convert(Source(kContainers[0]), output, {});
    EXPECT_FALSE(outcome.opened);
    EXPECT_EQ(outcome.openError.rfind(output + ": ", 0), 0u) << outcome.openError;
  }
}

TEST_F(RobustnessTest, FileSizeLimitEndsTheOutputEarlyButReadable) {
  const std::string full = Media("unlimited.avi");
  const std::string limited = Media("limited.avi");
  ASSERT_TRUE(Convert(Source(kContainers[0]), full, {}).finished);
  const Outcome outcome = Convert(Source(kContainers[0]), limited, {{"fs", "20000"}});
  EXPECT_TRUE(outcome.finished) << outcome.errorText;
  EXPECT_FALSE(outcome.error);
  const Readable out = Read(limited);
  ASSERT_TRUE(out.opened);
  EXPECT_GT(out.videoFrames, 0);
  EXPECT_LT(out.videoFrames, Read(full).videoFrames);
}

TEST_F(RobustnessTest, WritingToAFullDeviceFailsWithTheReason) {
  // A link to the always-full device stands for the output; the device itself is never named
  // so nothing can harm it.
  const std::string output = Media("full-device-link");
  ASSERT_EQ(::symlink("/dev/full", output.c_str()), 0);
  Options options = CodecsOf(kContainers[0]);
  options.push_back({"f", "avi"});
  const Outcome outcome = Convert(Source(kContainers[0]), output, options);
  ASSERT_TRUE(outcome.opened) << outcome.openError;
  EXPECT_TRUE(outcome.error);
  EXPECT_FALSE(outcome.finished);
  EXPECT_NE(outcome.errorText.find("No space left on device"), std::string::npos)
      << outcome.errorText;
  EXPECT_TRUE(Exists(output)) << "an output that is no regular file is never removed";
}

TEST_F(RobustnessTest, StoppingAtAnyMomentLeavesAReadableFile) {
  for (const Container& c : kContainers) {
    SCOPED_TRACE(c.name);
    for (StopAt stop : {StopAt::Start, StopAt::FirstReport}) {
      const std::string output = Media(std::string("stopped-") +
                                       (stop == StopAt::Start ? "start." : "run.") + c.extension);
      const Outcome outcome = Convert(Source(c), output, CodecsOf(c), stop);
      ASSERT_TRUE(outcome.opened) << outcome.openError;
      EXPECT_FALSE(outcome.error) << outcome.errorText;
      EXPECT_FALSE(outcome.finished);
      if (stop == StopAt::FirstReport) {
        const Readable out = Read(output);
        ASSERT_TRUE(out.opened);
        EXPECT_GT(out.videoFrames, 0);
        EXPECT_LT(out.videoFrames, 50);
      }
    }
  }
}

}  // namespace
}  // namespace orvo
