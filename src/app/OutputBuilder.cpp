#include "app/OutputBuilder.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <optional>
#include <system_error>

#include "app/FileList.h"
#include "app/SettingsStore.h"
#include "app/text_numbers.h"
#include "component/AVProbe.h"
#include "platform/ini_file.h"

namespace orvo {

namespace {

namespace fs = std::filesystem;

constexpr char kAsSource[] = "as source";


std::string TrimBlanks(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// Round(value × 1000) when it is a usable positive bit rate that fits the record's field.
std::optional<int32_t> KiloToUnits(const std::string& text) {
  if (text == kAsSource) return std::nullopt;
  const auto number = ParseNumber(text);
  if (!number) return std::nullopt;
  const int64_t product = RoundHalfEven(*number * 1000.0);
  if (product <= 0 || product > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int32_t>(product);
}

// A positive integer that is not "as source".
std::optional<int32_t> PositiveInteger(const std::string& text) {
  if (text == kAsSource) return std::nullopt;
  const auto value = ParseInteger(text);
  if (!value || *value <= 0) return std::nullopt;
  return value;
}

// The engine volume: any integer but "256", which means unchanged.
std::optional<int32_t> VolumeValue(const std::string& text) {
  if (text == "256") return std::nullopt;
  return ParseInteger(text);
}

std::string SizeText(int64_t w, int64_t h) { return std::to_string(w) + "x" + std::to_string(h); }
std::string RatioText(int64_t w, int64_t h) {
  return std::to_string(w) + ":" + std::to_string(h);
}

// The stored choices of one profile, read with the builder's own defaults.
class TProfileValues {
 public:
  TProfileValues(const std::string& settingsFile, int code)
      : ini_(settingsFile), section_(FormatSection(code)) {}
  std::string Read(const char* key, const char* defaultValue) const {
    return ini_.ReadString(section_, key, defaultValue);
  }

 private:
  TIniFile ini_;
  std::string section_;
};

void ApplyDiscTarget(const std::string& format, const TProfileValues& values,
                     TOutputOptions& out) {
  const std::string target = LowerCase(format);
  if (target == "ntsc-dvd" || target == "pal-dvd") {
    const bool ntsc = target == "ntsc-dvd";
    out.TargetType = 3;
    out.NormType = ntsc ? 2 : 1;
    const std::string wide = ntsc ? "720x480" : "720x576";
    out.FrameAspectRatio = values.Read("paraVideoSize", "null") == wide ? "16:9" : "4:3";
  } else if (target == "ntsc-vcd" || target == "pal-vcd" || target == "ntsc-svcd" ||
             target == "pal-svcd") {
    out.TargetType = target.find("svcd") != std::string::npos ? 2 : 1;
    out.NormType = target.rfind("ntsc", 0) == 0 ? 2 : 1;
    out.FrameAspectRatio = "4:3";
  }
}

void BuildAudioOnly(const TProfileValues& values, TOutputOptions& out, TInputOptions& in) {
  out.AudioCodec = values.Read("paraAudioEncoder", "libfaac");
  if (const auto channels = PositiveInteger(values.Read("paraChannel", "2")))
    out.AudioChannels = *channels;
  if (const auto rate = PositiveInteger(values.Read("paraSampleRate", "44100")))
    out.AudioSampleRate = *rate;
  if (const auto bitrate = KiloToUnits(values.Read("paraAudioBitRate", "128")))
    out.AudioBitrate = *bitrate;
  if (const auto volume = VolumeValue(values.Read("paraVolume", "3"))) out.AudioVolume = *volume;
  in.ExtOptions = "vn=1";
  out.DisableVideo = true;
  out.DisableSubtitle = true;
}

bool IsPlainVideoEncoder(const std::string& name) {
  static const char* const kNames[] = {
      "mpeg4",   "libxvid", "mpeg1video", "mpeg2video", "msmpeg4", "msmpeg4v1", "msmpeg4v2",
      "huffyuv", "dvvideo", "rawvideo",   "h263p",      "h263",    "rv10",      "rv20",
      "ljpeg",   "mjpeg",   "svq1",       "zlib",       "wmv1",    "wmv2"};
  return std::any_of(std::begin(kNames), std::end(kNames),
                     [&name](const char* known) { return name == known; });
}

void ApplyVideoCodec(const std::string& encoder, const std::string& format, TOutputOptions& out) {
  if (IsPlainVideoEncoder(encoder)) {
    out.VideoCodec = encoder;
    if (encoder == "mpeg2video") out.TargetType = 3;
  } else if (encoder == "libx264") {
    out.VideoCodec = encoder;
    const std::string device = LowerCase(format);
    if (device == "psp" || device == "ipod" || device == "ps3")
      out.VideoPreset = "libx264-" + device;
    else
      out.VideoPreset = "libx264-mp4";
  }
  // Other names (flv, swf, mov, ...) leave the codec to the output format's default.
}

bool IsContainerWord(const std::string& lowerFormat) {
  static const char* const kWords[] = {"ipod", "3gp", "3g2",  "avi",    "psp",
                                       "mov",  "vcd", "flv", "mpegts", "vob"};
  return std::any_of(std::begin(kWords), std::end(kWords),
                     [&lowerFormat](const char* word) { return lowerFormat == word; });
}

struct TTargetSize {
  int64_t W = 0;
  int64_t H = 0;
};

TTargetSize ChooseTargetSize(const std::string& size, const TSourcePicture& source,
                             const std::string& videoCodec, const TUserPrompts& prompts) {
  TTargetSize target;
  if (size != kAsSource) {
    const auto x = size.find('x');
    if (x != std::string::npos && x > 0 && x + 1 < size.size()) {
      const auto w = ParseInteger(size.substr(0, x));
      const auto h = ParseInteger(size.substr(x + 1));
      target.W = w ? *w : source.Width;
      target.H = h ? *h : source.Height;
      // H.263 knows only a few picture sizes: others go to the next size that holds them.
      if (LowerCase(videoCodec) == "h263" &&
          std::string("704x576,352x288,176x144,160x120,128x96").find(size) == std::string::npos) {
        if (target.W >= 177 && target.W <= 352) {
          target = {352, 288};
        } else if (target.W >= 353) {
          target = {704, 576};
        }
      }
      return target;
    }
    // An unusable size: the default one, or "No" takes the source's size.
    if (prompts.Ask("Warning", "Error output Video Size.Use the default size 320x240?"))
      return {320, 240};
  }
  return {source.Width, source.Height};
}

// Letterbox bars, even sized, that fit the source picture into the target keeping its aspect.
struct TPads {
  int64_t Top = 0, Bottom = 0, Left = 0, Right = 0;
};

int64_t EvenRound(double v) { return 2 * (RoundHalfEven(v) / 2); }
int64_t PadOf(int64_t extent, double picture) { return 2 * ((extent - EvenRound(picture)) / 4); }

TPads LetterboxPads(int64_t SW, int64_t SH, int64_t W, int64_t H) {
  TPads p;
  const double r1 = double(SW) / double(W);
  const double r2 = double(SH) / double(H);
  auto topBottom = [&] { p.Top = p.Bottom = PadOf(H, double(SH) / r1); };
  auto leftRight = [&] { p.Left = p.Right = PadOf(W, double(SW) / r2); };
  if (W <= SW && H >= SH) {
    topBottom();
    p.Left = p.Right = 0;
  }
  if (W >= SW && H <= SH) {
    leftRight();
    p.Top = p.Bottom = 0;
  }
  if (W >= SW && H >= SH) {
    if (r1 > r2) {
      topBottom();
      p.Left = p.Right = 0;
    } else if (r1 < r2) {
      leftRight();
      p.Top = p.Bottom = 0;
    } else {
      topBottom();
      leftRight();
    }
  }
  if (W <= SW && H <= SH) {
    if (r1 > r2) {
      topBottom();
      p.Left = p.Right = 0;
    } else {
      leftRight();
      p.Top = p.Bottom = 0;
    }
  }
  if (W == SW && H == SH) p = TPads{};
  return p;
}

// Bars in source pixels that bring a CW × CH picture to the target's aspect ratio.
TPads SourcePads(int64_t CW, int64_t CH, int64_t W, int64_t H) {
  TPads p;
  const double r1 = double(CW) / double(W);
  const double r2 = double(CH) / double(H);
  if (r1 > r2) {
    p.Top = p.Bottom = 2 * ((RoundHalfEven(double(CW) * double(H) / double(W)) - CH) / 4);
  } else if (r1 < r2) {
    p.Left = p.Right = 2 * ((RoundHalfEven(double(CH) * double(W) / double(H)) - CW) / 4);
  }
  return p;
}

// Fits the picture to W × H as the row's zoom asks; returns the filter text for the chain.
std::string FitPicture(const TlvFilesRecord& row, const TSourcePicture& source,
                       const TTargetSize& target, TOutputOptions& out) {
  const int64_t SW = source.Width, SH = source.Height, W = target.W, H = target.H;
  // Without both sizes there is nothing to fit: the engine keeps its own choices.
  if (SW <= 0 || SH <= 0 || W <= 0 || H <= 0) return std::string();
  const int64_t CW = SW - row.CropLeft - row.CropRight;
  const int64_t CH = SH - row.CropTop - row.CropBottom;
  if (CW <= 0 || CH <= 0) return std::string();

  auto copyRowCrop = [&] {
    out.CropTop = row.CropTop;
    out.CropBottom = row.CropBottom;
    out.CropLeft = row.CropLeft;
    out.CropRight = row.CropRight;
  };

  if (row.Zoom == "full") {
    if (row.HasCrop()) copyRowCrop();
    out.FrameSize = SizeText(W, H);
    out.FrameAspectRatio = RatioText(W, H);
    return std::string();
  }

  if (row.Zoom == "lbox") {
    const TPads p = LetterboxPads(SW, SH, W, H);
    const int64_t IW = W - p.Left - p.Right;
    const int64_t IH = H - p.Top - p.Bottom;
    out.FrameAspectRatio = RatioText(IW, IH);
    const std::string pad = "pad=" + std::to_string(W) + ":" + std::to_string(H) + ":" +
                            std::to_string(p.Left) + ":" + std::to_string(p.Top);
    if (!row.HasCrop()) {
      out.FrameSize = SizeText(IW, IH);
      return pad;
    }
    // The chain crops, scales and pads the uncropped picture itself; the engine must neither
    // crop nor scale before it. The crop filter takes width:height:x:y.
    out.CropTop = out.CropBottom = out.CropLeft = out.CropRight = 0;
    return "crop=" + std::to_string(CW) + ":" + std::to_string(CH) + ":" +
           std::to_string(row.CropLeft) + ":" + std::to_string(row.CropTop) + "," + "scale=" +
           std::to_string(IW) + ":" + std::to_string(IH) + "," + pad;
  }

  if (row.Zoom == "pan") {
    // Cut the excess of the (cropped) picture beyond 4:3 evenly from both sides, on top of the
    // row's own margins, so that what is left is 4:3.
    constexpr double K = 4.0 / 3.0;
    const double aspect = double(CW) / double(CH);
    auto even = [](int64_t n) { return static_cast<int32_t>(2 * (n / 2)); };
    if (aspect > K) {
      const int64_t half = std::llabs(RoundHalfEven(double(CW) - double(CH) * K) / 2);
      out.CropLeft = even(half + row.CropLeft);
      out.CropRight = even(half + row.CropRight);
    } else if (aspect < K) {
      const int64_t half = std::llabs(RoundHalfEven(double(CH) - double(CW) / K) / 2);
      out.CropTop = even(half + row.CropTop);
      out.CropBottom = even(half + row.CropBottom);
    }
    out.FrameSize = SizeText(W, H);
    out.FrameAspectRatio = RatioText(W, H);
    return std::string();
  }

  if (row.Zoom == "center") {
    // The (cropped) source is padded with black to the target's aspect ratio and then scaled to
    // the target. The engine scales before the chain, so the scaling is the chain's last step
    // and FrameSize stays unset.
    if (row.HasCrop()) copyRowCrop();
    const TPads p = SourcePads(CW, CH, W, H);
    out.FrameAspectRatio = RatioText(W, H);
    return "pad=" + std::to_string(CW + p.Left + p.Right) + ":" +
           std::to_string(CH + p.Top + p.Bottom) + ":" + std::to_string(p.Left) + ":" +
           std::to_string(p.Top) + ":black,scale=" + std::to_string(W) + ":" + std::to_string(H);
  }
  return std::string();
}

void BuildVideoAudio(const TProfileValues& values, TOutputOptions& out) {
  std::string encoder = values.Read("paraAudioEncoder", "");
  if (encoder == "libamr_nb") encoder = "libopencore_amrnb";
  if (TrimBlanks(encoder).empty())
    out.DisableAudio = true;
  else
    out.AudioCodec = encoder;
  const std::string channels = values.Read("paraChannel", "2");
  if (channels != kAsSource) {
    if (const auto value = ParseInteger(channels)) out.AudioChannels = *value;
  }
  if (const auto volume = VolumeValue(values.Read("paraVolume", "3"))) out.AudioVolume = *volume;
  if (const auto rate = PositiveInteger(values.Read("paraSampleRate", "44100")))
    out.AudioSampleRate = *rate;
  if (const auto bitrate = KiloToUnits(values.Read("paraAudioBitRate", "128")))
    out.AudioBitrate = *bitrate;
}

}  // namespace

int64_t RoundHalfEven(double value) {
  if (std::isnan(value)) return 0;
  // Clamp before converting: out-of-range conversions are undefined.
  constexpr double kLimit = 9.2233720368547748e18;  // 2^63
  if (value >= kLimit) return std::numeric_limits<int64_t>::max();
  if (value <= -kLimit) return std::numeric_limits<int64_t>::min();
  const double whole = std::floor(value);
  const double fraction = value - whole;
  int64_t result = static_cast<int64_t>(whole);
  if (fraction > 0.5 || (fraction == 0.5 && (result % 2 != 0))) ++result;
  return result;
}

TSourcePicture SourcePictureOf(TCustomAVProbe& probe) {
  TSourcePicture picture;
  picture.VideoStreamCount = probe.VideoStreamCount();
  if (picture.VideoStreamCount < 1) return picture;
  TVideoStreamInfo info;
  if (probe.GetVideoStreamInfo(probe.FirstVideoStream(), info)) {
    picture.Width = info.Width;
    picture.Height = info.Height;
    picture.BitRate = info.BitRate;
  }
  return picture;
}

void BuildOutputOptions(const TlvFilesRecord& row, int code, TOutputOptions& out,
                        const TSourcePicture& source, TInputOptions& in,
                        const TBuildContext& context) {
  const std::string format =
      TIniFile(context.FormatFile).ReadString(FormatSection(code), "Format", "null");
  const TProfileValues values(context.SettingsFile, code);

  ApplyDiscTarget(format, values, out);

  const std::string videoEncoder = values.Read("paraVideoEncoder", "");
  if (TrimBlanks(videoEncoder).empty()) {
    BuildAudioOnly(values, out, in);
    return;
  }

  ApplyVideoCodec(videoEncoder, format, out);

  std::string filters;
  if (source.VideoStreamCount < 1) {
    out.DisableVideo = true;
  } else {
    const std::string bitrate = values.Read("paraVideoBitRate", "512");
    const auto kbits = bitrate == kAsSource ? std::nullopt : ParseInteger(bitrate);
    if (kbits) {
      const int64_t bits = int64_t(*kbits) * 1000;
      if (bits > 0 && bits <= std::numeric_limits<int32_t>::max())
        out.VideoBitrate = static_cast<int32_t>(bits);
    } else {
      out.VideoBitrate = source.BitRate;
    }

    const std::string frameRate = values.Read("paraFrameRate", "29.97");
    if (frameRate != kAsSource) {
      const auto rate = ParseNumber(frameRate);
      if (rate && *rate > 0) out.FrameRate = frameRate;
    }

    if (IsContainerWord(LowerCase(format))) out.FileFormat = format;

    const TTargetSize target = ChooseTargetSize(values.Read("paraVideoSize", "null"), source,
                                                out.VideoCodec, context.Prompts);

    for (int32_t* band : {&out.CropTop, &out.CropBottom, &out.CropLeft, &out.CropRight})
      if (*band == -1) *band = 0;

    filters = FitPicture(row, source, target, out);
  }

  // A chain set by the caller keeps its place in front; an empty fitting adds nothing to it.
  if (out.VideoFilters.empty())
    out.VideoFilters = filters;
  else if (!filters.empty())
    out.VideoFilters += "," + filters;

  BuildVideoAudio(values, out);
}

std::string MakeDestinationName(const std::string& sourcePath, const std::string& suffix,
                                const std::string& settingsFile, const TUserPrompts& prompts) {
  TIniFile settings(settingsFile);
  std::string folder = ReadOutputDir(settings);

  std::error_code error;
  if (!fs::is_directory(folder, error)) {
    error.clear();
    fs::create_directories(folder, error);
    if (error || !fs::is_directory(folder, error)) {
      const std::string fallback = DefaultOutputFolder();
      prompts.ShowWarning("Warning", "Cannot create output directory:" + folder +
                                         ".It will create default directory " + fallback + "!");
      std::error_code ignored;
      fs::create_directories(fallback, ignored);
      settings.WriteString(kSettingsSection, "OutPutDir", fallback);
    }
  }

  if (folder.empty() || folder.back() != '/') folder += '/';
  const std::string base = folder + fs::path(sourcePath).stem().string();

  auto taken = [](const std::string& name) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(name, ignored));
  };
  std::string candidate = base + "_(new)" + suffix;
  for (int k = 1; taken(candidate); ++k)
    candidate = base + "_(new_" + std::to_string(k) + ")" + suffix;
  return candidate;
}

}  // namespace orvo
