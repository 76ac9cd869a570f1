#include "app/OutputBuilder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/FileList.h"
#include "app/SettingsStore.h"
#include "binding/FFmpegLoader.h"
#include "component/AVProbe.h"
#include "platform/ini_file.h"
#include "support/test_media.h"

namespace orvo {
namespace {

namespace fs = std::filesystem;
using Values = std::map<std::string, std::string>;

constexpr int kCode = 105;
constexpr char kSizeQuestion[] = "Error output Video Size.Use the default size 320x240?";

// A fresh folder per test, removed afterwards.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = fs::path(::testing::TempDir()) / "orvo-builder-XXXXXX";
    if (!mkdtemp(pattern.data())) ADD_FAILURE() << "cannot create " << pattern;
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Every box the code under test shows; questions get `answer`.
struct PromptLog {
  std::vector<std::pair<std::string, std::string>> warnings;
  std::vector<std::pair<std::string, std::string>> questions;
  bool answer = true;

  TUserPrompts Prompts() {
    TUserPrompts prompts;
    prompts.Warn = [this](const std::string& caption, const std::string& text) {
      warnings.emplace_back(caption, text);
    };
    prompts.AskYesNo = [this](const std::string& caption, const std::string& text) {
      questions.emplace_back(caption, text);
      return answer;
    };
    prompts.DefaultAnswer = !answer;  // would show up if the callback were bypassed
    return prompts;
  }
};

TSourcePicture Picture(int32_t w, int32_t h, int32_t bitRate = 900000) {
  TSourcePicture p;
  p.VideoStreamCount = 1;
  p.Width = w;
  p.Height = h;
  p.BitRate = bitRate;
  return p;
}

struct Crop {
  int32_t top = 0, left = 0, bottom = 0, right = 0;
};

// One build against profile kCode of a settings file and a catalogue written for the test.
class BuilderTest : public ::testing::Test {
 protected:
  // The stored choices of the profile; "Format" goes to the catalogue.
  void Profile(const std::string& format, const Values& values) {
    TIniFile catalogue(formatFile_);
    ASSERT_TRUE(catalogue.WriteString(FormatSection(kCode), "Format", format));
    TIniFile settings(settingsFile_);
    settings.EraseSection(FormatSection(kCode));
    for (const auto& [key, value] : values)
      ASSERT_TRUE(settings.WriteString(FormatSection(kCode), key, value));
  }
  // A video profile with a fixed target size, so only the values under test vary.
  void VideoProfile(Values values, const std::string& format = "mp4") {
    values.emplace("paraVideoEncoder", "mpeg4");
    values.emplace("paraVideoSize", "640x480");
    Profile(format, values);
  }

  // The caller's part: reset records, the row's crop in the output record.
  void Build(const TSourcePicture& source, const std::string& zoom = "full", Crop crop = {},
             const std::string& existingFilters = std::string()) {
    InitOutputOptions(out);
    InitInputOptions(in);
    row.Zoom = zoom;
    row.CropTop = crop.top;
    row.CropLeft = crop.left;
    row.CropBottom = crop.bottom;
    row.CropRight = crop.right;
    if (row.HasCrop()) {
      out.CropTop = crop.top;
      out.CropBottom = crop.bottom;
      out.CropLeft = crop.left;
      out.CropRight = crop.right;
    }
    out.VideoFilters = existingFilters;
    TBuildContext context{settingsFile_, formatFile_, prompts.Prompts()};
    BuildOutputOptions(row, kCode, out, source, in, context);
  }

  ScratchFolder folder_;
  std::string settingsFile_ = folder_ / "orvoswfconverter.ini";
  std::string formatFile_ = folder_ / "orvoswfformat.ini";
  TlvFilesRecord row;
  TOutputOptions out;
  TInputOptions in;
  PromptLog prompts;
};

TEST(RoundHalfEvenTest, HalvesGoToTheEvenNeighbour) {
  const std::vector<std::pair<double, int64_t>> cases = {
      {0.5, 0},      {1.5, 2},       {2.5, 2},   {-0.5, 0},
      {-1.5, -2},    {-2.5, -2},     {2.4999, 2}, {2.5001, 3},
      {853.333, 853}, {-853.6, -854}, {7.0, 7},   {12199.999999999998, 12200}};
  for (const auto& [value, expected] : cases) EXPECT_EQ(RoundHalfEven(value), expected) << value;
  EXPECT_EQ(RoundHalfEven(std::nan("")), 0);
  EXPECT_EQ(RoundHalfEven(1e300), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(RoundHalfEven(-1e300), std::numeric_limits<int64_t>::min());
}

TEST_F(BuilderTest, DiscTargetsFollowTheCatalogueFormat) {
  struct Case {
    std::string format, size;
    int32_t target, norm;
    std::string aspect;
  };
  const std::vector<Case> cases = {
      {"ntsc-dvd", "720x480", 3, 2, "16:9"}, {"NTSC-DVD", "720x576", 3, 2, "4:3"},
      {"pal-dvd", "720x576", 3, 1, "16:9"},  {"pal-dvd", "720x480", 3, 1, "4:3"},
      {"pal-dvd", "", 3, 1, "4:3"},          {"ntsc-vcd", "352x240", 1, 2, "4:3"},
      {"Pal-VCD", "352x288", 1, 1, "4:3"},   {"ntsc-svcd", "480x480", 2, 2, "4:3"},
      {"pal-svcd", "480x576", 2, 1, "4:3"},  {"mp4", "720x576", 0, 0, ""},
      {"dvd", "720x576", 0, 0, ""},
  };
  for (const Case& c : cases) {
    // Audio-only, so nothing later overwrites the aspect ratio.
    Values values;
    if (!c.size.empty()) values["paraVideoSize"] = c.size;
    Profile(c.format, values);
    Build(Picture(720, 576));
    EXPECT_EQ(out.TargetType, c.target) << c.format << " " << c.size;
    EXPECT_EQ(out.NormType, c.norm) << c.format << " " << c.size;
    EXPECT_EQ(out.FrameAspectRatio, c.aspect) << c.format << " " << c.size;
  }
}

TEST_F(BuilderTest, AudioOnlyProfileKeepsItsEncoderAndDropsVideo) {
  Profile("null", {{"paraVideoEncoder", "  "},
                   {"paraAudioEncoder", "libamr_nb"},
                   {"paraChannel", "1"},
                   {"paraSampleRate", "8000"},
                   {"paraAudioBitRate", "12.2"},
                   {"paraVolume", "256"},
                   {"paraVideoSize", "bogus"}});
  Build(Picture(640, 480));
  EXPECT_EQ(out.AudioCodec, "libamr_nb");
  EXPECT_EQ(out.AudioChannels, 1);
  EXPECT_EQ(out.AudioSampleRate, 8000);
  EXPECT_EQ(out.AudioBitrate, 12200);
  EXPECT_EQ(out.AudioVolume, -1);
  EXPECT_EQ(in.ExtOptions, "vn=1");
  EXPECT_TRUE(out.DisableVideo);
  EXPECT_TRUE(out.DisableSubtitle);
  EXPECT_FALSE(out.DisableAudio);
  EXPECT_TRUE(out.FrameSize.empty());
  EXPECT_TRUE(out.VideoFilters.empty());
  EXPECT_TRUE(prompts.questions.empty());
}

TEST_F(BuilderTest, AudioOnlyProfileDefaultsAndUnusableValues) {
  // Never stored: the builder's own defaults.
  Profile("null", {});
  Build(Picture(640, 480));
  EXPECT_EQ(out.AudioCodec, "libfaac");
  EXPECT_EQ(out.AudioChannels, 2);
  EXPECT_EQ(out.AudioSampleRate, 44100);
  EXPECT_EQ(out.AudioBitrate, 128000);
  EXPECT_EQ(out.AudioVolume, 3);
  EXPECT_TRUE(out.DisableVideo);

  // Each unusable value leaves its field at the record's default.
  Profile("null", {{"paraAudioEncoder", "libmp3lame"},
                   {"paraChannel", "0"},
                   {"paraSampleRate", "as source"},
                   {"paraAudioBitRate", "-5"},
                   {"paraVolume", "loud"}});
  Build(Picture(640, 480));
  EXPECT_EQ(out.AudioCodec, "libmp3lame");
  EXPECT_EQ(out.AudioChannels, -1);
  EXPECT_EQ(out.AudioSampleRate, -1);
  EXPECT_EQ(out.AudioBitrate, -1);
  EXPECT_EQ(out.AudioVolume, -1);

  Profile("null", {{"paraSampleRate", "22050.5"}, {"paraAudioBitRate", "as source"},
                   {"paraChannel", "stereo"}, {"paraVolume", "0"}});
  Build(Picture(640, 480));
  EXPECT_EQ(out.AudioSampleRate, -1);
  EXPECT_EQ(out.AudioBitrate, -1);
  EXPECT_EQ(out.AudioChannels, -1);
  EXPECT_EQ(out.AudioVolume, 0);
}

TEST_F(BuilderTest, PictureFittingByZoom) {
  struct Case {
    std::string name;
    TSourcePicture source;
    std::string size, zoom;
    Crop crop;
    std::string frameSize, aspect, filters;
    int32_t top, bottom, left, right;
  };
  const std::vector<Case> cases = {
      {"lbox wide source into 4:3", Picture(1920, 1080), "640x480", "lbox", {},
       "640x360", "640:360", "pad=640:480:0:60", 0, 0, 0, 0},
      {"lbox same size", Picture(720, 576), "720x576", "lbox", {},
       "720x576", "720:576", "pad=720:576:0:0", 0, 0, 0, 0},
      {"lbox smaller target, bars rounded down", Picture(1280, 720), "352x288", "lbox", {},
       "352x200", "352:200", "pad=352:288:0:44", 0, 0, 0, 0},
      {"lbox taller target", Picture(640, 360), "640x480", "lbox", {},
       "640x360", "640:360", "pad=640:480:0:60", 0, 0, 0, 0},
      {"lbox wider target", Picture(480, 480), "640x480", "lbox", {},
       "480x480", "480:480", "pad=640:480:80:0", 0, 0, 0, 0},
      {"lbox larger target, same aspect", Picture(320, 240), "640x480", "lbox", {},
       "640x480", "640:480", "pad=640:480:0:0", 0, 0, 0, 0},
      {"lbox narrow source", Picture(720, 1280), "640x480", "lbox", {},
       "272x480", "272:480", "pad=640:480:184:0", 0, 0, 0, 0},
      {"lbox with crop: the chain crops once", Picture(720, 576), "720x576", "lbox", {8, 0, 0, 0},
       "", "720:576", "crop=720:568:0:8,scale=720:576,pad=720:576:0:0", 0, 0, 0, 0},
      {"lbox with crop and bars", Picture(1920, 1080), "640x480", "lbox", {10, 20, 30, 40},
       "", "640:360", "crop=1860:1040:20:10,scale=640:360,pad=640:480:0:60", 0, 0, 0, 0},
      {"full without crop", Picture(1920, 1080), "640x480", "full", {},
       "640x480", "640:480", "", 0, 0, 0, 0},
      {"full with crop", Picture(1920, 1080), "640x480", "full", {8, 4, 6, 2},
       "640x480", "640:480", "", 8, 6, 4, 2},
      // Pan and scan leaves a 4:3 picture: 1920x1080 keeps its middle 1440x1080.
      {"pan wide source", Picture(1920, 1080), "640x480", "pan", {},
       "640x480", "640:480", "", 0, 0, 240, 240},
      {"pan very wide source", Picture(1920, 816), "640x480", "pan", {},
       "640x480", "640:480", "", 0, 0, 416, 416},
      {"pan wide source with crop", Picture(1920, 1080), "640x480", "pan", {0, 100, 0, 0},
       "640x480", "640:480", "", 0, 0, 290, 190},
      {"pan tall source", Picture(480, 720), "640x480", "pan", {},
       "640x480", "640:480", "", 180, 180, 0, 0},
      {"pan 4:3 source", Picture(640, 480), "320x240", "pan", {},
       "320x240", "320:240", "", 0, 0, 0, 0},
      {"center wide source", Picture(1920, 1080), "640x480", "center", {},
       "", "640:480", "pad=1920:1440:0:180:black,scale=640:480", 0, 0, 0, 0},
      {"center narrow source", Picture(720, 1280), "640x480", "center", {},
       "", "640:480", "pad=1704:1280:492:0:black,scale=640:480", 0, 0, 0, 0},
      {"unknown zoom", Picture(1920, 1080), "640x480", "zoom", {},
       "", "", "", 0, 0, 0, 0},
      {"source without size", Picture(0, 0), "640x480", "lbox", {},
       "", "", "", 0, 0, 0, 0},
      {"target without width", Picture(720, 576), "0x480", "lbox", {},
       "", "", "", 0, 0, 0, 0},
      {"target without height", Picture(720, 576), "640x0", "pan", {},
       "", "", "", 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VideoProfile({{"paraVideoSize", c.size}});
    Build(c.source, c.zoom, c.crop);
    EXPECT_EQ(out.FrameSize, c.frameSize);
    EXPECT_EQ(out.FrameAspectRatio, c.aspect);
    EXPECT_EQ(out.VideoFilters, c.filters);
    EXPECT_EQ(out.CropTop, c.top);
    EXPECT_EQ(out.CropBottom, c.bottom);
    EXPECT_EQ(out.CropLeft, c.left);
    EXPECT_EQ(out.CropRight, c.right);
    EXPECT_FALSE(out.DisableVideo);
    EXPECT_TRUE(prompts.questions.empty());
  }
}

TEST_F(BuilderTest, CenterWithCropPadsTheCroppedPicture) {
  VideoProfile({{"paraVideoSize", "640x480"}});
  Build(Picture(1920, 1080), "center", {0, 240, 0, 240});
  // The engine crops to 1440x1080, already 4:3.
  EXPECT_EQ(out.VideoFilters, "pad=1440:1080:0:0:black,scale=640:480");
  EXPECT_EQ(out.CropLeft, 240);
  EXPECT_EQ(out.CropRight, 240);
  EXPECT_TRUE(out.FrameSize.empty());
}

TEST_F(BuilderTest, TargetSizeFromTheStoredValue) {
  struct Case {
    std::string encoder, size, frameSize;
  };
  const std::vector<Case> cases = {
      {"mpeg4", "640x480", "640x480"},  {"mpeg4", "as source", "720x576"},
      {"mpeg4", "abcx480", "720x480"},  {"mpeg4", "640xabc", "640x576"},
      {"mpeg4", "640x480x2", "640x576"}, {"mpeg4", "400x300", "400x300"},
      {"h263", "400x300", "704x576"},   {"h263", "176x144", "176x144"},
      {"h263", "352x288", "352x288"},   {"h263", "300x200", "352x288"},
      {"h263", "177x100", "352x288"},   {"h263", "353x100", "704x576"},
      {"h263", "1000x900", "704x576"},  {"h263", "100x80", "100x80"},
      {"h263", "176x100", "176x100"},   {"h263", "76x144", "76x144"},  // text found in the list
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoder + " " + c.size);
    Profile("mp4", {{"paraVideoEncoder", c.encoder}, {"paraVideoSize", c.size}});
    Build(Picture(720, 576), "full");
    EXPECT_EQ(out.FrameSize, c.frameSize);
    EXPECT_TRUE(prompts.questions.empty());
  }
}

TEST_F(BuilderTest, UnusableSizeAsksForTheDefaultSize) {
  for (const std::string size : {"", "x480", "640x", "null", "640*480"}) {
    for (const bool yes : {true, false}) {
      SCOPED_TRACE(size + (yes ? " yes" : " no"));
      if (size.empty())
        Profile("mp4", {{"paraVideoEncoder", "mpeg4"}});  // never stored
      else
        Profile("mp4", {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", size}});
      prompts = PromptLog{};
      prompts.answer = yes;
      Build(Picture(720, 576), "full");
      ASSERT_EQ(prompts.questions.size(), 1u);
      EXPECT_EQ(prompts.questions[0].first, "Warning");
      EXPECT_EQ(prompts.questions[0].second, kSizeQuestion);
      EXPECT_EQ(out.FrameSize, yes ? "320x240" : "720x576");
    }
  }
}

TEST_F(BuilderTest, SourceWithoutVideoDisablesVideo) {
  Profile("mp4", {{"paraVideoEncoder", "mpeg4"}, {"paraVideoSize", "as source"},
                  {"paraAudioEncoder", "aac"}});
  TSourcePicture audioOnly;
  audioOnly.VideoStreamCount = 0;
  Build(audioOnly, "lbox", {}, "hflip");
  EXPECT_TRUE(out.DisableVideo);
  EXPECT_TRUE(out.FrameSize.empty());
  EXPECT_TRUE(out.FrameAspectRatio.empty());
  EXPECT_EQ(out.VideoFilters, "hflip");
  EXPECT_EQ(out.VideoBitrate, -1);
  EXPECT_TRUE(out.FrameRate.empty());
  EXPECT_EQ(out.VideoCodec, "mpeg4");
  EXPECT_EQ(out.AudioCodec, "aac");
  EXPECT_TRUE(in.ExtOptions.empty());

  // A size that would raise the question is never looked at.
  Profile("mp4", {{"paraVideoEncoder", "mpeg4"}});
  Build(audioOnly, "lbox");
  EXPECT_TRUE(prompts.questions.empty());
  EXPECT_TRUE(out.DisableVideo);
}

TEST_F(BuilderTest, VideoCodecPresetAndContainer) {
  struct Case {
    std::string encoder, format, codec, preset, fileFormat;
    int32_t target;
  };
  const std::vector<Case> cases = {
      {"libx264", "PSP", "libx264", "libx264-psp", "PSP", 0},
      {"libx264", "ipod", "libx264", "libx264-ipod", "ipod", 0},
      {"libx264", "ps3", "libx264", "libx264-ps3", "", 0},
      {"libx264", "mp4", "libx264", "libx264-mp4", "", 0},
      {"mpeg2video", "vob", "mpeg2video", "", "vob", 3},
      {"wmv2", "null", "wmv2", "", "", 0},
      {"flv", "flv", "", "", "flv", 0},
      {"swf", "swf", "", "", "", 0},
      {"MPEG4", "avi", "", "", "avi", 0},
      {"h263", "3gp", "h263", "", "3gp", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoder + " " + c.format);
    VideoProfile({{"paraVideoEncoder", c.encoder}}, c.format);
    Build(Picture(640, 480));
    EXPECT_EQ(out.VideoCodec, c.codec);
    EXPECT_EQ(out.VideoPreset, c.preset);
    EXPECT_EQ(out.FileFormat, c.fileFormat);
    EXPECT_EQ(out.TargetType, c.target);
  }
}

TEST_F(BuilderTest, VideoBitRateAndFrameRate) {
  struct Case {
    std::optional<std::string> bitRate, frameRate;
    int32_t videoBitrate;
    std::string rate;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, 512000, "29.97"},
      {"1000", "25", 1000000, "25"},
      {"as source", "as source", 777000, ""},
      {"fast", "0", 777000, ""},
      {"800.5", "-25", 777000, ""},
      {"0", "fast", -1, ""},
      {"-5", "23.976", -1, "23.976"},
      {"5000000", "30", -1, "30"},  // 5 Gbit/s does not fit the field
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bitRate.value_or("<none>") + " " + c.frameRate.value_or("<none>"));
    Values values;
    if (c.bitRate) values["paraVideoBitRate"] = *c.bitRate;
    if (c.frameRate) values["paraFrameRate"] = *c.frameRate;
    VideoProfile(values);
    Build(Picture(640, 480, 777000));
    EXPECT_EQ(out.VideoBitrate, c.videoBitrate);
    EXPECT_EQ(out.FrameRate, c.rate);
  }
}

TEST_F(BuilderTest, FittingFiltersFollowTheCallersChain) {
  VideoProfile({{"paraVideoSize", "720x576"}});
  Build(Picture(720, 576), "lbox", {}, "hflip");
  EXPECT_EQ(out.VideoFilters, "hflip,pad=720:576:0:0");
  // A fitting without filters leaves the chain as it was.
  Build(Picture(720, 576), "full", {}, "hflip");
  EXPECT_EQ(out.VideoFilters, "hflip");
  Build(Picture(720, 576), "full");
  EXPECT_TRUE(out.VideoFilters.empty());
}

TEST_F(BuilderTest, AudioOfAVideoProfile) {
  VideoProfile({{"paraAudioEncoder", "libamr_nb"},
                {"paraChannel", "0"},
                {"paraVolume", "100"},
                {"paraSampleRate", "8000"},
                {"paraAudioBitRate", "12.2"}});
  Build(Picture(176, 144));
  EXPECT_EQ(out.AudioCodec, "libopencore_amrnb");
  EXPECT_FALSE(out.DisableAudio);
  EXPECT_EQ(out.AudioChannels, 0);  // no sign test on this path
  EXPECT_EQ(out.AudioVolume, 100);
  EXPECT_EQ(out.AudioSampleRate, 8000);
  EXPECT_EQ(out.AudioBitrate, 12200);
  EXPECT_TRUE(in.ExtOptions.empty());
  EXPECT_FALSE(out.DisableSubtitle);

  // Nothing stored: no audio encoder means no audio; the rest takes the builder's defaults.
  VideoProfile({});
  Build(Picture(176, 144));
  EXPECT_TRUE(out.DisableAudio);
  EXPECT_TRUE(out.AudioCodec.empty());
  EXPECT_EQ(out.AudioChannels, 2);
  EXPECT_EQ(out.AudioVolume, 3);
  EXPECT_EQ(out.AudioSampleRate, 44100);
  EXPECT_EQ(out.AudioBitrate, 128000);

  VideoProfile({{"paraAudioEncoder", "aac"},
                {"paraChannel", "as source"},
                {"paraVolume", "256"},
                {"paraSampleRate", "0"},
                {"paraAudioBitRate", "0.0001"}});
  Build(Picture(176, 144));
  EXPECT_EQ(out.AudioCodec, "aac");
  EXPECT_EQ(out.AudioChannels, -1);
  EXPECT_EQ(out.AudioVolume, -1);
  EXPECT_EQ(out.AudioSampleRate, -1);
  EXPECT_EQ(out.AudioBitrate, -1);
}

// Real probes on synthetic files.
class SourcePictureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries)); }
};

TEST_F(SourcePictureTest, ReadsTheFirstVideoStream) {
  const std::string& clip = testing::MediaOnce("builder_clip.avi", testing::AviClip(352, 288, 0.5));
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(clip)) << probe.LastErrorMessage();
  const TSourcePicture picture = SourcePictureOf(probe);
  EXPECT_EQ(picture.VideoStreamCount, 1);
  EXPECT_EQ(picture.Width, 352);
  EXPECT_EQ(picture.Height, 288);
  TVideoStreamInfo info;
  ASSERT_TRUE(probe.GetVideoStreamInfo(-1, info));
  EXPECT_EQ(picture.BitRate, info.BitRate);

  // "as source" takes what the probe found.
  ScratchFolder folder;
  TIniFile settings(folder / "settings.ini");
  settings.WriteString(FormatSection(kCode), "paraVideoEncoder", "mpeg4");
  settings.WriteString(FormatSection(kCode), "paraVideoSize", "as source");
  settings.WriteString(FormatSection(kCode), "paraVideoBitRate", "as source");
  TlvFilesRecord row;
  row.Zoom = "lbox";
  TOutputOptions out;
  TInputOptions in;
  BuildOutputOptions(row, kCode, out, picture, in,
                     TBuildContext{settings.FileName(), folder / "none.ini", TUserPrompts{}});
  EXPECT_EQ(out.FrameSize, "352x288");
  EXPECT_EQ(out.VideoFilters, "pad=352:288:0:0");
  EXPECT_EQ(out.VideoBitrate, info.BitRate);
}

TEST_F(SourcePictureTest, AudioFileHasNoPicture) {
  testing::TestMediaSpec wav;
  wav.container = "wav";
  wav.audioEncoder = "pcm_s16le";
  wav.seconds = 0.3;
  const std::string& file = testing::MediaOnce("builder_sound.wav", wav);
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(file)) << probe.LastErrorMessage();
  const TSourcePicture picture = SourcePictureOf(probe);
  EXPECT_EQ(picture.VideoStreamCount, 0);
  EXPECT_EQ(picture.Width, 0);
  EXPECT_EQ(picture.Height, 0);
  EXPECT_EQ(picture.BitRate, -1);
}

class DestinationNameTest : public ::testing::Test {
 protected:
  std::string Make(const std::string& source, const std::string& suffix) {
    return MakeDestinationName(source, suffix, settingsFile_, prompts.Prompts());
  }
  void StoreOutputDir(const std::string& dir) {
    ASSERT_TRUE(TIniFile(settingsFile_).WriteString("settings", "OutPutDir", dir));
  }
  std::string StoredOutputDir() {
    return TIniFile(settingsFile_).ReadString("settings", "OutPutDir", "<none>");
  }
  static void Touch(const std::string& path) { testing::WriteBytes(path, "x"); }

  ScratchFolder folder_;
  ScopedEnv home_{"HOME", folder_ / "home"};
  std::string settingsFile_ = folder_ / "orvoswfconverter.ini";
  PromptLog prompts;
};

TEST_F(DestinationNameTest, FirstFreeNumberedName) {
  const std::string out = folder_ / "deep/out";  // created with its parent
  StoreOutputDir(out);
  EXPECT_EQ(Make("/media/films/clip.avi", ".mp4"), out + "/clip_(new).mp4");
  EXPECT_TRUE(fs::is_directory(out));

  Touch(out + "/clip_(new).mp4");
  EXPECT_EQ(Make("/media/films/clip.avi", ".mp4"), out + "/clip_(new_1).mp4");
  Touch(out + "/clip_(new_1).mp4");
  EXPECT_EQ(Make("/media/films/clip.avi", ".mp4"), out + "/clip_(new_2).mp4");
  // Another suffix is another name; a folder of that name counts as taken.
  fs::create_directory(out + "/clip_(new)_ipod.mp4");
  EXPECT_EQ(Make("clip.avi", "_ipod.mp4"), out + "/clip_(new_1)_ipod.mp4");
  // Only the last extension goes; a trailing separator is not doubled.
  StoreOutputDir(out + "/");
  EXPECT_EQ(Make("/media/my.holiday.mkv", ".flv"), out + "/my.holiday_(new).flv");
  EXPECT_TRUE(prompts.warnings.empty());
}

TEST_F(DestinationNameTest, DefaultFolderWhenNothingIsStored) {
  const std::string fallback = folder_ / "home/duzezoredizore";
  EXPECT_EQ(Make("clip.avi", ".mp4"), fallback + "/clip_(new).mp4");
  EXPECT_TRUE(fs::is_directory(fallback));
  EXPECT_TRUE(prompts.warnings.empty());
}

TEST_F(DestinationNameTest, UncreatableFolderFallsBackToTheDefault) {
  Touch(folder_ / "plain_file");
  const std::string bad = folder_ / "plain_file/out";
  StoreOutputDir(bad);
  const std::string fallback = folder_ / "home/duzezoredizore";

  // This name still uses the folder read; later builds get the default one.
  EXPECT_EQ(Make("clip.avi", ".mp4"), bad + "/clip_(new).mp4");
  ASSERT_EQ(prompts.warnings.size(), 1u);
  EXPECT_EQ(prompts.warnings[0].first, "Warning");
  EXPECT_EQ(prompts.warnings[0].second, "Cannot create output directory:" + bad +
                                            ".It will create default directory " + fallback +
                                            "!");
  EXPECT_EQ(StoredOutputDir(), fallback);
  EXPECT_TRUE(fs::is_directory(fallback));

  EXPECT_EQ(Make("clip.avi", ".mp4"), fallback + "/clip_(new).mp4");
  EXPECT_EQ(prompts.warnings.size(), 1u);
}

}  // namespace
}  // namespace orvo
