// Whole conversions read back with the libraries: every container and codec pair the product
// writes, stream copy and its key-frame rule, joining, trimming, several inputs, timestamp jumps
// and the progress reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/av_handles.h"
#include "engine/FFmpeg.h"
#include "engine/presets.h"
#include "support/engine_log_capture.h"
#include "support/read_back.h"
#include "support/test_media.h"

namespace orvo {
namespace {

#ifdef AV_PROFILE_H264_BASELINE
constexpr int kBaseline = AV_PROFILE_H264_BASELINE;
constexpr int kHigh444 = AV_PROFILE_H264_HIGH_444_PREDICTIVE;
#else
constexpr int kBaseline = FF_PROFILE_H264_BASELINE;
constexpr int kHigh444 = FF_PROFILE_H264_HIGH_444_PREDICTIVE;
#endif

using testing::MediaPath;
using testing::ReadBack;
using testing::TestMediaSpec;
using testing::TFileRead;
using testing::TStreamRead;
using TOptionList = std::vector<std::pair<std::string, std::string>>;

// ---------------------------------------------------------------------------------------------
// Test inputs. Sound is PCM so that its length is exact; pictures are MPEG-4 with a key frame
// every 12 pictures (0, 0.48 s, 0.96 s).

struct TMedia {
  std::string Av;      // 1 s, 320x240 25 fps, 44.1 kHz stereo
  std::string Small;   // 0.4 s, 160x120 25 fps, 44.1 kHz stereo
  std::string Join[3];  // 0.4, 0.6 and 0.8 s at 160x120
  std::string Tone;    // sound only: 0.6 s, 44.1 kHz stereo
  std::string Jump;    // MPEG-TS, 1 s of media with a 20 s jump after 0.5 s
};

const TMedia& Media() {
  static const TMedia media = [] {
    TMedia m;
    TestMediaSpec av;
    av.container = "avi";
    av.videoEncoder = "mpeg4";
    av.audioEncoder = "pcm_s16le";
    av.seconds = 1.0;
    m.Av = testing::WriteTestMedia(MediaPath("av.avi"), av);

    TestMediaSpec small = av;
    small.width = 160;
    small.height = 120;
    small.seconds = 0.4;
    m.Small = testing::WriteTestMedia(MediaPath("small.avi"), small);

    const double seconds[] = {0.4, 0.6, 0.8};
    for (int k = 0; k < 3; ++k) {
      TestMediaSpec part = small;
      part.seconds = seconds[k];
      m.Join[k] = testing::WriteTestMedia(MediaPath("join" + std::to_string(k) + ".avi"), part);
    }

    TestMediaSpec tone;
    tone.container = "wav";
    tone.audioEncoder = "pcm_s16le";
    tone.seconds = 0.6;
    m.Tone = testing::WriteTestMedia(MediaPath("tone.wav"), tone);

    TestMediaSpec jump;
    jump.container = "mpegts";
    jump.videoEncoder = "mpeg2video";
    jump.audioEncoder = "mp2";
    jump.width = 160;
    jump.height = 120;
    jump.seconds = 1.0;
    jump.jumpAt = 0.5;
    jump.jumpSeconds = 20.0;
    m.Jump = testing::WriteTestMedia(MediaPath("jump.ts"), jump);
    return m;
  }();
  return media;
}

// The named encoder's frame size and the samples it puts in front of the sound, as it states
// them when opened.
struct TEncoderFrames {
  int FrameSize = 0;
  int Delay = 0;
};
TEncoderFrames EncoderFrames(const std::string& name, int rate, int channels) {
  const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
  if (!codec) return {};
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  ctx->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  ctx->sample_rate = rate;
  av_channel_layout_default(&ctx->ch_layout, channels);
  ctx->time_base = AVRational{1, rate};
  ctx->bit_rate = 128000;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return {};
  return {ctx->frame_size, ctx->initial_padding};
}

// Index of the input picture equal to (or closest to) `picture`.
int ClosestPicture(const std::vector<std::vector<uint8_t>>& pictures,
                   const std::vector<uint8_t>& picture, double* difference = nullptr) {
  int best = -1;
  double bestDiff = 1e300;
  for (size_t i = 0; i < pictures.size(); ++i) {
    if (pictures[i].size() != picture.size()) continue;
    double sum = 0;
    for (size_t j = 0; j < picture.size(); ++j) sum += std::abs(int(pictures[i][j]) - int(picture[j]));
    const double diff = sum / double(picture.size());
    if (diff < bestDiff) bestDiff = diff, best = int(i);
  }
  if (difference) *difference = bestDiff;
  return best;
}

// ---------------------------------------------------------------------------------------------
// Running conversions

struct TInput {
  std::string Path;
  TOptionList Options;  // given before the input is opened
};

class EngineConvertTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries));
    Media();
  }
  // Warnings and errors of the running engine go into a failure's text.
  void SetUp() override { log_.Start(llVerbose, llWarning); }
  void TearDown() override { log_.Stop(); }

  // Opens the inputs and one output (join: fed by every input in turn), runs the conversion in
  // this thread and closes the files. The failure text, empty when the run ended normally.
  std::string Convert(const std::vector<TInput>& inputs, const TOptionList& outputOptions,
                      const std::string& output, bool join = false) {
    engine_ = std::make_unique<TCustomFFmpeg>();
    log_.Follow(engine_.get());
    reports_.clear();
    engine_->OnProgress = [this](TCustomFFmpeg&, const TConversionProgress& info) {
      reports_.push_back(info);
    };
    engine_->ProgressInterval = 0;  // a report after every packet
    std::string failure;
    try {
      for (const TInput& input : inputs) {
        for (const auto& [name, value] : input.Options) engine_->DispatchOption(name, value);
        if (!engine_->OpenInputFile(input.Path)) throw FFmpegException(engine_->LastErrorText());
      }
      for (const auto& [name, value] : outputOptions) engine_->DispatchOption(name, value);
      if (engine_->OpenOutputFile(MediaPath(output), join) < 1)
        throw FFmpegException(engine_->LastErrorText());
      engine_->Transcode();
    } catch (const FFmpegException& e) {
      failure = e.what();
      for (const testing::TLogLine& line : log_.Lines()) failure += "\n  " + line.Text;
    }
    engine_->CloseFiles();
    return failure;
  }
  std::string Convert(const std::string& input, const TOptionList& outputOptions,
                      const std::string& output) {
    return Convert(std::vector<TInput>{{input, {}}}, outputOptions, output);
  }

  std::unique_ptr<TCustomFFmpeg> engine_;
  std::vector<TConversionProgress> reports_;
  testing::EngineLogCapture log_;
};

// ---------------------------------------------------------------------------------------------
// Every container and codec pair of the product

struct TConvertCase {
  std::string File;
  TOptionList Options;
  AVCodecID Video;  // AV_CODEC_ID_NONE: no picture wanted
  int Width, Height;
  double Fps;
  AVCodecID Audio;  // AV_CODEC_ID_NONE: no sound wanted
  int SampleRate, Channels;
  std::string AudioEncoder;  // for its priming delay
};

// Checks one output against what its case asks for and an input of `seconds`.
// A sound encoder opened `encoderRuns` times primes and pads that many times.
void CheckOutput(const TConvertCase& c, const TFileRead& out, double seconds, int encoderRuns = 1) {
  ASSERT_TRUE(out.Opened) << out.Error;
  const size_t wanted = (c.Video != AV_CODEC_ID_NONE) + (c.Audio != AV_CODEC_ID_NONE);
  // Containers may carry data streams of their own (DVD navigation packets).
  const size_t pictureAndSound =
      size_t(std::count_if(out.Streams.begin(), out.Streams.end(), [](const TStreamRead& s) {
        return s.Kind == AVMEDIA_TYPE_VIDEO || s.Kind == AVMEDIA_TYPE_AUDIO;
      }));
  ASSERT_EQ(pictureAndSound, wanted);
  double frameTime = 0;
  const TStreamRead* v = out.Find(AVMEDIA_TYPE_VIDEO);
  if (c.Video != AV_CODEC_ID_NONE) {
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->Codec, c.Video) << avcodec_get_name(v->Codec);
    EXPECT_EQ(v->Width, c.Width);
    EXPECT_EQ(v->Height, c.Height);
    EXPECT_EQ(v->Errors, 0);
    frameTime = 1.0 / c.Fps;
    EXPECT_NEAR(v->Interval(), frameTime, 0.002);
    EXPECT_NEAR(v->Frames, seconds * c.Fps, 1.0);
    EXPECT_NEAR(v->Duration(), seconds, frameTime + 1e-3);
    // No holes: pictures follow each other at the frame rate.
    EXPECT_LE(v->MaxStep(), frameTime * 1.5);
  } else {
    EXPECT_EQ(v, nullptr);
  }
  const TStreamRead* a = out.Find(AVMEDIA_TYPE_AUDIO);
  if (c.Audio != AV_CODEC_ID_NONE) {
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->Codec, c.Audio) << avcodec_get_name(a->Codec);
    EXPECT_EQ(a->SampleRate, c.SampleRate);
    EXPECT_EQ(a->Channels, c.Channels);
    EXPECT_EQ(a->Errors, 0);
    const TEncoderFrames encoder = EncoderFrames(c.AudioEncoder, c.SampleRate, c.Channels);
    const double audioFrame = encoder.FrameSize > 1 ? double(encoder.FrameSize) / c.SampleRate : 0.0;
    const double delay = double(encoder.Delay) / c.SampleRate;
    const double tolerance = frameTime + audioFrame + 1e-3;
    EXPECT_GE(a->Duration(), seconds - tolerance);
    EXPECT_LE(a->Duration(), seconds + tolerance + (audioFrame + delay) * encoderRuns);
    if (v && !std::isnan(a->First) && !std::isnan(v->First)) {
      EXPECT_NEAR(a->First, v->First, tolerance + delay) << "sound and picture start apart";
    }
  }
}

TEST_F(EngineConvertTest, EveryProductContainerAndCodecPairConvertsWhole) {
  constexpr AVCodecID kNone = AV_CODEC_ID_NONE;
  const TConvertCase cases[] = {
      {"o22.swf", {{"vcodec", "flv"}, {"acodec", "libmp3lame"}, {"ar", "22050"}},
       AV_CODEC_ID_FLV1, 320, 240, 25, AV_CODEC_ID_MP3, 22050, 2, "libmp3lame"},
      {"o44.swf", {{"vcodec", "flv"}, {"acodec", "libmp3lame"}, {"ar", "44100"}},
       AV_CODEC_ID_FLV1, 320, 240, 25, AV_CODEC_ID_MP3, 44100, 2, "libmp3lame"},
      {"o.flv", {{"vcodec", "flv"}, {"acodec", "libmp3lame"}}, AV_CODEC_ID_FLV1, 320, 240, 25,
       AV_CODEC_ID_MP3, 44100, 2, "libmp3lame"},
      {"o.mp4", {{"vcodec", "mpeg4"}, {"acodec", "aac"}}, AV_CODEC_ID_MPEG4, 320, 240, 25,
       AV_CODEC_ID_AAC, 44100, 2, "aac"},
      {"o_vcd.mpg", {{"target", "pal-vcd"}}, AV_CODEC_ID_MPEG1VIDEO, 352, 288, 25,
       AV_CODEC_ID_MP2, 44100, 2, "mp2"},
      {"o_svcd.mpg", {{"target", "pal-svcd"}}, AV_CODEC_ID_MPEG2VIDEO, 480, 576, 25,
       AV_CODEC_ID_MP2, 44100, 2, "mp2"},
      {"o_dvd.vob", {{"target", "pal-dvd"}}, AV_CODEC_ID_MPEG2VIDEO, 720, 576, 25, AV_CODEC_ID_AC3,
       48000, 2, "ac3"},
      {"o_xvid.avi", {{"vcodec", "libxvid"}, {"acodec", "libmp3lame"}}, AV_CODEC_ID_MPEG4, 320,
       240, 25, AV_CODEC_ID_MP3, 44100, 2, "libmp3lame"},
      {"o_mpeg4.avi", {{"vcodec", "mpeg4"}, {"acodec", "libmp3lame"}}, AV_CODEC_ID_MPEG4, 320,
       240, 25, AV_CODEC_ID_MP3, 44100, 2, "libmp3lame"},
      {"o.wmv", {{"vcodec", "wmv2"}, {"acodec", "wmav2"}}, AV_CODEC_ID_WMV2, 320, 240, 25,
       AV_CODEC_ID_WMAV2, 44100, 2, "wmav2"},
      {"o_asf.asf", {{"f", "asf"}, {"vcodec", "wmv2"}, {"acodec", "wmav2"}}, AV_CODEC_ID_WMV2,
       320, 240, 25, AV_CODEC_ID_WMAV2, 44100, 2, "wmav2"},
      {"o.dv", {{"target", "pal-dv"}}, AV_CODEC_ID_DVVIDEO, 720, 576, 25, AV_CODEC_ID_PCM_S16LE,
       48000, 2, "pcm_s16le"},
      {"o.mp3", {{"acodec", "libmp3lame"}}, kNone, 0, 0, 0, AV_CODEC_ID_MP3, 44100, 2,
       "libmp3lame"},
      {"o.aac", {{"acodec", "aac"}}, kNone, 0, 0, 0, AV_CODEC_ID_AAC, 44100, 2, "aac"},
      {"o.m4a", {{"vn", ""}, {"acodec", "aac"}}, kNone, 0, 0, 0, AV_CODEC_ID_AAC, 44100, 2, "aac"},
      {"o.wma", {{"vn", ""}, {"acodec", "wmav2"}}, kNone, 0, 0, 0, AV_CODEC_ID_WMAV2, 44100, 2,
       "wmav2"},
      {"o.wav", {}, kNone, 0, 0, 0, AV_CODEC_ID_PCM_S16LE, 44100, 2, "pcm_s16le"},
      {"o.ogg", {{"vcodec", "libtheora"}, {"acodec", "libvorbis"}}, AV_CODEC_ID_THEORA, 320, 240,
       25, AV_CODEC_ID_VORBIS, 44100, 2, "libvorbis"},
      {"o.ac3", {{"acodec", "ac3"}, {"ar", "48000"}}, kNone, 0, 0, 0, AV_CODEC_ID_AC3, 48000, 2,
       "ac3"},
  };
  for (const TConvertCase& c : cases) {
    SCOPED_TRACE(c.File);
    const std::string failure = Convert(Media().Av, c.Options, c.File);
    ASSERT_EQ(failure, "");
    CheckOutput(c, ReadBack(MediaPath(c.File)), 1.0);
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.back().FileIndex, -1);
  }
}

TEST_F(EngineConvertTest, EveryBuiltInH264PresetEncodesWithItsEffect) {
  for (const TOptionsPreset& preset : OptionsPresets()) {
    const std::string name(preset.Name);
    SCOPED_TRACE(name);
    const std::string file = "x264_" + name + ".mp4";
    const std::string failure =
        Convert(Media().Small, {{"vcodec", "libx264"}, {"vpre", name}, {"acodec", "aac"}}, file);
    ASSERT_EQ(failure, "");
    const TFileRead out = ReadBack(MediaPath(file));
    CheckOutput({file, {}, AV_CODEC_ID_H264, 160, 120, 25, AV_CODEC_ID_AAC, 44100, 2, "aac"}, out,
                0.4);
    const TStreamRead* v = out.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    // What the preset asks of the stream: lossless coding, the baseline profile, the level.
    if (name.find("lossless") != std::string::npos) {
      EXPECT_EQ(v->Profile, kHigh444);
    }
    if (name == "libx264-baseline" || name == "libx264-ipod320" || name == "libx264-ipod640") {
      EXPECT_EQ(v->Profile & 0xFF, kBaseline);
    }
    const std::string content(preset.Content);
    if (const size_t at = content.find("level="); at != std::string::npos) {
      EXPECT_EQ(v->Level, std::stoi(content.substr(at + 6)));
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Stream copy

TEST_F(EngineConvertTest, StreamCopyWritesTheInputPacketsAsTheyAre) {
  ASSERT_EQ(Convert(Media().Av, {{"vcodec", "copy"}, {"acodec", "copy"}}, "copy.avi"), "");
  const TFileRead in = ReadBack(Media().Av, false, true);
  const TFileRead out = ReadBack(MediaPath("copy.avi"), false, true);
  ASSERT_TRUE(out.Opened) << out.Error;
  ASSERT_EQ(out.Streams.size(), 2u);
  for (AVMediaType kind : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO}) {
    const TStreamRead* a = in.Find(kind);
    const TStreamRead* b = out.Find(kind);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(b->Codec, a->Codec);
    EXPECT_EQ(b->Payloads, a->Payloads) << av_get_media_type_string(kind);
    EXPECT_EQ(b->Keys, a->Keys);
  }
  // The report counts the copied pictures.
  ASSERT_FALSE(reports_.empty());
  EXPECT_EQ(reports_.back().Frame, 25);
  EXPECT_EQ(reports_.back().Quality, -1);
}

TEST_F(EngineConvertTest, CopyAfterAStartTimeBeginsAtAKeyFrameUnlessToldOtherwise) {
  // Pictures 5 to 11 come after 0.2 s but lead up to the key frame at picture 12.
  const TFileRead in = ReadBack(Media().Av, false, true);
  const TStreamRead* source = in.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(source, nullptr);
  ASSERT_EQ(source->Payloads.size(), 25u);
  ASSERT_TRUE(source->Keys[12]);
  ASSERT_FALSE(source->Keys[5]);

  struct TCase {
    const char* File;
    TOptionList Options;
    size_t FirstPicture;
  };
  const TCase cases[] = {
      {"copy_ss.mkv", {{"vcodec", "copy"}, {"an", ""}, {"ss", "0.2"}}, 12},
      {"copy_ss_inkf.mkv", {{"vcodec", "copy"}, {"an", ""}, {"ss", "0.2"}, {"copyinkf", "1"}}, 5},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.File);
    ASSERT_EQ(Convert(Media().Av, c.Options, c.File), "");
    const TFileRead out = ReadBack(MediaPath(c.File), false, true);
    const TStreamRead* v = out.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    const std::vector<std::string> expected(source->Payloads.begin() + long(c.FirstPicture),
                                            source->Payloads.end());
    EXPECT_EQ(v->Payloads, expected);
    ASSERT_FALSE(v->Keys.empty());
    EXPECT_EQ(v->Keys.front(), c.FirstPicture == 12);
    // Times count from the start time.
    EXPECT_NEAR(v->PacketTimes.front(), double(c.FirstPicture) / 25 - 0.2, 0.001);
    EXPECT_EQ(reports_.back().Frame, int(expected.size()));
  }
}

// ---------------------------------------------------------------------------------------------
// Joining

TEST_F(EngineConvertTest, JoinedInputsFollowEachOtherInOneOutput) {
  const std::vector<TInput> inputs = {
      {Media().Join[0], {}}, {Media().Join[1], {}}, {Media().Join[2], {}}};
  struct TCase {
    const char* File;
    TOptionList Options;
    AVCodecID Video, Audio;
    const char* AudioEncoder;
  };
  const TCase cases[] = {
      {"join.avi", {{"vcodec", "mpeg4"}, {"acodec", "libmp3lame"}}, AV_CODEC_ID_MPEG4,
       AV_CODEC_ID_MP3, "libmp3lame"},
      {"join.flv", {{"vcodec", "flv"}, {"acodec", "libmp3lame"}}, AV_CODEC_ID_FLV1,
       AV_CODEC_ID_MP3, "libmp3lame"},
      // Global headers: one encoder must serve every part, or the later parts do not decode.
      {"join.mp4", {{"vcodec", "libx264"}, {"vpre", "veryfast"}, {"acodec", "aac"}},
       AV_CODEC_ID_H264, AV_CODEC_ID_AAC, "aac"},
      // Pictures alone: each part's length is its pictures' time, the last one's included.
      {"join_pictures.mkv", {{"vcodec", "mpeg4"}, {"an", ""}}, AV_CODEC_ID_MPEG4,
       AV_CODEC_ID_NONE, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.File);
    ASSERT_EQ(Convert(inputs, c.Options, c.File, true), "");
    const TFileRead out = ReadBack(MediaPath(c.File));
    CheckOutput({c.File, {}, c.Video, 160, 120, 25, c.Audio, 44100, 2, c.AudioEncoder}, out, 1.8,
                3);
    const TStreamRead* v = out.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(v->Times.size(), 45u);
    // The second part starts where the first ended, the third where the second ended.
    EXPECT_NEAR(v->Times[10] - v->Times[0], 0.4, 0.041);
    EXPECT_NEAR(v->Times[25] - v->Times[0], 1.0, 0.041);
    // Frame numbers continue: the final report counts every picture of the three parts.
    ASSERT_FALSE(reports_.empty());
    EXPECT_EQ(reports_.back().FileIndex, -1);
    EXPECT_EQ(reports_.back().Frame, 45);
    EXPECT_NEAR(double(reports_.back().Time) / 1e6, 1.8, 0.05);
  }
}

// ---------------------------------------------------------------------------------------------
// Trimming

TEST_F(EngineConvertTest, StartTimeAndRecordingTimeCutTheRightPictures) {
  const TFileRead in = ReadBack(Media().Av, true);
  const TStreamRead* source = in.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(source, nullptr);
  ASSERT_EQ(source->Luma.size(), 25u);

  struct TCase {
    const char* File;
    TOptionList InputOptions, OutputOptions;
    int FirstPicture;
    double Seconds;
  };
  // Lossless pictures, so the first one written can be found among the input's.
  const TOptionList lossless = {{"vcodec", "ffv1"}, {"acodec", "pcm_s16le"}};
  auto with = [&lossless](TOptionList more) {
    more.insert(more.begin(), lossless.begin(), lossless.end());
    return more;
  };
  const TCase cases[] = {
      // Before the input: the file is positioned there.
      {"trim_in.avi", {{"ss", "0.4"}}, with({{"t", "0.4"}}), 10, 0.4},
      {"trim_in.mkv", {{"ss", "0.4"}}, with({{"t", "0.4"}}), 10, 0.4},
      {"trim_in_nokey.avi", {{"ss", "0.6"}}, with({{"t", "0.2"}}), 15, 0.2},
      // After the input: the output starts there.
      {"trim_out.avi", {}, with({{"ss", "0.4"}, {"t", "0.4"}}), 10, 0.4},
      {"trim_out.mkv", {}, with({{"ss", "0.6"}, {"t", "0.2"}}), 15, 0.2},
      // A recording time alone.
      {"trim_t.avi", {}, with({{"t", "0.48"}}), 0, 0.48},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.File);
    ASSERT_EQ(Convert({{Media().Av, c.InputOptions}}, c.OutputOptions, c.File), "");
    const TFileRead out = ReadBack(MediaPath(c.File), true);
    CheckOutput({c.File, {}, AV_CODEC_ID_FFV1, 320, 240, 25, AV_CODEC_ID_PCM_S16LE, 44100, 2,
                 "pcm_s16le"},
                out, c.Seconds);
    const TStreamRead* v = out.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    ASSERT_FALSE(v->Luma.empty());
    double difference = 0;
    EXPECT_EQ(ClosestPicture(source->Luma, v->Luma.front(), &difference), c.FirstPicture);
    EXPECT_EQ(difference, 0.0);
    EXPECT_EQ(v->Frames, int(std::lround(c.Seconds * 25)));
  }
}

// ---------------------------------------------------------------------------------------------
// Several inputs

TEST_F(EngineConvertTest, TwoInputsWithAndWithoutMapsShortestAndInputSync) {
  const std::vector<TInput> inputs = {{Media().Av, {}}, {Media().Tone, {}}};
  const TOptionList codecs = {{"vcodec", "mpeg4"}, {"acodec", "pcm_s16le"}};
  struct TCase {
    const char* File;
    TOptionList Options;
    double VideoSeconds, AudioSeconds;
  };
  auto with = [&codecs](TOptionList more) {
    more.insert(more.end(), codecs.begin(), codecs.end());
    return more;
  };
  const TCase cases[] = {
      // Without maps the first input's sound is taken (the first of equals).
      {"two.avi", codecs, 1.0, 1.0},
      {"two_map.avi", with({{"map", "0:0"}, {"map", "1:0"}}), 1.0, 0.6},
      {"two_map_isync.avi", with({{"map", "0:0"}, {"map", "1:0"}, {"isync", ""}}), 1.0, 0.6},
      {"two_shortest.avi", with({{"map", "0:0"}, {"map", "1:0"}, {"shortest", ""}}), 0.6, 0.6},
      {"two_t.avi", with({{"map", "0:0"}, {"map", "1:0"}, {"t", "0.4"}}), 0.4, 0.4},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.File);
    ASSERT_EQ(Convert(inputs, c.Options, c.File), "");
    const TFileRead out = ReadBack(MediaPath(c.File));
    ASSERT_TRUE(out.Opened) << out.Error;
    const TStreamRead* v = out.Find(AVMEDIA_TYPE_VIDEO);
    const TStreamRead* a = out.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(v && a);
    EXPECT_NEAR(v->Duration(), c.VideoSeconds, 0.041);
    EXPECT_NEAR(a->Duration(), c.AudioSeconds, 0.041);
    EXPECT_EQ(v->Errors + a->Errors, 0);
  }
}

TEST_F(EngineConvertTest, TimestampJumpIsAbsorbedUnlessTimestampsAreCopied) {
  struct TCase {
    const char* File;
    TOptionList Options;
    bool JumpKept;
  };
  const TCase cases[] = {
      {"jump.mkv", {{"vcodec", "mpeg4"}, {"acodec", "pcm_s16le"}}, false},
      {"jump_copyts.mkv", {{"vcodec", "mpeg4"}, {"acodec", "pcm_s16le"}, {"copyts", ""}}, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.File);
    ASSERT_EQ(Convert(Media().Jump, c.Options, c.File), "");
    const TFileRead out = ReadBack(MediaPath(c.File));
    const TStreamRead* v = out.Find(AVMEDIA_TYPE_VIDEO);
    const TStreamRead* a = out.Find(AVMEDIA_TYPE_AUDIO);
    ASSERT_TRUE(v && a);
    EXPECT_NEAR(v->Frames, 25, 1);
    if (c.JumpKept) {
      EXPECT_GT(v->MaxStep(), 19.0);
    } else {
      EXPECT_LE(v->MaxStep(), 0.061);
      EXPECT_NEAR(v->Duration(), 1.0, 0.041);
      EXPECT_NEAR(a->Duration(), 1.0, 0.041 + 1152.0 / 44100);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Reports

TEST_F(EngineConvertTest, ReportsGrowAndEndWithTheFramesWritten) {
  struct TCase {
    const char* File;
    TOptionList Options;
  };
  const TCase cases[] = {
      {"report.avi", {{"vcodec", "mpeg4"}, {"acodec", "libmp3lame"}}},
      // Nothing is written for the first half second: no report before the first picture.
      {"report_ss.avi", {{"vcodec", "mpeg4"}, {"acodec", "libmp3lame"}, {"ss", "0.5"}}},
      // An encoder that holds pictures back still reports once frames are counted.
      {"report.mp4", {{"vcodec", "libx264"}, {"acodec", "aac"}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.File);
    ASSERT_EQ(Convert(Media().Av, c.Options, c.File), "");
    const TFileRead out = ReadBack(MediaPath(c.File));
    const TStreamRead* v = out.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    ASSERT_GE(reports_.size(), 3u);
    for (size_t i = 0; i < reports_.size(); ++i) {
      const TConversionProgress& r = reports_[i];
      EXPECT_GE(r.Frame, 1) << "report " << i;
      EXPECT_GT(r.Size, 0) << "report " << i;
      EXPECT_EQ(r.Total, 1000000) << "report " << i;
      if (i > 0) {
        EXPECT_GE(r.Time, reports_[i - 1].Time) << "report " << i;
      }
      if (i + 1 < reports_.size()) {
        EXPECT_EQ(r.FileIndex, 0) << "report " << i;
      }
    }
    EXPECT_LT(reports_.front().Time, reports_.back().Time);
    const TConversionProgress& last = reports_.back();
    EXPECT_EQ(last.FileIndex, -1);
    EXPECT_EQ(last.Frame, v->Frames);
    EXPECT_GT(last.BitRate, 0);
    EXPECT_EQ(last.Size, int64_t(std::filesystem::file_size(MediaPath(c.File))));
  }
}

}  // namespace
}  // namespace orvo
