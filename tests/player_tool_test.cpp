// orvo-play: its event lines, the end of the file, --for, --seek, failures and usage.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_tool.h"
#include "support/test_media.h"

namespace orvo {
namespace {

using testing::ToolRun;

ToolRun Play(const std::vector<std::string>& args) {
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  const ToolRun run = testing::RunTool(ORVO_PLAY_TOOL, args);
  if (run.signal != 0) ADD_FAILURE() << "the tool died of signal " << run.signal;
  return run;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<long long> Positions(const std::vector<std::string>& lines) {
  std::vector<long long> positions;
  for (const std::string& line : lines)
    if (line.rfind("position ", 0) == 0) positions.push_back(std::atoll(line.c_str() + 9));
  return positions;
}

const std::string& Clip() {
  return testing::MediaOnce("play-clip.avi", testing::AviClip(160, 120, 2.0));
}

TEST(PlayToolTest, PlaysToTheEndPrintingEveryEvent) {
  const ToolRun run = Play({"--no-display", Clip()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const auto lines = Lines(run.out);
  ASSERT_GE(lines.size(), 4u) << run.out;
  std::istringstream open(lines[0]);
  std::string word;
  long long duration = 0;
  int width = 0, height = 0;
  open >> word >> duration >> width >> height;
  EXPECT_EQ(word, "open");
  EXPECT_NEAR(duration, 2000000, 50000);
  EXPECT_EQ(width, 160);
  EXPECT_EQ(height, 120);
  EXPECT_EQ(lines[1], "state play");
  EXPECT_EQ(lines.back(), "state stop");
  int ends = 0;
  for (const auto& line : lines) ends += line == "state end";
  EXPECT_EQ(ends, 1);
  const auto positions = Positions(lines);
  ASSERT_GE(positions.size(), 10u);
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  EXPECT_GE(positions.back(), 1900000);
}

TEST(PlayToolTest, SeekAndPlayingTime) {
  const ToolRun run = Play({"--no-display", "--mute", "--volume", "64", "--seek", "1",
                            "--for", "0.5", Clip()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const auto lines = Lines(run.out);
  const auto positions = Positions(lines);
  ASSERT_FALSE(positions.empty()) << run.out;
  // After the seek every position is from the second second on, and half a second of playing
  // does not reach the end.
  EXPECT_GE(positions.back(), 1000000);
  EXPECT_LT(positions.back(), 1900000);
  EXPECT_EQ(lines.back(), "state stop");
  for (const auto& line : lines) EXPECT_NE(line, "state end");
}

TEST(PlayToolTest, FailuresAndUsage) {
  const ToolRun missing = Play({"--no-display", testing::MediaPath("nothing.avi")});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("nothing.avi"), std::string::npos) << missing.err;
  const std::string notMedia =
      testing::WriteBytes(testing::MediaPath("notes.txt"), "this is not a media file");
  EXPECT_EQ(Play({"--no-display", notMedia}).exitCode, 1);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--volume", "129", Clip()}, {"--seek", "x", Clip()},
        {"--for"}, {"--frobnicate", Clip()}, {Clip(), Clip()}}) {
    const ToolRun run = Play(args);
    EXPECT_EQ(run.exitCode, 2) << run.err;
  }
}

}  // namespace
}  // namespace orvo
