// The task records and the option calls they turn into, in the order the engine needs them:
// codecs before presets (a preset is looked up by its codec), the frame size and the filter
// chain after everything else.
#include "component/TaskOptions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ctime>

#include "binding/file_helpers.h"
#include "engine/FFmpeg.h"

namespace orvo {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  return text;
}

bool IsOneOf(const std::string& key, std::initializer_list<const char*> keys) {
  for (const char* k : keys) {
    if (key == k) return true;
  }
  return false;
}

// Keys that describe streams: kept for the streams they belong to, not dispatched in order.
bool IsStreamKey(const std::string& key) {
  return IsOneOf(key, {"newvideo", "newaudio", "newsubtitle", "apre", "vpre", "spre", "vfilters",
                       "vf"});
}

// Days since 1899-12-30 (local) to seconds since 1970-01-01 UTC.
int64_t DateTimeToUnix(double dateTime, int64_t biasMinutes) {
  return std::llround((dateTime - 25569.0 + double(biasMinutes) / 1440.0) * 86400.0);
}

double NowAsDateTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return double(now + local.tm_gmtoff) / 86400.0 + 25569.0;
}

}  // namespace

void InitInputOptions(TInputOptions& options) { options = TInputOptions{}; }
void InitOutputOptions(TOutputOptions& options) { options = TOutputOptions{}; }

std::vector<TExtraOption> ParseExtraOptions(const std::string& text) {
  std::string body = TrimText(text);
  // "<CRLF>" tokens and every kind of line break end a line.
  for (size_t at = body.find("<CRLF>"); at != std::string::npos; at = body.find("<CRLF>", at))
    body.replace(at, 6, "\n");
  std::vector<TExtraOption> lines;
  std::string line;
  auto finish = [&lines](const std::string& l) {
    const size_t eq = l.find('=');
    if (eq == std::string::npos)
      lines.emplace_back(Lower(l), std::string());
    else
      lines.emplace_back(Lower(l.substr(0, eq)), l.substr(eq + 1));
  };
  bool open = false;  // a line has begun that no break has ended yet
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
      finish(line);
      line.clear();
      open = false;
    } else {
      line += c;
      open = true;
    }
  }
  // A text ending in a break (a last "<CRLF>") has no empty line after it.
  if (open) finish(line);
  return lines;
}

void ApplyInputOptions(TCustomFFmpeg& engine, const TInputOptions& options) {
  for (const auto& [key, value] : ParseExtraOptions(options.ExtOptions)) {
    if (!IsStreamKey(key)) engine.DispatchOption(key, value);
  }
  // An empty field leaves a format the extra options named.
  if (!options.FileFormat.empty()) engine.DispatchOption("f", options.FileFormat);
  if (options.StartTime != NOPTS) engine.SetStartTimeUs(options.StartTime);
  if (options.ProgramID >= 0) engine.DispatchOption("programid", std::to_string(options.ProgramID));
}

std::string TPendingStreamOptions::Take(const std::string& key) {
  for (auto it = Pool.begin(); it != Pool.end(); ++it) {
    if (it->first == key) {
      std::string value = std::move(it->second);
      Pool.erase(it);
      return value;
    }
  }
  const std::string* value = Default(key);
  return value ? *value : std::string();
}

const std::string* TPendingStreamOptions::Default(const std::string& key) const {
  for (const TExtraOption& d : Defaults) {
    if (d.first == key) return &d.second;
  }
  return nullptr;
}

void ApplyOutputOptions(TCustomFFmpeg& engine, const TOutputOptions& o,
                        TPendingStreamOptions& pending, int64_t localBiasMinutes) {
  const std::vector<TExtraOption> lines = ParseExtraOptions(o.ExtOptions);

  // 1. The record's stream fields, completed by the first extra line of each key; every such
  // line also waits for the extra stream it may describe.
  pending = TPendingStreamOptions{};
  auto setDefault = [&pending](const std::string& key, const std::string& value) {
    if (!value.empty()) pending.Defaults.emplace_back(key, value);
  };
  setDefault("acodec", o.AudioCodec);
  setDefault("vcodec", o.VideoCodec);
  setDefault("scodec", o.SubtitleCodec);
  setDefault("apre", o.AudioPreset);
  setDefault("vpre", o.VideoPreset);
  setDefault("spre", o.SubtitlePreset);
  setDefault("s", o.FrameSize);
  setDefault("vf", o.VideoFilters);
  for (const auto& [rawKey, value] : lines) {
    if (value.empty() ||
        !IsOneOf(rawKey,
                 {"acodec", "vcodec", "scodec", "apre", "vpre", "spre", "s", "vfilters", "vf"}))
      continue;
    const std::string key = rawKey == "vfilters" ? "vf" : rawKey;
    if (!pending.Default(key)) pending.Defaults.emplace_back(key, value);
    pending.Pool.emplace_back(key, value);
  }

  // 2. Target.
  if (o.TargetType >= 1 && o.TargetType <= 3) {
    static const char* const kTargets[] = {"vcd", "svcd", "dvd"};
    const char* norm = o.NormType == 1 ? "pal" : o.NormType == 2 ? "ntsc" : "auto";
    engine.SetTarget(kTargets[o.TargetType - 1], norm, o.NormDefault == 1 ? "pal" : "ntsc");
  }
  // 3, 4. Codecs, then the presets that are looked up by them.
  for (const char* key : {"acodec", "vcodec", "scodec", "apre", "vpre", "spre"}) {
    if (const std::string* value = pending.Default(key)) engine.DispatchOption(key, *value);
  }
  // 5. The other extra lines, in order.
  for (const auto& [key, value] : lines) {
    if (IsStreamKey(key) || IsOneOf(key, {"acodec", "vcodec", "scodec", "s"})) continue;
    engine.DispatchOption(key, value);
  }
  // 6. The fields.
  auto number = [&engine](const char* name, int64_t value) {
    if (value > 0) engine.SetDefaultOption(name, std::to_string(value));
  };
  if (!o.FileFormat.empty()) engine.DispatchOption("f", o.FileFormat);
  number("packetsize", o.PacketSize);
  number("muxrate", o.MuxRate);
  if (o.MuxDelay > 0) engine.DispatchOption("muxdelay", FormatText("%.9g", double(o.MuxDelay)));
  if (o.MuxPreload > 0)
    engine.DispatchOption("muxpreload", FormatText("%.9g", double(o.MuxPreload)));
  if (o.DisableAudio) engine.DispatchOption("an", "1");
  if (o.AudioVolume >= 0) engine.DispatchOption("vol", std::to_string(o.AudioVolume));
  engine.DispatchOption("ac", std::to_string(o.AudioChannels));
  engine.DispatchOption("ar", std::to_string(o.AudioSampleRate));
  number("ab", o.AudioBitrate);
  number("abt", o.AudioBitrateTolerance);
  engine.DispatchOption("alang", o.AudioLanguage);
  engine.DispatchOption("async", std::to_string(o.AudioSync));
  engine.DispatchOption("atag", o.AudioTag);
  if (o.DisableVideo) engine.DispatchOption("vn", "1");
  engine.DispatchOption("r", o.FrameRate);
  if (!o.FrameAspectRatio.empty()) engine.DispatchOption("aspect", o.FrameAspectRatio);
  engine.DispatchOption("croptop", std::to_string(o.CropTop));
  engine.DispatchOption("cropbottom", std::to_string(o.CropBottom));
  engine.DispatchOption("cropleft", std::to_string(o.CropLeft));
  engine.DispatchOption("cropright", std::to_string(o.CropRight));
  number("g", o.GopSize);
  number("vb", o.VideoBitrate);
  number("maxrate", o.VideoMaxRate);
  number("minrate", o.VideoMinRate);
  number("bt", o.VideoBitrateTolerance);
  number("bufsize", o.VideoBufSize);
  engine.DispatchOption("vsync", std::to_string(o.VideoSync));
  engine.DispatchOption("vtag", o.VideoTag);
  engine.DispatchOption("vlang", o.VideoLanguage);
  if (o.DisableSubtitle) engine.DispatchOption("sn", "1");
  engine.DispatchOption("slang", o.SubtitleLanguage);
  engine.DispatchOption("isync", o.InputSync ? "1" : "0");
  if (o.CopyTimestamp) engine.DispatchOption("copyts", "1");
  if (o.StartTime != NOPTS) engine.SetStartTimeUs(o.StartTime);
  if (o.RecordingTime != NOPTS) engine.SetRecordingTimeUs(o.RecordingTime);
  if (o.Info.Timestamp >= 0) {
    const double when = o.Info.Timestamp == 0 ? NowAsDateTime() : o.Info.Timestamp;
    engine.SetRecTimestamp(DateTimeToUnix(when, localBiasMinutes));
  }
  if (o.Info.Year > 0) engine.DispatchOption("metadata", "year=" + std::to_string(o.Info.Year));
  if (o.Info.Track > 0) engine.DispatchOption("metadata", "track=" + std::to_string(o.Info.Track));
  const std::pair<const char*, const std::string*> texts[] = {
      {"title", &o.Info.Title},     {"author", &o.Info.Author}, {"copyright", &o.Info.Copyright},
      {"comment", &o.Info.Comment}, {"album", &o.Info.Album},   {"genre", &o.Info.Genre}};
  for (const auto& [key, value] : texts) {
    if (!value->empty()) engine.DispatchOption("metadata", std::string(key) + "=" + *value);
  }
  // 7. Size and filters last: cropping reads the input's size before it is replaced.
  if (const std::string* size = pending.Default("s")) engine.DispatchOption("s", *size);
  if (const std::string* filters = pending.Default("vf")) engine.DispatchOption("vf", *filters);
}

void AddExtraStreams(TCustomFFmpeg& engine, const TOutputOptions& o,
                     TPendingStreamOptions& pending) {
  for (const auto& [key, value] : ParseExtraOptions(o.ExtOptions)) {
    const char* const* keys = nullptr;
    static const char* const kAudio[] = {"acodec", "apre", nullptr};
    static const char* const kVideo[] = {"vcodec", "vpre", "s", "vf", nullptr};
    static const char* const kSubtitle[] = {"scodec", "spre", nullptr};
    if (key == "newaudio") keys = kAudio;
    else if (key == "newvideo") keys = kVideo;
    else if (key == "newsubtitle") keys = kSubtitle;
    else continue;
    for (; *keys; ++keys) engine.DispatchOption(*keys, pending.Take(*keys));
    engine.DispatchOption(key, value);
  }
}

int64_t LocalBaseBiasMinutes() {
  // The zone's standard offset: January or July, whichever is not in daylight saving time.
  const std::time_t now = std::time(nullptr);
  std::tm probe{};
  localtime_r(&now, &probe);
  for (int month : {0, 6}) {
    std::tm t = probe;
    t.tm_mon = month;
    t.tm_mday = 1;
    t.tm_isdst = -1;
    const std::time_t when = std::mktime(&t);
    std::tm local{};
    localtime_r(&when, &local);
    if (local.tm_isdst <= 0) return -int64_t(local.tm_gmtoff) / 60;
  }
  return -int64_t(probe.tm_gmtoff) / 60;
}

}  // namespace orvo
