#include "component/AVProbe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/file_helpers.h"
#include "engine/media_texts.h"
#include "support/test_media.h"

namespace orvo {
namespace {

using testing::TestMediaSpec;

// Records the log sink's deliveries while alive.
class LogCapture {
 public:
  struct Entry {
    const void* sender;
    TLogLevel level;
    std::string text;
  };
  LogCapture() {
    TFFLogger& logger = Logger();
    savedTrigger_ = logger.TriggerEventInMainThread;
    logger.TriggerEventInMainThread = false;
    logger.OnLog = [this](const void* sender, uint32_t, TLogLevel level, const std::string& text) {
      entries.push_back({sender, level, text});
    };
  }
  ~LogCapture() {
    Logger().OnLog = nullptr;
    Logger().TriggerEventInMainThread = savedTrigger_;
  }
  // The messages one sender logged.
  std::vector<Entry> From(const void* sender) const {
    std::vector<Entry> result;
    for (const Entry& e : entries) {
      if (e.sender == sender) result.push_back(e);
    }
    return result;
  }
  std::vector<Entry> entries;

 private:
  bool savedTrigger_ = true;
};

std::string Path(const std::string& name) { return testing::TestMediaDir() + "/" + name; }

struct Media {
  std::string avi, mkv, mp4, wav, m4v, ts;
};

// Made once for the whole binary: encoding is the slow part.
const Media& Files() {
  static const Media media = [] {
    FFLoader().LoadLibraries(ConverterLibraries);
    Media m;
    TestMediaSpec avi;
    avi.container = "avi";
    avi.videoEncoder = "mpeg4";
    avi.audioEncoder = "mp2";
    avi.seconds = 2.0;
    avi.metadata = {{"title", "Avi Title"}, {"artist", "Someone"},  {"copyright", "(c) me"},
                    {"comment", "hello"},   {"genre", "Rock"},      {"date", "2010-05-01"},
                    {"track", "3/12"}};
    m.avi = testing::WriteTestMedia(Path("probe.avi"), avi);

    TestMediaSpec mkv;
    mkv.container = "matroska";
    mkv.videoEncoder = "mpeg4";
    mkv.audioEncoder = "aac";
    mkv.sampleAspect = {4, 3};
    mkv.videoMetadata = {{"language", "eng"}};
    mkv.audioMetadata = {{"language", "fre"}, {"title", "French"}};
    mkv.metadata = {{"title", "Mkv Title"}, {"creation_time", "2011-02-03T04:05:06.000000Z"}};
    m.mkv = testing::WriteTestMedia(Path("probe.mkv"), mkv);

    TestMediaSpec mp4;
    mp4.container = "mp4";
    mp4.videoEncoder = "mpeg4";
    mp4.audioEncoder = "aac";
    mp4.width = 176;
    mp4.height = 144;
    mp4.frameRate = {30000, 1001};
    mp4.sampleRate = 48000;
    m.mp4 = testing::WriteTestMedia(Path("probe.mp4"), mp4);

    TestMediaSpec wav;
    wav.container = "wav";
    wav.audioEncoder = "pcm_s16le";
    wav.sampleRate = 22050;
    wav.channels = 1;
    m.wav = testing::WriteTestMedia(Path("probe.wav"), wav);

    // A raw elementary stream: no container duration.
    TestMediaSpec m4v;
    m4v.container = "m4v";
    m4v.videoEncoder = "mpeg4";
    m.m4v = testing::WriteTestMedia(Path("probe.m4v"), m4v);

    TestMediaSpec ts;
    ts.container = "mpegts";
    ts.videoEncoder = "mpeg2video";
    ts.audioEncoder = "mp2";
    ts.secondPair = true;
    ts.programs = {{1, {{"service_name", "One"}, {"service_provider", "Prov1"}}, {0, 1}},
                   {2, {{"service_name", "Two"}, {"service_provider", "Prov2"}}, {2, 3}}};
    m.ts = testing::WriteTestMedia(Path("probe.ts"), ts);
    return m;
  }();
  return media;
}

class ProbeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries));
    Files();
  }
};

void ExpectClosed(const TAVProbe& probe) {
  EXPECT_EQ(probe.FormatContext(), nullptr);
  EXPECT_EQ(probe.FileSize(), -1);
  EXPECT_EQ(probe.StreamCount(), -1);
  EXPECT_EQ(probe.ProgramCount(), -1);
  EXPECT_EQ(probe.AudioStreamCount(), -1);
  EXPECT_EQ(probe.VideoStreamCount(), -1);
  EXPECT_EQ(probe.SubtitleStreamCount(), -1);
  EXPECT_EQ(probe.FirstAudioStream(), -1);
  EXPECT_EQ(probe.FirstVideoStream(), -1);
  EXPECT_EQ(probe.FirstSubtitleStream(), -1);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0, end;
  while ((end = text.find("\r\n", start)) != std::string::npos) {
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  EXPECT_EQ(start, text.size()) << "text after the last CR LF";
  return lines;
}

TEST_F(ProbeTest, AgreesWithTheFiles) {
  const struct {
    std::string path;
    const char* demuxer;
    double seconds;
    int streams, videos, audios, firstVideo, firstAudio;
    const char* videoCodec;  // start of CodecName
    int width, height;
    AVRational frameRate;
    float aspect;
    const char* audioCodec;
    int sampleRate, channels;
  } cases[] = {
      {Files().avi, "avi", 2.0, 2, 1, 1, 0, 1, "mpeg4(MPEG-4 part 2)", 320, 240, {25, 1}, 320.0f / 240,
       "mp2(MP2 (MPEG audio layer 2))", 44100, 2},
      {Files().mkv, "matroska,webm", 1.0, 2, 1, 1, 0, 1, "mpeg4(MPEG-4 part 2)", 320, 240, {25, 1},
       320.0f * 4 / 3 / 240, "aac(AAC (Advanced Audio Coding))", 44100, 2},
      {Files().mp4, "mov,mp4,m4a,3gp,3g2,mj2", 1.0, 2, 1, 1, 0, 1, "mpeg4(MPEG-4 part 2)", 176,
       144, {30000, 1001}, 176.0f / 144, "aac(AAC (Advanced Audio Coding))", 48000, 2},
      {Files().wav, "wav", 1.0, 1, 0, 1, -1, 0, nullptr, 0, 0, {0, 0}, 0,
       "pcm_s16le(PCM signed 16-bit little-endian)", 22050, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(c.path)) << probe.LastErrorMessage();
    EXPECT_TRUE(probe.OwnsContext());
    EXPECT_EQ(probe.FileName(), c.path);
    EXPECT_EQ(probe.DemuxerName(), c.demuxer);
    EXPECT_EQ(probe.FileSize(), static_cast<int64_t>(std::filesystem::file_size(c.path)));
    EXPECT_EQ(probe.StreamCount(), c.streams);
    EXPECT_EQ(probe.ProgramCount(), 0);
    EXPECT_EQ(probe.VideoStreamCount(), c.videos);
    EXPECT_EQ(probe.AudioStreamCount(), c.audios);
    EXPECT_EQ(probe.SubtitleStreamCount(), 0);
    EXPECT_EQ(probe.FirstVideoStream(), c.firstVideo);
    EXPECT_EQ(probe.FirstAudioStream(), c.firstAudio);
    EXPECT_EQ(probe.FirstSubtitleStream(), -1);

    TFileStreamInfo file;
    ASSERT_TRUE(probe.GetFileStreamInfo(file));
    EXPECT_NEAR(static_cast<double>(file.Duration), c.seconds * 1e6, 150000);
    EXPECT_GT(file.BitRate, 0);

    if (c.videoCodec) {
      TVideoStreamInfo video;
      ASSERT_TRUE(probe.GetVideoStreamInfo(-1, video)) << probe.LastErrorMessage();
      EXPECT_EQ(video.CodecName, c.videoCodec);
      EXPECT_EQ(video.Width, c.width);
      EXPECT_EQ(video.Height, c.height);
      EXPECT_NEAR(video.DisplayAspectRatio, c.aspect, 1e-4);
      EXPECT_EQ(video.PixelFormat, AV_PIX_FMT_YUV420P);
      EXPECT_EQ(video.FrameRateNum, c.frameRate.num);
      EXPECT_EQ(video.FrameRateDen, c.frameRate.den);
      EXPECT_NEAR(static_cast<double>(video.StartTime), 0, 50000);
      EXPECT_TRUE(probe.IsVideoStream(c.firstVideo));
      EXPECT_FALSE(probe.IsAudioStream(c.firstVideo));
    }
    TAudioStreamInfo audio;
    ASSERT_TRUE(probe.GetAudioStreamInfo(-1, audio)) << probe.LastErrorMessage();
    EXPECT_EQ(audio.CodecName, c.audioCodec);
    EXPECT_EQ(audio.SampleRate, c.sampleRate);
    EXPECT_EQ(audio.Channels, c.channels);
    EXPECT_TRUE(probe.IsAudioStream(c.firstAudio));
    if (audio.Duration >= 0) {
      EXPECT_NEAR(static_cast<double>(audio.Duration), c.seconds * 1e6, 150000);
    }
  }
}

TEST_F(ProbeTest, StreamTimesInBothUnits) {
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(Files().wav));
  TAudioStreamInfo audio;
  ASSERT_TRUE(probe.GetAudioStreamInfo(0, audio));
  EXPECT_EQ(audio.SampleFormat, AV_SAMPLE_FMT_S16);
  // One second at 22050 Hz in the stream's 1/22050 time base.
  EXPECT_EQ(audio.StreamDuration, 22050);
  EXPECT_EQ(audio.Duration, 1000000);
  if (audio.StreamStartTime == AV_NOPTS_VALUE) {
    EXPECT_EQ(audio.StartTime, -1);
  } else {
    EXPECT_EQ(audio.StartTime, av_rescale(audio.StreamStartTime, 1000000, 22050));
  }

  ASSERT_TRUE(probe.LoadFile(Files().avi));
  TVideoStreamInfo video;
  ASSERT_TRUE(probe.GetVideoStreamInfo(0, video));
  // 50 frames of 1/25 s.
  EXPECT_EQ(video.StreamDuration, 50);
  EXPECT_EQ(video.Duration, 2000000);
  EXPECT_EQ(video.StreamStartTime, 0);
  EXPECT_EQ(video.StartTime, 0);
}

TEST_F(ProbeTest, ContainerMetadataFields) {
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(Files().avi));
  TFileStreamInfo info;
  ASSERT_TRUE(probe.GetFileStreamInfo(info));
  EXPECT_EQ(info.StartTime, 0);
  EXPECT_EQ(info.Title, "Avi Title");
  EXPECT_EQ(info.Author, "Someone") << "artist stands in for a missing author";
  EXPECT_EQ(info.Copyright, "(c) me");
  EXPECT_EQ(info.Comment, "hello");
  EXPECT_EQ(info.Genre, "Rock");
  EXPECT_EQ(info.Year, 2010);
  EXPECT_EQ(info.Track, 3);
  EXPECT_EQ(info.Timestamp, 0);

  ASSERT_TRUE(probe.LoadFile(Files().mkv));
  ASSERT_TRUE(probe.GetFileStreamInfo(info));
  EXPECT_EQ(info.Title, "Mkv Title");
  EXPECT_EQ(info.Author, "");
  EXPECT_EQ(info.Year, 0);
  EXPECT_EQ(info.Timestamp, 1296705906);  // 2011-02-03 04:05:06 UTC

  TVideoStreamInfo video;
  TAudioStreamInfo audio;
  ASSERT_TRUE(probe.GetVideoStreamInfo(-1, video));
  ASSERT_TRUE(probe.GetAudioStreamInfo(-1, audio));
  EXPECT_EQ(video.Language, "eng");
  EXPECT_EQ(audio.Language, "fre");

  // The report shows the time stamp in local time.
  const std::time_t stamp = 1296705906;
  std::tm local{};
  localtime_r(&stamp, &local);
  char expected[64];
  std::strftime(expected, sizeof expected, "Time Stamp: %Y-%m-%d %H:%M:%S\r\n", &local);
  const std::string text = probe.GetInfoText();
  EXPECT_NE(text.find(expected), std::string::npos) << text;
  // Stream languages and metadata: "language" itself is not repeated in the block.
  EXPECT_NE(text.find("Stream #0(eng), 1/1000: Video: mpeg4"), std::string::npos) << text;
  EXPECT_NE(text.find("Stream #1(fre), 1/1000: Audio: aac"), std::string::npos) << text;
  EXPECT_NE(text.find("  Metadata:\r\n    title           : French\r\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("    language"), std::string::npos) << text;
}

TEST_F(ProbeTest, ReportOfAnAviFile) {
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(Files().avi));
  TFileStreamInfo info;
  ASSERT_TRUE(probe.GetFileStreamInfo(info));
  const std::vector<std::string> lines = Lines(probe.GetInfoText());
  ASSERT_GE(lines.size(), 10u);

  char size[64];
  std::snprintf(size, sizeof size, "File Size: %.2f KB",
                std::filesystem::file_size(Files().avi) / 1024.0);
  EXPECT_EQ(lines[0], "File Name: " + Files().avi);
  EXPECT_EQ(lines[1], "Format Name: avi");
  EXPECT_EQ(lines[2], "Format Long Name: AVI (Audio Video Interleaved)");
  EXPECT_EQ(lines[3], size);
  EXPECT_EQ(lines[4], "Duration: " + DurationText(info.Duration));
  EXPECT_EQ(lines[5], "StartTime: 0.000000");
  EXPECT_EQ(lines[6], "Bit Rate: " + std::to_string(info.BitRate / 1000) + " kb/s");
  EXPECT_EQ(lines[7], "Metadata:");
  size_t line = 8;
  bool sawTitle = false;
  for (; line < lines.size() && lines[line].rfind("  ", 0) == 0; ++line) {
    sawTitle = sawTitle || lines[line] == "  title           : Avi Title";
  }
  EXPECT_TRUE(sawTitle);
  ASSERT_EQ(lines.size(), line + 2);

  const std::string& video = lines[line];
  EXPECT_EQ(video.rfind("Stream #0, 1/25: Video: mpeg4 (Simple Profile)", 0), 0u) << video;
  EXPECT_NE(video.find("320x240"), std::string::npos) << video;
  EXPECT_NE(video.find(", 25 fps, 25 tbr, 25 tbn"), std::string::npos) << video;
  EXPECT_EQ(video.find("PAR"), std::string::npos) << video;
  EXPECT_NE(video.find(", StartTime: 0.000000, Duration: 00:00:02.000"), std::string::npos) << video;
  const std::string ending = ", Duration: 00:00:02.000";
  EXPECT_EQ(video.substr(video.size() - ending.size()), ending);

  // The file information window takes the audio codec from between "Audio:" and the next comma.
  const std::string& audio = lines[line + 1];
  EXPECT_EQ(audio.rfind("Stream #1, ", 0), 0u) << audio;
  const size_t codec = audio.find(": Audio: mp2");
  ASSERT_NE(codec, std::string::npos) << audio;
  EXPECT_NE(audio.find(',', codec), std::string::npos);
  EXPECT_EQ(audio.find("fps"), std::string::npos) << "rates are for video streams only";
}

TEST_F(ProbeTest, TransportStreamPrograms) {
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(Files().ts));
  EXPECT_EQ(probe.ProgramCount(), 2);
  EXPECT_EQ(probe.StreamCount(), 4);
  EXPECT_EQ(probe.VideoStreamCount(), 2);
  EXPECT_EQ(probe.AudioStreamCount(), 2);
  const std::string text = probe.GetInfoText();

  const size_t program1 = text.find(
      "Program 1 Prov1@One\r\n  Metadata:\r\n    service_name    : One\r\n"
      "    service_provider: Prov1\r\nStream #0[0x");
  const size_t program2 = text.find(
      "Program 2 Prov2@Two\r\n  Metadata:\r\n    service_name    : Two\r\n"
      "    service_provider: Prov2\r\nStream #2[0x");
  ASSERT_NE(program1, std::string::npos) << text;
  ASSERT_NE(program2, std::string::npos) << text;
  const size_t stream1 = text.find("\r\nStream #1[0x");
  const size_t stream3 = text.find("\r\nStream #3[0x");
  EXPECT_LT(program1, stream1);
  EXPECT_LT(stream1, program2);
  EXPECT_LT(program2, stream3);
  // Streams listed by a program are not printed again.
  size_t count = 0;
  for (size_t at = text.find("Stream #"); at != std::string::npos; at = text.find("Stream #", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 4u);
  EXPECT_NE(text.find("Stream #0[0x100], 1/90000: Video: mpeg2video"), std::string::npos) << text;
  EXPECT_NE(text.find(", 90k tbn"), std::string::npos) << text;
}

TEST_F(ProbeTest, UnknownDuration) {
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(Files().m4v));
  TFileStreamInfo info;
  ASSERT_TRUE(probe.GetFileStreamInfo(info));
  EXPECT_EQ(info.Duration, -1);
  TVideoStreamInfo video;
  ASSERT_TRUE(probe.GetVideoStreamInfo(-1, video));
  EXPECT_EQ(video.Duration, -1);
  EXPECT_EQ(video.StreamDuration, AV_NOPTS_VALUE);
  const std::vector<std::string> lines = Lines(probe.GetInfoText());
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[4], "Duration: N/A");
  EXPECT_NE(lines.back().find(", Duration: N/A"), std::string::npos) << lines.back();
}

TEST_F(ProbeTest, WrongStreamRequests) {
  LogCapture log;
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(Files().wav));

  TVideoStreamInfo video;
  video.Width = 5;
  EXPECT_FALSE(probe.GetVideoStreamInfo(-1, video));
  EXPECT_EQ(probe.LastErrorMessage(), "no video stream.");
  EXPECT_EQ(video.Width, -1);
  EXPECT_EQ(video.Height, -1);
  EXPECT_EQ(video.BitRate, -1);
  EXPECT_EQ(video.StartTime, -1);
  EXPECT_EQ(video.FrameRateNum, -1);
  EXPECT_EQ(video.DisplayAspectRatio, -1.0f);
  EXPECT_TRUE(video.CodecName.empty());

  ASSERT_TRUE(probe.LoadFile(Files().avi));
  const struct {
    bool audio;
    int index;
    const char* error;
  } cases[] = {
      {true, 0, "stream #0 is not audio stream."},
      {false, 1, "stream #1 is not video stream."},
      {true, 2, "stream index #2 is invalid."},
      {false, 7, "stream index #7 is invalid."},
  };
  for (const auto& c : cases) {
    TAudioStreamInfo audio;
    const bool ok = c.audio ? probe.GetAudioStreamInfo(c.index, audio)
                            : probe.GetVideoStreamInfo(c.index, video);
    EXPECT_FALSE(ok);
    EXPECT_EQ(probe.LastErrorMessage(), c.error);
    EXPECT_EQ(audio.SampleRate, -1);
  }
  EXPECT_FALSE(probe.IsAudioStream(-1));
  EXPECT_EQ(probe.LastErrorMessage(), "stream index #-1 is invalid.");
  EXPECT_FALSE(probe.IsVideoStream(2));
  EXPECT_EQ(probe.LastErrorMessage(), "stream index #2 is invalid.");
  // The probe stays usable.
  EXPECT_TRUE(probe.GetVideoStreamInfo(0, video));

  const auto mine = log.From(&probe);
  ASSERT_EQ(mine.size(), 7u);
  for (const auto& e : mine) EXPECT_EQ(e.level, llError) << e.text;
  EXPECT_EQ(mine[0].text, "no video stream.");
  EXPECT_EQ(mine[1].text, "stream #0 is not audio stream.");
}

TEST_F(ProbeTest, WithoutAFile) {
  LogCapture log;
  TAVProbe probe;
  ExpectClosed(probe);
  EXPECT_FALSE(probe.OwnsContext());
  TFileStreamInfo info;
  info.Title = "stale";
  EXPECT_FALSE(probe.GetFileStreamInfo(info));
  EXPECT_EQ(probe.LastErrorMessage(), "file not loaded.");
  EXPECT_EQ(info.Duration, -1);
  EXPECT_EQ(info.BitRate, -1);
  EXPECT_EQ(info.Year, -1);
  EXPECT_TRUE(info.Title.empty());
  TAudioStreamInfo audio;
  EXPECT_FALSE(probe.GetAudioStreamInfo(0, audio));
  EXPECT_EQ(probe.GetInfoText(), "");
  EXPECT_EQ(probe.FileName(), "");
  EXPECT_EQ(probe.DemuxerName(), "");
  EXPECT_FALSE(probe.IsAudioStream(0));
  const auto mine = log.From(&probe);
  ASSERT_EQ(mine.size(), 6u);
  for (const auto& e : mine) {
    EXPECT_EQ(e.level, llWarning);
    EXPECT_EQ(e.text, "file not loaded.");
  }
}

TEST_F(ProbeTest, BadInput) {
  const std::string missing = Path("no such file.avi");
  const std::string empty = testing::WriteBytes(Path("empty.avi"), "");
  const std::string text = testing::WriteBytes(Path("notes.txt"), "This is not a media file.\n");
  const std::string truncated = testing::WriteTruncatedCopy(Files().avi, Path("truncated.avi"), 3000);
  const std::string random = testing::WriteRandomBytes(Path("random.bin"), 20000, 7);
  const std::string invalid = LibraryErrorText(AVERROR_INVALIDDATA);
  const struct {
    std::string path;
    std::string reason;  // empty: either invalid data or no codec parameters
  } cases[] = {
      {missing, "No such file or directory"},
      {empty, invalid},
      {text, invalid},
      {truncated, ""},
      {random, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    LogCapture log;
    TAVProbe probe;
    ASSERT_TRUE(probe.LoadFile(Files().avi));
    EXPECT_FALSE(probe.LoadFile(c.path));
    ExpectClosed(probe);
    EXPECT_EQ(probe.ForcedFormat(), "");
    const std::string& message = probe.LastErrorMessage();
    if (!c.reason.empty()) {
      EXPECT_EQ(message, c.path + ": " + c.reason);
    } else {
      EXPECT_TRUE(message == c.path + ": " + invalid ||
                  message == c.path + ": could not find codec parameters")
          << message;
    }
    // Open failures are logged as errors; a failed stream analysis is not logged.
    const auto mine = log.From(&probe);
    if (message.find("could not find codec parameters") == std::string::npos) {
      ASSERT_EQ(mine.size(), 1u);
      EXPECT_EQ(mine[0].level, llError);
      EXPECT_EQ(mine[0].text, message);
    } else {
      EXPECT_TRUE(mine.empty());
    }
    TVideoStreamInfo video;
    EXPECT_FALSE(probe.GetVideoStreamInfo(-1, video));
    EXPECT_EQ(probe.LastErrorMessage(), "file not loaded.");
  }
}

TEST_F(ProbeTest, ForcedFormat) {
  LogCapture log;
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(Files().avi, "avi"));
  EXPECT_EQ(probe.ForcedFormat(), "avi");
  EXPECT_FALSE(probe.LoadFile(Files().avi, "no-such-format"));
  EXPECT_EQ(probe.LastErrorMessage(), "Unknown input format: no-such-format");
  ExpectClosed(probe);
  EXPECT_TRUE(log.From(&probe).empty()) << "not logged";
  // A wrong demuxer forced on a file fails to open it.
  EXPECT_FALSE(probe.LoadFile(Files().avi, "wav"));
  EXPECT_EQ(probe.LastErrorMessage().rfind(Files().avi + ": ", 0), 0u);
  ASSERT_TRUE(probe.LoadFile(Files().wav, "wav"));
  probe.CloseFile();
  EXPECT_EQ(probe.ForcedFormat(), "");
  ExpectClosed(probe);
}

TEST_F(ProbeTest, AttachedContextIsNotClosed) {
  AVFormatContext* raw = nullptr;
  ASSERT_EQ(avformat_open_input(&raw, Files().avi.c_str(), nullptr, nullptr), 0);
  InputFormatContextPtr context(raw);
  ASSERT_GE(avformat_find_stream_info(raw, nullptr), 0);
  {
    TAVProbe probe;
    probe.AttachContext(raw);
    EXPECT_FALSE(probe.OwnsContext());
    EXPECT_EQ(probe.FormatContext(), raw);
    EXPECT_EQ(probe.StreamCount(), 2);
    EXPECT_EQ(probe.FirstVideoStream(), 0);
    EXPECT_EQ(probe.FileSize(), static_cast<int64_t>(std::filesystem::file_size(Files().avi)));
    probe.CloseFile();
    ExpectClosed(probe);
    probe.AttachContext(raw);
  }  // destruction leaves the attached context alone as well
  PacketPtr packet(av_packet_alloc());
  EXPECT_EQ(av_read_frame(raw, packet.get()), 0) << "the context is still open";
}

TEST_F(ProbeTest, MissingLibrariesRaise) {
  TAVProbe probe;
  const struct {
    TLibraryIndex library;
    const char* message;
  } cases[] = {
      {liAVCodec, "LibAVCodec not loaded."},
      {liAVFormat, "LibAVFormat not loaded."},
      {liAVUtil, "LibAVUtil not loaded."},
      {liSWScale, "LibSwScale not loaded."},
  };
  for (const auto& c : cases) {
    FFLoader().UnloadLibrary(c.library);
    try {
      probe.LoadFile(Files().avi);
      ADD_FAILURE() << "no exception for " << c.message;
    } catch (const ProbeLibraryError& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
    EXPECT_THROW(probe.AttachContext(nullptr), ProbeLibraryError);
    ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries));
  }
  // The first missing library in the order codec, format, util, scale is named.
  FFLoader().UnloadLibrary(liSWScale);
  FFLoader().UnloadLibrary(liAVFormat);
  try {
    TCustomAVProbe::CheckLibraries();
    ADD_FAILURE() << "no exception";
  } catch (const ProbeLibraryError& error) {
    EXPECT_STREQ(error.what(), "LibAVFormat not loaded.");
  }
  ASSERT_TRUE(FFLoader().LoadLibraries(ConverterLibraries));
  EXPECT_NO_THROW(TCustomAVProbe::CheckLibraries());
}

TEST_F(ProbeTest, ZeroDenominatorTimeBaseIsRepairedInPlace) {
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(Files().avi));
  AVStream* stream = probe.FormatContext()->streams[0];
  stream->time_base = {1, 0};
  TVideoStreamInfo video;
  ASSERT_TRUE(probe.GetVideoStreamInfo(0, video));
  EXPECT_EQ(stream->time_base.num, 1);
  EXPECT_EQ(stream->time_base.den, 1);
  // Seconds are now the stream's unit.
  EXPECT_EQ(video.StreamDuration, 50);
  EXPECT_EQ(video.Duration, 50000000);
  EXPECT_NE(probe.GetInfoText().find("Stream #0, 1/1: Video:"), std::string::npos);

  stream->time_base = {0, 0};
  ASSERT_TRUE(probe.GetVideoStreamInfo(0, video));
  EXPECT_EQ(stream->time_base.den, 1);
}

TEST_F(ProbeTest, StreamAspectDifferingFromCodecIsReported) {
  TAVProbe probe;
  ASSERT_TRUE(probe.LoadFile(Files().avi));
  AVStream* stream = probe.FormatContext()->streams[0];
  const std::string plain = probe.GetInfoText();
  EXPECT_EQ(plain.find("PAR"), std::string::npos);
  stream->sample_aspect_ratio = {2, 1};
  const std::string text = probe.GetInfoText();
  // 320 x 2 : 240 x 1 = 8:3.
  const size_t par = text.find(", PAR 2:1 DAR 8:3, 25 fps");
  EXPECT_NE(par, std::string::npos) << text;
  EXPECT_LT(text.find("Stream #0, 1/25: Video:"), par);
  // The record's aspect comes from the codec, not the stream.
  TVideoStreamInfo video;
  ASSERT_TRUE(probe.GetVideoStreamInfo(0, video));
  EXPECT_NEAR(video.DisplayAspectRatio, 320.0 / 240 * av_q2d(stream->codecpar->sample_aspect_ratio), 1e-5);
}

// --------------------------------------------------------------- report pieces

std::unique_ptr<AVDictionary, DictionaryDeleter> Dictionary(
    std::initializer_list<std::pair<const char*, const char*>> entries) {
  AVDictionary* raw = nullptr;
  for (const auto& [key, value] : entries) av_dict_set(&raw, key, value, AV_DICT_MATCH_CASE);
  return std::unique_ptr<AVDictionary, DictionaryDeleter>(raw);
}

TEST(ProbeReport, MetadataBlock) {
  EXPECT_EQ(MetadataBlockText(nullptr, ""), "");
  EXPECT_EQ(MetadataBlockText(Dictionary({{"language", "eng"}}).get(), "  "), "");
  EXPECT_EQ(MetadataBlockText(Dictionary({{"TIT2", "Song"}}).get(), ""),
            "Metadata:\r\n  title           : Song\r\n");
  EXPECT_EQ(MetadataBlockText(Dictionary({{"language", "ger"}, {"TIT2", "Lied"}}).get(), "  "),
            "  Metadata:\r\n    title           : Lied\r\n");
  // Stored order, unmapped keys as they are, mapping case-sensitive, long keys not cut.
  EXPECT_EQ(MetadataBlockText(Dictionary({{"TPE1", "Band"},
                                          {"Language", "x"},
                                          {"tit2", "lower"},
                                          {"a_rather_long_key_name", "v"},
                                          {"TYER", "1999"}})
                                  .get(),
                              ""),
            "Metadata:\r\n"
            "  artist          : Band\r\n"
            "  Language        : x\r\n"
            "  tit2            : lower\r\n"
            "  a_rather_long_key_name: v\r\n"
            "  year            : 1999\r\n");
}

TEST(ProbeReport, MetadataKeyNames) {
  const std::pair<const char*, const char*> table[] = {
      {"TALB", "album"},     {"TAL", "album"},      {"TCOM", "composer"},  {"TCON", "genre"},
      {"TCO", "genre"},      {"TCOP", "copyright"}, {"TDRL", "date"},      {"TENC", "encoder"},
      {"TEN", "encoder"},    {"TIT2", "title"},     {"TT2", "title"},      {"TLAN", "language"},
      {"TPE1", "artist"},    {"TP1", "artist"},     {"TPOS", "disc"},      {"TPUB", "publisher"},
      {"TRCK", "track"},     {"TRK", "track"},      {"TSOA", "albumsort"}, {"TSOP", "authorsort"},
      {"TSOT", "titlesort"}, {"TYER", "year"},      {"TXXX", "TXXX"},      {"title", "title"},
  };
  for (const auto& [stored, printed] : table) EXPECT_EQ(MetadataKeyName(stored), printed) << stored;
}

TEST(ProbeReport, SizeTexts) {
  const std::pair<int64_t, const char*> table[] = {
      {1073741824, "1024.00 MB"}, {1073741825, "1.00 GB"}, {1024, "1024 Byte"},
      {1025, "1.00 KB"},          {-1, "-1 Byte"},         {0, "0 Byte"},
      {1048577, "1.00 MB"},       {1536, "1.50 KB"},
  };
  for (const auto& [size, text] : table) EXPECT_EQ(FormatSizeText(size), text) << size;
}

TEST(ProbeReport, RatesAndSeconds) {
  const struct {
    double value;
    const char* label;
    const char* text;
  } rates[] = {
      {25, "fps", ", 25 fps"},         {30000.0 / 1001, "fps", ", 29.97 fps"},
      {24000.0 / 1001, "tbr", ", 23.98 tbr"}, {12.5, "fps", ", 12.50 fps"},
      {90000, "tbn", ", 90k tbn"},     {1000, "tbn", ", 1k tbn"},
      {1200000, "tbn", ", 1200k tbn"}, {44100, "tbn", ", 44100 tbn"},
      {50, "tbc", ", 50 tbc"},
  };
  for (const auto& r : rates) EXPECT_EQ(RateText(r.value, r.label), r.text) << r.value;

  EXPECT_EQ(SecondsText(0), "0.000000");
  EXPECT_EQ(SecondsText(1500000), "1.500000");
  EXPECT_EQ(SecondsText(12000001), "12.000001");
  EXPECT_EQ(SecondsText(-21333), "-0.021333");
}

TEST(ProbeReport, CreationTimesAndNumbers) {
  const std::pair<const char*, int64_t> times[] = {
      {"2011-02-03T04:05:06.000000Z", 1296705906},
      {"2011-02-03T04:05:06Z", 1296705906},
      {"2011-02-03 04:05:06", 1296705906},
      {"2011-02-03T05:05:06+01:00", 1296705906},
      {"1970-01-01T00:00:00Z", 0},
      {"2000-02-29", 951782400},
      {"", 0},
      {"yesterday", 0},
      {"2011-13-03T04:05:06Z", 0},
  };
  for (const auto& [text, seconds] : times) EXPECT_EQ(ParseCreationTime(text), seconds) << text;

  const std::pair<const char*, int32_t> numbers[] = {
      {"3/12", 3}, {"2010-05-01", 2010}, {"07", 7}, {"", 0}, {"track", 0}, {" 12", 12},
  };
  for (const auto& [text, number] : numbers) EXPECT_EQ(LeadingNumber(text), number) << text;
}

}  // namespace
}  // namespace orvo
