// The engine's option dispatcher: effects on the option state, failure texts, the pass-through
// into the libraries' default contexts, and hostile values.
#include <gtest/gtest.h>

#include <algorithm>

#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "binding/FFmpegLogger.h"
#include "engine/FFmpeg.h"
#include "engine/presets.h"
#include "support/test_media.h"

namespace orvo {
namespace {

struct TLogLine {
  TLogLevel Level;
  std::string Text;
};

class EngineOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLevel_ = Logger().LogLevel();
    Logger().SetLogLevel(llDebug);
    Logger().TriggerEventInMainThread = false;
    Logger().OnLog = [this](const void* sender, uint32_t, TLogLevel level, const std::string& t) {
      if (sender != &engine_) return;
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back({level, t});
    };
  }
  void TearDown() override {
    Logger().OnLog = nullptr;
    Logger().TriggerEventInMainThread = true;
    Logger().SetLogLevel(savedLevel_);
  }
  bool Logged(TLogLevel level, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& l : lines_)
      if (l.Level == level && l.Text == text) return true;
    return false;
  }
  std::string FailureOf(const std::string& name, const std::string& value) {
    try {
      engine_.DispatchOption(name, value);
    } catch (const FFmpegException& e) {
      return e.what();
    }
    return "";
  }

  TCustomFFmpeg engine_;
  TLogLevel savedLevel_ = llInfo;
  std::mutex mutex_;
  std::vector<TLogLine> lines_;
};

TEST_F(EngineOptionsTest, ResetValues) {
  engine_.DispatchOption("ar", "22050");
  engine_.DispatchOption("vcodec", "mpeg4");
  engine_.DispatchOption("g", "12");
  engine_.ResetOptions();
  const TEngineOptions& o = engine_.Options();
  EXPECT_EQ(o.FramePixFmt, -1);
  EXPECT_EQ(o.FrameRate.num, 0);
  EXPECT_EQ(o.FrameRate.den, 0);
  EXPECT_EQ(o.AudioSampleRate, 44100);
  EXPECT_EQ(o.AudioChannels, 2);
  EXPECT_EQ(o.AudioSampleFmt, -1);
  EXPECT_EQ(o.MaxVideoFrames, 2147483647);
  EXPECT_EQ(o.MaxAudioFrames, 2147483647);
  EXPECT_EQ(o.MaxDataFrames, 2147483647);
  EXPECT_FALSE(o.VideoCodecName.has_value());
  EXPECT_EQ(o.TopFieldFirst, -1);
  EXPECT_EQ(o.IntraDcPrecision, 8);
  EXPECT_EQ(o.LoopOutput, -1);
  EXPECT_FLOAT_EQ(o.AudioQScale, -99999);
  EXPECT_FLOAT_EQ(o.MuxPreload, 0.5f);
  EXPECT_FLOAT_EQ(o.MuxMaxDelay, 0.7f);
  EXPECT_EQ(o.RecordingTime, INT64_MAX);
  EXPECT_EQ(o.VideoSyncMethod, -1);
  EXPECT_FLOAT_EQ(o.AudioDriftThreshold, 0.1f);
  EXPECT_EQ(o.AudioVolume, 256);
  EXPECT_EQ(o.Verbose, 1);
  EXPECT_EQ(o.ThreadCount, 1);
  EXPECT_FLOAT_EQ(o.DtsDeltaThreshold, 10);
  EXPECT_EQ(o.SwsFlags, 4);
  EXPECT_TRUE(engine_.RecordedOptionNames().empty());
  int64_t gop = 0;
  ASSERT_GE(av_opt_get_int(engine_.DefaultCodecContext(0), "g", 0, &gop), 0);
  EXPECT_EQ(gop, 12);  // library default, not the value set before the reset
  for (int kind = 0; kind < 5; ++kind)
    EXPECT_EQ(engine_.DefaultCodecContext(kind)->codec_type, kind);
}

// One option, its value, and a check of the state afterwards.
struct TEffectCase {
  const char* Name;
  const char* Value;
  std::function<bool(const TEngineOptions&)> Check;
};

TEST_F(EngineOptionsTest, EachOptionChangesItsSetting) {
  const std::vector<TEffectCase> cases = {
      {"f", "avi", [](auto& o) { return o.FormatName == "avi" && !o.PgmYuv; }},
      {"f", "pgmyuv", [](auto& o) { return o.FormatName == "image2" && o.PgmYuv; }},
      {"map", "1:2", [](auto& o) {
         auto& m = o.StreamMaps.at(0);
         return m.FileIndex == 1 && m.StreamIndex == 2 && m.SyncFileIndex == 1 &&
                m.SyncStreamIndex == 2;
       }},
      {"map", "0x1.010:3", [](auto& o) {
         auto& m = o.StreamMaps.at(0);  // hex and octal numbers, any separator
         return m.FileIndex == 1 && m.StreamIndex == 8 && m.SyncFileIndex == 3 &&
                m.SyncStreamIndex == 0;
       }},
      {"map_meta_data", "2:1",
       [](auto& o) { return o.MetaDataMaps.at(0).OutFile == 2 && o.MetaDataMaps[0].InFile == 1; }},
      {"t", "00:00:05.5", [](auto& o) { return o.RecordingTime == 5500000; }},
      {"fs", "1234567890123", [](auto& o) { return o.LimitFileSize == 1234567890123; }},
      {"ss", "2.25", [](auto& o) { return o.StartTime == 2250000; }},
      {"itsoffset", "-1", [](auto& o) { return o.InputTsOffset == -1000000; }},
      {"itsscale", "3:1.5", [](auto& o) { return o.InputTsScale[3] == 1.5; }},
      {"timestamp", "1970-01-01 00:01:40.6Z", [](auto& o) { return o.RecTimestamp == 101; }},
      {"metadata", "title=A=B", [](auto& o) {
         return o.Metadata.size() == 1 && o.Metadata[0].first == "title" &&
                o.Metadata[0].second == "A=B";
       }},
      {"dframes", "7", [](auto& o) { return o.MaxDataFrames == 7; }},
      {"dump", "", [](auto& o) { return o.DoPktDump; }},
      {"hex", "0", [](auto& o) { return !o.DoHexDump; }},
      {"re", "1", [](auto& o) { return o.RateEmu; }},
      {"loop_input", "yes", [](auto& o) { return o.LoopInput; }},
      {"loop_output", "3", [](auto& o) { return o.LoopOutput == 3; }},
      {"v", "-1", [](auto& o) { return o.Verbose == -1; }},
      {"vsync", "2", [](auto& o) { return o.VideoSyncMethod == 2; }},
      {"threads", "0", [](auto& o) { return o.ThreadCount == 0; }},
      {"threads", "4", [](auto& o) { return o.ThreadCount == 4; }},
      {"async", "1", [](auto& o) { return o.AudioSyncMethod == 1; }},
      {"adrift_threshold", "0.5", [](auto& o) { return o.AudioDriftThreshold == 0.5f; }},
      {"vglobal", "3", [](auto& o) { return o.VideoGlobalHeader == 3; }},
      {"copyts", "0", [](auto& o) { return o.CopyTs; }},
      {"shortest", "0", [](auto& o) { return !o.OptShortest; }},
      {"shortest", "", [](auto& o) { return o.OptShortest; }},
      {"shortest", "1", [](auto& o) { return o.OptShortest; }},
      {"dts_delta_threshold", "2.5", [](auto& o) { return o.DtsDeltaThreshold == 2.5f; }},
      {"programid", "5", [](auto& o) { return o.OptProgramId == 5; }},
      {"xerror", "0", [](auto& o) { return o.ExitOnError; }},
      {"copyinkf", "1", [](auto& o) { return o.CopyInitialNonKeyframes == 1; }},
      {"vframes", "100", [](auto& o) { return o.MaxVideoFrames == 100; }},
      {"r", "ntsc", [](auto& o) { return o.FrameRate.num == 30000 && o.FrameRate.den == 1001; }},
      {"r", "25", [](auto& o) { return o.FrameRate.num == 25 && o.FrameRate.den == 1; }},
      {"r", "", [](auto& o) { return o.FrameRate.num == 0; }},
      {"s", "640x480", [](auto& o) { return o.FrameWidth == 640 && o.FrameHeight == 480; }},
      {"s", "vga", [](auto& o) { return o.FrameWidth == 640 && o.FrameHeight == 480; }},
      {"s", "", [](auto& o) { return o.FrameWidth == 0 && o.FrameHeight == 0; }},
      {"aspect", "16:9", [](auto& o) { return std::abs(o.FrameAspectRatio - 16.0f / 9) < 1e-6; }},
      {"aspect", "1.5", [](auto& o) { return o.FrameAspectRatio == 1.5f; }},
      {"pix_fmt", "yuv422p", [](auto& o) { return o.FramePixFmt == AV_PIX_FMT_YUV422P; }},
      {"intra", "", [](auto& o) { return o.IntraOnly; }},
      {"vn", "1", [](auto& o) { return o.VideoDisable; }},
      {"vdt", "16", [](auto& o) { return o.VideoDiscard == 16; }},
      {"qscale", "255", [](auto& o) { return o.VideoQScale == 255; }},
      {"rc_override", "0,10,5/20,30,-50",
       [](auto& o) { return o.VideoRcOverride == "0,10,5/20,30,-50"; }},
      {"vcodec", "mpeg4", [](auto& o) { return o.VideoCodecName == "mpeg4" && !o.VideoStreamCopy; }},
      {"vcodec", "copy", [](auto& o) { return !o.VideoCodecName && o.VideoStreamCopy; }},
      {"vcodec", "", [](auto& o) { return !o.VideoCodecName && !o.VideoStreamCopy; }},
      {"me_threshold", "4", [](auto& o) { return o.MeThreshold == 4; }},
      {"sameq", "", [](auto& o) { return o.SameQuality; }},
      {"pass", "2", [](auto& o) { return o.DoPass == 2; }},
      {"passlogfile", "/tmp/x", [](auto& o) { return o.PassLogFileName == "/tmp/x"; }},
      {"deinterlace", "1", [](auto& o) { return o.DoDeinterlace; }},
      {"psnr", "1", [](auto& o) { return o.DoPsnr; }},
      {"vstats", "", [](auto& o) {
         const std::string& f = o.VStatsFileName.value();
         return f.size() > 17 && f.find("/vstats_") != std::string::npos &&
                f.substr(f.size() - 4) == ".log";
       }},
      {"vstats_file", "s.log", [](auto& o) { return o.VStatsFileName == "s.log"; }},
      {"vfilters", "scale=10:10", [](auto& o) { return o.VideoFilters == "scale=10:10"; }},
      {"vf", "", [](auto& o) { return o.VideoFilters.empty(); }},
      {"top", "1", [](auto& o) { return o.TopFieldFirst == 1; }},
      {"dc", "10", [](auto& o) { return o.IntraDcPrecision == 10; }},
      {"vtag", "XVID", [](auto& o) { return o.VideoCodecTag == 0x44495658u; }},
      {"vlang", "eng", [](auto& o) { return o.VideoLanguage == "eng"; }},
      {"qphist", "1", [](auto& o) { return o.QpHist; }},
      {"force_fps", "1", [](auto& o) { return o.ForceFps; }},
      {"streamid", "3:301", [](auto& o) { return o.StreamIdMap[3] == 301; }},
      {"aframes", "9", [](auto& o) { return o.MaxAudioFrames == 9; }},
      {"aq", "4", [](auto& o) { return o.AudioQScale == 4; }},
      {"ar", "22050", [](auto& o) { return o.AudioSampleRate == 22050; }},
      {"ar", "0", [](auto& o) { return o.AudioSampleRate == 44100; }},
      {"ac", "6", [](auto& o) { return o.AudioChannels == 6; }},
      {"ac", "-1", [](auto& o) { return o.AudioChannels == 2; }},
      {"an", "", [](auto& o) { return o.AudioDisable; }},
      {"acodec", "copy", [](auto& o) { return o.AudioStreamCopy && !o.AudioCodecName; }},
      {"atag", "mp4a", [](auto& o) { return o.AudioCodecTag == 0x6134706du; }},
      {"vol", "512", [](auto& o) { return o.AudioVolume == 512; }},
      {"alang", "ger", [](auto& o) { return o.AudioLanguage == "ger"; }},
      {"sample_fmt", "s16", [](auto& o) { return o.AudioSampleFmt == AV_SAMPLE_FMT_S16; }},
      {"sample_fmt", "nosuch", [](auto& o) { return o.AudioSampleFmt == -1; }},
      {"sn", "", [](auto& o) { return o.SubtitleDisable; }},
      {"scodec", "mov_text", [](auto& o) { return o.SubtitleCodecName == "mov_text"; }},
      {"slang", "fre", [](auto& o) { return o.SubtitleLanguage == "fre"; }},
      {"stag", "tx3g", [](auto& o) { return o.SubtitleCodecTag == 0x67337874u; }},
      {"vc", "2", [](auto& o) { return o.VideoChannel == 2; }},
      {"tvstd", "pal", [](auto& o) { return o.VideoStandard == "pal"; }},
      {"isync", "1", [](auto& o) { return o.InputSync; }},
      {"muxdelay", "1.25", [](auto& o) { return o.MuxMaxDelay == 1.25f; }},
      {"muxpreload", "0.25", [](auto& o) { return o.MuxPreload == 0.25f; }},
      {"vbsf", "h264_mp4toannexb", [](auto& o) {
         return o.VideoBitstreamFilters.size() == 1 &&
                std::string(o.VideoBitstreamFilters[0].Filter->name) == "h264_mp4toannexb";
       }},
      {"absf", "=aac_adtstoasc", [](auto& o) { return o.AudioBitstreamFilters.empty(); }},
      {"sbsf", "null=x", [](auto& o) { return o.SubtitleBitstreamFilters.size() == 1; }},
  };
  for (const TEffectCase& c : cases) {
    TCustomFFmpeg engine;
    ASSERT_NO_THROW(engine.DispatchOption(c.Name, c.Value)) << c.Name << " " << c.Value;
    EXPECT_TRUE(c.Check(engine.Options())) << c.Name << " = \"" << c.Value << "\"";
  }
}

TEST_F(EngineOptionsTest, FailuresKeepTheStateAndGiveTheirText) {
  struct TFailCase {
    const char* Name;
    const char* Value;
    const char* Message;
  };
  const std::vector<TFailCase> cases = {
      {"threads", "-1", "Invalid value \"-1\" for option \"threads\""},
      {"threads", "many", "'many' is not a valid integer value"},
      {"loglevel", "loud", "Invalid log level: loud"},
      {"t", "abc", "Invalid duration specification for t: abc"},
      {"ss", "", "Invalid duration specification for ss: "},
      {"timestamp", "not a date", "Invalid date specification for timestamp: not a date"},
      {"itsscale", "20:2", "stream index over MAX_STREAMS(20)"},
      {"itsscale", "-1:2", "stream index over MAX_STREAMS(20)"},
      {"metadata", "title", "Missing ="},
      {"dframes", "1.5", "'1.5' is not a valid integer value"},
      {"fs", "99999999999999999999", "'99999999999999999999' is not a valid integer value"},
      {"adrift_threshold", "x", "'x' is not a valid floating point value"},
      {"muxdelay", "1e60", "'1e60' is not a valid floating point value"},
      {"r", "abc", "Incorrect frame rate"},
      {"r", "-25", "Incorrect frame rate"},
      {"s", "0x10", "Incorrect frame size"},
      {"aspect", "4:0", "Incorrect aspect ratio specification."},
      {"aspect", "abc", "Incorrect aspect ratio specification."},
      {"aspect", "-1.5", "Incorrect aspect ratio specification."},
      {"pix_fmt", "nosuch", "Unknown pixel format requested: nosuch"},
      {"croptop", "10",
       "Vertical crop dimensions are outside the range of the original image.\n"
       "Remember to crop first and scale second."},
      {"cropright", "1",
       "Horizontal crop dimensions are outside the range of the original image.\n"
       "Remember to crop first and scale second."},
      {"padcolor", "", "Please use vfilters=pad"},
      {"padleft", "4", "Please use vfilters=pad"},
      {"qscale", "0", "qscale must be > 0.0 and <= 255"},
      {"qscale", "255.5", "qscale must be > 0.0 and <= 255"},
      {"pass", "3", "pass number can be only 1 or 2"},
      {"vhook", "/nonexistent/hook.so -x", "Failed to add video hook function: /nonexistent/hook.so -x"},
      {"vtag", "XVI", "video tag parameter must be 4 chars"},
      {"atag", "mp4aa", "audio tag parameter must be 4 chars"},
      {"stag", "t", "subtitle tag parameter must be 4 chars"},
      {"streamid", ":5", "Invalid value \":5\" for option \"streamid\", required syntax is \"index:value\""},
      {"streamid", "5", "Invalid value \"5\" for option \"streamid\", required syntax is \"index:value\""},
      {"streamid", "20:1", "stream index over MAX_STREAMS(20)"},
      {"map", "20:0", "Invalid value \"20:0\" for option \"map\""},
      {"map", "-1:0", "Invalid value \"-1:0\" for option \"map\""},
      {"map_meta_data", "0:99", "Invalid value \"0:99\" for option \"map_meta_data\""},
      {"vbsf", "nosuch_bsf=1 ", "Unknown bitstream filter nosuch_bsf=1"},
  };
  for (const TFailCase& c : cases) {
    TCustomFFmpeg engine;
    const TLogLevel level = Logger().LogLevel();
    std::string message;
    try {
      engine.DispatchOption(c.Name, c.Value);
    } catch (const FFmpegException& e) {
      message = e.what();
    }
    EXPECT_EQ(message, c.Message) << c.Name << " = \"" << c.Value << "\"";
    EXPECT_EQ(Logger().LogLevel(), level);
    // Nothing of the option state moved.
    const TEngineOptions fresh;
    const TEngineOptions& o = engine.Options();
    EXPECT_EQ(o.RecordingTime, fresh.RecordingTime);
    EXPECT_EQ(o.FrameRate.num, 0);
    EXPECT_EQ(o.FrameWidth, 0);
    EXPECT_EQ(o.FrameAspectRatio, 0);
    EXPECT_EQ(o.VideoQScale, 0);
    EXPECT_EQ(o.DoPass, 0);
    EXPECT_TRUE(o.StreamMaps.empty() && o.MetaDataMaps.empty() && o.Metadata.empty());
    EXPECT_EQ(o.VideoCodecTag | o.AudioCodecTag | o.SubtitleCodecTag, 0u);
    EXPECT_TRUE(o.VideoBitstreamFilters.empty());
    EXPECT_FALSE(o.UsingVHook);
    for (int id : o.StreamIdMap) EXPECT_EQ(id, 0);
    for (double s : o.InputTsScale) EXPECT_EQ(s, 0);
  }
}

TEST_F(EngineOptionsTest, DoNothingOptionsAndWarnings) {
  for (const char* name : {"L", "h", "version", "formats", "codecs", "bsfs", "protocols",
                           "filters", "i", "y", "benchmark"}) {
    ASSERT_NO_THROW(engine_.DispatchOption(name, ""));
    EXPECT_TRUE(Logged(llInfo, std::string("Do nothing: option - ") + name)) << name;
  }
  engine_.DispatchOption("timelimit", "10");
  EXPECT_TRUE(Logged(llWarning, "Warning: -timelimit not implemented on Windows"));
  engine_.DispatchOption("f", "pgmyuv");
  EXPECT_TRUE(Logged(llInfo, "pgmyuv format is deprecated, use image2"));
}

TEST_F(EngineOptionsTest, CropBandsAfterTheFrameSize) {
  engine_.DispatchOption("s", "640x480");
  engine_.DispatchOption("croptop", "10");
  engine_.DispatchOption("cropbottom", "0");  // not positive: nothing
  engine_.DispatchOption("cropleft", "20");
  engine_.DispatchOption("cropright", "30");
  const TEngineOptions& o = engine_.Options();
  EXPECT_EQ(o.FrameTopBand, 10);
  EXPECT_EQ(o.FrameBottomBand, 0);
  EXPECT_EQ(o.FrameLeftBand, 20);
  EXPECT_EQ(o.FrameRightBand, 30);
  EXPECT_EQ(o.FrameHeight, 470);
  EXPECT_EQ(o.FrameWidth, 590);
  EXPECT_TRUE(Logged(llWarning, "CropTop is deprecated in favor of the crop avfilter"));
  EXPECT_TRUE(Logged(llWarning, "CropRight is deprecated in favor of the crop avfilter"));
  // The band has to stay below what is left.
  EXPECT_NE(FailureOf("cropbottom", "470"), "");
  EXPECT_EQ(o.FrameHeight, 470);
}

TEST_F(EngineOptionsTest, BitRateWarningAndKinds) {
  const std::string warning =
      "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s";
  engine_.DispatchOption("b", "500k");
  EXPECT_FALSE(Logged(llWarning, warning));
  EXPECT_EQ(engine_.DefaultCodecContext(AVMEDIA_TYPE_VIDEO)->bit_rate, 500000);
  engine_.DispatchOption("ab", "96000");
  engine_.DispatchOption("b", "500");
  EXPECT_TRUE(Logged(llWarning, warning));
  EXPECT_EQ(engine_.DefaultCodecContext(AVMEDIA_TYPE_VIDEO)->bit_rate, 500);
  // A video bit rate leaves the audio one alone.
  EXPECT_EQ(engine_.DefaultCodecContext(AVMEDIA_TYPE_AUDIO)->bit_rate, 96000);
  engine_.DispatchOption("vb", "2M");
  EXPECT_EQ(engine_.DefaultCodecContext(AVMEDIA_TYPE_VIDEO)->bit_rate, 2000000);
  // A value the library refuses: no exception, no warning.
  lines_.clear();
  EXPECT_NO_THROW(engine_.DispatchOption("b", "fast"));
  EXPECT_FALSE(Logged(llWarning, warning));
}

TEST_F(EngineOptionsTest, CodecCopyThenName) {
  engine_.DispatchOption("vcodec", "copy");
  EXPECT_TRUE(engine_.Options().VideoStreamCopy);
  EXPECT_FALSE(engine_.Options().VideoCodecName.has_value());
  engine_.DispatchOption("vcodec", "mpeg4");
  EXPECT_TRUE(engine_.Options().VideoStreamCopy);
  EXPECT_EQ(engine_.Options().VideoCodecName, "mpeg4");
  engine_.DispatchOption("vcodec", "copy");
  EXPECT_FALSE(engine_.Options().VideoCodecName.has_value());
}

TEST_F(EngineOptionsTest, MetadataAndMapsAppend) {
  engine_.DispatchOption("metadata", "title=A");
  engine_.DispatchOption("metadata", "=empty key");
  engine_.DispatchOption("metadata", "title=");
  const auto& m = engine_.Options().Metadata;
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[1].first, "");
  EXPECT_EQ(m[1].second, "empty key");
  EXPECT_EQ(m[2].second, "");
  engine_.DispatchOption("map", "0:1:1:0");
  engine_.DispatchOption("map", "1.1");
  ASSERT_EQ(engine_.Options().StreamMaps.size(), 2u);
  EXPECT_EQ(engine_.Options().StreamMaps[0].SyncFileIndex, 1);
  EXPECT_EQ(engine_.Options().StreamMaps[1].SyncStreamIndex, 1);
}

TEST_F(EngineOptionsTest, Matrices) {
  std::string text;
  for (int i = 0; i < 64; ++i) text += std::to_string(i + 1) + (i < 63 ? "," : "");
  engine_.DispatchOption("intra_matrix", text);
  ASSERT_TRUE(engine_.Options().IntraMatrix.has_value());
  EXPECT_EQ((*engine_.Options().IntraMatrix)[0], 1);
  EXPECT_EQ((*engine_.Options().IntraMatrix)[63], 64);
  // A short list fails at the coefficient whose separator is missing, keeping what was read.
  EXPECT_EQ(FailureOf("inter_matrix", "5,6,7"), "Syntax error in matrix \"5,6,7\" at coeff 2");
  ASSERT_TRUE(engine_.Options().InterMatrix.has_value());
  EXPECT_EQ((*engine_.Options().InterMatrix)[2], 7);
  EXPECT_EQ((*engine_.Options().InterMatrix)[3], 0);
  // A later use starts from zeros.
  EXPECT_NE(FailureOf("intra_matrix", "9"), "");
  EXPECT_EQ((*engine_.Options().IntraMatrix)[0], 9);
  EXPECT_EQ((*engine_.Options().IntraMatrix)[1], 0);
}

TEST_F(EngineOptionsTest, RecordingTimeIsTheProgressTotal) {
  engine_.DispatchOption("t", "10");
  EXPECT_EQ(engine_.ProgressTotal(), 10000000);
}

TEST_F(EngineOptionsTest, ListsLogAtInfo) {
  engine_.DispatchOption("pix_fmt", "list");
  EXPECT_EQ(engine_.Options().FramePixFmt, -1);
  EXPECT_TRUE(Logged(llInfo, "name       nb_components nb_bits"));
  bool yuv420p = false;
  for (const auto& l : lines_) yuv420p |= l.Text.rfind("yuv420p ", 0) == 0;
  EXPECT_TRUE(yuv420p);
  lines_.clear();
  engine_.DispatchOption("sample_fmt", "list");
  EXPECT_GE(lines_.size(), size_t(AV_SAMPLE_FMT_NB) + 1);
  EXPECT_EQ(lines_[0].Text.rfind("name", 0), 0u);
}

TEST_F(EngineOptionsTest, PassThroughIntoDefaultContexts) {
  // Codec option of both kinds.
  EXPECT_TRUE(engine_.SetDefaultOption(" g ", " 30 "));
  EXPECT_EQ(engine_.DefaultCodecContext(AVMEDIA_TYPE_VIDEO)->gop_size, 30);
  // Audio-only option reaches the audio context.
  EXPECT_TRUE(engine_.SetDefaultOption("cutoff", "15000"));
  EXPECT_EQ(engine_.DefaultCodecContext(AVMEDIA_TYPE_AUDIO)->cutoff, 15000);
  // Format context, then scaler.
  EXPECT_TRUE(engine_.SetDefaultOption("probesize", "5000"));
  EXPECT_EQ(engine_.DefaultFormatContext()->probesize, 5000);
  EXPECT_TRUE(engine_.SetDefaultOption("sws_flags", "bilinear"));
  int64_t swsFlags = 0;
  ASSERT_GE(av_opt_get_int(engine_.DefaultScalerContext(), "sws_flags", 0, &swsFlags), 0);
  EXPECT_EQ(swsFlags, SWS_BILINEAR);
  // A kind letter before a codec option.
  EXPECT_TRUE(engine_.SetDefaultOption("vmaxrate", "900000"));
  EXPECT_EQ(engine_.DefaultCodecContext(AVMEDIA_TYPE_VIDEO)->rc_max_rate, 900000);
  // An encoder's private option counts as known.
  EXPECT_TRUE(engine_.SetDefaultOption("mpv_flags", "+qp_rd"));
  ASSERT_FALSE(engine_.RecordedPrivateOptions().empty());
  EXPECT_EQ(engine_.RecordedPrivateOptions().back().Name, "mpv_flags");
  EXPECT_EQ(engine_.RecordedPrivateOptions().back().Kind, AVMEDIA_TYPE_VIDEO);
  const std::vector<std::string> expected = {"g", "cutoff", "probesize", "sws_flags", "maxrate"};
  EXPECT_EQ(engine_.RecordedOptionNames(), expected);
  // Refusals: empty parts, unknown names (silently), bad values.
  EXPECT_FALSE(engine_.SetDefaultOption("g", " "));
  EXPECT_FALSE(engine_.SetDefaultOption("", "1"));
  lines_.clear();
  EXPECT_FALSE(engine_.SetDefaultOption("no_such_option_anywhere", "1"));
  EXPECT_NO_THROW(engine_.DispatchOption("no_such_option_anywhere", "1"));
  EXPECT_TRUE(lines_.empty());
  EXPECT_FALSE(engine_.SetDefaultOption("g", "many"));
  EXPECT_EQ(engine_.RecordedOptionNames().size(), expected.size());
}

TEST_F(EngineOptionsTest, DebugOptionRaisesTheLogLevel) {
  Logger().SetLogLevel(llInfo);
  EXPECT_TRUE(engine_.SetDefaultOption("debug", "pict"));
  EXPECT_EQ(Logger().LogLevel(), llDebug);
}

// Every name of the table, and a few library names, with hostile values: each is applied,
// ignored or refused with an FFmpegException, never anything else.
TEST_F(EngineOptionsTest, PresetsApplyThroughTheDispatcher) {
  // A short name after the video codec finds the codec's table entry; its old spellings reach
  // the H.264 encoder's own options.
  engine_.DispatchOption("vcodec", "libx264");
  engine_.DispatchOption("vpre", "medium");
  const auto& names = engine_.RecordedOptionNames();
  for (const char* expected : {"g", "keyint_min", "qmin", "qmax", "bf", "refs"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
  }
  bool hasPrivate = false;
  for (const auto& option : engine_.RecordedPrivateOptions()) hasPrivate |= option.Name == "me_method";
  EXPECT_TRUE(hasPrivate) << "me_method goes to the encoder's private options";

  // Without a codec the name is a file, and there is none.
  TCustomFFmpeg bare;
  try {
    bare.DispatchOption("vpre", "medium");
    ADD_FAILURE() << "no such preset";
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "Preset \"medium\" not found");
  }
}

TEST_F(EngineOptionsTest, EveryBuiltInPresetIsAccepted) {
  for (const TOptionsPreset& preset : OptionsPresets()) {
    TCustomFFmpeg engine;
    engine.DispatchOption("vcodec", "libx264");
    EXPECT_NO_THROW(engine.DispatchOption("vpre", std::string(preset.Name))) << preset.Name;
  }
}

TEST_F(EngineOptionsTest, PresetFilesSetCodecsAndStopAtABadLine) {
  const std::string path = testing::TestMediaDir() + "/my.ffpreset";
  testing::WriteBytes(path, "vcodec=mpeg4\ng=12\nbf\nqmin=3\n");
  EXPECT_EQ(FailureOf("fpre", path), path + ": Invalid syntax: \"bf\"");
  EXPECT_EQ(engine_.Options().VideoCodecName.value_or(""), "mpeg4");
  const auto& names = engine_.RecordedOptionNames();
  EXPECT_NE(std::find(names.begin(), names.end(), "g"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "qmin"), names.end()) << "lines after the bad one";
  testing::WriteBytes(path, "nosuchoption=1\n");
  EXPECT_EQ(FailureOf("fpre", path),
            path + ": Invalid option or argument: \"nosuchoption=1\", parsed as \"nosuchoption\" = \"1\"");
}

TEST_F(EngineOptionsTest, HostileValuesNeverCrash) {
  const int libraryLevel = av_log_get_level();
  av_log_set_level(AV_LOG_QUIET);  // thousands of refusals are expected here
  std::vector<std::string> names = TCustomFFmpeg::OptionTableNames();
  for (const char* extra : {"g", "b", "flags", "probesize", "sws_flags", "vmaxrate", "unknown"})
    names.emplace_back(extra);
  const std::vector<std::string> values = {
      "",
      " ",
      "0",
      "-1",
      "99999999999999999999999999",
      "-9223372036854775808",
      "1e308",
      "nan",
      "inf",
      "0x7fffffff",
      "abc",
      std::string(10000, '9'),
      std::string(10000, 'x'),
      std::string(10000, ','),
      "1:2:3:4:5:6",
      "::",
      "==",
      "=",
      "a=",
      "%s%n%s",
      std::string("a\0b", 3),
      "\xff\xfe",
      "4294967296:1",
      "19:1e309",
  };
  for (const std::string& name : names) {
    if (name == "loglevel" || name == "vhook") continue;  // global level; module loading
    for (const std::string& value : values) {
      TCustomFFmpeg engine;
      try {
        engine.DispatchOption(name, value);
      } catch (const FFmpegException& e) {
        EXPECT_GT(std::string(e.what()).size(), 0u) << name;
      } catch (...) {
        ADD_FAILURE() << name << " threw something other than FFmpegException";
      }
    }
  }
  for (const std::string& value : values) {
    const TLogLevel level = Logger().LogLevel();
    try {
      engine_.DispatchOption("loglevel", value);
    } catch (const FFmpegException&) {
      EXPECT_EQ(Logger().LogLevel(), level);
    }
  }
  av_log_set_level(libraryLevel);
}

// Disc and tape targets.

struct TTargetCase {
  const char* Target;
  const char* Norm;
  const char* Format;
  const char* VideoCodec;  // nullptr: unchanged (unset)
  const char* AudioCodec;
  int Width, Height;
  AVRational Rate;
  int PixFmt;
  int64_t Gop, BitRate, MaxRate, MinRate, BufSize, AudioBitRate;
  int SampleRate;
  int64_t PacketSize;
  float MuxPreload;
  float Aspect;
};

int64_t CodecInt(TCustomFFmpeg& e, int kind, const char* name) {
  int64_t v = -12345;
  EXPECT_GE(av_opt_get_int(e.DefaultCodecContext(kind), name, 0, &v), 0) << name;
  return v;
}

TEST_F(EngineOptionsTest, TargetSettingsPerNorm) {
  const AVRational pal{25, 1}, ntsc{30000, 1001}, film{24000, 1001};
  const float a43 = 4.0f / 3.0f, a169 = 16.0f / 9.0f;
  constexpr int64_t kSame = std::numeric_limits<int64_t>::min();  // as on a fresh engine
  const TTargetCase cases[] = {
      {"vcd", "pal", "vcd", "mpeg1video", "mp2", 352, 288, pal, -1, 15, 1150000, 1150000,
       1150000, 327680, 224000, 44100, 2324, 0.44f, a43},
      {"vcd", "ntsc", "vcd", "mpeg1video", "mp2", 352, 240, ntsc, -1, 18, 1150000, 1150000,
       1150000, 327680, 224000, 44100, 2324, 0.44f, a43},
      {"vcd", "film", "vcd", "mpeg1video", "mp2", 352, 240, film, -1, 18, 1150000, 1150000,
       1150000, 327680, 224000, 44100, 2324, 0.44f, a43},
      {"svcd", "pal", "svcd", "mpeg2video", "mp2", 480, 576, pal, -1, 15, 2040000, 2516000, 0,
       1835008, 224000, 44100, 2324, 0.5f, a43},
      {"svcd", "ntsc", "svcd", "mpeg2video", "mp2", 480, 480, ntsc, -1, 18, 2040000, 2516000, 0,
       1835008, 224000, 44100, 2324, 0.5f, a43},
      {"dvd", "pal", "dvd", "mpeg2video", "ac3", 720, 576, pal, -1, 15, 6000000, 9000000, 0,
       1835008, 448000, 48000, 2048, 0.5f, a169},
      {"dvd", "film", "dvd", "mpeg2video", "ac3", 720, 480, film, -1, 18, 6000000, 9000000, 0,
       1835008, 448000, 48000, 2048, 0.5f, a169},
      {"dv", "pal", "dv", nullptr, nullptr, 720, 576, pal, AV_PIX_FMT_YUV420P, kSame, kSame,
       kSame, kSame, kSame, kSame, 48000, 0, 0.5f, 0},
      {"dv", "ntsc", "dv", nullptr, nullptr, 720, 480, ntsc, AV_PIX_FMT_YUV411P, kSame, kSame,
       kSame, kSame, kSame, kSame, 48000, 0, 0.5f, 0},
      {"dv50", "pal", "dv", nullptr, nullptr, 720, 576, pal, AV_PIX_FMT_YUV422P, kSame, kSame,
       kSame, kSame, kSame, kSame, 48000, 0, 0.5f, 0},
      {"dv50", "film", "dv", nullptr, nullptr, 720, 480, film, AV_PIX_FMT_YUV422P, kSame, kSame,
       kSame, kSame, kSame, kSame, 48000, 0, 0.5f, 0},
  };
  for (const TTargetCase& c : cases) {
    SCOPED_TRACE(std::string(c.Target) + " " + c.Norm);
    TCustomFFmpeg e;
    e.DispatchOption("ar", "22050");
    e.DispatchOption("ac", "6");
    e.SetTarget(c.Target, c.Norm, "pal");
    const TEngineOptions& o = e.Options();
    EXPECT_EQ(o.FormatName, c.Format);
    EXPECT_EQ(o.VideoCodecName.value_or("(unset)"), c.VideoCodec ? c.VideoCodec : "(unset)");
    EXPECT_EQ(o.AudioCodecName.value_or("(unset)"), c.AudioCodec ? c.AudioCodec : "(unset)");
    EXPECT_EQ(o.FrameWidth, c.Width);
    EXPECT_EQ(o.FrameHeight, c.Height);
    EXPECT_EQ(o.FrameRate.num, c.Rate.num);
    EXPECT_EQ(o.FrameRate.den, c.Rate.den);
    EXPECT_EQ(o.FramePixFmt, c.PixFmt);
    TCustomFFmpeg fresh;
    auto expect = [&](int kind, const char* name, int64_t want) {
      if (want == kSame) want = CodecInt(fresh, kind, name);
      EXPECT_EQ(CodecInt(e, kind, name), want) << name;
    };
    expect(AVMEDIA_TYPE_VIDEO, "g", c.Gop);
    expect(AVMEDIA_TYPE_VIDEO, "b", c.BitRate);
    expect(AVMEDIA_TYPE_VIDEO, "maxrate", c.MaxRate);
    expect(AVMEDIA_TYPE_VIDEO, "minrate", c.MinRate);
    expect(AVMEDIA_TYPE_VIDEO, "bufsize", c.BufSize);
    expect(AVMEDIA_TYPE_AUDIO, "b", c.AudioBitRate);
    const bool scanOffset = std::any_of(
        e.RecordedPrivateOptions().begin(), e.RecordedPrivateOptions().end(),
        [](const TPrivateOption& p) { return p.Name == "scan_offset" && p.Value == "1"; });
    EXPECT_EQ(scanOffset, std::string(c.Target) == "svcd");
    EXPECT_EQ(o.AudioSampleRate, c.SampleRate);
    EXPECT_EQ(e.DefaultFormatContext()->packet_size, unsigned(c.PacketSize));
    EXPECT_FLOAT_EQ(o.MuxPreload, c.MuxPreload);
    EXPECT_FLOAT_EQ(o.FrameAspectRatio, c.Aspect);
    // 6 channels survive only where a target merely lifts mono.
    const bool keepsChannels = std::string(c.Target) == "svcd" || std::string(c.Target) == "dvd";
    EXPECT_EQ(o.AudioChannels, keepsChannels ? 6 : 2);
  }
}

TEST_F(EngineOptionsTest, TargetLiftsMonoAndKeepsAGivenAspect) {
  for (const char* target : {"vcd", "svcd", "dvd", "dv", "dv50"}) {
    TCustomFFmpeg e;
    e.DispatchOption("ac", "1");
    e.SetTarget(target, "pal", "pal");
    EXPECT_EQ(e.Options().AudioChannels, 2) << target;
  }
  engine_.DispatchOption("aspect", "16:9");
  engine_.SetTarget("vcd", "ntsc", "ntsc");
  EXPECT_FLOAT_EQ(engine_.Options().FrameAspectRatio, 16.0f / 9.0f);
  EXPECT_FALSE(Logged(llInfo, "Assuming 4:3 for aspect ratio"));
  engine_.ResetOptions();
  engine_.SetTarget("dvd", "ntsc", "ntsc");
  EXPECT_TRUE(Logged(llInfo, "Assuming 16:9 for aspect ratio"));
}

TEST_F(EngineOptionsTest, TargetDetectsNormFromFrameRate) {
  struct TCase {
    const char* Rate;
    const char* DefaultNorm;
    int Height;  // of "vcd"
    AVRational Result;
    const char* Log;
  };
  const TCase cases[] = {
      {"25", "ntsc", 288, {25, 1}, "Assuming PAL for target."},
      {"30000/1001", "pal", 240, {30000, 1001}, "Assuming NTSC for target."},
      {"24000/1001", "pal", 240, {30000, 1001}, "Assuming NTSC for target."},
      // Nothing matches: the default norm decides.
      {"50", "ntsc", 240, {30000, 1001}, "Assuming NTSC for target."},
      {"50", "film", 240, {24000, 1001}, "Assuming NTSC for target."},
      {"50", "pal", 288, {25, 1}, "Assuming PAL for target."},
      {"30", "whatever", 288, {25, 1}, "Assuming PAL for target."},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Rate) + " " + c.DefaultNorm);
    engine_.ResetOptions();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.clear();
    }
    engine_.DispatchOption("r", c.Rate);
    engine_.SetTarget("vcd", "auto", c.DefaultNorm);
    EXPECT_EQ(engine_.Options().FrameHeight, c.Height);
    EXPECT_EQ(CodecInt(engine_, AVMEDIA_TYPE_VIDEO, "g"), c.Height == 288 ? 15 : 18);
    EXPECT_EQ(engine_.Options().FrameRate.num, c.Result.num);
    EXPECT_EQ(engine_.Options().FrameRate.den, c.Result.den);
    EXPECT_TRUE(Logged(llVerbose, c.Log));
  }
  // Quiet engines say nothing, and an explicit norm is not announced.
  engine_.ResetOptions();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  engine_.DispatchOption("v", "0");
  engine_.DispatchOption("r", "25");
  engine_.SetTarget("vcd", "auto", "ntsc");
  engine_.DispatchOption("v", "1");
  engine_.SetTarget("vcd", "pal", "ntsc");
  EXPECT_FALSE(Logged(llVerbose, "Assuming PAL for target."));
}

// An engine with opened inputs, as far as norm detection sees them.
class TEngineWithInputs : public TCustomFFmpeg {
 public:
  std::vector<AVRational> TimeBases;

 protected:
  std::vector<AVRational> InputVideoTimeBases() const override { return TimeBases; }
};

TEST_F(EngineOptionsTest, TargetDetectsNormFromInputs) {
  struct TCase {
    std::vector<AVRational> TimeBases;
    int Height;
  };
  const TCase cases[] = {
      {{{1, 50}, {1, 25}, {1001, 30000}}, 288},  // first match decides
      {{{1, 90000}, {1001, 24000}, {1, 25}}, 240},
      {{{0, 0}, {1, 0}, {1001, 30000}}, 240},  // unset time bases are passed over
      {{{1, 50}}, 288},                        // default norm
  };
  for (const TCase& c : cases) {
    TEngineWithInputs e;
    e.TimeBases = c.TimeBases;
    e.DispatchOption("r", "60");
    e.SetTarget("svcd", "auto", "pal");
    EXPECT_EQ(e.Options().FrameHeight, c.Height == 288 ? 576 : 480);
  }
}

TEST_F(EngineOptionsTest, TargetFailures) {
  // Automatic norm without a frame rate has nothing to go on; an explicit norm needs none.
  try {
    engine_.SetTarget("dvd", "auto", "ntsc");
    ADD_FAILURE() << "no failure";
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "frame_rate is invalid.");
  }
  EXPECT_NO_THROW(engine_.SetTarget("dvd", "pal", "ntsc"));
  for (const char* target : {"dv25", "", "DVD", "vcd "}) {
    try {
      engine_.SetTarget(target, "pal", "pal");
      ADD_FAILURE() << target;
    } catch (const FFmpegException& e) {
      EXPECT_STREQ(e.what(), "Unknown target type") << target;
    }
  }
}

TEST_F(EngineOptionsTest, TargetOptionPrefixes) {
  struct TCase {
    const char* Value;
    const char* Rate;  // set before; "" for none
    int Width, Height;
    AVRational Result;
    const char* Failure;
  };
  const TCase cases[] = {
      {"  pal-vcd ", "30000/1001", 352, 288, {25, 1}, ""},
      {"ntsc-dvd", "25", 720, 480, {30000, 1001}, ""},
      {"film-svcd", "", 480, 480, {24000, 1001}, ""},
      {"dv50", "25", 720, 576, {25, 1}, ""},   // automatic: detected
      {"dv", "50", 720, 480, {30000, 1001}, ""},  // automatic: default "ntsc"
      {"dvd", "", 0, 0, {0, 0}, "frame_rate is invalid."},
      {"pal-dv25", "", 0, 0, {0, 0}, "Unknown target type"},
      {"secam-vcd", "25", 0, 0, {25, 1}, "Unknown target type"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Value);
    engine_.ResetOptions();
    if (*c.Rate) engine_.DispatchOption("r", c.Rate);
    EXPECT_EQ(FailureOf("target", c.Value), c.Failure);
    EXPECT_EQ(engine_.Options().FrameWidth, c.Width);
    EXPECT_EQ(engine_.Options().FrameHeight, c.Height);
    EXPECT_EQ(engine_.Options().FrameRate.num, c.Result.num);
    EXPECT_EQ(engine_.Options().FrameRate.den, c.Result.den);
  }
}

}  // namespace
}  // namespace orvo
