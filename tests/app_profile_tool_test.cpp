// orvo-convert's profile mode: the program's Start from the command line with the stored settings
// and the dialogs' edits for the whole batch.
#include <gtest/gtest.h>

#include <QImage>
#include <filesystem>

#include "app/SettingsStore.h"
#include "platform/ini_file.h"
#include "support/app_fixture.h"
#include "support/read_back.h"
#include "support/read_pictures.h"
#include "support/run_tool.h"
#include "support/test_media.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using testing::ToolRun;

ToolRun Convert(const std::vector<std::string>& args) {
  const ToolRun run = testing::RunTool(ORVO_CONVERT_TOOL, args);
  if (run.signal != 0) ADD_FAILURE() << "the tool died of signal " << run.signal;
  return run;
}

class ProfileToolTest : public testing::AppFolders {
 protected:
  static const std::string& Clip() {
    return testing::MediaOnce("tool-clip.avi", testing::AviClip(320, 240, 3.0));
  }
};

TEST_F(ProfileToolTest, ConvertsWithTheFirstStartSettingsAndStoresTheFolder) {
  const std::string out = PathIn("out");
  const ToolRun run = Convert({"--profile", "1", "--outdir", out, Clip()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, Clip() + "\n");
  // The first start wrote the settings file; --outdir was stored in it.
  const TIniFile settings(SettingsPath());
  EXPECT_EQ(ReadOutputDir(settings), out);
  EXPECT_TRUE(settings.ValueExists(FormatSection(1), "paraVideoEncoder"));
  const auto read = testing::ReadBack(out + "/tool-clip_(new).swf");
  ASSERT_TRUE(read.Opened) << read.Error;
  const auto* video = read.Find(AVMEDIA_TYPE_VIDEO);
  const auto* audio = read.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(video && audio);
  EXPECT_EQ(video->Codec, AV_CODEC_ID_FLV1);
  EXPECT_EQ(audio->Codec, AV_CODEC_ID_MP3);
  EXPECT_NEAR(video->Duration(), 3.0, 0.15);

  // A second run does not overwrite: the next free name.
  ASSERT_EQ(Convert({"--profile", "1", Clip()}).exitCode, 0);
  EXPECT_TRUE(fs::exists(out + "/tool-clip_(new_1).swf"));
}

TEST_F(ProfileToolTest, EditsOfTheWholeBatchReachThePictures) {
  const std::string logo = PathIn("logo.bmp");
  QImage white(32, 32, QImage::Format_RGB888);
  white.fill(Qt::white);
  ASSERT_TRUE(white.save(QString::fromStdString(logo), "BMP"));
  const std::string out = PathIn("out");
  ASSERT_EQ(Convert({"--profile", "104", "--outdir", out, Clip()}).exitCode, 0);
  const std::string plainFile = out + "/tool-clip_(new).avi";
  const ToolRun run =
      Convert({"--profile", "104", "--zoom", "full", "--watermark-image", logo, "--watermark-at",
               "40,30", "--watermark-window", "1,1", "--saturation", "0", Clip()});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const auto plain = testing::ReadRgbPictures(plainFile);
  const auto marked = testing::ReadRgbPictures(out + "/tool-clip_(new_1).avi");
  ASSERT_FALSE(plain.empty());
  ASSERT_EQ(marked.size(), plain.size());
  ASSERT_EQ(marked[0].Width, plain[0].Width);
  // The profile's size may differ from the source's: place the logo by the scale.
  const double sx = marked[0].Width / 320.0, sy = marked[0].Height / 240.0;
  const int x = int(44 * sx), y = int(34 * sy), w = int(24 * sx), h = int(24 * sy);
  for (size_t i = 0; i < marked.size(); ++i) {
    const double t = marked[i].Time;
    const double logo = marked[i].Mean(x, y, w, h, 1);
    // Outside its window the region is the plain picture turned grey.
    const double grey = (plain[i].Mean(x, y, w, h, 0) + plain[i].Mean(x, y, w, h, 1) +
                         plain[i].Mean(x, y, w, h, 2)) / 3;
    if (t > 1.02 && t < 1.98) {
      EXPECT_GT(logo, 220) << t;
    } else if (t < 0.98 || t > 2.02) {
      EXPECT_NEAR(logo, grey, 12) << t;
    }
    // Saturation 0 everywhere: red, green and blue agree.
    const auto* p = marked[i].At(marked[i].Width / 4, marked[i].Height / 2);
    EXPECT_NEAR(p[0], p[1], 12) << t;
    EXPECT_NEAR(p[1], p[2], 12) << t;
  }
}

TEST_F(ProfileToolTest, FailuresAndBadUsage) {
  const ToolRun missing =
      Convert({"--profile", "200", "--outdir", PathIn("out"), PathIn("nothing.avi"), Clip()});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("nothing.avi"), std::string::npos) << missing.err;
  EXPECT_TRUE(fs::exists(PathIn("out/tool-clip_(new).mp3")));  // the good file still converts

  const std::vector<std::vector<std::string>> bad = {
      {"--profile", "99", Clip()},          {"--profile", "1"},
      {"--profile", "1", "--brightness", "513", Clip()},
      {"--profile", "1", "--contrast", "-101", Clip()},
      {"--profile", "1", "--exposure", "-256", Clip()},
      {"--profile", "1", "--zoom", "wide", Clip()},
      {"--profile", "1", "--crop", "1,2,3", Clip()},
      {"--profile", "1", "--trim", "x,1", Clip()},
      {"--profile", "1", "--watermark-window", "5,2", Clip()},
      {"--profile", "1", "--watermark-image", PathIn("no.bmp"), Clip()},
      {"--profile", "1", "--frobnicate", "1", Clip()},
  };
  for (const auto& args : bad) {
    const ToolRun run = Convert(args);
    EXPECT_EQ(run.exitCode, 2) << args[2] << ": " << run.err;
    EXPECT_FALSE(run.err.empty());
  }
}

}  // namespace
}  // namespace orvo
