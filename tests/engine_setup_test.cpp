// Opening the engine's inputs and creating its outputs: the streams each container gets, what
// the inputs hand to the option state, the encoder settings taken from the options, the failure
// texts, the table limits and closing.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "engine/FFmpeg.h"
#include "support/engine_log_capture.h"
#include "support/test_media.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using testing::TestMediaSpec;
using TOptionList = std::vector<std::pair<std::string, std::string>>;

using testing::MediaPath;

struct TMedia {
  std::string Av;     // 320x240 25 fps mpeg4 + mp2 44100 stereo, 0.5 s
  std::string Pal;    // 720x576 with sample aspect 16:15
  std::string Mono;   // wav only: 22050 Hz mono
  std::string Ts;     // two programs of video + audio each
  std::string Join[3];  // 0.4, 0.6 and 0.8 s
};

const TMedia& Media() {
  static const TMedia media = [] {
    TMedia m;
    TestMediaSpec av = testing::AviClip(320, 240, 0.5);
    m.Av = testing::WriteTestMedia(MediaPath("av.avi"), av);

    TestMediaSpec pal = av;
    pal.width = 720;
    pal.height = 576;
    pal.sampleAspect = {16, 15};
    pal.seconds = 0.2;
    m.Pal = testing::WriteTestMedia(MediaPath("pal.avi"), pal);

    TestMediaSpec mono;
    mono.container = "wav";
    mono.audioEncoder = "pcm_s16le";
    mono.sampleRate = 22050;
    mono.channels = 1;
    mono.seconds = 0.5;
    m.Mono = testing::WriteTestMedia(MediaPath("mono.wav"), mono);

    TestMediaSpec ts;
    ts.container = "mpegts";
    ts.videoEncoder = "mpeg2video";
    ts.audioEncoder = "mp2";
    ts.width = 160;
    ts.height = 120;
    ts.seconds = 0.5;
    ts.secondPair = true;
    ts.programs = {{1, {{"service_name", "One"}}, {0, 1}}, {2, {{"service_name", "Two"}}, {2, 3}}};
    m.Ts = testing::WriteTestMedia(MediaPath("two.ts"), ts);

    const double seconds[] = {0.4, 0.6, 0.8};
    for (int k = 0; k < 3; ++k) {
      TestMediaSpec part = av;
      part.width = 160;
      part.height = 120;
      part.seconds = seconds[k];
      m.Join[k] = testing::WriteTestMedia(MediaPath("join" + std::to_string(k) + ".avi"), part);
    }
    return m;
  }();
  return media;
}

class EngineSetupTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries));
    Media();
  }
  void SetUp() override {
    log_.Start(llDebug);
    Fresh();
  }
  void TearDown() override {
    log_.Stop();
    engine_->CloseFiles();
  }

  // A new engine; the old one is closed and destroyed.
  TCustomFFmpeg& Fresh() {
    // Closing logs: the lock is taken only around the log's own state.
    if (engine_) engine_->CloseFiles();
    engine_ = std::make_unique<TCustomFFmpeg>();
    log_.Follow(engine_.get());
    return *engine_;
  }
  bool Logged(TLogLevel level, const std::string& text) { return log_.Logged(level, text); }
  bool LoggedContaining(const std::string& part) { return log_.LoggedContaining(part); }
  void Apply(const TOptionList& options) {
    for (const auto& [name, value] : options) engine_->DispatchOption(name, value);
  }
  // Opens the input and an output; the output's streams.
  std::vector<TOutputStream>& OpenBoth(const std::string& input, const TOptionList& options,
                                       const std::string& outputName) {
    EXPECT_TRUE(engine_->OpenInputFile(input)) << engine_->LastErrorText();
    Apply(options);
    const int slots = engine_->OpenOutputFile(MediaPath(outputName), false);
    EXPECT_EQ(slots, engine_->OutputFileCount()) << engine_->LastErrorText();
    if (slots < 1) throw std::runtime_error("output not opened: " + engine_->LastErrorText());
    return engine_->OutputFile(slots - 1).Streams;
  }

  std::unique_ptr<TCustomFFmpeg> engine_;
  testing::EngineLogCapture log_;  // the current engine's lines
};

bool SameRational(AVRational a, AVRational b) { return a.num == b.num && a.den == b.den; }

::testing::AssertionResult IsRational(AVRational actual, AVRational wanted) {
  if (SameRational(actual, wanted)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << actual.num << "/" << actual.den << " instead of "
                                       << wanted.num << "/" << wanted.den;
}

// ---------------------------------------------------------------------------------------------
// The containers the product converts to, set up the way its profiles set them up.

struct TContainerCase {
  const char* File;
  TOptionList Options;
  const char* Muxer;
  AVCodecID Video;  // AV_CODEC_ID_NONE: no video stream wanted
  int Width, Height;
  AVRational TimeBase;
  AVRational Sar;
  AVCodecID Audio;  // AV_CODEC_ID_NONE: no audio stream wanted
  int SampleRate, Channels;
  const char* AudioEncoder;  // the encoder chosen by name, when the name was an old one
};

TEST_F(EngineSetupTest, EveryProductContainerGetsItsStreams) {
  constexpr AVCodecID kNone = AV_CODEC_ID_NONE;
  const TContainerCase cases[] = {
      {"o.swf", {{"vcodec", "flv"}, {"acodec", "libmp3lame"}, {"ar", "22050"}}, "swf",
       AV_CODEC_ID_FLV1, 320, 240, {1, 25}, {1, 1}, AV_CODEC_ID_MP3, 22050, 2, nullptr},
      {"o.flv", {{"vcodec", "flv"}, {"acodec", "libmp3lame"}, {"s", "400x300"}, {"r", "15"}},
       "flv", AV_CODEC_ID_FLV1, 400, 300, {1, 15}, {1, 1}, AV_CODEC_ID_MP3, 44100, 2, nullptr},
      {"o.mp4", {{"vcodec", "libx264"}, {"acodec", "aac"}, {"s", "640x480"}}, "mp4",
       AV_CODEC_ID_H264, 640, 480, {1, 25}, {1, 1}, AV_CODEC_ID_AAC, 44100, 2, nullptr},
      {"o.m4v", {{"vcodec", "libx264"}, {"acodec", "libfaac"}}, "ipod", AV_CODEC_ID_H264, 320,
       240, {1, 25}, {1, 1}, AV_CODEC_ID_AAC, 44100, 2, "aac"},
      {"o_psp.mp4",
       {{"f", "psp"}, {"vcodec", "mpeg4"}, {"acodec", "aac"}, {"ar", "24000"},
        {"r", "30000/1001"}},
       "psp", AV_CODEC_ID_MPEG4, 320, 240, {1001, 30000}, {1, 1}, AV_CODEC_ID_AAC, 24000, 2,
       nullptr},
      {"o.3gp",
       {{"vcodec", "h263"}, {"s", "176x144"}, {"r", "15"}, {"acodec", "aac"}, {"ar", "8000"},
        {"ac", "1"}},
       "3gp", AV_CODEC_ID_H263, 176, 144, {1, 15}, {12, 11}, AV_CODEC_ID_AAC, 8000, 1, nullptr},
      {"o.3g2", {{"vcodec", "h263"}, {"s", "176x144"}, {"acodec", "aac"}, {"ar", "16000"}},
       "3g2", AV_CODEC_ID_H263, 176, 144, {1, 25}, {12, 11}, AV_CODEC_ID_AAC, 16000, 2, nullptr},
      {"o.avi", {{"vcodec", "mpeg4"}, {"acodec", "libmp3lame"}}, "avi", AV_CODEC_ID_MPEG4, 320,
       240, {1, 25}, {1, 1}, AV_CODEC_ID_MP3, 44100, 2, nullptr},
      {"o.mov", {{"vcodec", "mpeg4"}, {"acodec", "aac"}, {"ar", "48000"}}, "mov",
       AV_CODEC_ID_MPEG4, 320, 240, {1, 25}, {1, 1}, AV_CODEC_ID_AAC, 48000, 2, nullptr},
      {"o.mpg", {{"vcodec", "mpeg1video"}, {"acodec", "mp2"}}, "mpeg", AV_CODEC_ID_MPEG1VIDEO,
       320, 240, {1, 25}, {1, 1}, AV_CODEC_ID_MP2, 44100, 2, nullptr},
      {"o.vob",
       {{"f", "vob"}, {"vcodec", "mpeg2video"}, {"acodec", "ac3"}, {"ar", "48000"}}, "vob",
       AV_CODEC_ID_MPEG2VIDEO, 320, 240, {1, 25}, {1, 1}, AV_CODEC_ID_AC3, 48000, 2, nullptr},
      {"o_vcd.mpg", {{"target", "pal-vcd"}}, "vcd", AV_CODEC_ID_MPEG1VIDEO, 352, 288, {1, 25},
       {12, 11}, AV_CODEC_ID_MP2, 44100, 2, nullptr},
      {"o_svcd.mpg", {{"target", "pal-svcd"}}, "svcd", AV_CODEC_ID_MPEG2VIDEO, 480, 576, {1, 25},
       {8, 5}, AV_CODEC_ID_MP2, 44100, 2, nullptr},
      {"o_dvd.vob", {{"target", "pal-dvd"}}, "dvd", AV_CODEC_ID_MPEG2VIDEO, 720, 576, {1, 25},
       {16, 15}, AV_CODEC_ID_AC3, 48000, 2, nullptr},
      {"o.ts", {{"vcodec", "mpeg2video"}, {"acodec", "mp2"}}, "mpegts", AV_CODEC_ID_MPEG2VIDEO,
       320, 240, {1, 25}, {1, 1}, AV_CODEC_ID_MP2, 44100, 2, nullptr},
      {"o.wmv", {{"vcodec", "wmv2"}, {"acodec", "wmav2"}}, "asf", AV_CODEC_ID_WMV2, 320, 240,
       {1, 25}, {1, 1}, AV_CODEC_ID_WMAV2, 44100, 2, nullptr},
      {"o_asf.dat", {{"f", "asf"}, {"vcodec", "wmv2"}, {"acodec", "wmav2"}}, "asf",
       AV_CODEC_ID_WMV2, 320, 240, {1, 25}, {1, 1}, AV_CODEC_ID_WMAV2, 44100, 2, nullptr},
      {"o.dv", {{"target", "pal-dv"}}, "dv", AV_CODEC_ID_DVVIDEO, 720, 576, {1, 25}, {16, 15},
       AV_CODEC_ID_PCM_S16LE, 48000, 2, nullptr},
      {"o_dv_by_size.dv", {{"s", "720x576"}, {"r", "25"}, {"ar", "48000"}}, "dv",
       AV_CODEC_ID_DVVIDEO, 720, 576, {1, 25}, {16, 15}, AV_CODEC_ID_PCM_S16LE, 48000, 2,
       nullptr},
      // The mp3 muxer's cover-picture codec is no video stream.
      {"o.mp3", {{"acodec", "libmp3lame"}, {"ab", "128k"}}, "mp3", kNone, 0, 0, {}, {},
       AV_CODEC_ID_MP3, 44100, 2, nullptr},
      {"o.aac", {{"acodec", "aac"}}, "adts", kNone, 0, 0, {}, {}, AV_CODEC_ID_AAC, 44100, 2,
       nullptr},
      {"o.m4a", {{"vn", ""}, {"acodec", "aac"}}, "ipod", kNone, 0, 0, {}, {}, AV_CODEC_ID_AAC,
       44100, 2, nullptr},
      {"o.wav", {{"acodec", "pcm_s16le"}}, "wav", kNone, 0, 0, {}, {}, AV_CODEC_ID_PCM_S16LE,
       44100, 2, nullptr},
      {"o.ogg", {{"vn", ""}, {"acodec", "vorbis"}}, "ogg", kNone, 0, 0, {}, {},
       AV_CODEC_ID_VORBIS, 44100, 2, "libvorbis"},
      {"o.ac3", {{"acodec", "ac3"}, {"ar", "48000"}}, "ac3", kNone, 0, 0, {}, {}, AV_CODEC_ID_AC3,
       48000, 2, nullptr},
  };
  for (const TContainerCase& c : cases) {
    SCOPED_TRACE(c.File);
    Fresh();
    std::vector<TOutputStream>* streams = nullptr;
    try {
      streams = &OpenBoth(Media().Av, c.Options, c.File);
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
      continue;
    }
    AVFormatContext* ctx = engine_->OutputFile(0).Context.get();
    ASSERT_NE(ctx, nullptr);
    ASSERT_NE(ctx->oformat, nullptr);
    EXPECT_STREQ(ctx->oformat->name, c.Muxer);
    const bool globalHeader = (ctx->oformat->flags & AVFMT_GLOBALHEADER) != 0;

    const size_t wanted = (c.Video != kNone) + (c.Audio != kNone);
    ASSERT_EQ(streams->size(), wanted);
    ASSERT_EQ(ctx->nb_streams, wanted);
    EXPECT_EQ(engine_->OutputCodecs().size(), wanted);
    size_t index = 0;
    if (c.Video != kNone) {
      const TOutputStream& v = (*streams)[index++];
      ASSERT_TRUE(v.Stream && v.Codec);
      EXPECT_EQ(v.Stream, ctx->streams[0]);
      EXPECT_FALSE(v.StreamCopy);
      EXPECT_EQ(v.Codec->codec_type, AVMEDIA_TYPE_VIDEO);
      EXPECT_EQ(v.Codec->codec_id, c.Video) << avcodec_get_name(v.Codec->codec_id);
      EXPECT_EQ(v.Stream->codecpar->codec_type, AVMEDIA_TYPE_VIDEO);
      EXPECT_EQ(v.Stream->codecpar->codec_id, c.Video);
      EXPECT_EQ(v.Codec->width, c.Width);
      EXPECT_EQ(v.Codec->height, c.Height);
      EXPECT_EQ(v.Stream->codecpar->width, c.Width);
      EXPECT_EQ(v.Stream->codecpar->height, c.Height);
      EXPECT_TRUE(IsRational(v.Codec->time_base, c.TimeBase));
      EXPECT_TRUE(IsRational(v.Codec->sample_aspect_ratio, c.Sar));
      EXPECT_TRUE(IsRational(v.Stream->sample_aspect_ratio, c.Sar));
      EXPECT_EQ(v.Codec->pix_fmt, AV_PIX_FMT_YUV420P);
      EXPECT_EQ((v.Codec->flags & AV_CODEC_FLAG_GLOBAL_HEADER) != 0, globalHeader);
    }
    if (c.Audio != kNone) {
      const size_t at = index;
      const TOutputStream& a = (*streams)[index++];
      ASSERT_TRUE(a.Stream && a.Codec);
      EXPECT_EQ(a.Stream, ctx->streams[at]);
      EXPECT_EQ(a.Codec->codec_type, AVMEDIA_TYPE_AUDIO);
      EXPECT_EQ(a.Codec->codec_id, c.Audio) << avcodec_get_name(a.Codec->codec_id);
      EXPECT_EQ(a.Stream->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
      EXPECT_EQ(a.Stream->codecpar->codec_id, c.Audio);
      EXPECT_EQ(a.Codec->sample_rate, c.SampleRate);
      EXPECT_EQ(a.Stream->codecpar->sample_rate, c.SampleRate);
      EXPECT_EQ(a.Codec->ch_layout.nb_channels, c.Channels);
      EXPECT_TRUE(IsRational(a.Codec->time_base, {1, c.SampleRate}));
      EXPECT_EQ((a.Codec->flags & AV_CODEC_FLAG_GLOBAL_HEADER) != 0, globalHeader);
      if (c.AudioEncoder) {
        ASSERT_NE(engine_->OutputCodecs()[at], nullptr);
        EXPECT_STREQ(engine_->OutputCodecs()[at]->name, c.AudioEncoder);
      }
    }
    if (!(ctx->oformat->flags & AVFMT_NOFILE)) {
      EXPECT_TRUE(fs::exists(MediaPath(c.File)));
      EXPECT_NE(ctx->pb, nullptr);
    }
    // The consumed settings are back at their reset values.
    EXPECT_FALSE(engine_->Options().VideoCodecName.has_value());
    EXPECT_FALSE(engine_->Options().AudioCodecName.has_value());
    EXPECT_TRUE(engine_->Options().FormatName.empty());
    // A video stream takes the picture format; without one the input's stays.
    EXPECT_EQ(engine_->Options().FramePixFmt, c.Video != kNone ? -1 : AV_PIX_FMT_YUV420P);
  }
}

TEST_F(EngineSetupTest, StreamKindsFollowTheInputsAndTheDisableOptions) {
  // Sound only: a video container gets no picture, and the sound keeps the input's rate.
  auto& fromWav = OpenBoth(Media().Mono, {}, "sound_only.avi");
  ASSERT_EQ(fromWav.size(), 1u);
  EXPECT_EQ(fromWav[0].Codec->codec_type, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(fromWav[0].Codec->sample_rate, 22050);
  EXPECT_EQ(fromWav[0].Codec->ch_layout.nb_channels, 1);

  struct TCase {
    const char* Option;
    AVMediaType Left;
  };
  for (const TCase& c : {TCase{"an", AVMEDIA_TYPE_VIDEO}, TCase{"vn", AVMEDIA_TYPE_AUDIO}}) {
    SCOPED_TRACE(c.Option);
    Fresh();
    auto& streams = OpenBoth(Media().Av, {{c.Option, "1"}}, std::string(c.Option) + ".avi");
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].Codec->codec_type, c.Left);
    EXPECT_FALSE(engine_->Options().AudioDisable);
    EXPECT_FALSE(engine_->Options().VideoDisable);
    // So the next output has both kinds again.
    ASSERT_EQ(engine_->OpenOutputFile(MediaPath(std::string(c.Option) + "_next.avi"), false), 2)
        << engine_->LastErrorText();
    EXPECT_EQ(engine_->OutputFile(1).Streams.size(), 2u);
  }

  // Stream copy marks both streams copied and chooses no encoder.
  Fresh();
  auto& copied = OpenBoth(Media().Av, {{"vcodec", "copy"}, {"acodec", "copy"}}, "copy.avi");
  ASSERT_EQ(copied.size(), 2u);
  EXPECT_TRUE(copied[0].StreamCopy);
  EXPECT_TRUE(copied[1].StreamCopy);
  EXPECT_EQ(copied[0].Stream->codecpar->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(copied[1].Stream->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
  EXPECT_TRUE(IsRational(copied[0].Stream->sample_aspect_ratio, {1, 1}));
  ASSERT_EQ(engine_->OutputCodecs().size(), 2u);  // one entry per stream, copied or not
  for (const AVCodec* c : engine_->OutputCodecs()) EXPECT_EQ(c, nullptr);
  EXPECT_FALSE(engine_->Options().VideoStreamCopy);
  EXPECT_FALSE(engine_->Options().AudioStreamCopy);
}

TEST_F(EngineSetupTest, WithJoinOnlyTheFirstInputIsExamined) {
  TCustomFFmpeg& e = *engine_;
  ASSERT_TRUE(e.OpenInputFile(Media().Mono));
  ASSERT_TRUE(e.OpenInputFile(Media().Av));
  bool video = false, audio = false, subtitle = true;
  std::string error;
  ASSERT_TRUE(e.check_audio_video_sub_inputs(true, video, audio, subtitle, error)) << error;
  EXPECT_FALSE(video);
  EXPECT_TRUE(audio);
  EXPECT_FALSE(subtitle);
  ASSERT_TRUE(e.check_audio_video_sub_inputs(false, video, audio, subtitle, error)) << error;
  EXPECT_TRUE(video);
  EXPECT_TRUE(audio);
  EXPECT_FALSE(subtitle);
}

// ---------------------------------------------------------------------------------------------
// Join mode.

TEST_F(EngineSetupTest, JoinFeedsOneOutputFromEveryInput) {
  TCustomFFmpeg& e = *engine_;
  int64_t sum = 0;
  for (int k = 0; k < 3; ++k) {
    ASSERT_TRUE(e.OpenInputFile(Media().Join[k])) << e.LastErrorText();
    const int64_t duration = e.InputFile(k).Context->duration;
    ASSERT_GT(duration, 0);
    sum += duration;
  }
  // Without join the largest duration counts.
  EXPECT_EQ(e.ProgressTotal(), e.InputFile(2).Context->duration);
  EXPECT_NEAR(double(sum), 1.8e6, 0.2e6);

  ASSERT_EQ(e.OpenOutputFile(MediaPath("joined.avi"), true), 3) << e.LastErrorText();
  EXPECT_TRUE(e.JoinMode());
  ASSERT_EQ(e.OutputFileCount(), 3);
  EXPECT_EQ(&e.OutputFile(1), &e.OutputFile(0));
  EXPECT_EQ(&e.OutputFile(2), &e.OutputFile(0));
  EXPECT_EQ(e.OutputFile(0).Streams.size(), 2u);
  EXPECT_EQ(e.ProgressTotal(), sum);

  EXPECT_EQ(e.OpenOutputFile(MediaPath("second.avi"), false), -1);
  EXPECT_EQ(e.LastErrorText(), "Cannot join more than one output file.");
  EXPECT_EQ(e.OutputFileCount(), 3);
  EXPECT_FALSE(fs::exists(MediaPath("second.avi")));

  // The shared slots are closed once.
  e.CloseFiles();
  EXPECT_EQ(e.OutputFileCount(), 0);
  EXPECT_EQ(e.InputFileCount(), 0);
}

TEST_F(EngineSetupTest, JoinWithOneInputIsAPlainOutput) {
  ASSERT_TRUE(engine_->OpenInputFile(Media().Av));
  EXPECT_EQ(engine_->OpenOutputFile(MediaPath("join_single.avi"), true), 1);
  EXPECT_FALSE(engine_->JoinMode());
  EXPECT_EQ(engine_->OpenOutputFile(MediaPath("join_single2.avi"), true), 2);
}

// ---------------------------------------------------------------------------------------------
// What inputs hand to the option state and the input tables.

TEST_F(EngineSetupTest, InputPictureAndSoundReachTheOptions) {
  TCustomFFmpeg& e = *engine_;
  ASSERT_TRUE(e.OpenInputFile(Media().Pal)) << e.LastErrorText();
  const TEngineOptions& o = e.Options();
  EXPECT_EQ(o.FrameWidth, 720);
  EXPECT_EQ(o.FrameHeight, 576);
  EXPECT_NEAR(o.FrameAspectRatio, 4.0 / 3.0, 1e-4);
  EXPECT_EQ(o.FramePixFmt, AV_PIX_FMT_YUV420P);
  EXPECT_TRUE(IsRational(o.FrameRate, {25, 1}));
  EXPECT_EQ(o.AudioSampleRate, 44100);
  EXPECT_EQ(o.AudioChannels, 2);

  // The next input overwrites the sound settings only.
  ASSERT_TRUE(e.OpenInputFile(Media().Mono)) << e.LastErrorText();
  EXPECT_EQ(o.AudioSampleRate, 22050);
  EXPECT_EQ(o.AudioChannels, 1);
  EXPECT_EQ(o.AudioSampleFmt, AV_SAMPLE_FMT_S16);
  EXPECT_EQ(o.FrameWidth, 720);

  // One decoder entry per stream over all files, in order, with the file each belongs to.
  const auto& in = e.InputStreams();
  ASSERT_EQ(in.size(), 3u);
  const AVMediaType kinds[] = {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_AUDIO};
  const int files[] = {0, 0, 1};
  for (size_t k = 0; k < in.size(); ++k) {
    SCOPED_TRACE(k);
    ASSERT_NE(in[k].Stream, nullptr);
    EXPECT_EQ(in[k].Stream->codecpar->codec_type, kinds[k]);
    EXPECT_EQ(in[k].FileIndex, files[k]);
    ASSERT_TRUE(in[k].Codec);
    EXPECT_EQ(in[k].Codec->codec_type, kinds[k]);
    EXPECT_EQ(in[k].Decoder, nullptr);  // none named
  }
  EXPECT_EQ(in[0].Codec->width, 720);
  EXPECT_EQ(in[2].Codec->sample_rate, 22050);
}

TEST_F(EngineSetupTest, NamedDecodersAreUsedAndConsumed) {
  TCustomFFmpeg& e = *engine_;
  e.DispatchOption("vcodec", "mpeg4");
  e.DispatchOption("acodec", "mp2float");
  ASSERT_TRUE(e.OpenInputFile(Media().Av)) << e.LastErrorText();
  ASSERT_EQ(e.InputStreams().size(), 2u);
  ASSERT_NE(e.InputStreams()[0].Decoder, nullptr);
  EXPECT_STREQ(e.InputStreams()[0].Decoder->name, "mpeg4");
  ASSERT_NE(e.InputStreams()[1].Decoder, nullptr);
  EXPECT_STREQ(e.InputStreams()[1].Decoder->name, "mp2float");
  EXPECT_FALSE(e.Options().VideoCodecName.has_value());
  EXPECT_FALSE(e.Options().AudioCodecName.has_value());

  struct TCase {
    const char* Option;
    const char* Value;
    std::string Error;
  };
  const TCase failures[] = {
      {"vcodec", "xyz", "Unknown decoder 'xyz'"},
      {"acodec", "libmp3lame", "Unknown decoder 'libmp3lame'"},  // an encoder only
      {"vcodec", "mp2", "Invalid decoder type 'mp2'"},
      {"acodec", "mpeg4", "Invalid decoder type 'mpeg4'"},
  };
  for (const TCase& c : failures) {
    SCOPED_TRACE(c.Value);
    Fresh();
    engine_->DispatchOption(c.Option, c.Value);
    EXPECT_FALSE(engine_->OpenInputFile(Media().Av));
    EXPECT_EQ(engine_->LastErrorText(), c.Error);
    EXPECT_EQ(engine_->InputFileCount(), 0);
    EXPECT_TRUE(engine_->InputStreams().empty());
    EXPECT_FALSE(engine_->Options().VideoCodecName.has_value());
    EXPECT_FALSE(engine_->Options().AudioCodecName.has_value());
  }
}

TEST_F(EngineSetupTest, StartTimeAndOffsetsMakeTheInputOffset) {
  struct TCase {
    TOptionList Options;
    int64_t Offset;  // before the file's own start time is taken off
  };
  const TCase cases[] = {
      {{}, 0},
      {{{"ss", "0.2"}}, -200000},
      {{{"itsoffset", "2"}, {"ss", "0.2"}}, 1800000},
      {{{"itsoffset", "2"}, {"ss", "0.2"}, {"copyts", ""}}, 2000000},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Offset);
    Fresh();
    Apply(c.Options);
    ASSERT_TRUE(engine_->OpenInputFile(Media().Av)) << engine_->LastErrorText();
    const AVFormatContext* ctx = engine_->InputFile(0).Context.get();
    const int64_t fileStart = ctx->start_time == AV_NOPTS_VALUE ? 0 : ctx->start_time;
    const bool copyts = engine_->Options().CopyTs;
    EXPECT_EQ(engine_->InputFile(0).TsOffset, c.Offset - (copyts ? 0 : fileStart));
    EXPECT_EQ(engine_->Options().StartTime, 0);  // consumed by the input
  }
}

TEST_F(EngineSetupTest, ProgramIdKeepsOnlyThatProgram) {
  TCustomFFmpeg& e = *engine_;
  e.DispatchOption("programid", "2");
  ASSERT_TRUE(e.OpenInputFile(Media().Ts)) << e.LastErrorText();
  EXPECT_EQ(e.Options().OptProgramId, 0);
  const AVFormatContext* ctx = e.InputFile(0).Context.get();
  ASSERT_EQ(ctx->nb_programs, 2u);
  int kept = 0;
  for (unsigned p = 0; p < ctx->nb_programs; ++p) {
    const AVProgram* program = ctx->programs[p];
    SCOPED_TRACE(program->id);
    for (unsigned s = 0; s < program->nb_stream_indexes; ++s) {
      const AVStream* stream = ctx->streams[program->stream_index[s]];
      if (program->id == 2) {
        EXPECT_NE(stream->discard, AVDISCARD_ALL);
        ++kept;
      } else {
        EXPECT_EQ(stream->discard, AVDISCARD_ALL);
      }
    }
    EXPECT_EQ(program->discard == AVDISCARD_ALL, program->id != 2);
  }
  EXPECT_EQ(kept, 2);

  Fresh();
  engine_->DispatchOption("programid", "7");
  EXPECT_FALSE(engine_->OpenInputFile(Media().Ts));
  EXPECT_EQ(engine_->LastErrorText(), "Specified program id not found");
  EXPECT_EQ(engine_->InputFileCount(), 0);
  EXPECT_TRUE(engine_->InputStreams().empty());
}

TEST_F(EngineSetupTest, InputsThatCannotBeOpened) {
  const std::string missing = MediaPath("no_such_file.avi");
  EXPECT_FALSE(engine_->OpenInputFile(missing));
  EXPECT_EQ(engine_->LastErrorText(), missing + ": No such file or directory");

  const std::string garbage = testing::WriteRandomBytes(MediaPath("garbage.bin"), 4096, 7);
  EXPECT_FALSE(engine_->OpenInputFile(garbage));
  const std::string text = engine_->LastErrorText();
  EXPECT_EQ(text.rfind(garbage + ": ", 0), 0u) << text;
  EXPECT_GT(text.size(), garbage.size() + 2);
  EXPECT_EQ(engine_->InputFileCount(), 0);

  engine_->DispatchOption("f", "nosuchfmt");
  try {
    engine_->OpenInputFile(Media().Av);
    ADD_FAILURE() << "no exception";
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "Unknown input format: \"nosuchfmt\"");
  }
  EXPECT_EQ(engine_->InputFileCount(), 0);

  // A forced format that exists is consumed by the input.
  Fresh();
  engine_->DispatchOption("f", "avi");
  ASSERT_TRUE(engine_->OpenInputFile(Media().Av)) << engine_->LastErrorText();
  EXPECT_TRUE(engine_->Options().FormatName.empty());
}

// ---------------------------------------------------------------------------------------------
// Output failures: the text, and nothing of the failed file left in the tables.

struct TOutputFailureCase {
  std::string File;
  TOptionList Options;
  std::string Error;  // "%s" stands for the full file name
};

TEST_F(EngineSetupTest, OutputFailuresLeaveTheTablesAsTheyWere) {
  const TOutputFailureCase cases[] = {
      {"bad.xyz", {}, "Unable to find a suitable output format for '%s'"},
      {"bad1.avi", {{"f", "nosuch"}},
       "Requested output format 'nosuch' is not a suitable output format"},
      {"bad2.avi", {{"f", "ffm"}}, "Requested output format 'ffm' is not a suitable output format"},
      {"bad3.avi", {{"vcodec", "xyz"}}, "new_video_stream fail: Unknown encoder 'xyz'"},
      {"bad4.avi", {{"vcodec", "mp2"}}, "new_video_stream fail: Invalid encoder type 'mp2'"},
      {"bad5.avi", {{"acodec", "xyz"}}, "new_audio_stream fail: Unknown encoder 'xyz'"},
      {"bad6.avi", {{"acodec", "mpeg4"}}, "new_audio_stream fail: Invalid encoder type 'mpeg4'"},
      {"bad7.avi", {{"vcodec", "mpeg4"}, {"rc_override", "1,2"}},
       "new_video_stream fail: error parsing rc_override"},
      {"bad8.avi", {{"rc_override", "0,10,5/x"}}, "new_video_stream fail: error parsing rc_override"},
      {"no_such_dir/bad.avi", {}, "%s: No such file or directory"},
  };
  for (const TOutputFailureCase& c : cases) {
    SCOPED_TRACE(c.File);
    Fresh();
    // One good output first: the failure must not disturb it.
    OpenBoth(Media().Av, {}, "good_" + std::to_string(&c - cases) + ".avi");
    const size_t codecs = engine_->OutputCodecs().size();
    ASSERT_EQ(codecs, 2u);
    Apply(c.Options);
    const std::string path = MediaPath(c.File);
    EXPECT_EQ(engine_->OpenOutputFile(path, false), -1);
    std::string expected = c.Error;
    if (const auto at = expected.find("%s"); at != std::string::npos)
      expected.replace(at, 2, path);
    EXPECT_EQ(engine_->LastErrorText(), expected);
    EXPECT_EQ(engine_->OutputFileCount(), 1);
    EXPECT_EQ(engine_->OutputCodecs().size(), codecs);
    EXPECT_FALSE(fs::exists(path));
    // A codec name that failed is dropped.
    EXPECT_FALSE(engine_->Options().VideoCodecName.has_value());
    EXPECT_FALSE(engine_->Options().AudioCodecName.has_value());
  }
}

TEST_F(EngineSetupTest, SubtitleEncoderFailure) {
  // Without inputs nothing clears the wanted subtitle stream.
  engine_->DispatchOption("vn", "");
  engine_->DispatchOption("an", "");
  engine_->DispatchOption("scodec", "xyz");
  EXPECT_EQ(engine_->OpenOutputFile(MediaPath("sub.mkv"), false), -1);
  EXPECT_EQ(engine_->LastErrorText(), "new_subtitle_stream fail: Unknown encoder 'xyz'");
  EXPECT_FALSE(engine_->Options().SubtitleCodecName.has_value());
  EXPECT_EQ(engine_->OutputFileCount(), 0);

  Apply({{"vn", ""}, {"an", ""}, {"scodec", "mpeg4"}});
  EXPECT_EQ(engine_->OpenOutputFile(MediaPath("sub.mkv"), false), -1);
  EXPECT_EQ(engine_->LastErrorText(), "new_subtitle_stream fail: Invalid encoder type 'mpeg4'");

  Apply({{"vn", ""}, {"an", ""}, {"scodec", "srt"}});
  ASSERT_EQ(engine_->OpenOutputFile(MediaPath("sub.mkv"), false), 1) << engine_->LastErrorText();
  ASSERT_EQ(engine_->OutputFile(0).Streams.size(), 1u);
  EXPECT_EQ(engine_->OutputFile(0).Streams[0].Codec->codec_type, AVMEDIA_TYPE_SUBTITLE);
  ASSERT_EQ(engine_->OutputCodecs().size(), 1u);
  ASSERT_NE(engine_->OutputCodecs()[0], nullptr);
  EXPECT_STREQ(engine_->OutputCodecs()[0]->name, "srt");
}

// The first experimental encoder of a kind, preferring one whose codec id also has a stable
// encoder; names the engine serves by another encoder are left out.
const AVCodec* ExperimentalEncoder(AVMediaType kind, bool wantStableSibling) {
  const AVCodec* any = nullptr;
  void* iter = nullptr;
  while (const AVCodec* c = av_codec_iterate(&iter)) {
    if (!av_codec_is_encoder(c) || c->type != kind) continue;
    if (!(c->capabilities & AV_CODEC_CAP_EXPERIMENTAL)) continue;
    if (std::string(c->name) == "vorbis") continue;  // served by libvorbis
    const AVCodec* sibling = avcodec_find_encoder(c->id);
    const bool stable = sibling && !(sibling->capabilities & AV_CODEC_CAP_EXPERIMENTAL);
    if (stable == wantStableSibling) return c;
    if (!any) any = c;
  }
  return any;
}

std::string ExperimentalText(const AVCodec* codec) {
  std::string text = std::string("encoder '") + codec->name +
                     "' is experimental and might produce bad results.\r\n"
                     "Add '-strict experimental' if you want to use it.";
  const AVCodec* sibling = avcodec_find_encoder(codec->id);
  if (sibling && !(sibling->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
    text += std::string("\r\nOr use the non experimental encoder '") + sibling->name + "'.";
  return text;
}

TEST_F(EngineSetupTest, ExperimentalEncodersNeedStrictExperimental) {
  const AVCodec* audio = ExperimentalEncoder(AVMEDIA_TYPE_AUDIO, true);
  const AVCodec* video = ExperimentalEncoder(AVMEDIA_TYPE_VIDEO, false);
  if (!audio && !video) GTEST_SKIP() << "no experimental encoder in the installed libraries";
  if (audio) {
    SCOPED_TRACE(audio->name);
    ASSERT_TRUE(engine_->OpenInputFile(Media().Av));
    Apply({{"vn", ""}, {"acodec", audio->name}});
    EXPECT_EQ(engine_->OpenOutputFile(MediaPath("exp_a.mkv"), false), -1);
    EXPECT_EQ(engine_->LastErrorText(), "new_audio_stream fail: " + ExperimentalText(audio));
    EXPECT_EQ(engine_->OutputFileCount(), 0);
    EXPECT_TRUE(engine_->OutputCodecs().empty());
    // Sound takes its strictness from the recorded options.
    Apply({{"vn", ""}, {"strict", "experimental"}, {"acodec", audio->name}});
    ASSERT_EQ(engine_->OpenOutputFile(MediaPath("exp_a.mkv"), false), 1)
        << engine_->LastErrorText();
    ASSERT_EQ(engine_->OutputCodecs().size(), 1u);
    EXPECT_EQ(engine_->OutputCodecs()[0], audio);
  }
  if (video) {
    SCOPED_TRACE(video->name);
    Fresh();
    ASSERT_TRUE(engine_->OpenInputFile(Media().Av));
    Apply({{"an", ""}, {"vcodec", video->name}});
    EXPECT_EQ(engine_->OpenOutputFile(MediaPath("exp_v.mkv"), false), -1);
    EXPECT_EQ(engine_->LastErrorText(), "new_video_stream fail: " + ExperimentalText(video));
    EXPECT_EQ(engine_->OutputFileCount(), 0);
  }
}

TEST_F(EngineSetupTest, TablesHoldTwentyEntries) {
  TCustomFFmpeg& e = *engine_;
  for (int k = 0; k < MAX_FILES; ++k) ASSERT_TRUE(e.OpenInputFile(Media().Mono)) << k;
  EXPECT_FALSE(e.OpenInputFile(Media().Mono));
  EXPECT_FALSE(e.LastErrorText().empty());
  EXPECT_EQ(e.InputFileCount(), MAX_FILES);
  EXPECT_EQ(e.InputStreams().size(), size_t(MAX_FILES));

  for (int k = 0; k < MAX_FILES; ++k)
    ASSERT_EQ(e.OpenOutputFile(MediaPath("many" + std::to_string(k) + ".wav"), false), k + 1)
        << e.LastErrorText();
  EXPECT_EQ(e.OpenOutputFile(MediaPath("many_last.wav"), false), -1);
  EXPECT_FALSE(e.LastErrorText().empty());
  EXPECT_EQ(e.OutputFileCount(), MAX_FILES);
  EXPECT_EQ(e.OutputCodecs().size(), size_t(MAX_FILES));
  EXPECT_FALSE(fs::exists(MediaPath("many_last.wav")));

  // Streams of one output: "newaudio" adds to the last one until it holds twenty.
  Fresh();
  OpenBoth(Media().Mono, {}, "streams.mkv");
  TOutputFile& out = engine_->OutputFile(0);
  ASSERT_EQ(out.Streams.size(), 1u);
  for (int k = 1; k < MAX_STREAMS; ++k) engine_->DispatchOption("newaudio", "");
  ASSERT_EQ(out.Streams.size(), size_t(MAX_STREAMS));
  EXPECT_EQ(out.Context->nb_streams, unsigned(MAX_STREAMS));
  EXPECT_THROW(engine_->DispatchOption("newaudio", ""), FFmpegException);
  EXPECT_EQ(out.Streams.size(), size_t(MAX_STREAMS));
  EXPECT_EQ(out.Context->nb_streams, unsigned(MAX_STREAMS));
  EXPECT_EQ(engine_->OutputCodecs().size(), size_t(MAX_STREAMS));
}

TEST_F(EngineSetupTest, NewStreamOptionsNeedAnOutput) {
  for (const char* name : {"newvideo", "newaudio", "newsubtitle"}) {
    SCOPED_TRACE(name);
    try {
      engine_->DispatchOption(name, "");
      ADD_FAILURE() << "no exception";
    } catch (const FFmpegException& e) {
      EXPECT_STREQ(e.what(), "At least one output file must be specified");
    }
  }
  // With an output the stream goes to the last one, with its own codec and language.
  OpenBoth(Media().Av, {}, "first.avi");
  OpenBoth(Media().Av, {}, "second.mkv");
  Apply({{"acodec", "libmp3lame"}, {"alang", "ger"}, {"newaudio", ""}});
  EXPECT_EQ(engine_->OutputFile(0).Streams.size(), 2u);
  auto& streams = engine_->OutputFile(1).Streams;
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_EQ(streams[2].Codec->codec_id, AV_CODEC_ID_MP3);
  const AVDictionaryEntry* lang = av_dict_get(streams[2].Stream->metadata, "language", nullptr, 0);
  ASSERT_NE(lang, nullptr);
  EXPECT_STREQ(lang->value, "ger");
  EXPECT_TRUE(engine_->Options().AudioLanguage.empty());
}

// ---------------------------------------------------------------------------------------------
// Encoder settings taken from the options.

TEST_F(EngineSetupTest, SampleRateFallsToTheNearestListedRate) {
  struct TCase {
    const char* Encoder;
    const char* File;
    int Asked;
    int Given;
  };
  const TCase cases[] = {
      {"ac3", "r1.ac3", 22050, 32000},  {"ac3", "r2.ac3", 44100, 44100},
      {"ac3", "r3.ac3", 46050, 48000},  // equally near: the first listed
      {"mp2", "r4.mp2", 46050, 44100},  {"mp2", "r5.mp2", 40000, 44100},
      {"pcm_s16le", "r6.wav", 12345, 12345},  // no list
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Encoder) + " " + std::to_string(c.Asked));
    Fresh();
    auto& streams =
        OpenBoth(Media().Mono, {{"acodec", c.Encoder}, {"ar", std::to_string(c.Asked)}}, c.File);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].Codec->sample_rate, c.Given);
    EXPECT_TRUE(IsRational(streams[0].Codec->time_base, {1, c.Given}));
    const std::string warning = "Requested sampling rate unsupported using closest supported (" +
                                std::to_string(c.Given) + ")";
    EXPECT_EQ(Logged(llWarning, warning), c.Asked != c.Given);
  }
}

TEST_F(EngineSetupTest, SampleFormatAndPixelFormatFallBackToTheFirstListed) {
  // mono.wav decodes to 16-bit; the AAC encoder takes planar float only.
  auto& sound = OpenBoth(Media().Mono, {{"acodec", "aac"}}, "fmt.m4a");
  ASSERT_EQ(sound.size(), 1u);
  EXPECT_EQ(sound[0].Codec->sample_fmt, AV_SAMPLE_FMT_FLTP);

  struct TCase {
    const char* Encoder;
    const char* PixFmt;
    AVPixelFormat Given;  // none: the encoder's first listed format
  };
  const TCase cases[] = {
      {"mpeg4", "rgb24", AV_PIX_FMT_NONE},
      {"mpeg2video", "yuv422p", AV_PIX_FMT_YUV422P},  // listed: kept
      {"dvvideo", "nv12", AV_PIX_FMT_NONE},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Encoder);
    Fresh();
    const AVCodec* encoder = avcodec_find_encoder_by_name(c.Encoder);
    ASSERT_NE(encoder, nullptr);
    ASSERT_NE(encoder->pix_fmts, nullptr);
    const AVPixelFormat given = c.Given == AV_PIX_FMT_NONE ? encoder->pix_fmts[0] : c.Given;
    auto& streams = OpenBoth(Media().Av, {{"an", ""}, {"vcodec", c.Encoder}, {"pix_fmt", c.PixFmt}},
                             std::string("pix_") + c.Encoder + ".mkv");
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].Codec->pix_fmt, given)
        << av_get_pix_fmt_name(streams[0].Codec->pix_fmt);
    EXPECT_EQ(engine_->Options().FramePixFmt, -1);
  }
}

TEST_F(EngineSetupTest, QualityIntraAndRateControlOverrides) {
  auto& q = OpenBoth(Media().Av, {{"an", ""}, {"vcodec", "mpeg4"}, {"qscale", "4"}}, "q.avi");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_TRUE(q[0].Codec->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_EQ(q[0].Codec->global_quality, 472);
  EXPECT_FLOAT_EQ(q[0].Quality, 472);

  Fresh();
  auto& s = OpenBoth(Media().Av,
                     {{"an", ""},
                      {"vcodec", "mpeg4"},
                      {"intra", "1"},
                      {"rc_override", "0,10,5/11,20,-50"},
                      {"dc", "9"},
                      {"bufsize", "400000"}},
                     "rc.avi");
  ASSERT_EQ(s.size(), 1u);
  const AVCodecContext* c = s[0].Codec.get();
  EXPECT_EQ(c->gop_size, 0);
  EXPECT_FALSE(c->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_EQ(c->global_quality, 0);
  EXPECT_EQ(c->intra_dc_precision, 1);
  EXPECT_EQ(c->rc_initial_buffer_occupancy, 300000);
  ASSERT_EQ(c->rc_override_count, 2);
  ASSERT_NE(c->rc_override, nullptr);
  EXPECT_EQ(c->rc_override[0].start_frame, 0);
  EXPECT_EQ(c->rc_override[0].end_frame, 10);
  EXPECT_EQ(c->rc_override[0].qscale, 5);
  EXPECT_FLOAT_EQ(c->rc_override[0].quality_factor, 1.0f);
  EXPECT_EQ(c->rc_override[1].start_frame, 11);
  EXPECT_EQ(c->rc_override[1].end_frame, 20);
  EXPECT_EQ(c->rc_override[1].qscale, 0);
  EXPECT_FLOAT_EQ(c->rc_override[1].quality_factor, 0.5f);

  // Sound quantiser.
  Fresh();
  auto& aq = OpenBoth(Media().Mono, {{"acodec", "libmp3lame"}, {"aq", "2"}}, "aq.mp3");
  ASSERT_EQ(aq.size(), 1u);
  EXPECT_TRUE(aq[0].Codec->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_EQ(aq[0].Codec->global_quality, 236);
}

TEST_F(EngineSetupTest, MetadataAndLanguages) {
  auto& streams = OpenBoth(Media().Av,
                           {{"metadata", "title=A"},
                            {"metadata", "title=B"},
                            {"metadata", "artist=Me"},
                            {"vlang", "eng"},
                            {"alang", "fre"}},
                           "meta.mkv");
  AVFormatContext* ctx = engine_->OutputFile(0).Context.get();
  const AVDictionaryEntry* title = av_dict_get(ctx->metadata, "title", nullptr, 0);
  ASSERT_NE(title, nullptr);
  EXPECT_STREQ(title->value, "A");  // a repeated key keeps its first value
  const AVDictionaryEntry* artist = av_dict_get(ctx->metadata, "artist", nullptr, 0);
  ASSERT_NE(artist, nullptr);
  EXPECT_STREQ(artist->value, "Me");
  EXPECT_TRUE(engine_->Options().Metadata.empty());

  ASSERT_EQ(streams.size(), 2u);
  const char* wanted[] = {"eng", "fre"};
  for (size_t k = 0; k < 2; ++k) {
    const AVDictionaryEntry* lang =
        av_dict_get(streams[k].Stream->metadata, "language", nullptr, 0);
    ASSERT_NE(lang, nullptr) << k;
    EXPECT_STREQ(lang->value, wanted[k]);
  }
  EXPECT_TRUE(engine_->Options().VideoLanguage.empty());
  EXPECT_TRUE(engine_->Options().AudioLanguage.empty());

  // The next output gets neither.
  auto& next = OpenBoth(Media().Av, {}, "meta2.mkv");
  EXPECT_EQ(av_dict_get(engine_->OutputFile(1).Context->metadata, "title", nullptr, 0), nullptr);
  EXPECT_EQ(av_dict_get(next[0].Stream->metadata, "language", nullptr, 0), nullptr);
}

TEST_F(EngineSetupTest, RecordedOptionsReachEncodersAndMuxers) {
  auto& streams = OpenBoth(Media().Av,
                           {{"vcodec", "mpeg4"},
                            {"g", "7"},
                            {"bf", "2"},
                            {"b", "800k"},
                            {"acodec", "mp2"},
                            {"ab", "96k"}},
                           "recorded.avi");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].Codec->gop_size, 7);
  EXPECT_EQ(streams[0].Codec->max_b_frames, 2);
  EXPECT_EQ(streams[0].Codec->bit_rate, 800000);
  EXPECT_EQ(streams[1].Codec->bit_rate, 96000);
  // A video option does not leak into the sound encoder.
  EXPECT_NE(streams[1].Codec->bit_rate, 800000);
  EXPECT_EQ(engine_->OutputFile(0).Context->max_delay, 700000);

  // Private options of the H.264 encoder.
  Fresh();
  auto& h264 = OpenBoth(Media().Av,
                        {{"an", ""}, {"vcodec", "libx264"}, {"preset", "veryfast"}, {"crf", "20"}},
                        "private.mp4");
  ASSERT_EQ(h264.size(), 1u);
  ASSERT_NE(h264[0].Codec->priv_data, nullptr);
  uint8_t* preset = nullptr;
  ASSERT_GE(av_opt_get(h264[0].Codec->priv_data, "preset", 0, &preset), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(preset), "veryfast");
  av_free(preset);
  double crf = 0;
  ASSERT_GE(av_opt_get_double(h264[0].Codec->priv_data, "crf", 0, &crf), 0);
  EXPECT_DOUBLE_EQ(crf, 20);

  // A disc target's multiplexer settings reach the muxer, its rates the encoders.
  Fresh();
  auto& vcd = OpenBoth(Media().Av, {{"target", "pal-vcd"}}, "target.mpg");
  AVFormatContext* ctx = engine_->OutputFile(0).Context.get();
  EXPECT_EQ(ctx->packet_size, 2324u);
  ASSERT_NE(ctx->priv_data, nullptr);
  int64_t muxrate = 0;
  ASSERT_GE(av_opt_get_int(ctx->priv_data, "muxrate", 0, &muxrate), 0);
  EXPECT_EQ(muxrate, 1411200);
  ASSERT_EQ(vcd.size(), 2u);
  EXPECT_EQ(vcd[0].Codec->bit_rate, 1150000);
  EXPECT_EQ(vcd[0].Codec->rc_max_rate, 1150000);
  EXPECT_EQ(vcd[0].Codec->rc_buffer_size, 327680);
  EXPECT_EQ(vcd[0].Codec->gop_size, 15);
  EXPECT_EQ(vcd[1].Codec->bit_rate, 224000);
}

TEST_F(EngineSetupTest, GlobalHeaderMode) {
  struct TCase {
    const char* Mode;
    const char* File;
    bool Global;
    bool Local;
  };
  const TCase cases[] = {
      {"0", "gh0.avi", false, false}, {"0", "gh0.mp4", true, false},
      {"1", "gh1.avi", true, false},  {"2", "gh2.mp4", false, true},
      {"3", "gh3.avi", true, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Mode) + " " + c.File);
    Fresh();
    auto& s = OpenBoth(Media().Av, {{"an", ""}, {"vcodec", "mpeg4"}, {"vglobal", c.Mode}}, c.File);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ((s[0].Codec->flags & AV_CODEC_FLAG_GLOBAL_HEADER) != 0, c.Global);
    EXPECT_EQ((s[0].Codec->flags2 & AV_CODEC_FLAG2_LOCAL_HEADER) != 0, c.Local);
  }
}

// ---------------------------------------------------------------------------------------------

TEST(AspectFractionTest, RatiosAsHeaderFractions) {
  struct TCase {
    double Ratio;
    int Num, Den;
  };
  const TCase cases[] = {
      {4.0 / 3, 4, 3},
      {16.0 / 9, 16, 9},
      {1.0, 1, 1},
      {2.35, 47, 20},
      {1.85, 37, 20},
      // 720x576 with sample aspect 16:15: its frame aspect ratio (a single) back to the SAR.
      {double(float(720.0 * 16 / 15 / 576)) * 576 / 720, 16, 15},
      {12.0 / 11, 12, 11},
      {1000.0, 255, 1},  // above the bound
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Ratio);
    EXPECT_TRUE(IsRational(AspectFraction(c.Ratio), {c.Num, c.Den}));
  }
  EXPECT_EQ(AspectFraction(0).num, 0);
}

// ---------------------------------------------------------------------------------------------
// Closing.

TEST_F(EngineSetupTest, CloseFilesEmptiesTheTablesAndDeletesEmptyOutputs) {
  OpenBoth(Media().Av, {}, "empty.avi");
  OpenBoth(Media().Mono, {}, "written.wav");
  ASSERT_TRUE(fs::exists(MediaPath("empty.avi")));
  // Something reached the second file.
  AVIOContext* pb = engine_->OutputFile(1).Context->pb;
  ASSERT_NE(pb, nullptr);
  avio_write(pb, reinterpret_cast<const unsigned char*>("data"), 4);
  engine_->CloseFiles();
  EXPECT_FALSE(fs::exists(MediaPath("empty.avi")));
  ASSERT_TRUE(fs::exists(MediaPath("written.wav")));
  EXPECT_EQ(fs::file_size(MediaPath("written.wav")), 4u);
  EXPECT_EQ(engine_->InputFileCount(), 0);
  EXPECT_TRUE(engine_->InputStreams().empty());
  EXPECT_EQ(engine_->OutputFileCount(), 0);
  EXPECT_TRUE(engine_->OutputCodecs().empty());
  // A second close has nothing to do.
  engine_->CloseFiles();
  // The engine opens files again afterwards.
  OpenBoth(Media().Av, {}, "again.avi");
  EXPECT_EQ(engine_->OutputFileCount(), 1);
}

TEST_F(EngineSetupTest, DestructionClosesEverything) {
  {
    TCustomFFmpeg e;
    ASSERT_TRUE(e.OpenInputFile(Media().Join[0]));
    ASSERT_TRUE(e.OpenInputFile(Media().Join[1]));
    ASSERT_EQ(e.OpenOutputFile(MediaPath("destroyed.avi"), true), 2);
    e.DispatchOption("metadata", "title=T");
    e.DispatchOption("vbsf", "null");
    ASSERT_TRUE(fs::exists(MediaPath("destroyed.avi")));
  }
  // The output stayed empty and went with the engine; leaks show under the sanitizer.
  EXPECT_FALSE(fs::exists(MediaPath("destroyed.avi")));
}

}  // namespace
}  // namespace orvo
