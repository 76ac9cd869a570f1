// The video output path through whole conversions: frame-rate conversion by dropping and
// duplicating, the frame limit, cropping and scaling, filter chains, a picture size that changes
// mid-stream, two-pass logs and the statistics file. Outputs are read back with the libraries.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "engine/FFmpeg.h"
#include "support/engine_log_capture.h"
#include "support/read_back.h"
#include "support/test_media.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using testing::MediaPath;
using testing::ReadBytes;
using testing::TestMediaSpec;
using TOptionList = std::vector<std::pair<std::string, std::string>>;

struct TMedia {
  std::string Base;      // 96x64, 25 fps, 0.8 s mpeg4
  std::string Fast;      // 64x48, 50 fps, 1 s
  std::string Slow;      // 64x48, 15 fps, 1 s
  std::string Switching; // MPEG-TS: 96x64 for 0.4 s, then 48x32 for 0.4 s
};

const TMedia& Media() {
  static const TMedia media = [] {
    TMedia m;
    TestMediaSpec base;
    base.container = "avi";
    base.videoEncoder = "mpeg4";
    base.width = 96;
    base.height = 64;
    base.seconds = 0.8;
    m.Base = testing::WriteTestMedia(MediaPath("base.avi"), base);

    TestMediaSpec fast = base;
    fast.width = 64;
    fast.height = 48;
    fast.frameRate = {50, 1};
    fast.seconds = 1.0;
    m.Fast = testing::WriteTestMedia(MediaPath("fast.avi"), fast);
    TestMediaSpec slow = fast;
    slow.frameRate = {15, 1};
    m.Slow = testing::WriteTestMedia(MediaPath("slow.avi"), slow);

    // Two transport streams back to back: the second sequence header brings the new size.
    TestMediaSpec big;
    big.container = "mpegts";
    big.videoEncoder = "mpeg2video";
    big.width = 96;
    big.height = 64;
    big.seconds = 0.4;
    TestMediaSpec small = big;
    small.width = 48;
    small.height = 32;
    const std::string first = testing::WriteTestMedia(MediaPath("big.ts"), big);
    const std::string second = testing::WriteTestMedia(MediaPath("small.ts"), small);
    m.Switching = testing::WriteBytes(MediaPath("switching.ts"), ReadBytes(first) + ReadBytes(second));
    return m;
  }();
  return media;
}

// What a file's first video stream holds, decoded; a file that cannot be decoded fails the test.
using TVideoInfo = testing::TVideoRead;
TVideoInfo ReadVideo(const std::string& path) {
  TVideoInfo info = testing::ReadFirstVideo(path);
  if (!info.Decoding) ADD_FAILURE() << info.Error;
  return info;
}

// The luma of `a` at (ax, ay) against `b` at (bx, by), over width x height.
::testing::AssertionResult SameRegion(const TVideoInfo& a, int ax, int ay, const TVideoInfo& b,
                                      int bx, int by, int width, int height) {
  if (ax + width > a.Width || ay + height > a.Height || bx + width > b.Width ||
      by + height > b.Height)
    return ::testing::AssertionFailure() << "region outside the pictures";
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int va = a.FirstLuma[size_t((ay + y) * a.Width + ax + x)];
      const int vb = b.FirstLuma[size_t((by + y) * b.Width + bx + x)];
      if (va != vb)
        return ::testing::AssertionFailure()
               << "differs at (" << x << "," << y << "): " << va << " against " << vb;
    }
  }
  return ::testing::AssertionSuccess();
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class EngineVideoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries));
    Media();
  }
  void SetUp() override {
    log_.Start(llVerbose);
    log_.FollowCurrent([this] { return static_cast<const void*>(engine_.get()); });
    engine_ = std::make_unique<TCustomFFmpeg>();
  }
  void TearDown() override {
    engine_->CloseFiles();
    log_.Stop();
  }

  void Apply(const TOptionList& options) {
    for (const auto& [name, value] : options) engine_->DispatchOption(name, value);
  }
  void OpenInput(const std::string& input, const TOptionList& options = {}) {
    Apply(options);
    ASSERT_TRUE(engine_->OpenInputFile(input)) << engine_->LastErrorText();
  }
  void OpenOutput(const std::string& output, const TOptionList& options) {
    Apply(options);
    ASSERT_GE(engine_->OpenOutputFile(output, false), 1) << engine_->LastErrorText();
  }
  // One input, one output, the whole run; the output is closed afterwards.
  void Convert(const std::string& input, const TOptionList& options, const std::string& output) {
    OpenInput(input);
    OpenOutput(output, options);
    try {
      engine_->Transcode();
    } catch (const FFmpegException& e) {
      ADD_FAILURE() << "the run failed: " << e.what() << "\n" << LastLines(12);
    }
    engine_->CloseFiles();
  }
  std::string LastLines(size_t count) { return log_.LastLines(count); }
  // The text of the failure a run ends with ("" when it ends normally).
  std::string ConvertFailure(const std::string& input, const TOptionList& options,
                             const std::string& output) {
    std::string text;
    OpenInput(input);
    OpenOutput(output, options);
    try {
      engine_->Transcode();
    } catch (const FFmpegException& e) {
      text = e.what();
    }
    engine_->CloseFiles();
    return text;
  }

  int CountLines(TLogLevel level, const std::string& text) { return log_.Count(level, text); }
  // Duplicates and drops as the last report line gives them; none when it names none.
  std::pair<int, int> ReportedDupDrop() {
    std::pair<int, int> result{0, 0};
    for (const auto& l : log_.Lines()) {
      const size_t at = l.Text.find(" dup=");
      if (at != std::string::npos && l.Text.find("size=") != std::string::npos)
        std::sscanf(l.Text.c_str() + at, " dup=%d drop=%d", &result.first, &result.second);
    }
    return result;
  }

  std::unique_ptr<TCustomFFmpeg> engine_;
  testing::EngineLogCapture log_;  // lines of the engine engine_ holds
};

// ---------------------------------------------------------------------------------------------
// Frame-rate conversion

struct TRateCase {
  const char* Name;
  const std::string& (*Input)();
  TOptionList Options;
  const char* Output;
  int InputFrames;
  int MinWritten, MaxWritten;
  bool Dups, Drops;
};

const std::string& FastClip() { return Media().Fast; }
const std::string& SlowClip() { return Media().Slow; }

TEST_F(EngineVideoTest, FrameRateConversionDropsAndDuplicatesAndReportsIt) {
  const TRateCase cases[] = {
      {"50 to 25 drops", FastClip, {{"vsync", "1"}, {"r", "25"}}, "drop.avi", 50, 25, 28, false,
       true},
      {"15 to 30 duplicates", SlowClip, {{"vsync", "1"}, {"r", "30"}}, "dup.avi", 15, 27, 31,
       true, false},
      // Without sync every picture is one frame at its own time.
      {"no sync", SlowClip, {{"vsync", "0"}, {"r", "30"}}, "nosync.avi", 15, 15, 15, false,
       false},
      // A container of variable frame rate with automatic sync never duplicates.
      {"automatic, variable rate", SlowClip, {{"r", "30"}}, "auto.mkv", 15, 15, 15, false,
       false},
  };
  for (const TRateCase& c : cases) {
    SCOPED_TRACE(c.Name);
    engine_ = std::make_unique<TCustomFFmpeg>();
    log_.Clear();
    TOptionList options = c.Options;
    options.insert(options.begin(), {{"v", "3"}, {"vcodec", "mpeg4"}});
    Convert(c.Input(), options, MediaPath(c.Output));
    const TVideoInfo out = ReadVideo(MediaPath(c.Output));
    const auto [dups, drops] = ReportedDupDrop();
    EXPECT_GE(out.Packets, c.MinWritten);
    EXPECT_LE(out.Packets, c.MaxWritten);
    EXPECT_EQ(out.Packets, c.InputFrames + dups - drops);
    EXPECT_EQ(dups > 0, c.Dups) << dups;
    EXPECT_EQ(drops > 0, c.Drops) << drops;
    // At verbosity 3 every decision is logged.
    EXPECT_EQ(CountLines(llVerbose, "*** drop!"), drops);
    int dupLines = 0;
    for (const auto& l : log_.Lines()) {
      int n = 0;
      if (std::sscanf(l.Text.c_str(), "*** %d dup!", &n) == 1) dupLines += n;
    }
    EXPECT_EQ(dupLines, dups);
  }
}

TEST_F(EngineVideoTest, FrameLimitEndsTheRun) {
  Convert(Media().Base, {{"vcodec", "mpeg4"}, {"vframes", "7"}}, MediaPath("limit.avi"));
  EXPECT_EQ(ReadVideo(MediaPath("limit.avi")).Packets, 7);
}

// ---------------------------------------------------------------------------------------------
// Cropping, scaling and filter chains

struct TPictureCase {
  const char* Name;
  TOptionList Options;
  int Width, Height;
  // Where the output's picture comes from: the input's luma at (SrcX, SrcY), found in the
  // output at (DstX, DstY); CompareW = 0 when the picture was scaled.
  int SrcX, SrcY, DstX, DstY, CompareW, CompareH;
};

TEST_F(EngineVideoTest, CropScaleAndFilterChainsGiveTheEncoderItsPicture) {
  const TVideoInfo in = ReadVideo(Media().Base);
  ASSERT_EQ(in.Width, 96);
  const TOptionList bands = {{"croptop", "16"}, {"cropbottom", "16"}, {"cropleft", "8"},
                             {"cropright", "24"}};
  auto with = [](TOptionList a, const TOptionList& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const TPictureCase cases[] = {
      {"unchanged", {}, 96, 64, 0, 0, 0, 0, 96, 64},
      {"scaled", {{"s", "48x32"}}, 48, 32, 0, 0, 0, 0, 0, 0},
      {"crop bands", bands, 64, 32, 8, 16, 0, 0, 64, 32},
      {"crop bands then scaled", with(bands, {{"s", "32x16"}}), 32, 16, 0, 0, 0, 0, 0, 0},
      {"pad filter", {{"vf", "pad=120:80:10:12"}}, 120, 80, 0, 0, 10, 12, 96, 64},
      {"crop bands through the graph", with(bands, {{"vf", "null"}}), 64, 32, 8, 16, 0, 0, 64,
       32},
      {"crop bands and size through the graph, then padded",
       with(bands, {{"s", "32x16"}, {"vf", "pad=40:24:4:4"}}), 40, 24, 0, 0, 0, 0, 0, 0},
      {"chain of crop, scale and pad", {{"vf", "crop=48:32:8:8,scale=24:16,pad=32:24:4:4"}}, 32,
       24, 0, 0, 0, 0, 0, 0},
  };
  int n = 0;
  for (const TPictureCase& c : cases) {
    SCOPED_TRACE(c.Name);
    engine_ = std::make_unique<TCustomFFmpeg>();
    const std::string output = MediaPath("picture" + std::to_string(n++) + ".nut");
    // Raw pictures keep every value, so the picture's origin can be checked.
    Convert(Media().Base, with({{"vcodec", "rawvideo"}}, c.Options), output);
    const TVideoInfo out = ReadVideo(output);
    EXPECT_EQ(out.Width, c.Width);
    EXPECT_EQ(out.Height, c.Height);
    EXPECT_EQ(out.Frames, in.Frames);
    if (c.CompareW > 0) {
      EXPECT_TRUE(SameRegion(in, c.SrcX, c.SrcY, out, c.DstX, c.DstY, c.CompareW, c.CompareH));
    }
  }
}

TEST_F(EngineVideoTest, EveryOutputOfOneInputGetsEveryFilteredPicture) {
  OpenInput(Media().Base);
  OpenOutput(MediaPath("filtered_a.avi"), {{"vcodec", "mpeg4"}, {"vf", "pad=iw+16:ih+16:8:8"}});
  OpenOutput(MediaPath("filtered_b.avi"), {{"vcodec", "mpeg4"}, {"s", "48x32"}});
  engine_->Transcode();
  engine_->CloseFiles();
  const int frames = ReadVideo(Media().Base).Frames;
  const TVideoInfo a = ReadVideo(MediaPath("filtered_a.avi"));
  const TVideoInfo b = ReadVideo(MediaPath("filtered_b.avi"));
  EXPECT_EQ(a.Frames, frames);
  EXPECT_EQ(b.Frames, frames);
  EXPECT_EQ(a.Width, 112);
  // The chain is the engine's, not the file's: the second output is padded as well.
  EXPECT_EQ(b.Width, 48 + 16);
  EXPECT_EQ(b.Height, 32 + 16);
}

TEST_F(EngineVideoTest, FilterChainThatCannotBeBuiltFailsTheRun) {
  const std::string text = ConvertFailure(
      Media().Base, {{"vcodec", "mpeg4"}, {"vf", "nosuchfilter=1"}}, MediaPath("badvf.avi"));
  EXPECT_EQ(text.rfind("Error opening filters: ", 0), 0u) << text;
}

// ---------------------------------------------------------------------------------------------
// A picture size that changes during the run

TEST_F(EngineVideoTest, SizeChangeRebuildsTheScalerAndScalesTheBands) {
  // Half the height is cut at 96x64; at 48x32 the same bands would leave nothing.
  Convert(Media().Switching,
          {{"vcodec", "mpeg4"}, {"croptop", "16"}, {"cropbottom", "16"}, {"cropleft", "8"},
           {"cropright", "8"}, {"s", "40x24"}},
          MediaPath("switched.avi"));
  EXPECT_EQ(CountLines(llQuiet, "Input Stream #0.0 frame size changed to 48x32, yuv420p"), 1);
  const TVideoInfo out = ReadVideo(MediaPath("switched.avi"));
  EXPECT_EQ(out.Width, 40);
  EXPECT_EQ(out.Height, 24);
  EXPECT_GE(out.Frames, 18);
  EXPECT_LE(out.Frames, 22);
}

TEST_F(EngineVideoTest, SizeChangeWithoutScalerEndsTheRun) {
  const std::string text =
      ConvertFailure(Media().Switching, {{"vcodec", "mpeg4"}}, MediaPath("noscaler.avi"));
  EXPECT_EQ(text.rfind("Assertion failure", 0), 0u) << text;
  EXPECT_EQ(CountLines(llQuiet, "Input Stream #0.0 frame size changed to 48x32, yuv420p"), 1);
}

// ---------------------------------------------------------------------------------------------
// Two-pass logs

TEST_F(EngineVideoTest, PassOneWritesOneLogPerOutputStreamAndPassTwoReadsIt) {
  const std::string prefix = MediaPath("twopass");
  OpenInput(Media().Base);
  OpenOutput(MediaPath("pass1a.avi"), {{"vcodec", "mpeg4"}, {"pass", "1"}, {"passlogfile", prefix}});
  OpenOutput(MediaPath("pass1b.avi"), {{"vcodec", "mpeg4"}, {"pass", "1"}, {"passlogfile", prefix}});
  engine_->Transcode();
  engine_->CloseFiles();
  const int frames = ReadVideo(Media().Base).Frames;
  // Numbered over all output streams; one statistics line per coded picture.
  for (const char* name : {"-0.log", "-1.log"}) {
    SCOPED_TRACE(name);
    const std::vector<std::string> log = ReadLines(prefix + name);
    EXPECT_EQ(int(log.size()), frames);
    if (!log.empty()) {
      EXPECT_EQ(log[0].rfind("in:0 ", 0), 0u) << log[0];
    }
  }

  engine_ = std::make_unique<TCustomFFmpeg>();
  OpenInput(Media().Base);
  OpenOutput(MediaPath("pass2.avi"),
             {{"vcodec", "mpeg4"}, {"b", "100k"}, {"pass", "2"}, {"passlogfile", prefix}});
  engine_->Transcode();
  engine_->CloseFiles();
  EXPECT_EQ(ReadVideo(MediaPath("pass2.avi")).Frames, frames);
}

TEST_F(EngineVideoTest, PassLogThatCannotBeOpenedFailsTheRun) {
  const std::string missing = MediaPath("missing");
  EXPECT_EQ(ConvertFailure(Media().Base,
                           {{"vcodec", "mpeg4"}, {"pass", "2"}, {"passlogfile", missing}},
                           MediaPath("nolog.avi")),
            "Cannot read file: Error reading log file \"" + missing +
                "-0.log\" for pass-2 encoding");
  engine_ = std::make_unique<TCustomFFmpeg>();
  const std::string unwritable = MediaPath("no/such/folder/log");
  EXPECT_EQ(ConvertFailure(Media().Base,
                           {{"vcodec", "mpeg4"}, {"pass", "1"}, {"passlogfile", unwritable}},
                           MediaPath("nolog1.avi")),
            "Cannot write log file " + unwritable + "-0.log for pass-1 encoding");
}

// ---------------------------------------------------------------------------------------------
// Statistics file

TEST_F(EngineVideoTest, StatisticsFileHasOneLinePerWrittenFrame) {
  for (const bool psnr : {false, true}) {
    SCOPED_TRACE(psnr ? "with PSNR" : "without PSNR");
    engine_ = std::make_unique<TCustomFFmpeg>();
    const std::string stats = MediaPath(psnr ? "vstats_psnr.log" : "vstats.log");
    TOptionList options = {{"vcodec", "mpeg4"}, {"vstats_file", stats}};
    if (psnr) options.push_back({"psnr", ""});
    Convert(Media().Base, options, MediaPath("stats.avi"));
    const TVideoInfo out = ReadVideo(MediaPath("stats.avi"));
    const std::vector<std::string> lines = ReadLines(stats);
    ASSERT_EQ(int(lines.size()), out.Packets);
    const std::regex format(
        std::string("frame= +(\\d+) q= *\\d+\\.\\d ") +
        (psnr ? "PSNR= *(?:\\d+\\.\\d\\d|inf) " : "") +
        "f_size= +(\\d+) s_size= *(\\d+)kB time= (\\d+\\.\\d{3}) br= *\\d+\\.\\dkbits/s "
        "avg_br= *\\d+\\.\\dkbits/s type= [IPB]");
    int64_t total = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(lines[i], m, format)) << lines[i];
      EXPECT_EQ(std::stoi(m[1]), int(i) + 1);
      total += std::stoll(m[2]);
      // The sync counter after the frame, in seconds at 25 frames a second.
      EXPECT_NEAR(std::stod(m[4]), std::max(0.01, double(i + 1) / 25), 0.0006);
      EXPECT_NEAR(std::stod(m[3]), double(total) / 1024, 0.5 + 1e-9);
    }
  }
}

TEST_F(EngineVideoTest, StatisticsFileThatCannotBeOpenedFailsTheRun) {
  const std::string stats = MediaPath("no/such/folder/vstats.log");
  EXPECT_EQ(ConvertFailure(Media().Base, {{"vcodec", "mpeg4"}, {"vstats_file", stats}},
                           MediaPath("nostats.avi")),
            "fopen fail: " + stats);
}

}  // namespace
}  // namespace orvo
