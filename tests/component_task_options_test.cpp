// The task records and the option calls they turn into, read back from the task's engine: the
// extra options text, the input record, the output record's order (codecs, presets, fields,
// frame size), the pool of stream options for extra streams, targets, time stamps and failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
}

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "component/AVProbe.h"
#include "component/FFmpegVCL.h"
#include "component/TaskOptions.h"
#include "platform/main_thread.h"
#include "support/test_media.h"

namespace orvo {
namespace {

const std::string& Clip() {
  return testing::MediaOnce("records-clip.avi", testing::AviClip(160, 120, 0.5));
}

// 30 pictures a second: neither PAL nor NTSC, so a target cannot detect its norm.
const std::string& Clip30() {
  testing::TestMediaSpec recipe = testing::AviClip(160, 120, 0.5);
  recipe.frameRate = {30, 1};
  return testing::MediaOnce("records-clip30.avi", recipe);
}

std::string Out(const std::string& name) { return testing::MediaPath(name); }

std::string MetadataOf(const AVDictionary* metadata, const char* key) {
  const AVDictionaryEntry* entry = av_dict_get(metadata, key, nullptr, 0);
  return entry ? entry->value : "<none>";
}

// The codecs of the streams created in an output, in order.
std::vector<AVCodecID> StreamCodecs(const TOutputFile& file) {
  std::vector<AVCodecID> ids;
  for (const TOutputStream& stream : file.Streams) ids.push_back(stream.Codec->codec_id);
  return ids;
}

class TaskOptionsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    FFLoader().LoadLibraries(ConverterLibraries);
    SetMainThread();
    Logger().SetLogLevel(llQuiet);
  }

  // A task on `input` with its output record applied; the task's engine.
  TFFmpeg* TaskWithOutput(const TOutputOptions& record, const std::string& output,
                          const std::string& input = Clip()) {
    const int index = vcl_.AddTask(input);
    EXPECT_EQ(index, vcl_.TasksCount() - 1) << vcl_.LastErrMsg();
    if (index < 0) return nullptr;
    EXPECT_TRUE(vcl_.SetOutputFile(index, output, &record)) << vcl_.LastErrMsg();
    return vcl_.Task(index);
  }

  TFFmpegVCL vcl_;
};

TEST_F(TaskOptionsTest, ExtraOptionsTextSplitsIntoLowerCasedKeysAndValues) {
  using Lines = std::vector<TExtraOption>;
  struct Case {
    const char* text;
    Lines lines;
  };
  const Case cases[] = {
      {"", {}},
      {"   \r\n  ", {}},
      {"VCodec=MPEG4", {{"vcodec", "MPEG4"}}},
      // Split at the first "=" only; a line without one is a key with an empty value.
      {"vf=scale=64:48<CRLF>newaudio", {{"vf", "scale=64:48"}, {"newaudio", ""}}},
      // Every kind of line break; the whole text is trimmed, single lines are not.
      {"  a=1\r\nb=2\rc=3\nd= 4 <CRLF>e=5  ", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", " 4 "}, {"e", "5"}}},
      {"a=1<CRLF>", {{"a", "1"}}},
      {"a=1\r\n\r\nb=2", {{"a", "1"}, {"", ""}, {"b", "2"}}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseExtraOptions(c.text), c.lines) << c.text;
}

TEST_F(TaskOptionsTest, InitialisersRestoreEveryDefault) {
  TOutputOptions out;
  out.AudioVolume = 0;
  out.VideoCodec = "mpeg4";
  out.CropTop = 4;
  out.NormDefault = 2;
  out.Info.Timestamp = 0;
  out.Info.Title = "x";
  out.StartTime = 5;
  InitOutputOptions(out);
  EXPECT_EQ(out.AudioVolume, -1);
  EXPECT_TRUE(out.VideoCodec.empty());
  EXPECT_EQ(out.CropTop, -1);
  EXPECT_EQ(out.NormDefault, 1);
  EXPECT_EQ(out.AudioSync, 0);
  EXPECT_EQ(out.Info.Timestamp, -1.0);
  EXPECT_TRUE(out.Info.Title.empty());
  EXPECT_EQ(out.StartTime, NOPTS);
  EXPECT_EQ(out.RecordingTime, NOPTS);

  TInputOptions in;
  in.ProgramID = 3;
  in.StartTime = 0;
  in.FileName = "a";
  InitInputOptions(in);
  EXPECT_EQ(in.ProgramID, -1);
  EXPECT_EQ(in.StartTime, NOPTS);
  EXPECT_TRUE(in.FileName.empty());
}

TEST_F(TaskOptionsTest, InputRecordDispatchesItsLinesAndFieldsBeforeTheOpen) {
  TInputOptions in;
  // Stream lines are not for the input: a preset without a codec, a filter chain and a new
  // stream without an output would each fail or linger if dispatched.
  in.ExtOptions = "Threads=3<CRLF>vpre=medium<CRLF>vf=hflip<CRLF>newaudio<CRLF>newvideo=1";
  in.StartTime = 200000;
  const int index = vcl_.AddTask(Clip(), &in);
  ASSERT_EQ(index, 0) << vcl_.LastErrMsg();
  TFFmpeg& task = *vcl_.Task(index);
  EXPECT_EQ(task.Options().ThreadCount, 3);
  EXPECT_TRUE(task.Options().VideoFilters.empty());
  // Opened at the start time.
  EXPECT_EQ(task.InputFile(0).TsOffset, -200000);
  for (const TInputStream& stream : task.InputStreams()) {
    if (stream.Codec) {
      EXPECT_EQ(stream.Codec->thread_count, 3);
    }
  }
  // The record is kept with the name that was opened.
  ASSERT_EQ(task.InputRecords.size(), 1u);
  EXPECT_EQ(task.InputRecords[0].FileName, Clip());

  TInputOptions named;
  named.FileName = "elsewhere.avi";
  ASSERT_EQ(vcl_.AddTask(Clip(), &named), 1) << vcl_.LastErrMsg();
  EXPECT_EQ(vcl_.Task(1)->InputRecords[0].FileName, "elsewhere.avi");
  EXPECT_EQ(vcl_.AVProbes(1, 0)->FormatContext(), vcl_.Task(1)->InputFile(0).Context.get());
}

TEST_F(TaskOptionsTest, InputRecordFailuresBecomeTheLastError) {
  struct Case {
    TInputOptions record;
    std::string error;  // the whole message, or a part of it when `part`
    bool part;
  };
  TInputOptions program;
  program.ProgramID = 7;  // an AVI file has no programs
  TInputOptions format;
  format.FileFormat = "no_such_demuxer";
  TInputOptions option;
  option.ExtOptions = "threads=65";
  TInputOptions noProgram;
  noProgram.ProgramID = 0;  // 0: no selection
  for (const Case& c : {Case{program, "Specified program id not found", false},
                        Case{format, "no_such_demuxer", true},
                        Case{option, "threads", true}}) {
    const int before = vcl_.TasksCount();
    EXPECT_EQ(vcl_.AddTask(Clip(), &c.record), -1);
    EXPECT_EQ(vcl_.TasksCount(), before);
    if (c.part) {
      EXPECT_NE(vcl_.LastErrMsg().find(c.error), std::string::npos) << vcl_.LastErrMsg();
    } else {
      EXPECT_EQ(vcl_.LastErrMsg(), c.error);
    }
  }
  EXPECT_EQ(vcl_.AddTask(Clip(), &noProgram), 0) << vcl_.LastErrMsg();
  EXPECT_EQ(vcl_.AddTask(Out("missing.avi")), -1);
  EXPECT_NE(vcl_.LastErrMsg().find("missing.avi"), std::string::npos) << vcl_.LastErrMsg();
}

TEST_F(TaskOptionsTest, CodecComesBeforeItsPresetAndTheFrameSizeAfterEverythingElse) {
  if (!avcodec_find_encoder_by_name("libx264")) GTEST_SKIP() << "no H.264 encoder";
  TOutputOptions out;
  out.VideoCodec = "libx264";
  out.VideoPreset = "medium";  // found as "libx264-medium" only once the codec is set
  out.GopSize = 12;            // the fields come after the preset's g=250
  out.CropTop = 100;           // of the input's 120 lines: valid before the size, not after
  out.FrameSize = "64x48";
  out.DisableAudio = true;
  TFFmpeg* task = TaskWithOutput(out, Out("x264.mkv"));
  ASSERT_NE(task, nullptr);
  EXPECT_EQ(task->DefaultCodecContext(AVMEDIA_TYPE_VIDEO)->gop_size, 12);
  EXPECT_EQ(task->DefaultCodecContext(AVMEDIA_TYPE_VIDEO)->keyint_min, 25);  // from the preset
  bool privateFromPreset = false;
  for (const TPrivateOption& o : task->RecordedPrivateOptions())
    privateFromPreset |= o.Name == "me_method";
  EXPECT_TRUE(privateFromPreset);
  EXPECT_EQ(task->Options().FrameTopBand, 100);
  const TOutputFile& file = task->OutputFile(0);
  ASSERT_EQ(StreamCodecs(file), std::vector<AVCodecID>{AV_CODEC_ID_H264});
  EXPECT_EQ(file.Streams[0].Codec->width, 64);
  EXPECT_EQ(file.Streams[0].Codec->height, 48);
}

TEST_F(TaskOptionsTest, FieldsReachTheEngineState) {
  ASSERT_EQ(vcl_.AddTask(Clip()), 0);
  TFFmpeg& e = *vcl_.Task(0);
  TOutputOptions o;
  o.PacketSize = 2048;
  o.MuxDelay = 0.25f;
  o.MuxPreload = 0.125f;
  o.AudioVolume = 0;  // mutes
  o.AudioChannels = 1;
  o.AudioSampleRate = 22050;
  o.AudioBitrate = 64000;
  o.AudioBitrateTolerance = 4000;
  o.AudioLanguage = "fre";
  o.AudioSync = 1;
  o.AudioTag = "abcd";
  o.FrameRate = "15";
  o.FrameAspectRatio = "16:9";
  o.CropTop = 0;  // changes nothing
  o.CropBottom = 8;
  o.CropLeft = 0;
  o.CropRight = 16;
  o.VideoBitrate = 300000;
  o.VideoMaxRate = 400000;
  o.VideoMinRate = 100000;
  o.VideoBitrateTolerance = 50000;
  o.VideoBufSize = 800000;
  o.VideoSync = 2;
  o.VideoTag = "XVID";
  o.VideoLanguage = "ger";
  o.SubtitleLanguage = "spa";
  o.InputSync = true;
  o.CopyTimestamp = true;
  o.StartTime = 100000;
  o.RecordingTime = 300000;
  // The extra lines come before the fields: the field wins, unless it is left at its default.
  o.ExtOptions = "vsync=1<CRLF>ac=2<CRLF>ar=8000<CRLF>qmin=3";
  o.AudioSampleRate = -1;
  TPendingStreamOptions pending;
  ApplyOutputOptions(e, o, pending, 0);

  const TEngineOptions& s = e.Options();
  const AVCodecContext* video = e.DefaultCodecContext(AVMEDIA_TYPE_VIDEO);
  const AVCodecContext* audio = e.DefaultCodecContext(AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(e.DefaultFormatContext()->packet_size, 2048u);
  EXPECT_FLOAT_EQ(s.MuxMaxDelay, 0.25f);
  EXPECT_FLOAT_EQ(s.MuxPreload, 0.125f);
  EXPECT_EQ(s.AudioVolume, 0);
  EXPECT_EQ(s.AudioChannels, 1);
  EXPECT_EQ(s.AudioSampleRate, 8000);
  EXPECT_EQ(audio->bit_rate, 64000);
  EXPECT_EQ(audio->bit_rate_tolerance, 4000);
  EXPECT_EQ(s.AudioLanguage, "fre");
  EXPECT_EQ(s.AudioSyncMethod, 1);
  EXPECT_EQ(s.AudioCodecTag, MKTAG('a', 'b', 'c', 'd'));
  EXPECT_EQ(av_cmp_q(s.FrameRate, AVRational{15, 1}), 0);
  EXPECT_NEAR(s.FrameAspectRatio, 16.0 / 9.0, 1e-6);
  EXPECT_EQ(s.FrameTopBand, 0);
  EXPECT_EQ(s.FrameBottomBand, 8);
  EXPECT_EQ(s.FrameLeftBand, 0);
  EXPECT_EQ(s.FrameRightBand, 16);
  EXPECT_EQ(s.FrameHeight, 112);
  EXPECT_EQ(s.FrameWidth, 144);
  EXPECT_EQ(video->bit_rate, 300000);
  EXPECT_EQ(video->rc_max_rate, 400000);
  EXPECT_EQ(video->rc_min_rate, 100000);
  EXPECT_EQ(video->bit_rate_tolerance, 50000);
  EXPECT_EQ(video->rc_buffer_size, 800000);
  EXPECT_EQ(video->qmin, 3);
  EXPECT_EQ(s.VideoSyncMethod, 2);
  EXPECT_EQ(s.VideoCodecTag, MKTAG('X', 'V', 'I', 'D'));
  EXPECT_EQ(s.VideoLanguage, "ger");
  EXPECT_EQ(s.SubtitleLanguage, "spa");
  EXPECT_TRUE(s.InputSync);
  EXPECT_TRUE(s.CopyTs);
  EXPECT_EQ(s.StartTime, 100000);
  EXPECT_EQ(s.RecordingTime, 300000);
  EXPECT_EQ(e.ProgressTotal(), 300000);

  // Fields left at their defaults change nothing.
  TCustomFFmpeg fresh;
  TOutputOptions defaults;
  ApplyOutputOptions(fresh, defaults, pending, 0);
  const TEngineOptions reset{};
  EXPECT_EQ(fresh.Options().AudioVolume, 256);
  EXPECT_EQ(fresh.Options().AudioChannels, reset.AudioChannels);
  EXPECT_EQ(fresh.Options().AudioSampleRate, reset.AudioSampleRate);
  EXPECT_EQ(fresh.Options().StartTime, reset.StartTime);
  EXPECT_EQ(fresh.Options().RecordingTime, reset.RecordingTime);
  EXPECT_EQ(fresh.Options().RecTimestamp, 0);
  EXPECT_EQ(fresh.ProgressTotal(), -1);
  EXPECT_TRUE(fresh.Options().Metadata.empty());
  EXPECT_EQ(fresh.DefaultCodecContext(AVMEDIA_TYPE_AUDIO)->bit_rate,
            TCustomFFmpeg().DefaultCodecContext(AVMEDIA_TYPE_AUDIO)->bit_rate);
}

TEST_F(TaskOptionsTest, DisabledKindsAndMetadataShapeTheOutput) {
  TOutputOptions o;
  o.DisableVideo = true;
  o.AudioCodec = "mp2";
  o.AudioLanguage = "fre";
  o.Info.Year = 2009;
  o.Info.Track = 3;
  o.Info.Title = "Title";
  o.Info.Author = "Author";
  o.Info.Copyright = "Copyright";
  o.Info.Comment = "Comment";
  o.Info.Album = "Album";
  o.Info.Genre = "Genre";
  TFFmpeg* task = TaskWithOutput(o, Out("meta.mkv"));
  ASSERT_NE(task, nullptr);
  const TOutputFile& file = task->OutputFile(0);
  ASSERT_EQ(StreamCodecs(file), std::vector<AVCodecID>{AV_CODEC_ID_MP2});
  EXPECT_EQ(MetadataOf(file.Streams[0].Stream->metadata, "language"), "fre");
  const AVDictionary* meta = file.Context->metadata;
  for (const auto& [key, value] :
       std::vector<std::pair<const char*, const char*>>{{"year", "2009"},
                                                        {"track", "3"},
                                                        {"title", "Title"},
                                                        {"author", "Author"},
                                                        {"copyright", "Copyright"},
                                                        {"comment", "Comment"},
                                                        {"album", "Album"},
                                                        {"genre", "Genre"}})
    EXPECT_EQ(MetadataOf(meta, key), value) << key;
  EXPECT_EQ(MetadataOf(meta, "creation_time"), "<none>");  // Timestamp -1
  ASSERT_EQ(task->OutputRecords.size(), 1u);
  EXPECT_EQ(task->OutputRecords[0].FileName, Out("meta.mkv"));

  TOutputOptions noAudio;
  noAudio.DisableAudio = true;
  noAudio.VideoCodec = "mpeg4";
  TFFmpeg* second = TaskWithOutput(noAudio, Out("noaudio.mkv"));
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(StreamCodecs(second->OutputFile(0)), std::vector<AVCodecID>{AV_CODEC_ID_MPEG4});
}

TEST_F(TaskOptionsTest, ExtraStreamsTakeThePoolInOrderThenTheRecordDefault) {
  struct Case {
    const char* name;
    std::string audioCodec;
    std::string ext;
    std::vector<AVCodecID> codecs;
  };
  const Case cases[] = {
      // The first line of a key also serves the main stream when the field is empty.
      {"line serves both", "", "acodec=mp2<CRLF>newaudio", {AV_CODEC_ID_MP2, AV_CODEC_ID_MP2}},
      {"field first, pool in order", "ac3", "acodec=aac<CRLF>acodec=mp2<CRLF>newaudio",
       {AV_CODEC_ID_AC3, AV_CODEC_ID_AAC}},
      {"two extra streams", "ac3", "acodec=aac<CRLF>acodec=mp2<CRLF>newaudio<CRLF>newaudio",
       {AV_CODEC_ID_AC3, AV_CODEC_ID_AAC, AV_CODEC_ID_MP2}},
      {"pool used up: the field", "ac3", "acodec=aac<CRLF>newaudio<CRLF>newaudio",
       {AV_CODEC_ID_AC3, AV_CODEC_ID_AAC, AV_CODEC_ID_AC3}},
      {"upper-case key", "", "ACodec=mp2", {AV_CODEC_ID_MP2}},
  };
  int n = 0;
  for (const Case& c : cases) {
    TOutputOptions o;
    o.DisableVideo = true;
    o.AudioCodec = c.audioCodec;
    o.ExtOptions = c.ext;
    TFFmpeg* task = TaskWithOutput(o, Out("pool" + std::to_string(n++) + ".mkv"));
    ASSERT_NE(task, nullptr) << c.name;
    EXPECT_EQ(StreamCodecs(task->OutputFile(0)), c.codecs) << c.name;
  }

  // Video lines: codec, size and filter chain of an extra video stream.
  TOutputOptions v;
  v.DisableAudio = true;
  v.VideoCodec = "mpeg4";
  v.ExtOptions = "VCodec=mpeg2video<CRLF>s=80x60<CRLF>newvideo";
  TFFmpeg* task = TaskWithOutput(v, Out("pool-video.mkv"));
  ASSERT_NE(task, nullptr);
  const TOutputFile& file = task->OutputFile(0);
  ASSERT_EQ(StreamCodecs(file),
            (std::vector<AVCodecID>{AV_CODEC_ID_MPEG4, AV_CODEC_ID_MPEG2VIDEO}));
  // The first "s" line serves the main stream (its field is empty) and the extra one.
  EXPECT_EQ(file.Streams[0].Codec->width, 80);
  EXPECT_EQ(file.Streams[1].Codec->width, 80);
}

TEST_F(TaskOptionsTest, VfiltersLineCountsAsTheFilterChain) {
  ASSERT_EQ(vcl_.AddTask(Clip()), 0);
  TOutputOptions o;
  o.ExtOptions = "vfilters=hflip<CRLF>vf=vflip";
  TPendingStreamOptions pending;
  ApplyOutputOptions(*vcl_.Task(0), o, pending, 0);
  EXPECT_EQ(vcl_.Task(0)->Options().VideoFilters, "hflip");
  EXPECT_EQ(pending.Take("vf"), "hflip");
  EXPECT_EQ(pending.Take("vf"), "vflip");
  EXPECT_EQ(pending.Take("vf"), "hflip");  // the default once the pool is used up
  EXPECT_EQ(pending.Take("acodec"), "");

  o.VideoFilters = "negate";
  ApplyOutputOptions(*vcl_.Task(0), o, pending, 0);
  EXPECT_EQ(vcl_.Task(0)->Options().VideoFilters, "negate");
}

TEST_F(TaskOptionsTest, TargetNormFallsBackToTheDefaultWhenDetectionFails) {
  struct Case {
    int normType;
    int normDefault;
    const std::string* input;
    AVRational rate;
    int height;
  };
  const Case cases[] = {
      {0, 2, &Clip30(), {30000, 1001}, 480},  // 30 fps: detection fails, default NTSC
      {0, 1, &Clip30(), {25, 1}, 576},        // default PAL
      {0, 7, &Clip30(), {30000, 1001}, 480},  // anything but 1 is NTSC
      {0, 2, &Clip(), {25, 1}, 576},          // 25 fps is detected as PAL
      {1, 2, &Clip30(), {25, 1}, 576},
      {2, 1, &Clip(), {30000, 1001}, 480},
      {5, 2, &Clip30(), {30000, 1001}, 480},  // an unknown norm detects
  };
  for (const Case& c : cases) {
    TFFmpegVCL vcl;
    ASSERT_EQ(vcl.AddTask(*c.input), 0) << vcl.LastErrMsg();
    TOutputOptions o;
    o.TargetType = 2;
    o.NormType = c.normType;
    o.NormDefault = c.normDefault;
    TPendingStreamOptions pending;
    ApplyOutputOptions(*vcl.Task(0), o, pending, 0);
    const TEngineOptions& s = vcl.Task(0)->Options();
    EXPECT_EQ(av_cmp_q(s.FrameRate, c.rate), 0)
        << c.normType << "/" << c.normDefault << ": " << s.FrameRate.num << "/" << s.FrameRate.den;
    EXPECT_EQ(s.FrameHeight, c.height) << c.normType << "/" << c.normDefault;
    EXPECT_EQ(s.FormatName, "svcd");
  }
}

// Sets the time zone for one test and puts the earlier one back.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (had_)
      setenv("TZ", saved_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

TEST_F(TaskOptionsTest, TimestampBecomesTheCreationTimeWithTheZonesBaseBias) {
  struct Case {
    const char* zone;
    int64_t bias;
    double timestamp;
    int64_t seconds;  // since 1970, UTC
  };
  // 2009-07-06 12:00 local; summer time is not taken into account.
  const Case cases[] = {
      {"UTC0", 0, 40000.5, 1246881600},
      {"EST5EDT,M3.2.0,M11.1.0", 300, 40000.5, 1246881600 + 300 * 60},
      {"CET-1CEST,M3.5.0,M10.5.0/3", -60, 40000.5, 1246881600 - 60 * 60},
  };
  int n = 0;
  for (const Case& c : cases) {
    ZoneGuard zone(c.zone);
    EXPECT_EQ(LocalBaseBiasMinutes(), c.bias) << c.zone;
    TOutputOptions o;
    o.Info.Timestamp = c.timestamp;
    TFFmpeg* task = TaskWithOutput(o, Out("stamp" + std::to_string(n++) + ".mkv"));
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(task->Options().RecTimestamp, c.seconds) << c.zone;
    EXPECT_EQ(ParseCreationTime(MetadataOf(task->OutputFile(0).Context->metadata, "creation_time")),
              c.seconds)
        << c.zone;
  }

  // 0: now.
  ZoneGuard zone("UTC0");
  TOutputOptions now;
  now.Info.Timestamp = 0;
  const int64_t before = std::time(nullptr);
  TFFmpeg* task = TaskWithOutput(now, Out("stamp-now.mkv"));
  const int64_t after = std::time(nullptr);
  ASSERT_NE(task, nullptr);
  const int64_t stamp =
      ParseCreationTime(MetadataOf(task->OutputFile(0).Context->metadata, "creation_time"));
  EXPECT_GE(stamp, before - 1);
  EXPECT_LE(stamp, after + 1);
}

TEST_F(TaskOptionsTest, OutputRecordFailuresBecomeTheLastError) {
  struct Case {
    const char* name;
    TOutputOptions record;
    std::string error;
  };
  TOutputOptions preset;
  preset.VideoCodec = "mpeg4";
  preset.VideoPreset = "nosuch";
  TOutputOptions format;
  format.FileFormat = "no_such_muxer";
  TOutputOptions size;
  size.FrameSize = "huge";
  TOutputOptions stream;
  stream.DisableVideo = true;
  stream.ExtOptions = "acodec=no_such_encoder<CRLF>newaudio";
  stream.AudioCodec = "mp2";
  const Case cases[] = {
      {"preset", preset, "Preset \"nosuch\" not found"},
      {"format", format,
       "Requested output format 'no_such_muxer' is not a suitable output format"},
      {"size", size, "Incorrect frame size"},
  };
  // Each on a task of its own: settings made before a failure stay in the engine.
  for (const Case& c : cases) {
    const int task = vcl_.AddTask(Clip());
    ASSERT_GE(task, 0);
    EXPECT_FALSE(vcl_.SetOutputFile(task, Out("fail.mkv"), &c.record)) << c.name;
    EXPECT_EQ(vcl_.LastErrMsg(), c.error) << c.name;
    EXPECT_EQ(vcl_.Task(task)->OutputFileCount(), 0) << c.name;
  }
  // An extra stream that cannot be made: the output exists, the operation fails.
  const int task = vcl_.AddTask(Clip());
  EXPECT_FALSE(vcl_.SetOutputFile(task, Out("fail-stream.mkv"), &stream));
  EXPECT_EQ(vcl_.LastErrMsg(), "Unknown encoder 'no_such_encoder'");
  EXPECT_EQ(vcl_.Task(task)->OutputFileCount(), 1);
  EXPECT_FALSE(vcl_.SetOutputFile(9, Out("none.mkv")));
  EXPECT_FALSE(vcl_.LastErrMsg().empty());
}

}  // namespace
}  // namespace orvo
