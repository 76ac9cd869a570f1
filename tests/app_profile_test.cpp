// The profile catalogue: the built-in names, the shipped catalogue file checked entry by entry
// against the installed encoders and containers (with small real conversions where a container
// has limits of its own), the Settings dialog's model without its window, and the first-start
// settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/dv_profile.h>
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
}

#include "app/GlobalUnit.h"
#include "app/ProfileCatalogue.h"
#include "app/ProfileEditor.h"
#include "app/SettingsStore.h"
#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/av_handles.h"
#include "component/FFmpegVCL.h"
#include "engine/FFmpeg.h"
#include "platform/main_thread.h"
#include "support/read_back.h"
#include "support/test_media.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A fresh folder of this binary's temporary folder.
std::string FreshFolder(const std::string& name) {
  const fs::path folder = fs::path(testing::TestMediaDir()) / name;
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder.string();
}

const std::string& ShippedCatalogue() {
  static const std::string path = TGlobalObject::FindFormatFile();
  return path;
}

// ---------------------------------------------------------------------------------------------
// Built-in names

TEST(ProfileCatalogueTest, CategoriesAndDisplayNamesInListOrder) {
  const std::vector<std::pair<int, std::string>> expected = {
      {0, "Flash Video Format (*.flv)"},
      {1, "Flash SWF Format (*.swf)"},
      {100, "MPEG-1 Video (*.mpg)"},
      {101, "MPEG-2 Video (*.mpg)"},
      {102, "MPEG-4 Video (*.mp4)"},
      {103, "H.264/MPEG-4 AVC Video (*.mp4)"},
      {104, "AVI Video (*.avi)"},
      {105, "WMV Video (*.wmv)"},
      {106, "Divx Video (*.avi)"},
      {107, "Xvid Video (*.avi)"},
      {108, "DV - NTSC -Digital Video Format (*.dv)"},
      {109, "DV - PAL -Digital Video Format (*.dv)"},
      {200, "MP3 MPEG Layer-3 Audio (*.mp3)"},
      {201, "AAC Advenced Audio Codec (*.aac)"},
      {202, "M4A MPEG-4 Audio (*.m4a)"},
      {203, "WMA - Windows Meida Audio (*.wma)"},
      {204, "WAV - Waveform Audio (*.wav)"},
      {205, "OGG Vorbis Audio Codec (*.ogg)"},
      {206, "AC-3 Audio Codec (*.ac3)"},
  };
  EXPECT_EQ(CategoryName(0), "Flash Video");
  EXPECT_EQ(CategoryName(1), "General Video formates");
  EXPECT_EQ(CategoryName(2), "General Audio formates");
  EXPECT_EQ(CategoryName(3), "");
  EXPECT_EQ(CategoryName(-1), "");

  std::vector<std::pair<int, std::string>> listed;
  for (int category = 0; category < kProfileCategories; ++category) {
    for (const TProfileName& p : CategoryProfiles(category)) listed.emplace_back(p.Code, p.DisplayName);
  }
  EXPECT_EQ(listed, expected);
  EXPECT_TRUE(CategoryProfiles(3).empty());

  std::vector<int> codes;
  for (const auto& [code, name] : expected) {
    codes.push_back(code);
    EXPECT_EQ(ProfileDisplayName(code), name);
  }
  EXPECT_EQ(AllProfileCodes(), codes);
  for (int code : {-1, 2, 99, 110, 207, 300, 1000}) EXPECT_EQ(ProfileDisplayName(code), "") << code;
  EXPECT_EQ(ProfileDisplayName(kDefaultProfileCode), "Flash SWF Format (*.swf)");
}

// ---------------------------------------------------------------------------------------------
// The shipped catalogue against the installed libraries

// Video encoders the output builder hands to the engine by name; any other stored value leaves
// the container's own video encoder.
const std::set<std::string> kNamedVideoEncoders = {
    "mpeg4", "libxvid", "mpeg1video", "mpeg2video", "msmpeg4", "msmpeg4v1", "msmpeg4v2",
    "huffyuv", "dvvideo", "rawvideo", "h263p", "h263", "rv10", "rv20", "ljpeg", "mjpeg",
    "svq1", "zlib", "wmv1", "wmv2", "libx264"};
// Formats the builder passes to the engine as the container name.
const std::set<std::string> kContainerFormats = {"ipod", "3gp", "3g2", "avi", "psp",
                                                 "mov", "vcd", "flv", "mpegts", "vob"};

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct TProfile {
  int Code = 0;
  std::string Format, FileExt;
  std::map<std::string, std::vector<std::string>> Lists;  // absent: "null"
  std::map<std::string, int> Defaults;                    // the i* keys

  const std::vector<std::string>& List(const std::string& key) const {
    static const std::vector<std::string> none;
    auto it = Lists.find(key);
    return it == Lists.end() ? none : it->second;
  }
  bool IsVideo() const { return !List("VideoEncoder").empty(); }
  std::string DefaultEntry(const std::string& key) const {
    const auto& list = List(key);
    const int i = Defaults.at(key);
    return i >= 0 && size_t(i) < list.size() ? list[size_t(i)] : "";
  }
};

const char* const kListKeys[] = {"VideoSize",    "VideoBitRate", "FrameRate",
                                 "VideoEncoder", "AudioBitRate", "SampleRate",
                                 "AudioEncoder", "Channel",      "Volume"};

TProfile ReadProfile(const TIniFile& catalogue, int code) {
  TProfile p;
  p.Code = code;
  const std::string section = FormatSection(code);
  p.Format = catalogue.ReadString(section, "Format", "null");
  p.FileExt = catalogue.ReadString(section, "FileExt", "mp4");
  for (const char* key : kListKeys) {
    const TCatalogueList list = ReadCatalogueList(catalogue, code, key);
    if (list.Enabled) p.Lists[key] = list.Entries;
    p.Defaults[key] = catalogue.ReadInteger(section, std::string("i") + key, 0);
  }
  return p;
}

// The container the profile's files end up in, as the builder and the engine choose it.
const AVOutputFormat* ContainerOf(const TProfile& p, const std::string& videoValue) {
  if (videoValue == "mpeg2video") return av_guess_format("dvd", nullptr, nullptr);  // DVD target
  if (!videoValue.empty() && kContainerFormats.count(Lower(p.Format)))
    return av_guess_format(p.Format.c_str(), nullptr, nullptr);
  return av_guess_format(nullptr, ("out." + p.FileExt).c_str(), nullptr);
}

// The encoder an encoder entry ends up with: by name, or the container's own.
const AVCodec* VideoEncoderOf(const TProfile& p, const std::string& entry, std::string& error) {
  const std::string value = VideoEncoderValue(entry);
  if (value.empty()) {
    error = "not in the video encoder table";
    return nullptr;
  }
  if (kNamedVideoEncoders.count(value)) {
    const TCodecLookup lookup =
        FindCodecByName(value, AVMEDIA_TYPE_VIDEO, true, FF_COMPLIANCE_NORMAL);
    error = lookup.Error;
    return lookup.Ok ? lookup.Codec : nullptr;
  }
  const AVOutputFormat* container = ContainerOf(p, value);
  const AVCodec* codec = container ? avcodec_find_encoder(container->video_codec) : nullptr;
  if (!codec) error = "no default video encoder for the container";
  return codec;
}

const AVCodec* AudioEncoderOf(const std::string& entry, std::string& error) {
  const std::string value = AudioEncoderValue(entry);
  if (value.empty()) {
    error = "not in the audio encoder table";
    return nullptr;
  }
  const TCodecLookup lookup = FindCodecByName(value, AVMEDIA_TYPE_AUDIO, true, FF_COMPLIANCE_NORMAL);
  error = lookup.Error;
  return lookup.Ok ? lookup.Codec : nullptr;
}

bool IsPcm(const AVCodec* codec) { return std::string(codec->name).rfind("pcm_", 0) == 0; }

std::optional<int> Integer(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9)
    return std::nullopt;
  return std::stoi(text);
}

std::optional<std::pair<int, int>> Size(const std::string& text) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return std::nullopt;
  const auto w = Integer(text.substr(0, x)), h = Integer(text.substr(x + 1));
  if (!w || !h) return std::nullopt;
  return std::make_pair(*w, *h);
}

std::optional<int> ChannelCount(const std::string& entry) {
  if (entry == "mono 1 channel") return 1;
  if (entry == "stereo 2 channels") return 2;
  return std::nullopt;
}

bool ContainerRefuses(const AVOutputFormat* container, const AVCodec* codec) {
  return avformat_query_codec(container, codec->id, FF_COMPLIANCE_NORMAL) == 0;
}

// Opens the encoder with the values of one list entry; "" when it opened.
std::string OpenVideoEncoder(const AVCodec* codec, const std::string& videoValue, int width,
                             int height, AVRational rate, int kbits) {
  CodecContextPtr c(avcodec_alloc_context3(codec));
  c->width = width;
  c->height = height;
  if (codec->supported_framerates)
    rate = codec->supported_framerates[av_find_nearest_q_idx(rate, codec->supported_framerates)];
  c->time_base = av_inv_q(rate);
  c->framerate = rate;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  if (codec->pix_fmts) {
    bool listed = false;
    for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
      listed = listed || *f == AV_PIX_FMT_YUV420P;
    if (!listed) c->pix_fmt = codec->pix_fmts[0];
    // DV takes only its own formats (NTSC is 4:1:1); the engine picks the one with a profile.
    if (codec->id == AV_CODEC_ID_DVVIDEO && !av_dv_codec_profile2(width, height, c->pix_fmt, rate)) {
      for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) {
        if (av_dv_codec_profile2(width, height, *f, rate)) {
          c->pix_fmt = *f;
          break;
        }
      }
    }
  }
  c->bit_rate = int64_t(kbits) * 1000;
  if (videoValue == "mpeg2video") {  // the limits the DVD target sets
    c->rc_max_rate = 9000000;
    c->rc_buffer_size = 1835008;
  }
  AVDictionary* options = nullptr;
  if (std::string(codec->name) == "libx264") av_dict_set(&options, "preset", "ultrafast", 0);
  const int ret = avcodec_open2(c.get(), codec, &options);
  av_dict_free(&options);
  return ret < 0 ? "avcodec_open2: " + std::to_string(ret) : "";
}

std::string OpenAudioEncoder(const AVCodec* codec, int sampleRate, int channels, int kbits) {
  CodecContextPtr c(avcodec_alloc_context3(codec));
  c->sample_rate = sampleRate;
  av_channel_layout_default(&c->ch_layout, channels);
  c->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;
  c->bit_rate = int64_t(kbits) * 1000;
  c->time_base = AVRational{1, sampleRate};
  const int ret = avcodec_open2(c.get(), codec, nullptr);
  return ret < 0 ? "avcodec_open2: " + std::to_string(ret) : "";
}

class ShippedCatalogueTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    FFLoader().LoadLibraries(ConverterLibraries);
    SetMainThread();
    Logger().SetLogLevel(llQuiet);
  }
  static std::vector<TProfile> Profiles() {
    const TIniFile catalogue(ShippedCatalogue());
    std::vector<TProfile> profiles;
    for (int code : AllProfileCodes()) profiles.push_back(ReadProfile(catalogue, code));
    return profiles;
  }
};

TEST_F(ShippedCatalogueTest, EveryProfileHasItsSectionListsAndDefaults) {
  ASSERT_TRUE(fs::is_regular_file(ShippedCatalogue())) << ShippedCatalogue();
  const TIniFile catalogue(ShippedCatalogue());
  for (const TProfile& p : Profiles()) {
    SCOPED_TRACE(p.Code);
    EXPECT_TRUE(catalogue.SectionExists(FormatSection(p.Code)));
    EXPECT_NE(p.Format, "null");
    EXPECT_FALSE(p.FileExt.empty());
    const bool video = p.Code < 200;
    EXPECT_EQ(p.IsVideo(), video);
    for (const char* key : {"VideoSize", "VideoBitRate", "FrameRate"})
      EXPECT_EQ(p.List(key).empty(), !video) << key;
    for (const char* key : {"SampleRate", "AudioEncoder", "Channel", "Volume"})
      EXPECT_FALSE(p.List(key).empty()) << key;
    // Every default index names an entry (a disabled list keeps 0).
    for (const char* key : kListKeys) {
      const int i = p.Defaults.at(key);
      if (p.List(key).empty()) {
        EXPECT_EQ(i, 0) << key;
      } else {
        EXPECT_TRUE(i >= 0 && size_t(i) < p.List(key).size()) << key << " " << i;
      }
      for (const std::string& entry : p.List(key)) EXPECT_FALSE(entry.empty()) << key;
    }
    // A stored default size must pass the builder's test without a question.
    if (video) {
      EXPECT_TRUE(Size(p.DefaultEntry("VideoSize"))) << p.DefaultEntry("VideoSize");
    }
    for (const std::string& v : p.List("Volume")) {
      const auto percent = Integer(v.substr(0, v.size() - 1));
      EXPECT_TRUE(v.back() == '%' && percent && *percent % 25 == 0 && *percent >= 25 &&
                  *percent <= 400 && (*percent <= 200 || *percent % 50 == 0))
          << v;
    }
    for (const std::string& c : p.List("Channel"))
      EXPECT_TRUE(ChannelCount(c) || c == "as source") << c;
  }
  // The H.264 profile carries the encoder's extra values.
  const TProfile h264 = ReadProfile(catalogue, 103);
  EXPECT_EQ(h264.DefaultEntry("VideoEncoder"), "h264");
  for (const char* key : {"paraMaxBitrate", "paraBufferSize", "paraLevel", "paraGop", "paraCoder"})
    EXPECT_TRUE(Integer(catalogue.ReadString(FormatSection(103), key, ""))) << key;
}

// Each list entry of every profile against the encoders and containers it ends up with.
TEST_F(ShippedCatalogueTest, EveryEntryIsServedByTheInstalledEncodersAndItsContainer) {
  for (const TProfile& p : Profiles()) {
    SCOPED_TRACE("profile " + std::to_string(p.Code));
    for (const std::string& entry : p.List("VideoEncoder")) {
      SCOPED_TRACE("video encoder " + entry);
      std::string error;
      const AVCodec* codec = VideoEncoderOf(p, entry, error);
      ASSERT_NE(codec, nullptr) << error;
      const std::string value = VideoEncoderValue(entry);
      const AVOutputFormat* container = ContainerOf(p, value);
      ASSERT_NE(container, nullptr);
      EXPECT_FALSE(ContainerRefuses(container, codec)) << container->name << " " << codec->name;

      const auto defaultSize = Size(p.DefaultEntry("VideoSize"));
      ASSERT_TRUE(defaultSize);
      AVRational defaultRate{0, 0};
      ASSERT_GE(av_parse_video_rate(&defaultRate, p.DefaultEntry("FrameRate").c_str()), 0);
      const auto defaultKbits = Integer(p.DefaultEntry("VideoBitRate"));
      ASSERT_TRUE(defaultKbits);

      for (const std::string& size : p.List("VideoSize")) {
        const auto wh = Size(size);
        ASSERT_TRUE(wh) << size;
        EXPECT_EQ(CheckFrameSize(size).result, TFrameSizeCheck::Accepted) << size;
        EXPECT_EQ(OpenVideoEncoder(codec, value, wh->first, wh->second, defaultRate, *defaultKbits), "")
            << size;
      }
      for (const std::string& text : p.List("FrameRate")) {
        AVRational rate{0, 0};
        ASSERT_GE(av_parse_video_rate(&rate, text.c_str()), 0) << text;
        if (codec->supported_framerates) {
          const AVRational nearest =
              codec->supported_framerates[av_find_nearest_q_idx(rate, codec->supported_framerates)];
          EXPECT_NEAR(av_q2d(nearest), av_q2d(rate), 0.01) << text;
        }
        EXPECT_EQ(OpenVideoEncoder(codec, value, defaultSize->first, defaultSize->second, rate,
                                   *defaultKbits),
                  "")
            << text;
      }
      for (const std::string& text : p.List("VideoBitRate")) {
        const auto kbits = Integer(text);
        ASSERT_TRUE(kbits && *kbits > 0) << text;
        EXPECT_EQ(OpenVideoEncoder(codec, value, defaultSize->first, defaultSize->second,
                                   defaultRate, *kbits),
                  "")
            << text;
      }
    }

    const std::string videoValue = VideoEncoderValue(p.DefaultEntry("VideoEncoder"));
    const AVOutputFormat* container = ContainerOf(p, videoValue);
    ASSERT_NE(container, nullptr);
    for (const std::string& entry : p.List("AudioEncoder")) {
      SCOPED_TRACE("audio encoder " + entry);
      std::string error;
      const AVCodec* codec = AudioEncoderOf(entry, error);
      ASSERT_NE(codec, nullptr) << error;
      EXPECT_FALSE(ContainerRefuses(container, codec)) << container->name << " " << codec->name;

      std::vector<int> rates, channels, kbits;
      for (const std::string& text : p.List("SampleRate")) {
        if (text == "as source") {
          // Any source rate must do: only sound stored as plain samples takes every rate.
          EXPECT_TRUE(IsPcm(codec) && !codec->supported_samplerates) << text;
          continue;
        }
        const auto rate = Integer(text);
        ASSERT_TRUE(rate && *rate > 0) << text;
        if (codec->supported_samplerates) {
          bool listed = false;
          for (const int* r = codec->supported_samplerates; *r; ++r) listed = listed || *r == *rate;
          EXPECT_TRUE(listed) << text;
        }
        rates.push_back(*rate);
      }
      for (const std::string& text : p.List("Channel")) {
        if (text == "as source") {
          EXPECT_TRUE(IsPcm(codec) && !codec->ch_layouts) << text;
          continue;
        }
        const auto count = ChannelCount(text);
        ASSERT_TRUE(count) << text;
        if (codec->ch_layouts) {
          bool listed = false;
          for (const AVChannelLayout* l = codec->ch_layouts; l->nb_channels; ++l)
            listed = listed || l->nb_channels == *count;
          EXPECT_TRUE(listed) << text;
        }
        channels.push_back(*count);
      }
      // Without a bit rate list the encoder must not need one.
      if (p.List("AudioBitRate").empty()) {
        EXPECT_TRUE(IsPcm(codec));
      }
      for (const std::string& text : p.List("AudioBitRate")) {
        const auto value = Integer(text);
        ASSERT_TRUE(value && *value > 0) << text;
        kbits.push_back(*value);
      }
      if (kbits.empty()) kbits.push_back(0);
      for (int rate : rates) {
        for (int count : channels) {
          for (int k : kbits) {
            EXPECT_EQ(OpenAudioEncoder(codec, rate, count, k), "")
                << rate << " Hz, " << count << " channels, " << k << " kbit/s";
          }
        }
      }
    }
  }
}

// The entries of one conversion: one entry of each list.
struct TEntries {
  std::string VideoEncoder, VideoSize, FrameRate, VideoBitRate;
  std::string AudioEncoder, SampleRate, Channel, AudioBitRate;
};

// Converts the clip with the record the output builder makes of these entries (zoom "full",
// no crop). Returns the engine's error text, "" on success.
std::string ConvertWith(const TProfile& p, const TEntries& e, const std::string& output) {
  TInputOptions in;
  TOutputOptions out;
  InitInputOptions(in);
  InitOutputOptions(out);
  const std::string video = VideoEncoderValue(e.VideoEncoder);
  if (video.empty()) {
    in.ExtOptions = "vn=1";
    out.DisableVideo = true;
    out.DisableSubtitle = true;
  } else {
    if (kNamedVideoEncoders.count(video)) out.VideoCodec = video;
    if (video == "libx264") {
      const std::string format = Lower(p.Format);
      out.VideoPreset = format == "psp"    ? "libx264-psp"
                        : format == "ipod" ? "libx264-ipod"
                        : format == "ps3"  ? "libx264-ps3"
                                           : "libx264-mp4";
    }
    if (video == "mpeg2video") out.TargetType = 3;
    if (kContainerFormats.count(Lower(p.Format))) out.FileFormat = p.Format;
    out.VideoBitrate = *Integer(e.VideoBitRate) * 1000;
    out.FrameRate = e.FrameRate;
    const auto wh = *Size(e.VideoSize);
    out.FrameSize = e.VideoSize;
    out.FrameAspectRatio = std::to_string(wh.first) + ":" + std::to_string(wh.second);
    out.CropTop = out.CropBottom = out.CropLeft = out.CropRight = 0;
  }
  out.AudioCodec = AudioEncoderValue(e.AudioEncoder);
  if (const auto count = ChannelCount(e.Channel)) out.AudioChannels = *count;
  if (const auto rate = Integer(e.SampleRate)) out.AudioSampleRate = *rate;
  if (const auto kbits = Integer(e.AudioBitRate)) out.AudioBitrate = *kbits * 1000;

  static const std::string clip =
      testing::MediaOnce("profile-clip.avi", testing::AviClip(64, 48, 0.2));
  std::vector<TTerminateInfo> ends;  // outlives the component that reports into it
  TFFmpegVCL vcl;
  vcl.OnTerminate = [&ends](TCustomFFmpegVCL&, const TTerminateInfo& info) { ends.push_back(info); };
  const int task = vcl.AddTask(clip, &in);
  if (task < 0) return "AddTask: " + vcl.LastErrMsg();
  if (!vcl.SetOutputFile(task, output, &out)) return "SetOutputFile: " + vcl.LastErrMsg();
  vcl.StartTask(0);
  for (const TTerminateInfo& end : ends) {
    if (end.TaskIndex == task && (end.Exception || !end.Finished))
      return "run: " + end.ExceptionMsg;
  }
  return ends.empty() ? "no end reported" : "";
}

// Real conversions: every encoder, channel entry and, where the container has limits of its
// own (swf, flv, dv), every size, frame rate and sample rate entry appear in at least one. The
// entries are taken side by side, cycling the shorter lists.
TEST_F(ShippedCatalogueTest, EntriesConvertThroughTheirContainers) {
  const std::string folder = FreshFolder("conversions");
  for (const TProfile& p : Profiles()) {
    SCOPED_TRACE("profile " + std::to_string(p.Code));
    const AVOutputFormat* container =
        ContainerOf(p, VideoEncoderValue(p.DefaultEntry("VideoEncoder")));
    ASSERT_NE(container, nullptr);
    const bool limited = std::set<std::string>{"swf", "flv", "dv"}.count(container->name) > 0;
    size_t count = 1;
    for (const char* key : {"VideoEncoder", "AudioEncoder", "Channel"})
      count = std::max(count, p.List(key).size());
    if (limited) {
      for (const char* key : {"VideoSize", "FrameRate", "SampleRate"})
        count = std::max(count, p.List(key).size());
    }
    // The i-th entry, starting at the default so the first conversion is the default one.
    auto pick = [&p](const std::string& key, size_t i, bool cycle) -> std::string {
      const auto& list = p.List(key);
      if (list.empty()) return "";
      const size_t start = size_t(p.Defaults.at(key));
      return list[(start + (cycle ? i : 0)) % list.size()];
    };
    for (size_t i = 0; i < count; ++i) {
      TEntries e;
      e.VideoEncoder = pick("VideoEncoder", i, true);
      e.VideoSize = pick("VideoSize", i, limited);
      e.FrameRate = pick("FrameRate", i, limited);
      e.VideoBitRate = pick("VideoBitRate", i, false);
      e.AudioEncoder = pick("AudioEncoder", i, true);
      e.SampleRate = pick("SampleRate", i, limited);
      e.Channel = pick("Channel", i, true);
      e.AudioBitRate = pick("AudioBitRate", i, false);
      const std::string trace = e.VideoEncoder + " " + e.VideoSize + " " + e.FrameRate + " fps, " +
                                e.AudioEncoder + " " + e.SampleRate + " Hz " + e.Channel;
      SCOPED_TRACE(trace);
      const std::string output =
          folder + "/p" + std::to_string(p.Code) + "_" + std::to_string(i) + "." + p.FileExt;
      const std::string failure = ConvertWith(p, e, output);
      EXPECT_EQ(failure, "");
      if (!failure.empty()) continue;

      const testing::TFileRead read = testing::ReadBack(output);
      EXPECT_TRUE(read.Opened) << read.Error;
      const testing::TStreamRead* video = read.Find(AVMEDIA_TYPE_VIDEO);
      if (p.IsVideo()) {
        ASSERT_NE(video, nullptr);
        std::string error;
        EXPECT_EQ(video->Codec, VideoEncoderOf(p, e.VideoEncoder, error)->id);
        const auto wh = *Size(e.VideoSize);
        EXPECT_EQ(video->Width, wh.first);
        EXPECT_EQ(video->Height, wh.second);
        EXPECT_GT(video->Frames, 0);
      } else {
        EXPECT_EQ(video, nullptr);
      }
      const testing::TStreamRead* audio = read.Find(AVMEDIA_TYPE_AUDIO);
      ASSERT_NE(audio, nullptr);
      std::string error;
      EXPECT_EQ(audio->Codec, AudioEncoderOf(e.AudioEncoder, error)->id);
      EXPECT_GT(audio->Samples, 0);
      if (const auto rate = Integer(e.SampleRate)) {
        EXPECT_EQ(audio->SampleRate, *rate);
      } else {
        EXPECT_EQ(audio->SampleRate, 44100);  // the clip's
      }
      EXPECT_EQ(audio->Channels, ChannelCount(e.Channel).value_or(2));
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The Settings dialog's model

const char kFixtureCatalogue[] =
    "[formatInfo103]\n"
    "Format=mp4\n"
    "VideoSize=320x240,640x480,1280x720\n"
    "VideoBitRate=800,1000\n"
    "FrameRate=25,29.97\n"
    "VideoEncoder=MPEG-4,H264,weird\n"
    "SampleRate=44100,48000\n"
    "AudioBitRate=96,128\n"
    "AudioEncoder=aac,GSM,pcm_mulaw ,unknown\n"
    "Channel=stereo 2 channels,mono 1 channel,as source,5.1\n"
    "Volume=50%,100%,60%,abc%,\n"
    "iVideoSize=1\n"
    "iVideoBitRate=1\n"
    "iFrameRate=1\n"
    "iVideoEncoder=1\n"
    "iSampleRate=1\n"
    "iAudioBitRate=1\n"
    "iAudioEncoder=0\n"
    "iChannel=1\n"
    "iVolume=1\n"
    "paraBitExact=TRUE\n"
    "paraMaxBitrate=1500\n"
    "paraBufferSize=0\n"
    "paraLevel=\n"
    "paraQscale=-3\n"
    "paraGop=250\n"
    "paraCoder=0\n"
    "\n"
    "[formatInfo200]\n"
    "VideoSize=null\n"
    "VideoEncoder=null\n"
    "AudioBitRate=null\n"
    "SampleRate=8000,11025\n"
    "AudioEncoder=mp3\n"
    "Channel=mono 1 channel\n"
    "Volume=100%\n"
    "iSampleRate=1\n"
    "\n"
    "[formatInfo201]\n"
    "VideoEncoder=null\n"
    "SampleRate=44100\n"
    "AudioEncoder=aac\n"
    "Channel=stereo 2 channels\n"
    "Volume=null\n"
    "\n"
    "[formatInfo202]\n"
    "VideoEncoder=h264\n"
    "VideoSize=320x240\n"
    "AudioEncoder=aac\n"
    "Volume=100%\n"
    "paraGop=abc\n";

class EditorModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string folder = FreshFolder("editor");
    catalogue_ = folder + "/orvoswfformat.ini";
    settingsPath_ = folder + "/orvoswfconverter.ini";
    writable_ = TIniFile(settingsPath_);
    WriteText(catalogue_, kFixtureCatalogue);
  }
  TIniFile Settings() const { return TIniFile(settingsPath_); }
  TIniFile Catalogue() const { return TIniFile(catalogue_); }
  std::string Stored(int code, const std::string& key) const {
    return Settings().ReadString(FormatSection(code), key, "<none>");
  }
  void SelectCode(TProfileEditorModel& m, int code) {
    m.Reload(code, "Profile " + std::to_string(code), Settings(), Catalogue());
  }

  std::string catalogue_, settingsPath_;
  TIniFile writable_{""};  // the settings file, for Store
};

TEST_F(EditorModelTest, LoadOfANeverEditedProfileShowsFirstEntriesAndEnablesByEncoderLists) {
  WriteText(settingsPath_, "[settings]\nFormatCode=103\nFormatName=H.264 video\n");
  TProfileEditorModel m;
  m.Load(Settings(), Catalogue());
  EXPECT_EQ(m.FormatCode, 103);
  EXPECT_EQ(m.FormatName, "H.264 video");
  EXPECT_EQ(m.VideoEncoder.Entries, (std::vector<std::string>{"MPEG-4", "H264", "weird"}));
  EXPECT_EQ(m.Volume.Entries, (std::vector<std::string>{"50%", "100%", "60%", "abc%", ""}));
  EXPECT_EQ(m.AudioEncoder.Entries[2], "pcm_mulaw ");
  for (TChoiceBox* box : {&m.VideoSize, &m.VideoBitRate, &m.FrameRate, &m.VideoEncoder,
                          &m.SampleRate, &m.AudioBitRate, &m.AudioEncoder, &m.Channel,
                          &m.Volume, &m.Zoom}) {
    EXPECT_EQ(box->ItemIndex, 0);
    EXPECT_EQ(box->Text, box->Entries[0]);
    EXPECT_TRUE(box->Enabled);
  }
  EXPECT_EQ(m.Zoom.Entries, ZoomEntries());
  EXPECT_EQ(ZoomEntries(), (std::vector<std::string>{"Full screen", "Letterbox", "Pan and Scan"}));

  // Nothing stored at all: profile 1 and the editor's name default; no section, no entries.
  fs::remove(settingsPath_);
  m.Load(Settings(), Catalogue());
  EXPECT_EQ(m.FormatCode, 1);
  EXPECT_EQ(m.FormatName, "iPod Video MPEG-4");
  EXPECT_TRUE(m.VideoSize.Entries.empty());
  EXPECT_EQ(m.VideoSize.ItemIndex, -1);
  EXPECT_FALSE(m.VideoSize.Enabled);
  EXPECT_FALSE(m.Volume.Enabled);

  // An audio profile: the video group is empty and disabled; an absent bit rate list disables
  // that box alone.
  SelectCode(m, 200);
  for (TChoiceBox* box : {&m.VideoSize, &m.VideoBitRate, &m.FrameRate, &m.VideoEncoder, &m.Zoom})
    EXPECT_FALSE(box->Enabled);
  EXPECT_TRUE(m.VideoSize.Entries.empty());
  EXPECT_FALSE(m.AudioBitRate.Enabled);
  for (TChoiceBox* box : {&m.SampleRate, &m.AudioEncoder, &m.Channel, &m.Volume})
    EXPECT_TRUE(box->Enabled);
}

TEST_F(EditorModelTest, DefaultThenStoreWritesEveryKeyAndLoadReadsThemBack) {
  TProfileEditorModel m;
  SelectCode(m, 103);
  m.Zoom.Select(2);
  m.Default(Catalogue());
  EXPECT_EQ(m.Zoom.ItemIndex, 0);
  EXPECT_EQ(m.VideoSize.Text, "640x480");
  EXPECT_EQ(m.Volume.Text, "100%");
  EXPECT_EQ(m.VideoEncoder.Text, "H264");
  ASSERT_NO_THROW(m.Store(writable_, Catalogue()));

  const std::map<std::string, std::string> expected = {
      {"Description", "Profile 103"},
      {"iVideoSize", "1"},
      {"iVideoBitRate", "1"},
      {"iFrameRate", "1"},
      {"iVideoEncoder", "1"},
      {"iSampleRate", "1"},
      {"iAudioBitRate", "1"},
      {"iChannel", "1"},
      {"iVolume", "1"},
      {"iAudioEncoder", "0"},
      {"paraVideoSize", "640x480"},
      {"paraVideoBitRate", "1000"},
      {"paraFrameRate", "29.97"},
      {"paraZoom", "full"},
      {"paraVideoEncoder", "libx264"},
      {"paraSampleRate", "48000"},
      {"paraAudioBitRate", "128"},
      {"paraChannel", "1"},
      {"paraVolume", "256"},
      {"paraAudioEncoder", "libfaac"},
      // H.264 extras: a true flag, integers above 0 (the coder from 0 on); the rest skipped.
      {"paraBitExact", "TRUE"},
      {"paraMaxBitrate", "1500"},
      {"paraBufferSize", "<none>"},
      {"paraLevel", "<none>"},
      {"paraQscale", "<none>"},
      {"paraGop", "250"},
      {"paraCoder", "0"},
  };
  for (const auto& [key, value] : expected) EXPECT_EQ(Stored(103, key), value) << key;
  EXPECT_EQ(Settings().ReadString("settings", "FormatName", ""), "Profile 103");
  EXPECT_EQ(Settings().ReadString("settings", "FormatCode", ""), "103");

  TProfileEditorModel back;
  back.Load(Settings(), Catalogue());
  EXPECT_EQ(back.FormatCode, 103);
  for (auto [a, b] : std::vector<std::pair<TChoiceBox*, TChoiceBox*>>{
           {&m.VideoSize, &back.VideoSize}, {&m.VideoBitRate, &back.VideoBitRate},
           {&m.FrameRate, &back.FrameRate}, {&m.VideoEncoder, &back.VideoEncoder},
           {&m.SampleRate, &back.SampleRate}, {&m.AudioBitRate, &back.AudioBitRate},
           {&m.AudioEncoder, &back.AudioEncoder}, {&m.Channel, &back.Channel},
           {&m.Volume, &back.Volume}, {&m.Zoom, &back.Zoom}}) {
    EXPECT_EQ(a->ItemIndex, b->ItemIndex);
    EXPECT_EQ(a->Text, b->Text);
  }

  // Choosing other entries and storing again replaces the values.
  back.Zoom.Select(1);
  back.Channel.Select(2);
  back.VideoEncoder.Select(0);
  back.Store(writable_, Catalogue());
  EXPECT_EQ(Stored(103, "paraZoom"), "lbox");
  EXPECT_EQ(Stored(103, "paraChannel"), "as source");
  EXPECT_EQ(Stored(103, "paraVideoEncoder"), "mpeg4");
}

// Typed values are stored with index -1 and come back on Load; Reload selects by index only.
TEST_F(EditorModelTest, TypedValuesAndTheirReadDefaults) {
  TProfileEditorModel m;
  SelectCode(m, 103);
  m.Default(Catalogue());
  m.VideoSize.SetTyped("500x300");
  m.VideoBitRate.SetTyped("1234");
  m.FrameRate.SetTyped("12");
  m.SampleRate.SetTyped("22050");
  m.AudioBitRate.SetTyped("64.5");
  m.Store(writable_, Catalogue());
  struct TCase {
    TChoiceBox TProfileEditorModel::*Box;
    const char* Index;
    const char* Value;
    const char* Typed;
    const char* ReadDefault;
  };
  const TCase cases[] = {
      {&TProfileEditorModel::VideoSize, "iVideoSize", "paraVideoSize", "500x300", "320x240"},
      {&TProfileEditorModel::VideoBitRate, "iVideoBitRate", "paraVideoBitRate", "1234", "800"},
      {&TProfileEditorModel::FrameRate, "iFrameRate", "paraFrameRate", "12", "25"},
      {&TProfileEditorModel::SampleRate, "iSampleRate", "paraSampleRate", "22050", "44100"},
      {&TProfileEditorModel::AudioBitRate, "iAudioBitRate", "paraAudioBitRate", "64.5", "96"},
  };
  TProfileEditorModel loaded;
  loaded.Load(Settings(), Catalogue());
  TProfileEditorModel reloaded;
  SelectCode(reloaded, 103);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Index);
    EXPECT_EQ(Stored(103, c.Index), "-1");
    EXPECT_EQ(Stored(103, c.Value), c.Typed);
    EXPECT_EQ((loaded.*c.Box).ItemIndex, -1);
    EXPECT_EQ((loaded.*c.Box).Text, c.Typed);
    EXPECT_EQ((reloaded.*c.Box).ItemIndex, -1);
    EXPECT_EQ((reloaded.*c.Box).Text, "");
  }
  // A negative index without a stored value shows the editor's default.
  for (const TCase& c : cases) Settings().DeleteKey(FormatSection(103), c.Value);
  loaded.Load(Settings(), Catalogue());
  for (const TCase& c : cases) EXPECT_EQ((loaded.*c.Box).Text, c.ReadDefault) << c.Index;

  // Pick lists select by index only; an index past the entries selects nothing.
  TIniFile settings = Settings();
  settings.WriteInteger(FormatSection(103), "iVideoEncoder", -1);
  settings.WriteInteger(FormatSection(103), "iVolume", 9);
  loaded.Load(Settings(), Catalogue());
  EXPECT_EQ(loaded.VideoEncoder.ItemIndex, -1);
  EXPECT_EQ(loaded.VideoEncoder.Text, "");
  EXPECT_EQ(loaded.Volume.ItemIndex, -1);
}

TEST_F(EditorModelTest, ZoomValuesAndAnUnselectedZoomKeepTheStoredOne) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"full", 0}, {"lbox", 1}, {"pan", 2}, {"center", -1}, {"LBOX", -1}, {"other", -1}};
  for (const auto& [stored, index] : cases) {
    TIniFile settings = Settings();
    settings.WriteString(FormatSection(103), "paraZoom", stored);
    TProfileEditorModel m;
    SelectCode(m, 103);
    EXPECT_EQ(m.Zoom.ItemIndex, index) << stored;
    m.Store(writable_, Catalogue());
    EXPECT_EQ(Stored(103, "paraZoom"), stored);
  }
}

TEST_F(EditorModelTest, GsmOverridesSampleRateAndChannelsWhateverTheBoxesShow) {
  TProfileEditorModel m;
  SelectCode(m, 103);
  m.Default(Catalogue());
  m.AudioEncoder.Select(1);  // "GSM"
  ASSERT_EQ(m.AudioEncoder.Text, "GSM");
  ASSERT_EQ(m.SampleRate.Text, "48000");
  ASSERT_EQ(m.Channel.Text, "mono 1 channel");
  m.Channel.Select(0);
  m.Store(writable_, Catalogue());
  EXPECT_EQ(Stored(103, "paraAudioEncoder"), "libgsm");
  EXPECT_EQ(Stored(103, "paraSampleRate"), "8000");
  EXPECT_EQ(Stored(103, "paraChannel"), "1");
  EXPECT_EQ(Stored(103, "iSampleRate"), "1");  // the box's index stays as shown

  // The entry with its trailing blank is in the table; an unknown one writes nothing.
  m.AudioEncoder.Select(2);
  m.Store(writable_, Catalogue());
  EXPECT_EQ(Stored(103, "paraAudioEncoder"), "pcm_mulaw");
  EXPECT_EQ(Stored(103, "paraSampleRate"), "48000");
  m.AudioEncoder.Select(3);
  m.VideoEncoder.Select(2);
  m.Channel.Select(3);
  m.Volume.Select(2);  // 60 %: a number, but not in the volume table
  Settings().DeleteKey(FormatSection(103), "paraVideoEncoder");
  m.Store(writable_, Catalogue());
  EXPECT_EQ(Stored(103, "paraAudioEncoder"), "pcm_mulaw");
  EXPECT_EQ(Stored(103, "paraVideoEncoder"), "<none>");
  EXPECT_EQ(Stored(103, "paraChannel"), "2");
  EXPECT_EQ(Stored(103, "paraVolume"), "256");
  EXPECT_EQ(Stored(103, "iAudioEncoder"), "3");
}

// A value that must convert to an integer and does not ends the storing; what was written
// before stays, nothing after is written.
TEST_F(EditorModelTest, ConversionFailuresStopTheStoringWithEarlierKeysWritten) {
  {
    TProfileEditorModel m;
    SelectCode(m, 201);  // no volume list
    m.Default(Catalogue());
    EXPECT_THROW(m.Store(writable_, Catalogue()), ProfileStoreError);
    EXPECT_EQ(Stored(201, "Description"), "Profile 201");
    EXPECT_EQ(Stored(201, "iVolume"), "-1");
    EXPECT_EQ(Stored(201, "iVideoSize"), "-1");
    EXPECT_EQ(Stored(201, "paraVideoSize"), "");
    EXPECT_EQ(Stored(201, "paraSampleRate"), "44100");
    EXPECT_EQ(Stored(201, "paraChannel"), "2");
    EXPECT_EQ(Stored(201, "paraVideoEncoder"), "<none>");
    EXPECT_EQ(Stored(201, "paraAudioEncoder"), "<none>");
    EXPECT_EQ(Settings().ReadString("settings", "FormatCode", "<none>"), "<none>");
  }
  for (int volume : {3, 4}) {  // "abc%" and the empty entry
    TProfileEditorModel m;
    SelectCode(m, 103);
    m.Volume.Select(volume);
    EXPECT_THROW(m.Store(writable_, Catalogue()), ProfileStoreError) << volume;
    EXPECT_EQ(Stored(103, "paraChannel"), "2");
    EXPECT_EQ(Stored(103, "paraAudioEncoder"), "<none>");
  }
  {
    TProfileEditorModel m;
    SelectCode(m, 202);  // an H.264 extra that is not a number
    m.Default(Catalogue());
    EXPECT_THROW(m.Store(writable_, Catalogue()), ProfileStoreError);
    EXPECT_EQ(Stored(202, "paraVideoEncoder"), "libx264");
    EXPECT_EQ(Stored(202, "paraSampleRate"), "<none>");
  }
}

TEST_F(EditorModelTest, CancelWithoutStoreLeavesTheSettingsFileUnchanged) {
  WriteText(settingsPath_, "[settings]\nFormatCode=200\nFormatName=mp3\n[formatInfo200]\niSampleRate=0\n");
  const std::string before = testing::ReadBytes(settingsPath_);
  TProfileEditorModel m;
  m.Load(Settings(), Catalogue());
  m.SampleRate.SetTyped("12345");
  m.Default(Catalogue());
  SelectCode(m, 103);
  m.VideoSize.SetTyped("100x100");
  EXPECT_EQ(testing::ReadBytes(settingsPath_), before);
}

TEST(FrameSizeCheckTest, AcceptsCorrectsOrRejectsTheText) {
  struct TCase {
    std::string Text;
    TFrameSizeCheck::Result Result;
    std::string Corrected;
  };
  const TCase cases[] = {
      {"640x480", TFrameSizeCheck::Accepted, ""},
      {"641x480", TFrameSizeCheck::Corrected, "640x480"},
      {"0x0", TFrameSizeCheck::Corrected, "2x2"},
      {"3x5", TFrameSizeCheck::Corrected, "2x4"},
      {"1x480", TFrameSizeCheck::Corrected, "2x480"},
      {"AS SOURCE", TFrameSizeCheck::Accepted, ""},
      {"as source", TFrameSizeCheck::Accepted, ""},
      {"  As Source please", TFrameSizeCheck::Accepted, ""},
      {"10x20x30", TFrameSizeCheck::Invalid, ""},
      {"640480", TFrameSizeCheck::Invalid, ""},
      {"x480", TFrameSizeCheck::Invalid, ""},
      {"640x", TFrameSizeCheck::Invalid, ""},
      {"64ax480", TFrameSizeCheck::Invalid, ""},
      {"640X480", TFrameSizeCheck::Invalid, ""},
      {"640 x 480", TFrameSizeCheck::Invalid, ""},
      {"-2x4", TFrameSizeCheck::Invalid, ""},
      {"99999999999x2", TFrameSizeCheck::Invalid, ""},
      {"", TFrameSizeCheck::Invalid, ""},
  };
  for (const TCase& c : cases) {
    const TFrameSizeCheck check = CheckFrameSize(c.Text);
    EXPECT_EQ(check.result, c.Result) << c.Text;
    EXPECT_EQ(check.corrected, c.Corrected) << c.Text;
  }
}

TEST(NumberChecksTest, BitRatesAndSampleRates) {
  for (const char* ok : {"800", "0", "-5", "as source"}) {
    EXPECT_TRUE(CheckVideoBitRate(ok)) << ok;
    EXPECT_TRUE(CheckSampleRate(ok)) << ok;
    EXPECT_TRUE(CheckAudioBitRate(ok)) << ok;
  }
  for (const char* bad : {"", "12.5", "abc", "1e3", "AS SOURCE", "12 ", "99999999999"}) {
    EXPECT_FALSE(CheckVideoBitRate(bad)) << bad;
    EXPECT_FALSE(CheckSampleRate(bad)) << bad;
  }
  for (const char* ok : {"12.5", "96.", "0.5"}) EXPECT_TRUE(CheckAudioBitRate(ok)) << ok;
  for (const char* bad : {"", ".", "1.2.3", "12,5", "abc", "AS SOURCE"})
    EXPECT_FALSE(CheckAudioBitRate(bad)) << bad;
}

TEST(EncoderTablesTest, LookUpIsCaseInsensitiveAndExact) {
  const std::vector<std::pair<std::string, std::string>> video = {
      {"MPEG-4", "mpeg4"}, {"XviD", "libxvid"}, {"h264", "libx264"}, {"H264", "libx264"},
      {"flv", "flv"},      {"SWF", "swf"},      {"dvvideo", "dvvideo"}, {"wmv3", "wmv3"},
      {"mpeg4", ""},       {" h264", ""},       {"", ""}};
  for (const auto& [entry, value] : video) EXPECT_EQ(VideoEncoderValue(entry), value) << entry;
  const std::vector<std::pair<std::string, std::string>> audio = {
      {"MP3", "libmp3lame"},       {"ogg", "vorbis"},          {"aac", "libfaac"},
      {"AC-3", "ac3"},             {"wma2", "wmav2"},          {"pcm_s16", "pcm_s16le"},
      {"pcm_mulaw ", "pcm_mulaw"}, {"pcm_mulaw", ""},          {"GSM", "libgsm"},
      {"libamr_nb", "libopencore_amrnb"}, {"CCITT A-law(8-bit)", "pcm_alaw"}, {"mp4", ""}};
  for (const auto& [entry, value] : audio) EXPECT_EQ(AudioEncoderValue(entry), value) << entry;
}

// ---------------------------------------------------------------------------------------------
// First start

TEST(FirstStartTest, StoresEveryProfilesDefaultsOnceAndOnlyWithoutASettingsFile) {
  const std::string settingsPath = FreshFolder("first-start") + "/orvoswfconverter.ini";
  ASSERT_TRUE(WriteFirstStartSettings(settingsPath, ShippedCatalogue()));
  const TIniFile settings(settingsPath);
  const TIniFile catalogue(ShippedCatalogue());
  EXPECT_EQ(settings.ReadString("settings", "FormatCode", ""), "1");
  EXPECT_EQ(settings.ReadString("settings", "FormatName", ""), "Flash SWF Format (*.swf)");
  for (int code : AllProfileCodes()) {
    SCOPED_TRACE(code);
    const TProfile p = ReadProfile(catalogue, code);
    const std::string section = FormatSection(code);
    EXPECT_EQ(settings.ReadString(section, "Description", ""), ProfileDisplayName(code));
    for (const char* key : kListKeys) {
      const int index = p.List(key).empty() ? -1 : p.Defaults.at(key);
      EXPECT_EQ(settings.ReadInteger(section, std::string("i") + key, -99), index) << key;
    }
    EXPECT_EQ(settings.ReadString(section, "paraZoom", ""), "full");
    EXPECT_EQ(settings.ReadString(section, "paraVolume", ""), "256");
    EXPECT_EQ(settings.ReadString(section, "paraAudioEncoder", ""),
              AudioEncoderValue(p.DefaultEntry("AudioEncoder")));
    EXPECT_EQ(settings.ReadString(section, "paraSampleRate", ""), p.DefaultEntry("SampleRate"));
    if (p.IsVideo()) {
      EXPECT_EQ(settings.ReadString(section, "paraVideoEncoder", "<none>"),
                VideoEncoderValue(p.DefaultEntry("VideoEncoder")));
      EXPECT_EQ(settings.ReadString(section, "paraVideoSize", ""), p.DefaultEntry("VideoSize"));
      EXPECT_EQ(settings.ReadString(section, "paraFrameRate", ""), p.DefaultEntry("FrameRate"));
    } else {
      EXPECT_FALSE(settings.ValueExists(section, "paraVideoEncoder"));
    }
  }
  EXPECT_EQ(settings.ReadString(FormatSection(103), "paraLevel", ""), "30");

  // A settings file that exists is left alone.
  const std::string before = testing::ReadBytes(settingsPath);
  EXPECT_FALSE(WriteFirstStartSettings(settingsPath, ShippedCatalogue()));
  EXPECT_EQ(testing::ReadBytes(settingsPath), before);
  const std::string other = FreshFolder("first-start-existing") + "/orvoswfconverter.ini";
  WriteText(other, "");
  EXPECT_FALSE(WriteFirstStartSettings(other, ShippedCatalogue()));
  EXPECT_EQ(testing::ReadBytes(other), "");
}

TEST(FirstStartTest, AProfileThatFailsToStoreSkipsOnlyItsOwnRest) {
  const std::string folder = FreshFolder("first-start-fixture");
  const std::string catalogue = folder + "/orvoswfformat.ini";
  WriteText(catalogue, kFixtureCatalogue);
  const std::string settingsPath = folder + "/orvoswfconverter.ini";
  ASSERT_TRUE(WriteFirstStartSettings(settingsPath, catalogue));
  const TIniFile settings(settingsPath);
  EXPECT_EQ(settings.ReadString(FormatSection(201), "iVolume", ""), "-1");
  EXPECT_FALSE(settings.ValueExists(FormatSection(201), "paraAudioEncoder"));
  EXPECT_EQ(settings.ReadString(FormatSection(200), "paraAudioEncoder", ""), "libmp3lame");
  EXPECT_EQ(settings.ReadString(FormatSection(200), "paraSampleRate", ""), "11025");
  EXPECT_EQ(settings.ReadString(FormatSection(103), "paraVideoEncoder", ""), "libx264");
  EXPECT_EQ(settings.ReadString(FormatSection(202), "paraVideoEncoder", ""), "libx264");
  EXPECT_FALSE(settings.ValueExists(FormatSection(202), "paraAudioEncoder"));
  // Profiles the catalogue lacks are not written.
  EXPECT_FALSE(settings.SectionExists(FormatSection(1)));
  EXPECT_EQ(settings.ReadString("settings", "FormatCode", ""), "1");
}

// Broken catalogues: nothing throws, and without any profile the first start writes nothing.
TEST(BrokenCatalogueTest, LoadDefaultAndFirstStartNeverThrow) {
  const std::string folder = FreshFolder("broken");
  const std::string shipped = testing::ReadBytes(ShippedCatalogue());
  ASSERT_FALSE(shipped.empty());
  std::vector<std::pair<std::string, std::string>> catalogues = {
      {"missing", ""},
      {"empty", ""},
      {"garbage-lines",
       "[formatInfo1\nVideoSize\n=,,,\n[formatInfo1]\nVideoSize=,,\nVideoEncoder=,\n"
       "iVideoSize=abc\niVolume=99999999999\nVolume=%,x%,\nChannel=\nAudioEncoder=,,,\n"
       "[]\n[formatInfo200]]\nSampleRate==,=\n\xff\xfe\x00garbage\n"},
      {"random", ""},
  };
  for (size_t keep : {size_t(1), shipped.size() / 3, shipped.size() / 2, shipped.size() - 7})
    catalogues.emplace_back("truncated-" + std::to_string(keep), shipped.substr(0, keep));
  int index = 0;
  for (const auto& [name, text] : catalogues) {
    SCOPED_TRACE(name);
    const std::string path = folder + "/" + std::to_string(index) + ".ini";
    const std::string settingsPath = folder + "/settings" + std::to_string(index++) + ".ini";
    if (name == "random") {
      testing::WriteRandomBytes(path, 4096, 7);
    } else if (name != "missing") {
      WriteText(path, text);
    }
    bool wrote = false;
    ASSERT_NO_THROW(wrote = WriteFirstStartSettings(settingsPath, path));
    EXPECT_EQ(wrote, fs::exists(settingsPath));
    if (name == "missing" || name == "empty" || name == "random") {
      EXPECT_FALSE(wrote);
    }
    TIniFile settings(settingsPath);
    const TIniFile catalogue(path);
    for (int code : {0, 1, 103, 109, 204}) {
      TProfileEditorModel m;
      settings.WriteString("settings", "FormatCode", std::to_string(code));
      ASSERT_NO_THROW(m.Load(settings, catalogue)) << code;
      ASSERT_NO_THROW(m.Default(catalogue)) << code;
      try {
        m.Store(settings, catalogue);
      } catch (const ProfileStoreError&) {
        // A catalogue entry that is not a number is the one failure storing reports.
      }
    }
  }
}

}  // namespace
}  // namespace orvo
