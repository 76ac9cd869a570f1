// The audio output path: conversions of sample rate, channels and sample format, framing into
// encoder frames, the block-wise PCM path, the volume step, and keeping the output on the input's
// clock (silence for a late start, the 50-sample tolerance).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/samplefmt.h>
}

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/av_handles.h"
#include "engine/FFmpeg.h"
#include "engine/audio_samples.h"
#include "support/engine_log_capture.h"
#include "support/read_back.h"
#include "support/test_media.h"

namespace orvo {
namespace {

using TOptionList = std::vector<std::pair<std::string, std::string>>;

using testing::MediaPath;

std::string Wav(const std::string& name, int rate, int channels) {
  testing::TestMediaSpec recipe;
  recipe.container = "wav";
  recipe.audioEncoder = "pcm_s16le";
  recipe.sampleRate = rate;
  recipe.channels = channels;
  recipe.seconds = 0.5;
  return testing::WriteTestMedia(MediaPath(name), recipe);
}

struct TMedia {
  std::string Mp2Stereo48;  // nut, mp2 48000 Hz stereo: decodes to planar samples
  std::string Stereo44;     // wav, s16 44100 Hz stereo
  std::string Mono44;       // wav, s16 44100 Hz mono
  std::string Mono40;       // wav, s16 40000 Hz mono: 25 µs per sample
};

const TMedia& Media() {
  static const TMedia media = [] {
    TMedia m;
    testing::TestMediaSpec mp2;
    mp2.container = "nut";
    mp2.audioEncoder = "mp2";
    mp2.sampleRate = 48000;
    mp2.seconds = 0.5;
    m.Mp2Stereo48 = testing::WriteTestMedia(MediaPath("stereo48.nut"), mp2);
    m.Stereo44 = Wav("stereo44.wav", 44100, 2);
    m.Mono44 = Wav("mono44.wav", 44100, 1);
    m.Mono40 = Wav("mono40.wav", 40000, 1);
    return m;
  }();
  return media;
}

using testing::TAudioRead;
TAudioRead ReadAudio(const std::string& path) { return testing::ReadFirstAudio(path); }

class EngineAudioTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries));
    Media();
  }
  void SetUp() override { log_.Start(llVerbose); }
  void TearDown() override { log_.Stop(); }

  // Converts `input` into `output`; `inputOptions` go before the input is opened, `options`
  // after it (they override what the input handed to the option state).
  void Convert(const std::string& input, const std::string& output, const TOptionList& options,
               const TOptionList& inputOptions = {}) {
    TCustomFFmpeg engine;
    log_.Follow(&engine);
    engine.DispatchOption("v", "3");
    for (const auto& [name, value] : inputOptions) engine.DispatchOption(name, value);
    ASSERT_TRUE(engine.OpenInputFile(input)) << engine.LastErrorText();
    for (const auto& [name, value] : options) engine.DispatchOption(name, value);
    ASSERT_GT(engine.OpenOutputFile(output, false), 0) << engine.LastErrorText();
    engine.Transcode();
    engine.CloseFiles();
    log_.Follow(nullptr, /*forget=*/false);  // keeps the run's lines, none from the engine's end
  }

  std::vector<std::string> LinesContaining(const std::string& part) {
    return log_.Containing(part);
  }

 private:
  testing::EngineLogCapture log_;
};

TEST(AudioSamples, VolumeRoundsShiftsAndClipsEveryFormat) {
  // 16-bit: (s * volume + 128) >> 8 with an arithmetic shift, clipped.
  struct {
    int16_t in;
    int volume;
    int16_t out;
  } const cases16[] = {{3, 128, 2},          {-3, 128, -1},         {1, 128, 1},
                       {-1, 128, 0},         {1000, 512, 2000},     {20000, 512, 32767},
                       {-20000, 512, -32768}, {-32768, 256, -32768}, {100, 0, 0},
                       {100, -256, -100}};
  for (const auto& c : cases16)
    EXPECT_EQ(ScaleSample16(c.in, c.volume), c.out) << c.in << " at " << c.volume;

  // Planar 16-bit: every plane is scaled.
  int16_t left[] = {1000, -20000};
  int16_t right[] = {3, 20000};
  uint8_t* planes16[] = {reinterpret_cast<uint8_t*>(left), reinterpret_cast<uint8_t*>(right)};
  ScaleSamples(planes16, AV_SAMPLE_FMT_S16P, 2, 2, 512);
  EXPECT_EQ(left[0], 2000);
  EXPECT_EQ(left[1], -32768);
  EXPECT_EQ(right[0], 6);
  EXPECT_EQ(right[1], 32767);

  // Unsigned 8-bit around its 128 midpoint.
  uint8_t u8[] = {200, 128, 10, 255};
  uint8_t* planeU8[] = {u8};
  ScaleSamples(planeU8, AV_SAMPLE_FMT_U8, 2, 2, 512);
  EXPECT_EQ(u8[0], 255);  // +72 doubled clips at +127
  EXPECT_EQ(u8[1], 128);
  EXPECT_EQ(u8[2], 0);    // -118 doubled clips at -128
  EXPECT_EQ(u8[3], 255);

  int32_t s32[] = {std::numeric_limits<int32_t>::max(), 1 << 20, -3};
  uint8_t* planeS32[] = {reinterpret_cast<uint8_t*>(s32)};
  ScaleSamples(planeS32, AV_SAMPLE_FMT_S32, 1, 3, 512);
  EXPECT_EQ(s32[0], std::numeric_limits<int32_t>::max());
  EXPECT_EQ(s32[1], 1 << 21);
  EXPECT_EQ(s32[2], -6);

  // Planar float, as most decoders give it: scaled and kept within -1..1.
  float a[] = {0.25f, 0.75f};
  float b[] = {-0.5f, -0.75f};
  uint8_t* planesF[] = {reinterpret_cast<uint8_t*>(a), reinterpret_cast<uint8_t*>(b)};
  ScaleSamples(planesF, AV_SAMPLE_FMT_FLTP, 2, 2, 512);
  EXPECT_FLOAT_EQ(a[0], 0.5f);
  EXPECT_FLOAT_EQ(a[1], 1.0f);
  EXPECT_FLOAT_EQ(b[0], -1.0f);
  EXPECT_FLOAT_EQ(b[1], -1.0f);
  ScaleSamples(planesF, AV_SAMPLE_FMT_FLTP, 2, 2, 128);
  EXPECT_FLOAT_EQ(a[0], 0.25f);
  EXPECT_FLOAT_EQ(b[1], -0.5f);
}

TEST_F(EngineAudioTest, ResamplesAndMixesDownIntoWholeMp2Frames) {
  const TAudioRead in = ReadAudio(Media().Mp2Stereo48);
  ASSERT_TRUE(in.Opened);
  const std::string out = MediaPath("mono44.mp2");
  Convert(Media().Mp2Stereo48, out, {{"acodec", "mp2"}, {"ar", "44100"}, {"ac", "1"}});
  const TAudioRead r = ReadAudio(out);
  ASSERT_TRUE(r.Opened);
  EXPECT_EQ(r.Codec, "mp2");
  EXPECT_EQ(r.Rate, 44100);
  EXPECT_EQ(r.Channels, 1);
  ASSERT_FALSE(r.FrameSamples.empty());
  for (int n : r.FrameSamples) EXPECT_EQ(n, 1152);
  // Every input sample arrives (the resampler's tail included); the last frame is padded.
  const int64_t expected = in.Samples * 44100 / 48000;
  EXPECT_GE(r.Samples, expected - 2);
  EXPECT_LT(r.Samples, expected + 1152);
  EXPECT_GT(r.Rms(), 0.5 * in.Rms());

  // Into PCM nothing is padded: the count shows the resampler's last samples arrive too.
  const std::string pcm = MediaPath("mono44.wav");
  Convert(Media().Mp2Stereo48, pcm, {{"ar", "44100"}, {"ac", "1"}});
  EXPECT_NEAR(double(ReadAudio(pcm).Samples), double(expected), 1.0);
}

TEST_F(EngineAudioTest, MonoBecomesStereoAtTheSameRate) {
  const TAudioRead in = ReadAudio(Media().Mono44);
  ASSERT_TRUE(in.Opened);
  const std::string out = MediaPath("mono-to-stereo.wav");
  Convert(Media().Mono44, out, {{"ac", "2"}});
  const TAudioRead r = ReadAudio(out);
  ASSERT_TRUE(r.Opened);
  EXPECT_EQ(r.Channels, 2);
  EXPECT_EQ(r.Rate, 44100);
  EXPECT_EQ(r.Samples, in.Samples);
  ASSERT_EQ(r.S16.size(), size_t(2 * r.Samples));
  for (size_t i = 0; i + 1 < r.S16.size(); i += 2) ASSERT_EQ(r.S16[i], r.S16[i + 1]) << i;
  EXPECT_GT(r.Rms(), 0.5 * in.Rms());
}

TEST_F(EngineAudioTest, VolumeScalesEvery16BitSampleExactly) {
  const TAudioRead in = ReadAudio(Media().Stereo44);
  ASSERT_TRUE(in.Opened);
  ASSERT_FALSE(in.S16.empty());
  for (const int volume : {128, 512}) {
    SCOPED_TRACE(volume);
    const std::string out = MediaPath("volume" + std::to_string(volume) + ".wav");
    Convert(Media().Stereo44, out, {{"vol", std::to_string(volume)}});
    const TAudioRead r = ReadAudio(out);
    ASSERT_TRUE(r.Opened);
    ASSERT_EQ(r.S16.size(), in.S16.size());
    int changed = 0;
    for (size_t i = 0; i < in.S16.size(); ++i) {
      const int expected = std::clamp((in.S16[i] * volume + 128) >> 8, -32768, 32767);
      ASSERT_EQ(r.S16[i], expected) << "sample " << i;
      changed += r.S16[i] != in.S16[i];
    }
    EXPECT_GT(changed, int(in.S16.size() / 2));
  }
}

TEST_F(EngineAudioTest, PcmOutputWritesOnePacketPerDecodedBlock) {
  AVFormatContext* raw = nullptr;
  ASSERT_GE(avformat_open_input(&raw, Media().Stereo44.c_str(), nullptr, nullptr), 0);
  InputFormatContextPtr ic(raw);
  std::vector<int> blocks;
  PacketPtr packet(av_packet_alloc());
  while (av_read_frame(ic.get(), packet.get()) >= 0) {
    blocks.push_back(packet->size / 4);  // 16-bit stereo
    av_packet_unref(packet.get());
  }
  ASSERT_GT(blocks.size(), 2u);

  const std::string out = MediaPath("pcm.nut");
  Convert(Media().Stereo44, out, {{"acodec", "pcm_s16le"}});
  const TAudioRead r = ReadAudio(out);
  ASSERT_TRUE(r.Opened);
  EXPECT_EQ(r.PacketSamples, blocks);
  // Each block starts where the previous one ended.
  int64_t at = 0;
  for (size_t i = 0; i < r.PacketPts.size(); ++i) {
    EXPECT_EQ(r.PacketPts[i], at) << "packet " << i;
    at += i < blocks.size() ? blocks[i] : 0;
  }
}

TEST_F(EngineAudioTest, AacOutputKeepsTheDuration) {
  const TAudioRead in = ReadAudio(Media().Stereo44);
  ASSERT_TRUE(in.Opened);
  const std::string out = MediaPath("aac.m4a");
  Convert(Media().Stereo44, out, {{"acodec", "aac"}});
  const TAudioRead r = ReadAudio(out);
  ASSERT_TRUE(r.Opened);
  EXPECT_EQ(r.Codec, "aac");
  // Nothing of the input is lost; at most the last frame's padding is added.
  EXPECT_GE(r.Samples, in.Samples);
  EXPECT_LT(r.Samples, in.Samples + 1024);
  EXPECT_GT(r.Rms(), 0.5 * in.Rms());
}

TEST_F(EngineAudioTest, LateAudioStartGetsSilenceOnlyWithAudioSync) {
  const TAudioRead in = ReadAudio(Media().Mono44);
  ASSERT_TRUE(in.Opened);
  // The input's sound starts 0.5 s late: with audio sync the gap is filled with silence.
  const std::string synced = MediaPath("late-sync.wav");
  Convert(Media().Mono44, synced, {{"async", "1"}}, {{"itsoffset", "0.5"}});
  EXPECT_EQ(LinesContaining("adding 22050 audio samples of silence").size(), 1u);
  const TAudioRead r = ReadAudio(synced);
  ASSERT_TRUE(r.Opened);
  ASSERT_EQ(r.Samples, in.Samples + 22050);
  for (size_t i = 0; i < 22050; ++i) ASSERT_EQ(r.S16[i], 0) << "sample " << i;
  for (size_t i = 0; i < in.S16.size(); ++i) ASSERT_EQ(r.S16[22050 + i], in.S16[i]) << i;

  // Audio sync above 1 runs every block through the resampler, even at equal rates; the
  // silence goes in the same way.
  const std::string stretched = MediaPath("late-sync1000.wav");
  Convert(Media().Mono44, stretched, {{"async", "1000"}}, {{"itsoffset", "0.5"}});
  EXPECT_EQ(LinesContaining("adding 22050 audio samples of silence").size(), 1u);
  const TAudioRead s = ReadAudio(stretched);
  ASSERT_TRUE(s.Opened);
  EXPECT_NEAR(double(s.Samples), double(in.Samples + 22050), 1.0);
  for (size_t i = 0; i < 22000; ++i) ASSERT_EQ(s.S16[i], 0) << "sample " << i;
  EXPECT_GT(s.Rms(), 0.5 * in.Rms());

  // Without audio sync nothing is inserted.
  const std::string unsynced = MediaPath("late-nosync.wav");
  Convert(Media().Mono44, unsynced, {}, {{"itsoffset", "0.5"}});
  EXPECT_TRUE(LinesContaining("audio samples of silence").empty());
  EXPECT_EQ(ReadAudio(unsynced).Samples, in.Samples);
}

TEST_F(EngineAudioTest, GapsUpToFiftySamplesAreLeftAlone) {
  const TAudioRead in = ReadAudio(Media().Mono40);
  ASSERT_TRUE(in.Opened);
  struct {
    const char* offset;  // 25 µs per sample at 40000 Hz
    int inserted;
  } const cases[] = {{"0.00125", 0}, {"0.001275", 51}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    const std::string out = MediaPath(std::string("gap") + c.offset + ".wav");
    Convert(Media().Mono40, out, {{"async", "1"}}, {{"itsoffset", c.offset}});
    const auto lines = LinesContaining("audio samples of silence");
    if (c.inserted == 0) {
      EXPECT_TRUE(lines.empty());
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(lines[0], "adding 51 audio samples of silence");
    }
    EXPECT_EQ(ReadAudio(out).Samples, in.Samples + c.inserted);
  }
}

}  // namespace
}  // namespace orvo
