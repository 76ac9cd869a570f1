#include "engine/presets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include <unistd.h>

extern "C" {
#include <libavutil/opt.h>
}

#include "binding/FFmpegLoader.h"
#include "binding/av_handles.h"

namespace orvo {

void PrintTo(const TCodecOption& option, std::ostream* os) {
  *os << option.Key << "=" << option.Value;
}

namespace {

std::vector<std::string> Split(std::string_view content) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in{std::string(content)};
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::string KeyOf(const std::string& line) { return line.substr(0, line.find('=')); }

std::map<std::string, std::string> LineMap(std::string_view content) {
  std::map<std::string, std::string> map;
  for (const auto& line : Split(content)) map[KeyOf(line)] = line.substr(line.find('=') + 1);
  return map;
}

const char* const kNames[] = {
    "libx264-baseline",         "libx264-default",          "libx264-fast",
    "libx264-fast_firstpass",   "libx264-faster",           "libx264-faster_firstpass",
    "libx264-fastfirstpass",    "libx264-hq",               "libx264-ipod320",
    "libx264-ipod640",          "libx264-lossless_fast",    "libx264-lossless_max",
    "libx264-lossless_medium",  "libx264-lossless_slow",    "libx264-lossless_slower",
    "libx264-lossless_ultrafast", "libx264-main",           "libx264-max",
    "libx264-medium",           "libx264-medium_firstpass", "libx264-normal",
    "libx264-placebo",          "libx264-placebo_firstpass", "libx264-slow",
    "libx264-slow_firstpass",   "libx264-slower",           "libx264-slower_firstpass",
    "libx264-slowfirstpass",    "libx264-superfast",        "libx264-superfast_firstpass",
    "libx264-ultrafast",        "libx264-ultrafast_firstpass", "libx264-veryfast",
    "libx264-veryfast_firstpass", "libx264-veryslow",       "libx264-veryslow_firstpass",
    "libx264-psp",              "libx264-ps3",              "libx264-ipod",
    "libx264-mp4"};

TEST(PresetTable, NamesInLookupOrder) {
  const auto& table = OptionsPresets();
  ASSERT_EQ(table.size(), std::size(kNames));
  for (size_t i = 0; i < table.size(); ++i) EXPECT_EQ(table[i].Name, kNames[i]) << i;
}

TEST(PresetTable, LongPresetsFollowTheCommonLayout) {
  const std::vector<std::string> order = {
      "coder", "flags", "level", "cmp", "partitions", "me_method", "subq", "me_range", "g",
      "keyint_min", "sc_threshold", "i_qfactor", "b_strategy", "qcomp", "qmin", "qmax", "qdiff",
      "bf", "refs", "directpred", "trellis", "flags2", "cqp", "wpredp"};
  const std::vector<std::string> common = {"cmp=+chroma", "g=250",  "keyint_min=25",
                                           "i_qfactor=0.71", "qcomp=0.6", "qmin=10",
                                           "qmax=51", "qdiff=4"};
  const std::set<std::string> shortOnes = {"libx264-baseline", "libx264-ipod320",
                                           "libx264-ipod640", "libx264-main"};
  const std::set<std::string> devices = {"libx264-psp", "libx264-ps3", "libx264-ipod",
                                         "libx264-mp4"};
  int longCount = 0;
  for (const auto& preset : OptionsPresets()) {
    const std::string name(preset.Name);
    if (shortOnes.count(name)) continue;
    ++longCount;
    SCOPED_TRACE(name);
    std::vector<std::string> lines = Split(preset.Content);
    for (const auto& line : common)
      EXPECT_EQ(std::count(lines.begin(), lines.end(), line), 1) << line;
    // Every preset sets the coder, partitions, motion search and scene-cut lines.
    for (const char* key : {"coder", "flags", "partitions", "me_method", "subq", "me_range",
                            "sc_threshold", "b_strategy", "directpred"})
      EXPECT_TRUE(LineMap(preset.Content).count(key)) << key;
    if (devices.count(name)) {
      ASSERT_FALSE(lines.empty());
      EXPECT_EQ(lines.back(), "sc_threshold=40");
      lines.pop_back();
    }
    // The ordered keys first, each once and in order, then only the device rate lines.
    size_t pos = 0;
    size_t i = 0;
    for (; i < lines.size(); ++i) {
      auto it = std::find(order.begin() + pos, order.end(), KeyOf(lines[i]));
      if (it == order.end()) break;
      pos = static_cast<size_t>(it - order.begin()) + 1;
    }
    for (; i < lines.size(); ++i) {
      EXPECT_TRUE(devices.count(name)) << lines[i];
      const std::string key = KeyOf(lines[i]);
      EXPECT_TRUE(key == "b" || key == "maxrate" || key == "bufsize" || key == "bt") << lines[i];
    }
    EXPECT_EQ(LineMap(preset.Content).count("cqp") == 1, name.find("lossless") != std::string::npos);
  }
  EXPECT_EQ(longCount, 36);
}

TEST(PresetTable, SelectedPresetsVerbatim) {
  const std::map<std::string, std::string> expected = {
      {"libx264-baseline", "coder=0\nbf=0\nflags2=-wpred-dct8x8\nwpredp=0"},
      {"libx264-ipod640",
       "coder=0\nbf=0\nrefs=1\nflags2=-wpred-dct8x8\nlevel=30\nmaxrate=10000000\n"
       "bufsize=10000000\nwpredp=0"},
      {"libx264-main", "flags2=-dct8x8"},
      {"libx264-lossless_fast",
       "coder=0\nflags=+loop\ncmp=+chroma\npartitions=-parti8x8+parti4x4+partp8x8-partp4x4-"
       "partb8x8\nme_method=hex\nsubq=3\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\n"
       "i_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\ndirectpred=1\n"
       "flags2=+fastpskip\ncqp=0\nwpredp=0"},
      {"libx264-ultrafast",
       "coder=0\nflags=-loop\ncmp=+chroma\npartitions=-parti8x8-parti4x4-partp8x8-partb8x8\n"
       "me_method=dia\nsubq=0\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=0\n"
       "i_qfactor=0.71\nb_strategy=0\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=0\nrefs=1\n"
       "directpred=1\ntrellis=0\nflags2=-bpyramid-mixed_refs-wpred-dct8x8+fastpskip-mbtree\n"
       "wpredp=0"},
      {"libx264-psp",
       "coder=1\nflags=+loop\nlevel=30\ncmp=+chroma\npartitions=+parti4x4+parti8x8+partp8x8+"
       "partb8x8\nme_method=umh\nsubq=7\nme_range=16\ng=250\nkeyint_min=25\nsc_threshold=40\n"
       "i_qfactor=0.71\nb_strategy=1\nqcomp=0.6\nqmin=10\nqmax=51\nqdiff=4\nbf=3\nrefs=1\n"
       "directpred=1\ntrellis=2\nb=1250000\nmaxrate=1500000\nbufsize=4000000\nbt=256000\n"
       "sc_threshold=40"},
  };
  for (const auto& [name, content] : expected) {
    const TOptionsPreset* preset = FindOptionsPreset(name);
    ASSERT_NE(preset, nullptr) << name;
    EXPECT_EQ(preset->Content, content) << name;
  }
}

TEST(PresetLookup, TableByNameWithoutCase) {
  const TOptionsPreset* hq = FindOptionsPreset("LIBX264-HQ");
  ASSERT_NE(hq, nullptr);
  EXPECT_EQ(hq->Name, "libx264-hq");
  EXPECT_EQ(FindOptionsPreset("libx264-hq "), nullptr);
  EXPECT_EQ(FindOptionsPreset("hq"), nullptr);
}

// A temporary folder made the current directory, so relative preset file names resolve in it.
class PresetFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("orvo_presets_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  static void Write(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
  }
  std::filesystem::path dir_;
  std::filesystem::path old_;
};

TEST_F(PresetFiles, FindsTableEntriesThenFiles) {
  const TPresetCodecNames x264{"libx264", "", ""};
  struct Case {
    const char* kind;
    const char* value;
    TPresetCodecNames codecs;
    std::string name;      // name as looked up
    bool fromTable;
    std::string error;
  };
  const Case cases[] = {
      {"vpre", "medium", x264, "libx264-medium", true, ""},
      {"vpre", "Libx264-HQ", {}, "Libx264-HQ", true, ""},
      {"vpre", "medium", {}, "medium", false, "Preset \"medium\" not found"},
      {"apre", "medium", x264, "medium", false, "Preset \"medium\" not found"},
      {"apre", "fast", {"", "libx264", ""}, "libx264-fast", true, ""},
      {"fpre", "libx264-hq", x264, "libx264-hq", false, "Preset \"libx264-hq\" not found"},
      {"fpre", "my.ffpreset", x264, "my.ffpreset", false, ""},
      {"vpre", "my.ffpreset", x264, "my.ffpreset", false, ""},
  };
  Write("my.ffpreset", "bf=2\n");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.value);
    TPresetSource source = FindPreset(c.kind, c.value, c.codecs);
    EXPECT_EQ(source.Error, c.error);
    EXPECT_EQ(source.Name, c.name);
    EXPECT_EQ(source.FromTable, c.fromTable);
    if (c.fromTable) {
      EXPECT_EQ(source.Content, FindOptionsPreset(c.name)->Content);
    } else if (c.error.empty()) {
      EXPECT_EQ(source.Content, "bf=2\n");
    }
  }
  // A folder of that name is no preset file.
  std::filesystem::create_directory("folder");
  EXPECT_EQ(FindPreset("fpre", "folder", {}).Error, "Preset \"folder\" not found");
}

TEST(PresetParsing, LinesAreTrimmedAndNormalised) {
  EXPECT_EQ(PresetLines("\r\n  bf=3 \r\n\r\n#x=1\rg = 250\n\n\tqmin=10"),
            (std::vector<std::string>{"bf=3", "#x=1", "g = 250", "qmin=10"}));
  EXPECT_TRUE(PresetLines(" \n\r\n ").empty());

  struct Split {
    const char* line;
    bool ok;
    const char* key;
    const char* value;
  };
  for (const auto& c : {Split{"bf=3", true, "bf", "3"}, Split{"x264-params=a=b:c=d", true,
                        "x264-params", "a=b:c=d"}, Split{"g = 250", true, "g ", " 250"},
                        Split{"bf", false, "bf", ""}, Split{"=3", false, "", "3"},
                        Split{"bf=", false, "bf", ""}}) {
    std::string key, value;
    EXPECT_EQ(SplitPresetLine(c.line, key, value), c.ok) << c.line;
    EXPECT_EQ(key, c.key) << c.line;
    EXPECT_EQ(value, c.value) << c.line;
  }
}

// Records what a preset hands on; refuses the option named "bad".
struct Recorder {
  std::vector<std::string> calls;
  TPresetTarget Target() {
    return {[this](char kind, const std::string& v) { calls.push_back(std::string(1, kind) + ":" + v); },
            [this](const std::string& k, const std::string& v) {
              calls.push_back(k + "=" + v);
              return k != "bad";
            }};
  }
};

TEST(PresetParsing, AppliesInOrderAndStopsAtTheFirstBadLine) {
  struct Case {
    const char* content;
    std::vector<std::string> calls;
    std::string error;
  };
  const Case cases[] = {
      {"VCODEC=libx264\nbf=3\nacodec=copy\nScodec=mov_text\n# c=1",
       {"v:libx264", "bf=3", "a:copy", "s:mov_text", "# c=1"}, ""},
      {"bf=3\nrefs\ng=250", {"bf=3"}, "P: Invalid syntax: \"refs\""},
      {"bf=3\n  =4", {"bf=3"}, "P: Invalid syntax: \"=4\""},
      {"bf=3\nbad=x=y\ng=250", {"bf=3", "bad=x=y"},
       "P: Invalid option or argument: \"bad=x=y\", parsed as \"bad\" = \"x=y\""},
  };
  for (const auto& c : cases) {
    Recorder r;
    EXPECT_EQ(ApplyPresetContent("P", c.content, r.Target()), c.error) << c.content;
    EXPECT_EQ(r.calls, c.calls) << c.content;
  }
}

TEST_F(PresetFiles, LoadPresetNamesTheLookedUpPreset) {
  Recorder r;
  EXPECT_EQ(LoadPreset("", "medium", {}, r.Target()), "");
  EXPECT_EQ(LoadPreset("vpre", "", {}, r.Target()), "");
  EXPECT_TRUE(r.calls.empty());

  Write("broken", "bf=1\r\nbf\r\n");
  EXPECT_EQ(LoadPreset("fpre", "broken", {}, r.Target()), "broken: Invalid syntax: \"bf\"");
  EXPECT_EQ(r.calls, std::vector<std::string>{"bf=1"});

  r.calls.clear();
  EXPECT_EQ(LoadPreset("vpre", "main", {"libx264", "", ""}, r.Target()), "");
  EXPECT_EQ(r.calls, std::vector<std::string>{"flags2=-dct8x8"});
}

TEST(CodecOptionTranslation, OldH264Spellings) {
  using V = std::vector<TCodecOption>;
  struct Case {
    const char* encoder;
    const char* key;
    const char* value;
    V expected;
  };
  const Case cases[] = {
      {"libx264", "coder", "0", V{{"coder", "0"}}},
      {"libx264", "flags", "+loop", V{{"deblock", "true"}}},
      {"libx264", "flags", "-loop+gray", V{{"flags", "+gray"}, {"deblock", "false"}}},
      {"libx264", "partitions", "+parti8x8+parti4x4+partp8x8+partb8x8",
       V{{"partitions", "i8x8,i4x4,p8x8,b8x8"}}},
      {"libx264", "partitions", "-parti8x8+parti4x4+partp8x8-partp4x4-partb8x8",
       V{{"partitions", "i4x4,p8x8"}}},
      {"libx264", "partitions", "-parti8x8-parti4x4-partp8x8-partb8x8", V{{"partitions", "none"}}},
      {"libx264", "me_method", "epzs", V{{"me_method", "dia"}}},
      {"libx264", "me_method", "tesa", V{{"me_method", "tesa"}}},
      {"libx264", "directpred", "3", V{{"direct-pred", "3"}}},
      {"libx264", "flags2", "+bpyramid-mixed_refs+wpred-dct8x8+fastpskip-mbtree",
       V{{"b-pyramid", "normal"}, {"mixed-refs", "0"}, {"weightb", "1"}, {"8x8dct", "0"},
         {"fast-pskip", "1"}, {"mbtree", "0"}}},
      {"libx264", "flags2", "-bpyramid+local_header", V{{"flags2", "+local_header"},
                                                        {"b-pyramid", "none"}}},
      {"libx264", "cqp", "0", V{{"qp", "0"}}},
      {"libx264", "wpredp", "2", V{{"wpredp", "2"}}},
      {"libx264", "sc_threshold", "40", V{{"sc_threshold", "40"}}},
      {"libx264rgb", "cqp", "0", V{{"qp", "0"}}},
      {"mpeg4", "cqp", "0", V{{"cqp", "0"}}},
  };
  for (const auto& c : cases) {
    auto got = TranslateCodecOption(c.encoder, c.key, c.value);
    ASSERT_TRUE(got.has_value()) << c.key << "=" << c.value;
    EXPECT_EQ(*got, c.expected) << c.encoder << " " << c.key << "=" << c.value;
  }
  EXPECT_FALSE(TranslateCodecOption("libx264", "partitions", "+parti8x8+partx9").has_value());
}

CodecContextPtr NewX264Context() {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) return nullptr;
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  ctx->width = 320;
  ctx->height = 240;
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->time_base = AVRational{1, 25};
  ctx->thread_count = 1;
  return ctx;
}

std::string GetOption(AVCodecContext* ctx, const char* name) {
  uint8_t* text = nullptr;
  if (av_opt_get(ctx, name, AV_OPT_SEARCH_CHILDREN, &text) < 0) return "<none>";
  std::string result(reinterpret_cast<char*>(text));
  av_free(text);
  return result;
}

TEST(CodecOptionTranslation, SetsTheWrapperOptionsOnAContext) {
  CodecContextPtr ctx = NewX264Context();
  if (!ctx) GTEST_SKIP() << "no libx264 encoder";
  EXPECT_TRUE(ApplyCodecOption(ctx.get(), "libx264", "partitions", "+parti4x4+partp8x8"));
  EXPECT_TRUE(ApplyCodecOption(ctx.get(), "libx264", "flags2", "-wpred+dct8x8"));
  EXPECT_TRUE(ApplyCodecOption(ctx.get(), "libx264", "me_method", "umh"));
  EXPECT_TRUE(ApplyCodecOption(ctx.get(), "libx264", "cqp", "12"));
  EXPECT_EQ(GetOption(ctx.get(), "partitions"), "i4x4,p8x8");
  EXPECT_EQ(GetOption(ctx.get(), "weightb"), "false");
  EXPECT_EQ(GetOption(ctx.get(), "8x8dct"), "true");
  EXPECT_EQ(GetOption(ctx.get(), "motion-est"), "2");  // umh
  EXPECT_EQ(GetOption(ctx.get(), "qp"), "12");

  EXPECT_FALSE(ApplyCodecOption(ctx.get(), "libx264", "no_such_option", "1"));
  EXPECT_FALSE(ApplyCodecOption(ctx.get(), "libx264", "me_method", "spiral"));
  EXPECT_FALSE(ApplyCodecOption(ctx.get(), "libx264", "partitions", "+partx9"));
  EXPECT_EQ(ApplyPresetToCodecContext(ctx.get(), "libx264", "bf=2\nbogus=1\nvcodec=x\nrefs\ng=9"),
            (std::vector<std::string>{"bogus=1", "vcodec=x", "refs"}));
  EXPECT_EQ(ctx->max_b_frames, 2);
  EXPECT_EQ(ctx->gop_size, 9);
}

// What an opened encoder reports: its option string from the first packet's SEI, and the
// profile and level of its sequence parameter set.
struct TEncoderReport {
  std::map<std::string, std::string> options;
  int profile = -1;
  int level = -1;
};

TEncoderReport EncodeOneFrame(AVCodecContext* ctx) {
  TEncoderReport report;
  FramePtr frame(av_frame_alloc());
  frame->width = ctx->width;
  frame->height = ctx->height;
  frame->format = ctx->pix_fmt;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return report;
  for (int p = 0; p < 3; ++p)
    std::memset(frame->data[p], 128, static_cast<size_t>(frame->linesize[p]) * (p ? 120 : 240));
  frame->pts = 0;
  if (avcodec_send_frame(ctx, frame.get()) < 0 || avcodec_send_frame(ctx, nullptr) < 0)
    return report;
  PacketPtr packet(av_packet_alloc());
  while (avcodec_receive_packet(ctx, packet.get()) == 0) {
    const std::string data(reinterpret_cast<char*>(packet->data), packet->size);
    const size_t at = data.find("options: ");
    if (at != std::string::npos) {
      std::istringstream in(data.substr(at + 9, data.find('\0', at) - at - 9));
      std::string item;
      while (in >> item) {
        const size_t eq = item.find('=');
        if (eq != std::string::npos) report.options[item.substr(0, eq)] = item.substr(eq + 1);
      }
    }
    for (size_t i = 0; i + 6 < data.size(); ++i)
      if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 31) == 7) {
        report.profile = static_cast<unsigned char>(data[i + 4]);
        report.level = static_cast<unsigned char>(data[i + 6]);
        break;
      }
    av_packet_unref(packet.get());
  }
  return report;
}

bool Has(const std::string& flags, const std::string& sign, const std::string& name) {
  const size_t at = flags.find(sign + name);
  return at != std::string::npos &&
         (at + 1 + name.size() == flags.size() || flags[at + 1 + name.size()] == '+' ||
          flags[at + 1 + name.size()] == '-');
}

// The encoder settings a preset's lines must lead to, in the encoder's own option names.
std::map<std::string, std::string> ExpectedEncoderOptions(std::string_view content) {
  auto m = LineMap(content);
  std::map<std::string, std::string> e;
  const bool lossless = m.count("cqp") > 0;
  const int bframes = m.count("bf") ? std::stoi(m["bf"]) : -1;
  if (m.count("coder")) e["cabac"] = m["coder"];
  if (m.count("refs")) e["ref"] = m["refs"];
  if (m.count("bf")) e["bframes"] = m["bf"];
  if (m.count("subq")) e["subme"] = m["subq"];
  if (m.count("me_method")) e["me"] = m["me_method"];
  const std::string me = m.count("me_method") ? m["me_method"] : "";
  if (m.count("me_range") && (me == "umh" || me == "esa" || me == "tesa"))
    e["me_range"] = m["me_range"];
  if (m.count("g")) e["keyint"] = m["g"];
  if (m.count("keyint_min")) e["keyint_min"] = m["keyint_min"];
  if (m.count("sc_threshold")) e["scenecut"] = m["sc_threshold"];
  if (m.count("cmp")) e["chroma_me"] = "1";
  if (m.count("wpredp")) e["weightp"] = m["wpredp"];
  if (m.count("flags")) e["deblock"] = m["flags"] == "+loop" ? "1:0:0" : "0:0:0";
  if (bframes > 0) {
    if (m.count("b_strategy")) e["b_adapt"] = m["b_strategy"];
    if (m.count("directpred")) e["direct"] = m["directpred"];
  }
  if (lossless) {
    e["rc"] = "cqp";
    e["qp"] = m["cqp"];
  } else {
    if (m.count("trellis")) e["trellis"] = m["trellis"];
    if (m.count("qmin")) e["qpmin"] = m["qmin"];
    if (m.count("qmax")) e["qpmax"] = m["qmax"];
    if (m.count("qdiff")) e["qpstep"] = m["qdiff"];
    if (m.count("qcomp")) e["qcomp"] = "0.60";
    if (m.count("i_qfactor")) e["ip_ratio"] = "1.41";
  }
  if (m.count("b")) e["bitrate"] = std::to_string(std::stoi(m["b"]) / 1000);
  if (m.count("maxrate")) e["vbv_maxrate"] = std::to_string(std::stoi(m["maxrate"]) / 1000);
  if (m.count("bufsize")) e["vbv_bufsize"] = std::to_string(std::stoi(m["bufsize"]) / 1000);
  const std::string f2 = m.count("flags2") ? m["flags2"] : "";
  for (const char* sign : {"+", "-"}) {
    const std::string on = sign[0] == '+' ? "1" : "0";
    if (Has(f2, sign, "dct8x8")) e["8x8dct"] = on;
    if (Has(f2, sign, "fastpskip") && !lossless) e["fast_pskip"] = on;
    if (Has(f2, sign, "mbtree") && !lossless) e["mbtree"] = on;
    if (Has(f2, sign, "mixed_refs") && (m.count("refs") == 0 || std::stoi(m["refs"]) > 1))
      e["mixed_ref"] = on;
    if (bframes > 0 && Has(f2, sign, "wpred")) e["weightb"] = on;
    if (bframes > 1 && Has(f2, sign, "bpyramid")) e["b_pyramid"] = sign[0] == '+' ? "2" : "0";
  }
  return e;
}

class PresetOnEncoder : public ::testing::TestWithParam<int> {};

TEST_P(PresetOnEncoder, EveryLineIsAcceptedAndTakesEffect) {
  const TOptionsPreset& preset = OptionsPresets()[static_cast<size_t>(GetParam())];
  SCOPED_TRACE(std::string(preset.Name));
  CodecContextPtr ctx = NewX264Context();
  if (!ctx) GTEST_SKIP() << "no libx264 encoder";

  EXPECT_EQ(ApplyPresetToCodecContext(ctx.get(), "libx264", std::string(preset.Content)),
            std::vector<std::string>{});
  int opened;
  {
    std::lock_guard<std::mutex> lock(GlobalCodecLock());
    opened = avcodec_open2(ctx.get(), ctx->codec, nullptr);
  }
  ASSERT_GE(opened, 0);
  const TEncoderReport report = EncodeOneFrame(ctx.get());
  ASSERT_FALSE(report.options.empty());

  for (const auto& [name, value] : ExpectedEncoderOptions(preset.Content)) {
    auto it = report.options.find(name);
    ASSERT_NE(it, report.options.end()) << name;
    EXPECT_EQ(it->second, value) << name;
  }
  const auto lines = LineMap(preset.Content);
  // Partition choice, as the analysis mask (intra:inter): i4x4 is bit 0x1, p8x8 bit 0x10.
  if (lines.count("partitions")) {
    const std::string& parts = lines.at("partitions");
    const std::string analyse = report.options.at("analyse");
    const unsigned inter = std::stoul(analyse.substr(analyse.find(':') + 1), nullptr, 16);
    EXPECT_EQ((inter & 0x1) != 0, Has(parts, "+", "parti4x4")) << analyse;
    EXPECT_EQ((inter & 0x10) != 0, Has(parts, "+", "partp8x8")) << analyse;
  }
  if (lines.count("level")) {
    EXPECT_EQ(std::to_string(report.level), lines.at("level"));
  }
  if (lines.count("g")) {
    EXPECT_EQ(ctx->gop_size, std::stoi(lines.at("g")));
  }
  if (lines.count("qmax")) {
    EXPECT_EQ(ctx->qmax, std::stoi(lines.at("qmax")));
  }
  if (lines.count("bufsize")) {
    EXPECT_EQ(ctx->rc_buffer_size, std::stoi(lines.at("bufsize")));
  }
  // The profile the short presets exist for.
  if (preset.Name == "libx264-baseline") {
    EXPECT_EQ(report.profile, 66);
  }
  if (preset.Name == "libx264-main") {
    EXPECT_EQ(report.profile, 77);
  }

  std::lock_guard<std::mutex> lock(GlobalCodecLock());
  ctx.reset();
}

INSTANTIATE_TEST_SUITE_P(AllPresets, PresetOnEncoder, ::testing::Range(0, 40),
                         [](const ::testing::TestParamInfo<int>& info) {
                           std::string name(OptionsPresets()[static_cast<size_t>(info.param)].Name);
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace
}  // namespace orvo
