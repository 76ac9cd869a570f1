// Every profile of the shipped catalogue, with the settings the first start writes, converts a
// clip with pictures and sound the way the program's Start does: the container, codecs, picture
// size, frame rate, sample rate and channels are the profile's default choices, and the file
// decodes to its end with the clip's duration.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>

extern "C" {
#include <libavformat/avformat.h>
}

#include "app/BatchConversion.h"
#include "app/FileList.h"
#include "app/GlobalUnit.h"
#include "app/ProfileCatalogue.h"
#include "app/ProfileEditor.h"
#include "app/SettingsStore.h"
#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/av_handles.h"
#include "platform/main_thread.h"
#include "support/app_fixture.h"
#include "support/read_back.h"
#include "support/test_media.h"

namespace orvo {
namespace {

using namespace std::chrono_literals;

struct TProfileOutput {
  int Code;
  const char* Container;  // the demuxer that reads the file back
  AVCodecID Video;        // AV_CODEC_ID_NONE: sound only
  AVCodecID Audio;
};

const TProfileOutput kOutputs[] = {
    {0, "flv", AV_CODEC_ID_FLV1, AV_CODEC_ID_MP3},
    {1, "swf", AV_CODEC_ID_FLV1, AV_CODEC_ID_MP3},
    {100, "mpeg", AV_CODEC_ID_MPEG1VIDEO, AV_CODEC_ID_MP2},
    {101, "mpeg", AV_CODEC_ID_MPEG2VIDEO, AV_CODEC_ID_MP2},
    {102, "mov,mp4,m4a,3gp,3g2,mj2", AV_CODEC_ID_MPEG4, AV_CODEC_ID_AAC},
    {103, "mov,mp4,m4a,3gp,3g2,mj2", AV_CODEC_ID_H264, AV_CODEC_ID_AAC},
    {104, "avi", AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP3},
    {105, "asf", AV_CODEC_ID_WMV2, AV_CODEC_ID_WMAV2},
    {106, "avi", AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP3},
    {107, "avi", AV_CODEC_ID_MPEG4, AV_CODEC_ID_MP3},
    {108, "dv", AV_CODEC_ID_DVVIDEO, AV_CODEC_ID_PCM_S16LE},
    {109, "dv", AV_CODEC_ID_DVVIDEO, AV_CODEC_ID_PCM_S16LE},
    {200, "mp3", AV_CODEC_ID_NONE, AV_CODEC_ID_MP3},
    {201, "aac", AV_CODEC_ID_NONE, AV_CODEC_ID_AAC},
    {202, "mov,mp4,m4a,3gp,3g2,mj2", AV_CODEC_ID_NONE, AV_CODEC_ID_AAC},
    {203, "asf", AV_CODEC_ID_NONE, AV_CODEC_ID_WMAV2},
    {204, "wav", AV_CODEC_ID_NONE, AV_CODEC_ID_PCM_S16LE},
    {205, "ogg", AV_CODEC_ID_NONE, AV_CODEC_ID_VORBIS},
    {206, "ac3", AV_CODEC_ID_NONE, AV_CODEC_ID_AC3},
};

void PrintTo(const TProfileOutput& output, std::ostream* os) { *os << "profile " << output.Code; }

std::string DemuxerOf(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return "<unreadable>";
  InputFormatContextPtr input(raw);
  return input->iformat->name;
}

class ProfileConvertTest : public testing::AppFolders,
                           public ::testing::WithParamInterface<TProfileOutput> {
 protected:
  static void SetUpTestSuite() { UseConverter(); }
  static const std::string& Clip() {
    return testing::MediaOnce("profiles-clip.avi", testing::AviClip(320, 240, 2.0));
  }
};

TEST_P(ProfileConvertTest, DefaultChoicesOfTheFirstStart) {
  const TProfileOutput& expected = GetParam();
  const std::string catalogue = TGlobalObject::FindFormatFile();
  ASSERT_TRUE(WriteFirstStartSettings(SettingsPath(), catalogue));
  TIniFile settings(SettingsPath());
  settings.WriteString(kSettingsSection, "OutPutDir", PathIn("out"));
  settings.WriteString(kSettingsSection, "FormatCode", std::to_string(expected.Code));

  TFFmpegVCL component;
  TFileList files;
  files.AddRow(Clip(), "", 2000000, "lbox");
  std::atomic<bool> ended{false};
  std::string failure;
  TBatchCallbacks callbacks;
  callbacks.Prompts.AskYesNo = [](const std::string&, const std::string& text) {
    ADD_FAILURE() << "asked: " << text;  // every profile has a usable stored size
    return true;
  };
  callbacks.TaskEnded = [&](int, const TTerminateInfo& info) {
    if (!info.Finished) failure = info.ExceptionMsg.empty() ? "stopped" : info.ExceptionMsg;
  };
  callbacks.RunEnded = [&] { ended = true; };
  TBatchConversion batch(component, files, SettingsPath(), catalogue, callbacks);
  ASSERT_TRUE(batch.Prepare()) << component.LastErrMsg();
  component.StartTask(1);
  ASSERT_TRUE(WaitProcessingCalls([&] { return ended.load(); }, 120s));
  ASSERT_EQ(failure, "");

  const std::string output =
      PathIn("out") + "/profiles-clip_(new)." + ReadFileExt(TIniFile(catalogue), expected.Code);
  EXPECT_EQ(DemuxerOf(output), expected.Container);
  const testing::TFileRead read = testing::ReadBack(output);
  ASSERT_TRUE(read.Opened) << read.Error;

  const std::string section = FormatSection(expected.Code);
  const testing::TStreamRead* video = read.Find(AVMEDIA_TYPE_VIDEO);
  if (expected.Video == AV_CODEC_ID_NONE) {
    EXPECT_EQ(video, nullptr);
  } else {
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->Codec, expected.Video);
    const std::string size = settings.ReadString(section, "paraVideoSize", "");
    EXPECT_EQ(std::to_string(video->Width) + "x" + std::to_string(video->Height), size);
    const double rate = std::atof(settings.ReadString(section, "paraFrameRate", "").c_str());
    ASSERT_GT(rate, 0);
    EXPECT_NEAR(1.0 / video->Interval(), rate, 0.05);
    EXPECT_NEAR(video->Duration(), 2.0, 0.1);
    EXPECT_EQ(video->Errors, 0);
  }
  const testing::TStreamRead* audio = read.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(audio->Codec, expected.Audio);
  EXPECT_EQ(std::to_string(audio->SampleRate),
            settings.ReadString(section, "paraSampleRate", ""));
  EXPECT_EQ(std::to_string(audio->Channels), settings.ReadString(section, "paraChannel", ""));
  EXPECT_NEAR(audio->Duration(), 2.0, 0.15);
  EXPECT_EQ(audio->Errors, 0);
}

INSTANTIATE_TEST_SUITE_P(AllProfiles, ProfileConvertTest, ::testing::ValuesIn(kOutputs),
                         [](const ::testing::TestParamInfo<TProfileOutput>& info) {
                           return "Code" + std::to_string(info.param.Code);
                         });

TEST(ProfileOutputsTest, CoverTheWholeCatalogue) {
  std::vector<int> codes;
  for (const TProfileOutput& output : kOutputs) codes.push_back(output.Code);
  EXPECT_EQ(codes, AllProfileCodes());
}

}  // namespace
}  // namespace orvo
