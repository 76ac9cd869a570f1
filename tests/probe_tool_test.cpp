// Runs the orvo-probe program and compares its output with the probe's own answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "binding/FFmpegLoader.h"
#include "component/AVProbe.h"
#include "support/run_tool.h"
#include "support/test_media.h"

namespace orvo {
namespace {

using nlohmann::json;

using testing::ToolRun;

// Runs orvo-probe; gives up (and kills it) after a minute.
ToolRun RunTool(const std::vector<std::string>& args) {
  return testing::RunTool(ORVO_PROBE_TOOL, args);
}

class ProbeToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries));
    testing::TestMediaSpec movie;
    movie.container = "matroska";
    movie.videoEncoder = "mpeg4";
    movie.audioEncoder = "mp2";
    movie.sampleAspect = {16, 15};
    movie.audioMetadata = {{"language", "ger"}};
    movie.metadata = {{"title", "Tool Title"}, {"artist", "Tool Artist"}, {"genre", "Jazz"}};
    movie_ = testing::WriteTestMedia(testing::TestMediaDir() + "/tool movie.mkv", movie);

    testing::TestMediaSpec ts;
    ts.container = "mpegts";
    ts.videoEncoder = "mpeg2video";
    ts.audioEncoder = "mp2";
    ts.secondPair = true;
    ts.programs = {{10, {{"service_name", "Ten"}, {"service_provider", "P"}}, {0, 1}},
                   {20, {{"service_name", "Twenty"}, {"service_provider", "P"}}, {2, 3}}};
    ts_ = testing::WriteTestMedia(testing::TestMediaDir() + "/tool.ts", ts);
  }
  static std::string movie_;
  static std::string ts_;
};
std::string ProbeToolTest::movie_;
std::string ProbeToolTest::ts_;

TEST_F(ProbeToolTest, TextOutputIsTheReport) {
  for (const std::string& file : {movie_, ts_}) {
    SCOPED_TRACE(file);
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(file)) << probe.LastErrorMessage();
    const ToolRun run = RunTool({file});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, probe.GetInfoText());
  }
}

TEST_F(ProbeToolTest, JsonAgreesWithTheRecords) {
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(movie_));
  const ToolRun run = RunTool({"--json", movie_});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("{\n  \"file\": {\n    \"StartTime\": "), std::string::npos)
      << "pretty printed, two spaces, record order:\n" << run.out;
  const json doc = json::parse(run.out);

  TFileStreamInfo file;
  ASSERT_TRUE(probe.GetFileStreamInfo(file));
  const json& f = doc.at("file");
  EXPECT_EQ(f.size(), 12u);
  EXPECT_EQ(f.at("StartTime").get<int64_t>(), file.StartTime);
  EXPECT_EQ(f.at("Duration").get<int64_t>(), file.Duration);
  EXPECT_EQ(f.at("BitRate").get<int32_t>(), file.BitRate);
  EXPECT_EQ(f.at("Timestamp").get<int64_t>(), file.Timestamp);
  EXPECT_EQ(f.at("Year").get<int32_t>(), file.Year);
  EXPECT_EQ(f.at("Track").get<int32_t>(), file.Track);
  EXPECT_EQ(f.at("Title").get<std::string>(), "Tool Title");
  EXPECT_EQ(f.at("Author").get<std::string>(), "Tool Artist");
  EXPECT_EQ(f.at("Genre").get<std::string>(), "Jazz");
  EXPECT_EQ(f.at("Copyright").get<std::string>(), file.Copyright);
  EXPECT_EQ(f.at("Comment").get<std::string>(), file.Comment);
  EXPECT_EQ(f.at("Album").get<std::string>(), file.Album);

  const json& streams = doc.at("streams");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].at("index").get<int>(), 0);
  EXPECT_EQ(streams[0].at("kind").get<std::string>(), "video");
  EXPECT_EQ(streams[1].at("index").get<int>(), 1);
  EXPECT_EQ(streams[1].at("kind").get<std::string>(), "audio");

  TVideoStreamInfo video;
  ASSERT_TRUE(probe.GetVideoStreamInfo(0, video));
  const json& v = streams[0];
  EXPECT_EQ(v.at("Language").get<std::string>(), video.Language);
  EXPECT_EQ(v.at("CodecName").get<std::string>(), video.CodecName);
  EXPECT_EQ(v.at("StreamStartTime").get<int64_t>(), video.StreamStartTime);
  EXPECT_EQ(v.at("StartTime").get<int64_t>(), video.StartTime);
  EXPECT_EQ(v.at("StreamDuration").get<int64_t>(), video.StreamDuration);
  EXPECT_EQ(v.at("Duration").get<int64_t>(), video.Duration);
  EXPECT_EQ(v.at("BitRate").get<int32_t>(), video.BitRate);
  EXPECT_EQ(v.at("Width").get<int32_t>(), 320);
  EXPECT_EQ(v.at("Height").get<int32_t>(), 240);
  EXPECT_FLOAT_EQ(v.at("DisplayAspectRatio").get<float>(), video.DisplayAspectRatio);
  EXPECT_NEAR(v.at("DisplayAspectRatio").get<double>(), 320.0 * 16 / 15 / 240, 1e-5);
  EXPECT_EQ(v.at("PixelFormat").get<int32_t>(), video.PixelFormat);
  EXPECT_EQ(v.at("FrameRateNum").get<int32_t>(), 25);
  EXPECT_EQ(v.at("FrameRateDen").get<int32_t>(), 1);

  TAudioStreamInfo audio;
  ASSERT_TRUE(probe.GetAudioStreamInfo(1, audio));
  const json& a = streams[1];
  EXPECT_EQ(a.at("Language").get<std::string>(), "ger");
  EXPECT_EQ(a.at("CodecName").get<std::string>(), audio.CodecName);
  EXPECT_EQ(a.at("StreamStartTime").get<int64_t>(), audio.StreamStartTime);
  EXPECT_EQ(a.at("StartTime").get<int64_t>(), audio.StartTime);
  EXPECT_EQ(a.at("StreamDuration").get<int64_t>(), audio.StreamDuration);
  EXPECT_EQ(a.at("Duration").get<int64_t>(), audio.Duration);
  EXPECT_EQ(a.at("BitRate").get<int32_t>(), audio.BitRate);
  EXPECT_EQ(a.at("Channels").get<int32_t>(), 2);
  EXPECT_EQ(a.at("SampleRate").get<int32_t>(), 44100);
  EXPECT_EQ(a.at("SampleFormat").get<int32_t>(), audio.SampleFormat);
  EXPECT_FALSE(a.contains("Width"));
}

TEST_F(ProbeToolTest, FailuresAndUsage) {
  const std::string bad =
      testing::WriteBytes(testing::TestMediaDir() + "/tool-bad.avi", "no pictures in here\n");
  TAVProbe probe;
  ASSERT_FALSE(probe.LoadFile(bad));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{bad}, std::vector<std::string>{"--json", bad}}) {
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(probe.LastErrorMessage() + "\n"), std::string::npos) << run.err;
  }

  const ToolRun missing = RunTool({testing::TestMediaDir() + "/absent.mkv"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_NE(missing.err.find("absent.mkv: No such file or directory"), std::string::npos)
      << missing.err;

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"--json"},
        std::vector<std::string>{"-x", movie_}, std::vector<std::string>{movie_, movie_},
        std::vector<std::string>{"--jsn", movie_}}) {
    const ToolRun run = RunTool(args);
    EXPECT_EQ(run.exitCode, 2) << args.size();
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("usage: orvo-probe"), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace orvo
