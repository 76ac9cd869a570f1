// The synthetic media writer: every kind of file the other suites rely on must read back, through
// the libraries, as it was asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/av_handles.h"
#include "support/test_media.h"

namespace orvo::testing {
namespace {

namespace fs = std::filesystem;

struct StreamKind {
  AVMediaType type;
  AVCodecID codec;
};

struct MediaCase {
  std::string name;  // also the file name
  TestMediaSpec recipe;
  std::vector<StreamKind> streams;  // in any order
};

void PrintTo(const MediaCase& c, std::ostream* os) { *os << c.name; }

const std::vector<MediaCase>& Cases() {
  static const std::vector<MediaCase> cases = [] {
    std::vector<MediaCase> c;
    auto add = [&](std::string name, TestMediaSpec recipe, std::vector<StreamKind> streams) {
      c.push_back({std::move(name), std::move(recipe), std::move(streams)});
    };
    const StreamKind mpeg4{AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG4};
    const StreamKind mp2{AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_MP2};
    const StreamKind mp3{AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_MP3};
    const StreamKind aac{AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC};
    const StreamKind mpeg2{AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG2VIDEO};
    TestMediaSpec s;

    s = {};
    s.container = "avi";
    s.videoEncoder = "mpeg4";
    s.audioEncoder = "mp2";
    s.metadata = {{"title", "Avi Clip"}, {"artist", "Orvo"}};
    add("avi_mpeg4_mp2.avi", s, {mpeg4, mp2});

    s = {};
    s.container = "matroska";
    s.videoEncoder = "libx264";
    s.audioEncoder = "aac";
    s.metadata = {{"title", "Matroska Clip"}, {"artist", "Orvo"}};
    s.videoMetadata = {{"language", "eng"}};
    s.audioMetadata = {{"language", "fre"}};
    add("mkv_h264_aac.mkv", s, {{AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H264}, aac});

    s = {};
    s.container = "mp4";
    s.videoEncoder = "mpeg4";
    s.audioEncoder = "aac";
    s.sampleRate = 48000;
    s.channels = 1;
    s.metadata = {{"title", "Mp4 Clip"}};
    add("mp4_mpeg4_aac_mono48k.mp4", s, {mpeg4, aac});

    s = {};
    s.container = "flv";
    s.videoEncoder = "flv";
    s.audioEncoder = "libmp3lame";
    s.sampleRate = 22050;
    add("flv_flv_mp3.flv", s, {{AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_FLV1}, mp3});

    s = {};
    s.container = "mpegts";
    s.videoEncoder = "mpeg2video";
    s.audioEncoder = "mp2";
    s.secondPair = true;
    s.programs = {{1, {{"service_name", "First Service"}, {"service_provider", "Orvo"}}, {0, 1}},
                  {2, {{"service_name", "Second Service"}, {"service_provider", "Orvo"}}, {2, 3}}};
    add("ts_two_programs.ts", s, {mpeg2, mp2, mpeg2, mp2});

    s = {};
    s.container = "mp3";
    s.audioEncoder = "libmp3lame";
    s.metadata = {{"title", "Song"},  {"artist", "Singer"}, {"album", "Record"},
                  {"genre", "Jazz"}, {"date", "2009"},     {"track", "3"}};
    add("id3_tagged.mp3", s, {mp3});

    s = {};
    s.container = "wav";
    s.audioEncoder = "pcm_s16le";
    s.sampleRate = 8000;
    s.channels = 1;
    s.seconds = 0.5;
    add("pcm_mono.wav", s, {{AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_PCM_S16LE}});

    s = {};
    s.container = "matroska";
    s.videoEncoder = "ffv1";
    s.width = 321;
    s.height = 241;
    add("odd_size_ffv1.mkv", s, {{AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_FFV1}});

    s = {};
    s.container = "avi";
    s.videoEncoder = "rawvideo";
    s.width = 161;
    s.height = 121;
    add("odd_size_raw.avi", s, {{AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_RAWVIDEO}});

    s = {};
    s.container = "avi";
    s.videoEncoder = "mpeg4";
    s.width = 352;
    s.height = 288;
    s.sampleAspect = {16, 11};
    add("sar_16_11.avi", s, {mpeg4});

    s = {};
    s.container = "matroska";
    s.videoEncoder = "mpeg4";
    s.sampleAspect = {16, 11};
    add("sar_16_11.mkv", s, {mpeg4});

    s = {};
    s.container = "avi";
    s.videoEncoder = "mpeg4";
    s.audioEncoder = "mp2";
    s.frameRate = {30000, 1001};
    s.seconds = 2.0;
    add("ntsc_rate.avi", s, {mpeg4, mp2});
    return c;
  }();
  return cases;
}

std::string KindName(AVMediaType type, AVCodecID codec) {
  const char* kind = av_get_media_type_string(type);
  return std::string(kind ? kind : "?") + " " + avcodec_get_name(codec);
}

std::string Tag(const AVDictionary* tags, const std::string& key) {
  const AVDictionaryEntry* entry = av_dict_get(tags, key.c_str(), nullptr, 0);
  return entry ? entry->value : "<missing>";
}

InputFormatContextPtr OpenMedia(const std::string& path) {
  AVFormatContext* raw = nullptr;
  const int ret = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  InputFormatContextPtr ctx(raw);
  if (ret < 0) return nullptr;
  if (avformat_find_stream_info(ctx.get(), nullptr) < 0) return nullptr;
  return ctx;
}

class TestMediaWrites : public ::testing::TestWithParam<MediaCase> {};

TEST_P(TestMediaWrites, ReadsBackAsMade) {
  const MediaCase& c = GetParam();
  const TestMediaSpec& recipe = c.recipe;
  const std::string path = TestMediaDir() + "/" + c.name;
  ASSERT_EQ(WriteTestMedia(path, recipe), path);

  InputFormatContextPtr media = OpenMedia(path);
  ASSERT_TRUE(media) << "the libraries cannot open " << path;
  // Some demuxers (FLV) list streams in the order their first packets come.
  std::vector<std::string> made, wanted;
  for (unsigned i = 0; i < media->nb_streams; ++i)
    made.push_back(KindName(media->streams[i]->codecpar->codec_type, media->streams[i]->codecpar->codec_id));
  for (const StreamKind& kind : c.streams) wanted.push_back(KindName(kind.type, kind.codec));
  std::sort(made.begin(), made.end());
  std::sort(wanted.begin(), wanted.end());
  ASSERT_EQ(made, wanted);

  for (unsigned i = 0; i < media->nb_streams; ++i) {
    SCOPED_TRACE("stream " + std::to_string(i));
    const AVStream* st = media->streams[i];
    const AVCodecParameters* par = st->codecpar;
    const bool video = par->codec_type == AVMEDIA_TYPE_VIDEO;
    if (video) {
      EXPECT_EQ(par->width, recipe.width);
      EXPECT_EQ(par->height, recipe.height);
      const AVRational sar = av_guess_sample_aspect_ratio(media.get(), const_cast<AVStream*>(st), nullptr);
      if (recipe.sampleAspect.num > 0)
        EXPECT_EQ(av_cmp_q(sar, recipe.sampleAspect), 0) << sar.num << ":" << sar.den;
      else
        EXPECT_TRUE(sar.num == 0 || av_cmp_q(sar, AVRational{1, 1}) == 0) << sar.num << ":" << sar.den;
      const AVRational rate = av_guess_frame_rate(media.get(), const_cast<AVStream*>(st), nullptr);
      EXPECT_NEAR(av_q2d(rate), av_q2d(recipe.frameRate), 0.01) << rate.num << "/" << rate.den;
    } else {
      EXPECT_EQ(par->sample_rate, recipe.sampleRate);
      EXPECT_EQ(par->ch_layout.nb_channels, recipe.channels);
    }
    for (const auto& [key, value] : video ? recipe.videoMetadata : recipe.audioMetadata)
      EXPECT_EQ(Tag(st->metadata, key), value) << key;
  }

  ASSERT_NE(media->duration, AV_NOPTS_VALUE);
  EXPECT_NEAR(static_cast<double>(media->duration) / AV_TIME_BASE, recipe.seconds, 0.15);
  for (const auto& [key, value] : recipe.metadata) EXPECT_EQ(Tag(media->metadata, key), value) << key;

  ASSERT_EQ(media->nb_programs, recipe.programs.size());
  for (const TestProgram& wanted : recipe.programs) {
    SCOPED_TRACE("program " + std::to_string(wanted.id));
    const AVProgram* found = nullptr;
    for (unsigned p = 0; p < media->nb_programs; ++p)
      if (media->programs[p]->id == wanted.id) found = media->programs[p];
    ASSERT_NE(found, nullptr);
    for (const auto& [key, value] : wanted.metadata) EXPECT_EQ(Tag(found->metadata, key), value) << key;
    // Each program carries a pair of its own: one picture and one sound stream.
    std::map<AVMediaType, int> kinds;
    for (unsigned s = 0; s < found->nb_stream_indexes; ++s)
      ++kinds[media->streams[found->stream_index[s]]->codecpar->codec_type];
    EXPECT_EQ(kinds[AVMEDIA_TYPE_VIDEO], 1);
    EXPECT_EQ(kinds[AVMEDIA_TYPE_AUDIO], 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, TestMediaWrites, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<MediaCase>& info) {
                           std::string name = info.param.name;
                           std::replace_if(name.begin(), name.end(), [](unsigned char ch) { return !std::isalnum(ch); }, '_');
                           return name;
                         });

struct BadSpec {
  std::string name;
  TestMediaSpec recipe;
  std::string message;  // part of the error text
};

TEST(TestMediaWrites, FailuresThrowAndLeaveNoFile) {
  TestMediaSpec base;
  base.container = "avi";
  base.videoEncoder = "mpeg4";
  std::vector<BadSpec> bad;
  bad.push_back({"unknown video encoder", base, "'no-such-encoder'"});
  bad.back().recipe.videoEncoder = "no-such-encoder";
  bad.push_back({"unknown audio encoder", base, "'no-such-encoder'"});
  bad.back().recipe.audioEncoder = "no-such-encoder";
  bad.push_back({"audio encoder as video", base, "'mp2'"});
  bad.back().recipe.videoEncoder = "mp2";
  bad.push_back({"unknown container", base, "'no-such-container'"});
  bad.back().recipe.container = "no-such-container";
  bad.push_back({"rate the encoder lacks", base, "8000"});
  bad.back().recipe.audioEncoder = "mp2";
  bad.back().recipe.sampleRate = 8000;
  // The muxer refuses what the encoder made: the half-written file must not stay behind.
  bad.push_back({"streams the container refuses", base, "cannot write the header"});
  bad.back().recipe.container = "wav";  // takes one sound stream only
  bad.back().recipe.audioEncoder = "pcm_s16le";

  for (const BadSpec& b : bad) {
    SCOPED_TRACE(b.name);
    const std::string path = TestMediaDir() + "/bad_case.out";
    try {
      WriteTestMedia(path, b.recipe);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(b.message), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(path));
  }

  const std::string nowhere = TestMediaDir() + "/missing-folder/clip.avi";
  try {
    WriteTestMedia(nowhere, base);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    // The library's own reason, not just "failed".
    EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos) << e.what();
  }
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(TestMediaFiles, ByteFixtures) {
  const std::string& dir = TestMediaDir();
  ASSERT_TRUE(fs::is_directory(dir));

  const std::string bytes("RIFF\0\x01\xff", 7);
  EXPECT_EQ(ReadAll(WriteBytes(dir + "/bytes.bin", bytes)), bytes);

  const std::string a = ReadAll(WriteRandomBytes(dir + "/a.bin", 4096, 7));
  const std::string b = ReadAll(WriteRandomBytes(dir + "/b.bin", 4096, 7));
  const std::string other = ReadAll(WriteRandomBytes(dir + "/c.bin", 4096, 8));
  EXPECT_EQ(a.size(), 4096u);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, other);
  EXPECT_GT(std::count(a.begin(), a.end(), '\0'), 0);
  EXPECT_LT(std::count(a.begin(), a.end(), '\0'), 100);  // bytes spread over all values

  EXPECT_EQ(ReadAll(WriteTruncatedCopy(dir + "/a.bin", dir + "/head.bin", 100)), a.substr(0, 100));
  EXPECT_EQ(ReadAll(WriteTruncatedCopy(dir + "/a.bin", dir + "/all.bin", 10000)), a);
  EXPECT_THROW(WriteTruncatedCopy(dir + "/missing.bin", dir + "/x.bin", 10), std::runtime_error);
  EXPECT_THROW(WriteBytes(dir + "/missing-folder/x.bin", "x"), std::runtime_error);
}

}  // namespace
}  // namespace orvo::testing
