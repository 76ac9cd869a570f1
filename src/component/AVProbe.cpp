#include "component/AVProbe.h"

#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

extern "C" {
#include <libavformat/version.h>
#include <libavutil/mathematics.h>
#include <libavutil/rational.h>
}

#include "binding/FFmpegLoader.h"
#include "binding/UnicodeProtocol.h"
#include "binding/file_helpers.h"
#include "engine/media_texts.h"

namespace orvo {

namespace {

constexpr const char* kLineEnd = "\r\n";
constexpr AVRational kMicroseconds{1, 1000000};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  return text;
}

// Metadata lookup ignoring the case of the key; empty when absent.
std::string Tag(const AVDictionary* metadata, const char* key) {
  const AVDictionaryEntry* entry = av_dict_get(metadata, key, nullptr, 0);
  return entry && entry->value ? std::string(entry->value) : std::string();
}

int32_t ClampToInt32(int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

int64_t ToMicroseconds(int64_t value, AVRational timeBase) {
  return av_rescale_q(value, timeBase, kMicroseconds);
}

// A time base that rescaling can use: a zero denominator takes the numerator, then 1.
AVRational UsableTimeBase(AVRational timeBase) {
  if (timeBase.den == 0) timeBase.den = timeBase.num;
  if (timeBase.den == 0) timeBase.den = 1;
  return timeBase;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// Reads exactly `count` digits at `pos`.
bool ReadDigits(const std::string& text, size_t& pos, size_t count, int& value) {
  if (pos + count > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += count;
  return true;
}

void SetTimeBaseInPlace(AVStream* stream) {
  stream->time_base = UsableTimeBase(stream->time_base);
}

}  // namespace

// ----------------------------------------------------------------- report pieces

std::string MetadataKeyName(const std::string& key) {
  static const struct {
    const char* stored;
    const char* printed;
  } kKeys[] = {
      {"TALB", "album"},     {"TAL", "album"},      {"TCOM", "composer"},   {"TCON", "genre"},
      {"TCO", "genre"},      {"TCOP", "copyright"}, {"TDRL", "date"},       {"TENC", "encoder"},
      {"TEN", "encoder"},    {"TIT2", "title"},     {"TT2", "title"},       {"TLAN", "language"},
      {"TPE1", "artist"},    {"TP1", "artist"},     {"TPOS", "disc"},       {"TPUB", "publisher"},
      {"TRCK", "track"},     {"TRK", "track"},      {"TSOA", "albumsort"},  {"TSOP", "authorsort"},
      {"TSOT", "titlesort"}, {"TYER", "year"},
  };
  for (const auto& row : kKeys) {
    if (key == row.stored) return row.printed;
  }
  return key;
}

std::string MetadataBlockText(const AVDictionary* metadata, const std::string& indent) {
  const int count = av_dict_count(metadata);
  if (count == 0) return std::string();
  if (count == 1 && av_dict_get(metadata, "language", nullptr, AV_DICT_MATCH_CASE)) {
    return std::string();
  }
  std::string text = indent + "Metadata:" + kLineEnd;
  const AVDictionaryEntry* entry = nullptr;
  while ((entry = av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX))) {
    if (std::string(entry->key) == "language") continue;
    text += Format("%s  %-16s: %s", indent.c_str(), MetadataKeyName(entry->key).c_str(),
                   entry->value ? entry->value : "");
    text += kLineEnd;
  }
  return text;
}

std::string RateText(double value, const char* label) {
  const long long hundredths = std::llround(value * 100);
  if (hundredths % 100 != 0) return Format(", %3.2f %s", value, label);
  if (hundredths % 100000 != 0) return Format(", %1.0f %s", value, label);
  return Format(", %1.0fk %s", value / 1000, label);
}

std::string SecondsText(int64_t us) {
  if (us < 0) {
    // The magnitude of the most negative value does not fit; one microsecond does not matter.
    return "-" + SecondsText(us == INT64_MIN ? INT64_MAX : -us);
  }
  return Format("%" PRId64 ".%.6" PRId64, us / 1000000, us % 1000000);
}

int64_t ParseCreationTime(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  int year, month, day, hour = 0, minute = 0, second = 0;
  if (!ReadDigits(text, pos, 4, year)) return 0;
  if (pos < text.size() && text[pos] == '-') ++pos;
  if (!ReadDigits(text, pos, 2, month)) return 0;
  if (pos < text.size() && text[pos] == '-') ++pos;
  if (!ReadDigits(text, pos, 2, day)) return 0;
  if (month < 1 || month > 12 || day < 1 || day > 31) return 0;
  int64_t offsetSeconds = 0;
  if (pos < text.size() && (text[pos] == 'T' || text[pos] == 't' || text[pos] == ' ')) {
    ++pos;
    if (!ReadDigits(text, pos, 2, hour)) return 0;
    if (pos < text.size() && text[pos] == ':') ++pos;
    if (!ReadDigits(text, pos, 2, minute)) return 0;
    if (pos < text.size() && text[pos] == ':') ++pos;
    if (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' &&
        !ReadDigits(text, pos, 2, second)) {
      return 0;
    }
    if (hour > 23 || minute > 59 || second > 60) return 0;
    if (pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
      ++pos;
      while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
    }
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
      const int sign = text[pos] == '-' ? -1 : 1;
      ++pos;
      int offsetHours = 0, offsetMinutes = 0;
      if (!ReadDigits(text, pos, 2, offsetHours)) return 0;
      if (pos < text.size() && text[pos] == ':') ++pos;
      if (pos < text.size()) ReadDigits(text, pos, 2, offsetMinutes);
      offsetSeconds = sign * (offsetHours * 3600 + offsetMinutes * 60);
    }
  }
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second -
         offsetSeconds;
}

int32_t LeadingNumber(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  int64_t value = 0;
  for (size_t digits = 0; pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 9;
       ++pos, ++digits) {
    value = value * 10 + (text[pos] - '0');
  }
  return static_cast<int32_t>(value);
}

// ----------------------------------------------------------------- TCustomAVProbe

TCustomAVProbe::TCustomAVProbe() { Analyse(); }

TCustomAVProbe::~TCustomAVProbe() { TCustomAVProbe::CloseFile(); }

void TCustomAVProbe::CheckLibraries() {
  const TFFmpegLoader& loader = FFLoader();
  if (!loader.IsLoaded(liAVCodec)) throw ProbeLibraryError("LibAVCodec not loaded.");
  if (!loader.IsLoaded(liAVFormat)) throw ProbeLibraryError("LibAVFormat not loaded.");
  if (!loader.IsLoaded(liAVUtil)) throw ProbeLibraryError("LibAVUtil not loaded.");
  if (!loader.IsLoaded(liSWScale)) throw ProbeLibraryError("LibSwScale not loaded.");
}

void TCustomAVProbe::Fail(TLogLevel level, const std::string& message) {
  lastErrorMessage_ = message;
  Logger().Log(this, level, message);
}

bool TCustomAVProbe::RequireContext() {
  if (context_) return true;
  Fail(llWarning, "file not loaded.");
  return false;
}

bool TCustomAVProbe::LoadFile(const std::string& fileName, const std::string& forceFormat) {
  CheckLibraries();
  CloseFile();

  const AVInputFormat* format = nullptr;
  if (!forceFormat.empty()) {
    format = av_find_input_format(forceFormat.c_str());
    if (!format) {
      lastErrorMessage_ = "Unknown input format: " + forceFormat;
      return false;
    }
  }

  // Blocking reads: the context may later be read packet by packet by its users, and a
  // non-blocking context would hand them EAGAIN from inputs that support it.
  AVFormatContext* opened = nullptr;
  int rc = avformat_open_input(&opened, ToLibraryFileName(fileName).c_str(), format, nullptr);
  if (rc < 0) {
    Fail(llError, ErrorText(fileName, rc));
    CloseFile();
    return false;
  }
  ownedContext_.reset(opened);
  context_ = opened;
  ownsContext_ = true;

  {
    std::lock_guard<std::mutex> lock(GlobalCodecLock());
    rc = avformat_find_stream_info(opened, nullptr);
  }
  if (rc < 0) {
    lastErrorMessage_ = fileName + ": could not find codec parameters";
    CloseFile();
    return false;
  }

  Analyse();
  forcedFormat_ = forceFormat;
  return true;
}

void TCustomAVProbe::CloseFile() {
  forcedFormat_.clear();
  // Only a context this probe opened is closed; an attached one belongs to its caller.
  ownedContext_.reset();
  context_ = nullptr;
  ownsContext_ = false;
  Analyse();
}

void TCustomAVProbe::AttachContext(AVFormatContext* context) {
  CheckLibraries();
  CloseFile();
  ownsContext_ = false;
  context_ = context;
  Analyse();
}

void TCustomAVProbe::Analyse() {
  fileSize_ = -1;
  streamCount_ = programCount_ = -1;
  audioStreamCount_ = videoStreamCount_ = subtitleStreamCount_ = -1;
  firstAudioStream_ = firstVideoStream_ = firstSubtitleStream_ = -1;
  if (!context_) return;

  const int64_t ioSize = context_->pb ? avio_size(context_->pb) : 0;
  if (ioSize > 0) {
    fileSize_ = ioSize;
  } else {
    const std::string name = FromLibraryFileName(context_->url ? context_->url : "");
    fileSize_ = !name.empty() && FileExists(name) ? GetFileSize64(name) : ioSize;
  }

  streamCount_ = static_cast<int>(context_->nb_streams);
  programCount_ = static_cast<int>(context_->nb_programs);
  audioStreamCount_ = videoStreamCount_ = subtitleStreamCount_ = 0;
  for (int i = 0; i < streamCount_; ++i) {
    switch (context_->streams[i]->codecpar->codec_type) {
      case AVMEDIA_TYPE_VIDEO:
        if (videoStreamCount_++ == 0) firstVideoStream_ = i;
        break;
      case AVMEDIA_TYPE_AUDIO:
        if (audioStreamCount_++ == 0) firstAudioStream_ = i;
        break;
      case AVMEDIA_TYPE_SUBTITLE:
        if (subtitleStreamCount_++ == 0) firstSubtitleStream_ = i;
        break;
      default:
        break;
    }
  }
}

bool TCustomAVProbe::GetFileStreamInfo(TFileStreamInfo& info) {
  info = TFileStreamInfo();
  if (!RequireContext()) return false;
  info.StartTime = context_->start_time == AV_NOPTS_VALUE ? -1 : context_->start_time;
  info.Duration = context_->duration == AV_NOPTS_VALUE ? -1 : context_->duration;
  info.BitRate = ClampToInt32(context_->bit_rate);
  // The libraries keep the creation time, year and track as metadata text.
  const AVDictionary* metadata = context_->metadata;
  info.Timestamp = ParseCreationTime(Tag(metadata, "creation_time"));
  std::string date = Tag(metadata, "date");
  if (date.empty()) date = Tag(metadata, "year");
  info.Year = LeadingNumber(date.substr(0, 4));
  info.Track = LeadingNumber(Tag(metadata, "track"));
  info.Title = Tag(metadata, "title");
  info.Author = Tag(metadata, "author");
  if (info.Author.empty()) info.Author = Tag(metadata, "artist");
  info.Copyright = Tag(metadata, "copyright");
  info.Comment = Tag(metadata, "comment");
  info.Album = Tag(metadata, "album");
  info.Genre = Tag(metadata, "genre");
  return true;
}

int TCustomAVProbe::ResolveStream(int streamIndex, int firstOfKind, AVMediaType kind) {
  const bool audio = kind == AVMEDIA_TYPE_AUDIO;
  if (streamIndex < 0) {
    streamIndex = firstOfKind;
    if (streamIndex < 0) {
      Fail(llError, audio ? "no audio stream." : "no video stream.");
      return -1;
    }
  }
  if (streamIndex >= streamCount_) {
    Fail(llError, Format("stream index #%d is invalid.", streamIndex));
    return -1;
  }
  if (context_->streams[streamIndex]->codecpar->codec_type != kind) {
    Fail(llError, Format(audio ? "stream #%d is not audio stream." : "stream #%d is not video stream.",
                         streamIndex));
    return -1;
  }
  return streamIndex;
}

namespace {

// The fields audio and video records share.
template <typename Info>
void FillCommon(AVStream* stream, Info& info) {
  info.Language = Tag(stream->metadata, "language");
  info.CodecName = CodecText(stream->codecpar, false);
  // Later callers see the repaired time base as well.
  SetTimeBaseInPlace(stream);
  info.StreamStartTime = stream->start_time;
  info.StartTime = stream->start_time == AV_NOPTS_VALUE
                       ? -1
                       : ToMicroseconds(stream->start_time, stream->time_base);
  info.StreamDuration = stream->duration;
  info.Duration =
      stream->duration == AV_NOPTS_VALUE ? -1 : ToMicroseconds(stream->duration, stream->time_base);
  info.BitRate = ClampToInt32(stream->codecpar->bit_rate);
}

}  // namespace

bool TCustomAVProbe::GetAudioStreamInfo(int streamIndex, TAudioStreamInfo& info) {
  info = TAudioStreamInfo();
  if (!RequireContext()) return false;
  const int index = ResolveStream(streamIndex, firstAudioStream_, AVMEDIA_TYPE_AUDIO);
  if (index < 0) return false;
  AVStream* stream = context_->streams[index];
  FillCommon(stream, info);
  const AVCodecParameters* par = stream->codecpar;
  info.Channels = par->ch_layout.nb_channels;
  info.SampleRate = par->sample_rate;
  info.SampleFormat = par->format;
  return true;
}

bool TCustomAVProbe::GetVideoStreamInfo(int streamIndex, TVideoStreamInfo& info) {
  info = TVideoStreamInfo();
  if (!RequireContext()) return false;
  const int index = ResolveStream(streamIndex, firstVideoStream_, AVMEDIA_TYPE_VIDEO);
  if (index < 0) return false;
  AVStream* stream = context_->streams[index];
  FillCommon(stream, info);
  const AVCodecParameters* par = stream->codecpar;
  info.Height = par->height;
  info.Width = par->width;
  // No picture height, no aspect: 0 rather than a division by zero.
  info.DisplayAspectRatio =
      par->sample_aspect_ratio.num == 0 || par->height == 0
          ? 0.0f
          : static_cast<float>(av_q2d(par->sample_aspect_ratio) * par->width / par->height);
  info.PixelFormat = par->format;
  info.FrameRateNum = stream->r_frame_rate.num;
  info.FrameRateDen = stream->r_frame_rate.den;
  return true;
}

bool TCustomAVProbe::IsAudioStream(int index) {
  if (!RequireContext()) return false;
  if (index < 0 || index >= streamCount_) {
    Fail(llError, Format("stream index #%d is invalid.", index));
    return false;
  }
  return context_->streams[index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
}

bool TCustomAVProbe::IsVideoStream(int index) {
  if (!RequireContext()) return false;
  if (index < 0 || index >= streamCount_) {
    Fail(llError, Format("stream index #%d is invalid.", index));
    return false;
  }
  return context_->streams[index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
}

std::string TCustomAVProbe::FileName() {
  if (!RequireContext()) return std::string();
  return FromLibraryFileName(context_->url ? context_->url : "");
}

std::string TCustomAVProbe::DemuxerName() {
  if (!RequireContext()) return std::string();
  return context_->iformat && context_->iformat->name ? context_->iformat->name : "";
}

std::string TCustomAVProbe::StreamLine(unsigned index) {
  AVStream* stream = context_->streams[index];
  const AVCodecParameters* par = stream->codecpar;
  std::string line = Format("Stream #%u", index);
  if (context_->iformat && (context_->iformat->flags & AVFMT_SHOW_IDS)) {
    line += Format("[0x%x]", static_cast<unsigned>(stream->id));
  }
  const std::string language = Tag(stream->metadata, "language");
  if (!language.empty()) line += "(" + language + ")";

  const AVRational timeBase = stream->time_base;
  int64_t divisor = std::llabs(av_gcd(timeBase.num, timeBase.den));
  if (divisor == 0) divisor = 1;
  line += Format(", %d/%d", static_cast<int>(timeBase.num / divisor),
                 static_cast<int>(timeBase.den / divisor));

  // The libraries' own summary of the decoder side, built from the stream's parameters.
  char summary[256] = {};
  CodecContextPtr codec(avcodec_alloc_context3(nullptr));
  if (codec && avcodec_parameters_to_context(codec.get(), par) >= 0) {
    avcodec_string(summary, sizeof summary, codec.get(), 0);
  }
  line += ": ";
  line += summary;

  const AVRational sar = stream->sample_aspect_ratio;
  if (sar.num != 0 && av_cmp_q(sar, par->sample_aspect_ratio) != 0) {
    AVRational dar;
    av_reduce(&dar.num, &dar.den, static_cast<int64_t>(par->width) * sar.num,
              static_cast<int64_t>(par->height) * sar.den, 1024 * 1024);
    line = Format("%s, PAR %d:%d DAR %d:%d", line.c_str(), sar.num, sar.den, dar.num, dar.den);
  }

  if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
    const auto known = [](AVRational r) { return r.num != 0 && r.den != 0; };
    if (known(stream->avg_frame_rate)) line += RateText(av_q2d(stream->avg_frame_rate), "fps");
    if (known(stream->r_frame_rate)) line += RateText(av_q2d(stream->r_frame_rate), "tbr");
    if (known(timeBase)) line += RateText(1 / av_q2d(timeBase), "tbn");
#if LIBAVFORMAT_VERSION_MAJOR < 60
    // The codec time base the stream analysis' decoder settled on (frame rate x ticks per
    // frame). Later library generations no longer keep one for decoders, so there it stays
    // unknown and is not printed.
    const AVRational codecTimeBase = av_stream_get_codec_timebase(stream);
    if (known(codecTimeBase)) line += RateText(1 / av_q2d(codecTimeBase), "tbc");
#endif
  }

  const AVRational usable = UsableTimeBase(timeBase);
  if (stream->start_time != AV_NOPTS_VALUE) {
    line += ", StartTime: " + SecondsText(ToMicroseconds(stream->start_time, usable));
  }
  if (stream->duration == AV_NOPTS_VALUE) {
    line += ", Duration: N/A";
  } else {
    line += ", Duration: " + DurationText(ToMicroseconds(stream->duration, usable));
  }
  return line;
}

std::string TCustomAVProbe::GetInfoText() {
  if (!RequireContext()) return std::string();
  std::string text;
  const auto addLine = [&text](const std::string& line) {
    text += line;
    text += kLineEnd;
  };
  const AVInputFormat* demuxer = context_->iformat;
  addLine("File Name: " + FileName());
  addLine(std::string("Format Name: ") + (demuxer && demuxer->name ? demuxer->name : ""));
  addLine(std::string("Format Long Name: ") +
          (demuxer && demuxer->long_name ? demuxer->long_name : ""));
  addLine("File Size: " + FormatSizeText(fileSize_));

  TFileStreamInfo info;
  GetFileStreamInfo(info);
  addLine(info.Duration < 0 ? std::string("Duration: N/A") : "Duration: " + DurationText(info.Duration));
  if (info.StartTime >= 0) addLine("StartTime: " + SecondsText(info.StartTime));
  addLine(info.BitRate < 1 ? std::string("Bit Rate: N/A")
                           : Format("Bit Rate: %d kb/s", info.BitRate / 1000));
  if (info.Timestamp > 0) {
    addLine("Time Stamp: " +
            FormatDateTime("yyyy-mm-dd hh:nn:ss", TimeStampToLocalDateTime(info.Timestamp)));
  }
  text += MetadataBlockText(context_->metadata, "");

  std::vector<bool> printed(context_->nb_streams, false);
  for (unsigned p = 0; p < context_->nb_programs; ++p) {
    const AVProgram* program = context_->programs[p];
    // Older demuxers named these provider_name and name; the current ones service_provider and
    // service_name.
    std::string provider = MetadataValue(program->metadata, "provider_name");
    if (provider.empty()) provider = MetadataValue(program->metadata, "service_provider", "N/A");
    std::string name = MetadataValue(program->metadata, "name");
    if (name.empty()) name = MetadataValue(program->metadata, "service_name", "N/A");
    addLine(Format("Program %d %s@%s", program->id, provider.c_str(), name.c_str()));
    text += MetadataBlockText(program->metadata, "  ");
    for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
      const unsigned index = program->stream_index[k];
      if (index >= context_->nb_streams) continue;
      addLine(StreamLine(index));
      text += MetadataBlockText(context_->streams[index]->metadata, "  ");
      printed[index] = true;
    }
  }
  for (unsigned index = 0; index < context_->nb_streams; ++index) {
    if (printed[index]) continue;
    addLine(StreamLine(index));
    text += MetadataBlockText(context_->streams[index]->metadata, "  ");
  }
  return text;
}

// ----------------------------------------------------------------- TAVProbe

void TAVProbe::CloseFile() { TCustomAVProbe::CloseFile(); }

void TAVProbe::Analyse() { TCustomAVProbe::Analyse(); }

}  // namespace orvo
