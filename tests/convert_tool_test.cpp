// Runs the orvo-convert program: argument order, usage, failures with their texts, progress
// lines, Ctrl+C and joining.
#include <signal.h>
#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "binding/FFmpegLoader.h"
#include "engine/FFmpeg.h"
#include "support/read_back.h"
#include "support/run_tool.h"
#include "support/test_media.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;
using testing::ToolRun;

std::string Media(const std::string& name) { return testing::MediaPath(name); }

// Runs orvo-convert; one that dies of a signal fails the test.
ToolRun RunTool(const std::vector<std::string>& args,
                const std::function<void(pid_t, const std::string&)>& watch = {},
                bool terminal = false) {
  const ToolRun run = testing::RunTool(ORVO_CONVERT_TOOL, args, watch, terminal);
  if (run.signal != 0) ADD_FAILURE() << "the tool died of signal " << run.signal;
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool IsProgressLine(const std::string& line) {
  return line.rfind("frame=", 0) == 0 || line.rfind("size=", 0) == 0;
}

// What a converted file holds, decoded to its end.
struct Decoded {
  bool opened = false;
  int videoStreams = 0;
  int audioStreams = 0;
  int videoFrames = 0;
  int64_t audioSamples = 0;
  int sampleRate = 0;
  int64_t audioBitRate = 0;
};

// Every stream must have a decoder for the file to count as opened.
Decoded Decode(const std::string& path) {
  const testing::TFileRead file = testing::ReadBack(path);
  Decoded result;
  if (!file.Opened) return result;
  for (const testing::TStreamRead& s : file.Streams) {
    if (!avcodec_find_decoder(s.Codec)) return result;
    if (s.Kind == AVMEDIA_TYPE_VIDEO) {
      ++result.videoStreams;
      result.videoFrames += s.Frames;
    }
    if (s.Kind == AVMEDIA_TYPE_AUDIO) {
      ++result.audioStreams;
      result.sampleRate = s.StoredSampleRate;
      result.audioBitRate = s.StoredBitRate;
      result.audioSamples += s.Samples;
    }
  }
  result.opened = true;
  return result;
}

testing::TestMediaSpec ClipRecipe(double seconds) { return testing::AviClip(160, 120, seconds); }

class ConvertToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries));
    one_ = testing::WriteTestMedia(Media("one.avi"), ClipRecipe(1.0));
    two_ = testing::WriteTestMedia(Media("two.avi"), ClipRecipe(2.0));
  }
  static std::string one_;
  static std::string two_;
};
std::string ConvertToolTest::one_;
std::string ConvertToolTest::two_;

TEST_F(ConvertToolTest, OptionsBeforeAndAfterTheInputApply) {
  // "-t" before -i still limits the output; "-vn" stands alone, followed by another option.
  const std::string output = Media("options.mp2");
  const ToolRun run = RunTool({"-t", "1", "-i", two_, "-vn", "-ab", "64000", output});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const Decoded out = Decode(output);
  ASSERT_TRUE(out.opened);
  EXPECT_EQ(out.videoStreams, 0);
  ASSERT_EQ(out.audioStreams, 1);
  EXPECT_EQ(out.audioBitRate, 64000);
  EXPECT_EQ(out.sampleRate, 44100);
  EXPECT_NEAR(double(out.audioSamples) / out.sampleRate, 1.0, 0.1);

  // A switch takes a following 0 or 1 as its value: "-vn 0" keeps the video.
  const std::string both = Media("options-both.avi");
  const ToolRun withVideo = RunTool({"-i", one_, "-vn", "0", "-acodec", "mp2", both});
  ASSERT_EQ(withVideo.exitCode, 0) << withVideo.err;
  const Decoded second = Decode(both);
  EXPECT_EQ(second.videoStreams, 1);
  EXPECT_NEAR(second.videoFrames, 25, 1);
}

TEST_F(ConvertToolTest, HelpAndBadUsage) {
  const ToolRun help = RunTool({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("usage: orvo-convert", 0), 0u) << help.out;
  for (const char* word : {"-i FILE", "-join", "Ctrl+C", "130"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"-i"},
        std::vector<std::string>{"-i", one_, "-ab"}}) {
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 2) << args.size() << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(run.err.empty());
  }
}

TEST_F(ConvertToolTest, FailuresExitWithOneAndTheirText) {
  // The texts the engine gives for the same mistakes.
  TCustomFFmpeg engine;
  const std::string missing = Media("absent.avi");
  ASSERT_FALSE(engine.OpenInputFile(missing));
  const std::string missingText = engine.LastErrorText();
  ASSERT_FALSE(missingText.empty());
  std::string optionText;
  try {
    engine.DispatchOption("s", "tiny");
  } catch (const FFmpegException& error) {
    optionText = error.what();
  }
  ASSERT_FALSE(optionText.empty());

  struct Case {
    std::vector<std::string> args;
    std::string text;
  };
  const std::string unknown = Media("out.unknownext");
  const Case cases[] = {
      {{"-i", missing, Media("never.avi")}, missingText + "\n"},
      {{"-i", one_, unknown}, "Unable to find a suitable output format for '" + unknown + "'\n"},
      {{"-i", one_, "-s", "tiny", Media("never.avi")}, optionText + "\n"},
      // Fails in the run: H.263 takes only a few picture sizes.
      {{"-i", one_, "-vcodec", "h263", "-s", "300x200", "-an", Media("never.avi")},
       "Error while opening encoder for output stream #0.0 (Video)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const ToolRun run = RunTool(c.args);
    EXPECT_EQ(run.exitCode, 1);
    const size_t first = run.err.find(c.text);
    EXPECT_NE(first, std::string::npos) << run.err;
    EXPECT_EQ(run.err.find(c.text, first + 1), std::string::npos) << "shown once:\n" << run.err;
  }
  EXPECT_FALSE(std::ifstream(Media("never.avi")).good());
}

TEST_F(ConvertToolTest, ProgressIsOneLinePerReportWhenNotATerminal) {
  // Read in real time, two seconds give several reports.
  const ToolRun run = RunTool({"-re", "-i", two_, Media("progress.avi")});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err.find('\r'), std::string::npos) << "no rewriting into a file";
  std::vector<double> percents;
  for (const std::string& line : Lines(run.err)) {
    if (!IsProgressLine(line)) continue;
    EXPECT_EQ(line.rfind("frame=", 0), 0u) << line;
    for (const char* field : {" fps=", " q=", "size=", " time=", " bitrate="})
      EXPECT_NE(line.find(field), std::string::npos) << field << " in " << line;
    ASSERT_EQ(line.back(), '%') << line;
    const size_t space = line.find_last_of(' ', line.size() - 2);
    percents.push_back(std::stod(line.substr(space + 1)));
  }
  ASSERT_GE(percents.size(), 3u) << run.err;
  for (size_t i = 1; i < percents.size(); ++i) EXPECT_GE(percents[i], percents[i - 1]);
  EXPECT_GT(percents.front(), 0.0);
  EXPECT_LT(percents.front(), 90.0);
  EXPECT_NEAR(percents.back(), 100.0, 4.0);
}

TEST_F(ConvertToolTest, ProgressRewritesOneLineOnATerminal) {
  const ToolRun run = RunTool({"-re", "-i", two_, Media("progress-tty.avi")}, {}, true);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const size_t first = run.err.find("\rframe=");
  ASSERT_NE(first, std::string::npos) << run.err;
  const size_t last = run.err.rfind("\rframe=");
  EXPECT_GT(last, first) << "several reports:\n" << run.err;
  EXPECT_EQ(run.err.find('\n', first), run.err.size() - 1) << "one line, ended once:\n" << run.err;
  EXPECT_NE(run.err.find("%", last), std::string::npos);
}

TEST_F(ConvertToolTest, InterruptStopsWith130AndAReadableFile) {
  const std::string longClip = testing::WriteTestMedia(Media("long.avi"), ClipRecipe(20.0));
  const std::string output = Media("interrupted.avi");
  bool sent = false;
  const auto started = std::chrono::steady_clock::now();
  const ToolRun run = RunTool({"-re", "-i", longClip, output}, [&](pid_t pid, const std::string& err) {
    if (!sent && err.find("time=") != std::string::npos) {
      kill(pid, SIGINT);
      sent = true;
    }
  });
  ASSERT_TRUE(sent) << run.err;
  EXPECT_EQ(run.exitCode, 130) << run.err;
  EXPECT_LT(std::chrono::steady_clock::now() - started, 15s) << "stopped before the end";
  const Decoded out = Decode(output);
  ASSERT_TRUE(out.opened);
  EXPECT_GT(out.videoFrames, 0);
  EXPECT_LT(out.videoFrames, 400);
  EXPECT_GT(out.audioSamples, 0);
}

TEST_F(ConvertToolTest, JoinGivesOneOutputOfTheSummedLength) {
  // The container's own audio encoder, and one without options of its own.
  for (const std::string audio : {"", "mp2"}) {
    SCOPED_TRACE(audio);
    const std::string output = Media("joined" + audio + ".avi");
    std::vector<std::string> args{"-i", one_, "-i", two_};
    if (!audio.empty()) args.insert(args.end(), {"-acodec", audio});
    args.insert(args.end(), {"-join", output});
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const Decoded out = Decode(output);
    ASSERT_TRUE(out.opened);
    EXPECT_EQ(out.videoStreams, 1);
    ASSERT_EQ(out.audioStreams, 1);
    EXPECT_NEAR(out.videoFrames, 75, 2);
    EXPECT_NEAR(double(out.audioSamples) / out.sampleRate, 3.0, 0.15);
  }
}

}  // namespace
}  // namespace orvo
