// The option table: names in dispatch order, their argument parsers and their effect on the
// engine's option state.
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <sstream>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

#include "binding/FFmpegLogger.h"
#include "binding/file_helpers.h"
#include "engine/FFmpeg.h"
#include "engine/presets.h"

namespace orvo {

namespace {

using Handler = void (*)(TCustomFFmpeg&, const std::string& name, const std::string& value);

[[noreturn]] void Fail(const std::string& message) { throw FFmpegException(message); }

// Whole decimal integer with an optional sign.
template <typename T>
bool TryParseInteger(const std::string& text, T& out) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') return false;
  }
  if (first == last || *first == '+') return false;
  auto [ptr, ec] = std::from_chars(first, last, out, 10);
  return ec == std::errc() && ptr == last;
}

int ParseInt(const std::string& text) {
  int v = 0;
  if (!TryParseInteger(text, v)) Fail("'" + text + "' is not a valid integer value");
  return v;
}

int64_t ParseInt64(const std::string& text) {
  int64_t v = 0;
  if (!TryParseInteger(text, v)) Fail("'" + text + "' is not a valid integer value");
  return v;
}

bool TryParseDouble(const std::string& text, double& out) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') return false;
  }
  if (first == last || *first == '+') return false;
  auto [ptr, ec] = std::from_chars(first, last, out, std::chars_format::general);
  return ec == std::errc() && ptr == last && std::isfinite(out);
}

// A number for a single-precision setting: finite and within its range.
float ParseFloat(const std::string& text) {
  double v = 0;
  if (!TryParseDouble(text, v) || std::fabs(v) > std::numeric_limits<float>::max())
    Fail("'" + text + "' is not a valid floating point value");
  return static_cast<float>(v);
}

bool ParseBool(const std::string& text) { return text != "0"; }

int64_t ParseTime(const std::string& name, const std::string& text, bool duration) {
  int64_t us = 0;
  if (av_parse_time(&us, text.c_str(), duration ? 1 : 0) < 0)
    Fail("Invalid " + std::string(duration ? "duration" : "date") + " specification for " +
         name + ": " + text);
  return us;
}

void Info(TCustomFFmpeg& e, const std::string& text) { Logger().Log(&e, llInfo, text); }
void Warn(TCustomFFmpeg& e, const std::string& text) { Logger().Log(&e, llWarning, text); }

[[noreturn]] void FailValue(const std::string& name, const std::string& value) {
  Fail("Invalid value \"" + value + "\" for option \"" + name + "\"");
}

// Numbers of "map", "map_meta_data", "itsscale": automatic base, then one separator skipped.
struct TNumberReader {
  const char* p;
  bool Next(long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtol(p, &end, 0);
    const bool ok = errno == 0;
    p = end;
    if (*p) ++p;
    return ok;
  }
  bool AtEnd() const { return *p == 0; }
};

bool InRange(long v, long lo, long hi) { return v >= lo && v <= hi; }

uint32_t ParseTag(const std::string& value, const char* kind) {
  if (value.size() != 4) Fail(std::string(kind) + " tag parameter must be 4 chars");
  const auto* b = reinterpret_cast<const unsigned char*>(value.data());
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

std::string ProgramFolder() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return IncludeTrailingPathDelimiter(GetCurrentDir());
  return IncludeTrailingPathDelimiter(ExtractFilePath(std::string(buf, size_t(n))));
}

}  // namespace

// The rows of the table; friends of the engine so they can reach its state.
constexpr size_t kMaxHookWords = 64;

struct TOptionHandlers {
  static TEngineOptions& O(TCustomFFmpeg& e) { return e.opt_; }

  // Rows that only parse their value into one setting.
  template <auto Field>
  static void SetInt(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    O(e).*Field = ParseInt(v);
  }
  template <auto Field>
  static void SetInt64(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    O(e).*Field = ParseInt64(v);
  }
  template <auto Field>
  static void SetFloat(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    O(e).*Field = ParseFloat(v);
  }
  template <auto Field>
  static void SetBool(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    O(e).*Field = ParseBool(v);
  }

  static void DoNothing(TCustomFFmpeg& e, const std::string& name, const std::string&) {
    Info(e, "Do nothing: option - " + name);
  }
  static void LogLevel(TCustomFFmpeg&, const std::string&, const std::string& value) {
    try {
      Logger().SetLogLevelByName(value);
    } catch (const std::invalid_argument& error) {
      Fail(error.what());
    }
  }
  static void Format(TCustomFFmpeg& e, const std::string&, const std::string& value) {
    if (value == "pgmyuv") {
      O(e).FormatName = "image2";
      O(e).PgmYuv = true;
      Info(e, "pgmyuv format is deprecated, use image2");
    } else {
      O(e).FormatName = value;
    }
  }
  static void Map(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
    TNumberReader r{value.c_str()};
    long file = 0, stream = 0, syncFile = 0, syncStream = 0;
    bool ok = r.Next(file) && r.Next(stream);
    if (ok && !r.AtEnd()) {
      ok = r.Next(syncFile) && r.Next(syncStream);
    } else {
      syncFile = file;
      syncStream = stream;
    }
    const long maxIndex = std::numeric_limits<int>::max();
    if (!ok || !InRange(file, 0, MAX_FILES - 1) || !InRange(syncFile, 0, MAX_FILES - 1) ||
        !InRange(stream, 0, maxIndex) || !InRange(syncStream, 0, maxIndex))
      FailValue(name, value);
    O(e).StreamMaps.push_back({int(file), int(stream), int(syncFile), int(syncStream)});
  }
  static void MapMetaData(TCustomFFmpeg& e, const std::string& name, const std::string& value) {
    TNumberReader r{value.c_str()};
    long out = 0, in = 0;
    if (!r.Next(out) || !r.Next(in) || !InRange(out, 0, MAX_FILES - 1) ||
        !InRange(in, 0, MAX_FILES - 1))
      FailValue(name, value);
    O(e).MetaDataMaps.push_back({int(out), int(in)});
  }
  static void RecordingTime(TCustomFFmpeg& e, const std::string& name, const std::string& v) {
    O(e).RecordingTime = ParseTime(name, v, true);
    e.progressTotal_ = O(e).RecordingTime;
  }
  static void StartTime(TCustomFFmpeg& e, const std::string& name, const std::string& v) {
    O(e).StartTime = ParseTime(name, v, true);
  }
  static void InputTsOffset(TCustomFFmpeg& e, const std::string& name, const std::string& v) {
    O(e).InputTsOffset = ParseTime(name, v, true);
  }
  static void InputTsScale(TCustomFFmpeg& e, const std::string& name, const std::string& v) {
    TNumberReader r{v.c_str()};
    long stream = 0;
    if (!r.Next(stream) || !InRange(stream, 0, MAX_STREAMS - 1))
      Fail("stream index over MAX_STREAMS(" + std::to_string(MAX_STREAMS) + ")");
    const double scale = std::strtod(r.p, nullptr);
    if (!std::isfinite(scale)) FailValue(name, v);
    O(e).InputTsScale[size_t(stream)] = scale;
  }
  static void Timestamp(TCustomFFmpeg& e, const std::string& name, const std::string& v) {
    O(e).RecTimestamp = std::llround(double(ParseTime(name, v, false)) / 1000000.0);
  }
  static void Metadata(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    const size_t eq = v.find('=');
    if (eq == std::string::npos) Fail("Missing =");
    O(e).Metadata.emplace_back(v.substr(0, eq), v.substr(eq + 1));
  }
  static void TimeLimit(TCustomFFmpeg& e, const std::string&, const std::string&) {
    Warn(e, "Warning: -timelimit not implemented on Windows");
  }
  // Codec threads of every decoder and encoder the task opens; 0 lets the libraries choose.
  static void Threads(TCustomFFmpeg& e, const std::string& name, const std::string& v) {
    const int count = ParseInt(v);
    if (count < 0 || count > 64) FailValue(name, v);
    O(e).ThreadCount = count;
  }
  static void CopyTs(TCustomFFmpeg& e, const std::string&, const std::string&) {
    O(e).CopyTs = true;
  }
  static void ExitOnError(TCustomFFmpeg& e, const std::string&, const std::string&) {
    O(e).ExitOnError = true;
  }
  static void BitRate(TCustomFFmpeg& e, const std::string& name, const std::string& v) {
    const bool audio = !name.empty() && name[0] == 'a';
    AVCodecContext* audioCtx = e.DefaultCodecContext(AVMEDIA_TYPE_AUDIO);
    // The libraries' "b" also carries the audio flag; a video bit rate leaves the audio one.
    const int64_t audioRate = audioCtx->bit_rate;
    const bool accepted = e.SetDefaultOption(name, v);
    if (!audio) audioCtx->bit_rate = audioRate;
    if (!accepted) return;
    AVCodecContext* ctx = e.DefaultCodecContext(audio ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO);
    int64_t rate = 0;
    if (av_opt_get_int(ctx, "b", 0, &rate) >= 0 && rate < 1000)
      Warn(e, "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not "
              "kbits/s");
  }
  static void FrameRate(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    if (v.empty()) return;
    AVRational rate{0, 0};
    if (av_parse_video_rate(&rate, v.c_str()) < 0) Fail("Incorrect frame rate");
    O(e).FrameRate = rate;
  }
  static void FrameSize(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    if (v.empty()) return;
    int w = 0, h = 0;
    if (av_parse_video_size(&w, &h, v.c_str()) < 0) Fail("Incorrect frame size");
    O(e).FrameWidth = w;
    O(e).FrameHeight = h;
  }
  static void Aspect(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    double ratio = 0;
    const size_t colon = v.find(':');
    if (colon != std::string::npos) {
      int x = 0, y = 0;
      if (TryParseInteger(v.substr(0, colon), x) && TryParseInteger(v.substr(colon + 1), y) &&
          y > 0)
        ratio = double(x) / double(y);
    } else if (!TryParseDouble(v, ratio)) {
      ratio = 0;
    }
    // A negative or out-of-range ratio would only break the stream setup later.
    if (!(ratio > 0) || ratio > std::numeric_limits<float>::max())
      Fail("Incorrect aspect ratio specification.");
    O(e).FrameAspectRatio = static_cast<float>(ratio);
  }
  static void PixFmt(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    if (v == "list") {
      Info(e, "name       nb_components nb_bits");
      for (const AVPixFmtDescriptor* d = av_pix_fmt_desc_next(nullptr); d;
           d = av_pix_fmt_desc_next(d)) {
        char line[128];
        std::snprintf(line, sizeof line, "%-11s %7d %10d", d->name, d->nb_components,
                      av_get_bits_per_pixel(d));
        Info(e, TrimText(line));
      }
      return;
    }
    const AVPixelFormat fmt = av_get_pix_fmt(v.c_str());
    if (fmt == AV_PIX_FMT_NONE) Fail("Unknown pixel format requested: " + v);
    O(e).FramePixFmt = fmt;
  }
  static void Crop(TCustomFFmpeg& e, const std::string& name, const std::string& v) {
    const int band = ParseInt(v);
    if (band <= 0) return;
    TEngineOptions& o = O(e);
    const bool vertical = name == "croptop" || name == "cropbottom";
    if (vertical && band >= o.FrameHeight)
      Fail("Vertical crop dimensions are outside the range of the original image.\n"
           "Remember to crop first and scale second.");
    if (!vertical && band >= o.FrameWidth)
      Fail("Horizontal crop dimensions are outside the range of the original image.\n"
           "Remember to crop first and scale second.");
    if (name == "croptop") {
      Warn(e, "CropTop is deprecated in favor of the crop avfilter");
      o.FrameTopBand = band;
      o.FrameHeight -= band;
    } else if (name == "cropbottom") {
      Warn(e, "CropBottom is deprecated in favor of the crop avfilter");
      o.FrameBottomBand = band;
      o.FrameHeight -= band;
    } else if (name == "cropleft") {
      Warn(e, "CropLeft is deprecated in favor of the crop avfilter");
      o.FrameLeftBand = band;
      o.FrameWidth -= band;
    } else {
      Warn(e, "CropRight is deprecated in favor of the crop avfilter");
      o.FrameRightBand = band;
      o.FrameWidth -= band;
    }
  }
  static void Pad(TCustomFFmpeg&, const std::string&, const std::string&) {
    Fail("Please use vfilters=pad");
  }
  static void QScale(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    const float q = ParseFloat(v);
    if (!(q > 0 && q <= 255)) Fail("qscale must be > 0.0 and <= 255");
    O(e).VideoQScale = q;
  }
  static void RcOverride(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    O(e).VideoRcOverride = v;
  }
  static void Codec(TCustomFFmpeg& e, const std::string& name, const std::string& v) {
    if (v.empty()) return;
    TEngineOptions& o = O(e);
    std::optional<std::string>* codec = &o.SubtitleCodecName;
    bool* copy = &o.SubtitleStreamCopy;
    if (name[0] == 'v') codec = &o.VideoCodecName, copy = &o.VideoStreamCopy;
    if (name[0] == 'a') codec = &o.AudioCodecName, copy = &o.AudioStreamCopy;
    codec->reset();
    if (v == "copy")
      *copy = true;
    else
      *codec = v;
  }
  // "apre", "vpre", "spre", "fpre": the preset's codec lines act as the codec options, every
  // other line goes through the pass-through in the installed encoder's spelling, so presets
  // written for the old H.264 wrapper still take effect.
  static void Preset(TCustomFFmpeg& e, const std::string& kind, const std::string& v) {
    const TEngineOptions& o = O(e);
    const TPresetCodecNames codecs{o.VideoCodecName.value_or(""), o.AudioCodecName.value_or(""),
                                   o.SubtitleCodecName.value_or("")};
    TPresetTarget target;
    target.SetCodecName = [&e](char codecKind, const std::string& value) {
      Codec(e, std::string(1, codecKind) + "codec", value);
    };
    target.SetOption = [&e, &kind](const std::string& key, const std::string& value) {
      // The codec of the preset's kind as it stands now: a preset may name its codec first.
      const TEngineOptions& now = O(e);
      const std::optional<std::string>& codec = kind == "apre"   ? now.AudioCodecName
                                                : kind == "spre" ? now.SubtitleCodecName
                                                                 : now.VideoCodecName;
      const auto translated = TranslateCodecOption(codec.value_or(""), key, value);
      if (!translated) return false;
      for (const TCodecOption& option : *translated) {
        if (!e.SetDefaultOption(option.Key, option.Value)) return false;
      }
      return true;
    };
    const std::string error = LoadPreset(kind, v, codecs, target);
    if (!error.empty()) Fail(error);
  }
  static void Pass(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    const int pass = ParseInt(v);
    if (pass != 1 && pass != 2) Fail("pass number can be only 1 or 2");
    O(e).DoPass = pass;
  }
  static void PassLogFile(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    O(e).PassLogFileName = v;
  }
  static void VStats(TCustomFFmpeg& e, const std::string&, const std::string&) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H%M%S", &local);
    O(e).VStatsFileName = ProgramFolder() + "vstats_" + stamp + ".log";
  }
  static void VStatsFile(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    O(e).VStatsFileName = v;
  }
  static void VHook(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    // Words are separated by "|" when there is one (so paths may hold blanks), else by blanks.
    std::vector<std::string> words;
    if (v.find('|') != std::string::npos) {
      std::string rest = v;
      while (words.size() < kMaxHookWords) {
        words.push_back(SplitText(rest, "|", true));
        if (rest.empty()) break;
      }
    } else {
      std::istringstream in(v);
      for (std::string word; words.size() < kMaxHookWords && in >> word;) words.push_back(word);
    }
    if (words.empty() || FrameHookAdd(e.frameHooks_, words) != 0)
      Fail("Failed to add video hook function: " + v);
    O(e).UsingVHook = true;
  }
  static void VideoFilters(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    if (!v.empty()) O(e).VideoFilters = v;
  }
  static void Matrix(TCustomFFmpeg& e, const std::string& name, const std::string& v) {
    std::optional<TQuantMatrix>& slot = name == "intra_matrix" ? O(e).IntraMatrix : O(e).InterMatrix;
    slot.emplace();
    slot->fill(0);
    const char* p = v.c_str();
    for (int i = 0; i < 64; ++i) {
      const unsigned long coeff = static_cast<unsigned long>(std::strtol(p, nullptr, 10));
      (*slot)[size_t(i)] = static_cast<uint16_t>(coeff);
      if (i == 63) break;
      p = std::strchr(p, ',');
      if (!p)
        Fail("Syntax error in matrix \"" + v + "\" at coeff " + std::to_string(i));
      ++p;
    }
  }
  static void Tag(TCustomFFmpeg& e, const std::string& name, const std::string& v) {
    if (v.empty()) return;
    if (name[0] == 'v') O(e).VideoCodecTag = ParseTag(v, "video");
    else if (name[0] == 'a') O(e).AudioCodecTag = ParseTag(v, "audio");
    else O(e).SubtitleCodecTag = ParseTag(v, "subtitle");
  }
  static void Language(TCustomFFmpeg& e, const std::string& name, const std::string& v) {
    if (name[0] == 'v') O(e).VideoLanguage = v;
    else if (name[0] == 'a') O(e).AudioLanguage = v;
    else O(e).SubtitleLanguage = v;
  }
  static void StreamId(TCustomFFmpeg& e, const std::string& name, const std::string& v) {
    const size_t colon = v.find(':');
    const std::string index = colon == std::string::npos ? v : v.substr(0, colon);
    const std::string id = colon == std::string::npos ? std::string() : v.substr(colon + 1);
    if (index.empty() || id.empty())
      Fail("Invalid value \"" + v + "\" for option \"" + name +
           "\", required syntax is \"index:value\"");
    const int i = ParseInt(index);
    const int value = ParseInt(id);
    if (i < 0 || i >= MAX_STREAMS)
      Fail("stream index over MAX_STREAMS(" + std::to_string(MAX_STREAMS) + ")");
    O(e).StreamIdMap[size_t(i)] = value;
  }
  static void AudioRate(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    const int rate = ParseInt(v);
    if (rate > 0) O(e).AudioSampleRate = rate;
  }
  static void AudioChannels(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    const int channels = ParseInt(v);
    if (channels > 0) O(e).AudioChannels = channels;
  }
  static void SampleFmt(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    if (v == "list") {
      char line[128];
      for (int i = -1; i < AV_SAMPLE_FMT_NB; ++i) {
        av_get_sample_fmt_string(line, sizeof line, static_cast<AVSampleFormat>(i));
        Info(e, TrimText(line));
      }
      return;
    }
    O(e).AudioSampleFmt = av_get_sample_fmt(v.c_str());
  }
  static void VideoStandard(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    O(e).VideoStandard = v;
  }
  static void Target(TCustomFFmpeg& e, const std::string&, const std::string& v) {
    const std::string value = TrimText(v);
    for (const char* norm : {"pal", "ntsc", "film"}) {
      const std::string prefix = std::string(norm) + "-";
      if (value.compare(0, prefix.size(), prefix) == 0) {
        e.SetTarget(value.substr(prefix.size()), norm, "ntsc");
        return;
      }
    }
    e.SetTarget(value, "auto", "ntsc");
  }
  // "newvideo", "newaudio", "newsubtitle": one more stream in the last output file.
  static void NewStream(TCustomFFmpeg& e, const std::string& name, const std::string&) {
    if (e.outputFiles_.empty()) Fail("At least one output file must be specified");
    TOutputFile& file = *e.outputFiles_.back();
    if (name == "newvideo") e.new_video_stream(file);
    else if (name == "newaudio") e.new_audio_stream(file);
    else e.new_subtitle_stream(file);
  }
  static void BitstreamFilter(TCustomFFmpeg& e, const std::string& name, const std::string& v) {
    if (v.empty() || v[0] == '=') return;
    const size_t eq = v.find('=');
    const std::string filterName = eq == std::string::npos ? v : v.substr(0, eq);
    const AVBitStreamFilter* filter = av_bsf_get_by_name(filterName.c_str());
    if (!filter) Fail("Unknown bitstream filter " + TrimText(v));
    TBitstreamFilterChain& chain = name[0] == 'v'   ? O(e).VideoBitstreamFilters
                                   : name[0] == 'a' ? O(e).AudioBitstreamFilters
                                                    : O(e).SubtitleBitstreamFilters;
    chain.push_back({filter, v});
  }
};

namespace {

struct TOptionRow {
  const char* Name;
  Handler Run;
};

using H = TOptionHandlers;

// Dispatch order; the first equal name wins.
const TOptionRow kOptionTable[] = {
    {"L", H::DoNothing}, {"h", H::DoNothing}, {"version", H::DoNothing},
    {"formats", H::DoNothing}, {"codecs", H::DoNothing}, {"bsfs", H::DoNothing},
    {"protocols", H::DoNothing}, {"filters", H::DoNothing},
    {"loglevel", H::LogLevel},
    {"f", H::Format},
    {"i", H::DoNothing}, {"y", H::DoNothing},
    {"map", H::Map},
    {"map_meta_data", H::MapMetaData},
    {"t", H::RecordingTime},
    {"fs", H::SetInt64<&TEngineOptions::LimitFileSize>},
    {"ss", H::StartTime},
    {"itsoffset", H::InputTsOffset},
    {"itsscale", H::InputTsScale},
    {"timestamp", H::Timestamp},
    {"metadata", H::Metadata},
    {"dframes", H::SetInt<&TEngineOptions::MaxDataFrames>},
    {"benchmark", H::DoNothing},
    {"timelimit", H::TimeLimit},
    {"dump", H::SetBool<&TEngineOptions::DoPktDump>},
    {"hex", H::SetBool<&TEngineOptions::DoHexDump>},
    {"re", H::SetBool<&TEngineOptions::RateEmu>},
    {"loop_input", H::SetBool<&TEngineOptions::LoopInput>},
    {"loop_output", H::SetInt<&TEngineOptions::LoopOutput>},
    {"v", H::SetInt<&TEngineOptions::Verbose>},
    {"target", H::Target},
    {"threads", H::Threads},
    {"vsync", H::SetInt<&TEngineOptions::VideoSyncMethod>},
    {"async", H::SetInt<&TEngineOptions::AudioSyncMethod>},
    {"adrift_threshold", H::SetFloat<&TEngineOptions::AudioDriftThreshold>},
    {"vglobal", H::SetInt<&TEngineOptions::VideoGlobalHeader>},
    {"copyts", H::CopyTs},
    {"shortest", H::SetBool<&TEngineOptions::OptShortest>},
    {"dts_delta_threshold", H::SetFloat<&TEngineOptions::DtsDeltaThreshold>},
    {"programid", H::SetInt<&TEngineOptions::OptProgramId>},
    {"xerror", H::ExitOnError},
    {"copyinkf", H::SetInt<&TEngineOptions::CopyInitialNonKeyframes>},
    {"b", H::BitRate}, {"vb", H::BitRate},
    {"vframes", H::SetInt<&TEngineOptions::MaxVideoFrames>},
    {"r", H::FrameRate},
    {"s", H::FrameSize},
    {"aspect", H::Aspect},
    {"pix_fmt", H::PixFmt},
    {"croptop", H::Crop}, {"cropbottom", H::Crop}, {"cropleft", H::Crop},
    {"cropright", H::Crop},
    {"padtop", H::Pad}, {"padbottom", H::Pad}, {"padleft", H::Pad}, {"padright", H::Pad},
    {"padcolor", H::Pad},
    {"intra", H::SetBool<&TEngineOptions::IntraOnly>},
    {"vn", H::SetBool<&TEngineOptions::VideoDisable>},
    {"vdt", H::SetInt<&TEngineOptions::VideoDiscard>},
    {"qscale", H::QScale},
    {"rc_override", H::RcOverride},
    {"vcodec", H::Codec},
    {"me_threshold", H::SetInt<&TEngineOptions::MeThreshold>},
    {"sameq", H::SetBool<&TEngineOptions::SameQuality>},
    {"pass", H::Pass},
    {"passlogfile", H::PassLogFile},
    {"deinterlace", H::SetBool<&TEngineOptions::DoDeinterlace>},
    {"psnr", H::SetBool<&TEngineOptions::DoPsnr>},
    {"vstats", H::VStats},
    {"vstats_file", H::VStatsFile},
    {"vhook", H::VHook},
    {"vfilters", H::VideoFilters}, {"vf", H::VideoFilters},
    {"intra_matrix", H::Matrix}, {"inter_matrix", H::Matrix},
    {"top", H::SetInt<&TEngineOptions::TopFieldFirst>},
    {"dc", H::SetInt<&TEngineOptions::IntraDcPrecision>},
    {"vtag", H::Tag},
    {"newvideo", H::NewStream},
    {"vlang", H::Language},
    {"qphist", H::SetBool<&TEngineOptions::QpHist>},
    {"force_fps", H::SetBool<&TEngineOptions::ForceFps>},
    {"streamid", H::StreamId},
    {"ab", H::BitRate},
    {"aframes", H::SetInt<&TEngineOptions::MaxAudioFrames>},
    {"aq", H::SetFloat<&TEngineOptions::AudioQScale>},
    {"ar", H::AudioRate},
    {"ac", H::AudioChannels},
    {"an", H::SetBool<&TEngineOptions::AudioDisable>},
    {"acodec", H::Codec},
    {"atag", H::Tag},
    {"vol", H::SetInt<&TEngineOptions::AudioVolume>},
    {"newaudio", H::NewStream},
    {"alang", H::Language},
    {"sample_fmt", H::SampleFmt},
    {"sn", H::SetBool<&TEngineOptions::SubtitleDisable>},
    {"scodec", H::Codec},
    {"newsubtitle", H::NewStream},
    {"slang", H::Language},
    {"stag", H::Tag},
    {"vc", H::SetInt<&TEngineOptions::VideoChannel>},
    {"tvstd", H::VideoStandard},
    {"isync", H::SetBool<&TEngineOptions::InputSync>},
    {"muxdelay", H::SetFloat<&TEngineOptions::MuxMaxDelay>},
    {"muxpreload", H::SetFloat<&TEngineOptions::MuxPreload>},
    {"absf", H::BitstreamFilter}, {"vbsf", H::BitstreamFilter}, {"sbsf", H::BitstreamFilter},
    {"apre", H::Preset}, {"vpre", H::Preset}, {"spre", H::Preset}, {"fpre", H::Preset},
};

}  // namespace

std::vector<std::string> TCustomFFmpeg::OptionTableNames() {
  std::vector<std::string> names;
  for (const TOptionRow& row : kOptionTable) names.emplace_back(row.Name);
  return names;
}

bool TCustomFFmpeg::IsSwitchOption(const std::string& name) {
  // Rows whose value is a Boolean, a flag or ignored.
  static const char* const kSwitches[] = {
      "L", "h", "version", "formats", "codecs", "bsfs", "protocols", "filters", "i", "y",
      "benchmark", "timelimit", "dump", "hex", "re", "loop_input", "threads", "copyts",
      "shortest", "xerror", "padtop", "padbottom", "padleft", "padright", "padcolor", "intra",
      "vn", "sameq", "deinterlace", "psnr", "vstats", "newvideo", "qphist", "force_fps", "an",
      "newaudio", "sn", "newsubtitle", "isync"};
  for (const char* s : kSwitches) {
    if (name == s) return true;
  }
  return false;
}

void TCustomFFmpeg::DispatchOption(const std::string& name, const std::string& value) {
  for (const TOptionRow& row : kOptionTable) {
    if (name == row.Name) {
      row.Run(*this, name, value);
      return;
    }
  }
  SetDefaultOption(name, value);
}

}  // namespace orvo
