// Input and output setup: opening the input files and creating the output files with their
// streams, from the option state at the moment each call runs.
#include <sys/stat.h>

#include <algorithm>
#include <cstdarg>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

extern "C" {
#include <libavcodec/dv_profile.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/UnicodeProtocol.h"
#include "binding/file_helpers.h"
#include "engine/FFmpeg.h"
#include "engine/media_texts.h"

namespace orvo {

namespace {

// DV exists only in fixed formats: NTSC DV25 is 4:1:1, PAL DV25 4:2:0, DV50 4:2:2. A format
// without a DV profile is replaced by the first of the encoder's that has one. The size may still
// be the picture inside letterbox bars here, so a size DV does not know is looked up as the
// standard size of the frame rate's system.
AVPixelFormat DvPixelFormat(const AVCodec& encoder, const AVCodecContext& c) {
  const bool ntsc = av_cmp_q(c.framerate, AVRational{30000, 1001}) == 0 ||
                    av_cmp_q(c.framerate, AVRational{30, 1}) == 0;
  auto known = [&](int width, int height, AVPixelFormat format) {
    return av_dv_codec_profile2(width, height, format, c.framerate) != nullptr;
  };
  int width = c.width, height = c.height;
  bool sizeKnown = false;
  for (const AVPixelFormat* p = encoder.pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
    sizeKnown = sizeKnown || known(width, height, *p);
  if (!sizeKnown) {
    width = 720;
    height = ntsc ? 480 : 576;
  }
  if (known(width, height, c.pix_fmt)) return c.pix_fmt;
  for (const AVPixelFormat* p = encoder.pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
    if (known(width, height, *p)) return *p;
  return c.pix_fmt;
}

// Encoder names the current libraries spell differently.
struct TEncoderAlias {
  const char* OldName;
  const char* CurrentName;
};
constexpr TEncoderAlias kEncoderAliases[] = {
    {"libfaac", "aac"},
    {"vorbis", "libvorbis"},
};

const AVCodec* FindByName(const std::string& name, bool encoder) {
  if (!encoder) return avcodec_find_decoder_by_name(name.c_str());
  for (const TEncoderAlias& alias : kEncoderAliases) {
    if (name == alias.OldName) {
      if (const AVCodec* codec = avcodec_find_encoder_by_name(alias.CurrentName)) return codec;
    }
  }
  return avcodec_find_encoder_by_name(name.c_str());
}

// The default codec of a container's kind. The mp3 container's video codec only carries a
// cover picture, which is no video stream to convert to.
AVCodecID DefaultVideoCodec(const AVOutputFormat* format) {
  if (std::string(format->name) == "mp3") return AV_CODEC_ID_NONE;
  return format->video_codec;
}

// A stream's parameters as the muxer reads them, refreshed from the settings of its codec.
void PublishParameters(TOutputStream& s) {
  if (avcodec_parameters_from_context(s.Stream->codecpar, s.Codec.get()) < 0)
    throw FFmpegException("avcodec_parameters_from_context failed");
}

// The nearest rate of a zero-terminated list of rates; the first of equals.
int NearestSampleRate(const int* rates, int wanted) {
  int best = rates[0];
  for (const int* p = rates; *p; ++p) {
    if (std::abs(*p - wanted) < std::abs(best - wanted)) best = *p;
  }
  return best;
}

}  // namespace

TCodecLookup FindCodecByName(const std::optional<std::string>& name, AVMediaType kind,
                             bool encoder, int strictness) {
  TCodecLookup result;
  if (!name) return result;
  const char* role = encoder ? "encoder" : "decoder";
  const AVCodec* codec = FindByName(*name, encoder);
  result.Ok = false;
  if (!codec) {
    result.Error = FormatText("Unknown %s '%s'", role, name->c_str());
    return result;
  }
  if (codec->type != kind) {
    result.Error = FormatText("Invalid %s type '%s'", role, name->c_str());
    return result;
  }
  if ((codec->capabilities & AV_CODEC_CAP_EXPERIMENTAL) &&
      strictness > FF_COMPLIANCE_EXPERIMENTAL) {
    result.Error = FormatText(
        "%s '%s' is experimental and might produce bad results.\r\nAdd '-strict experimental' "
        "if you want to use it.",
        role, codec->name);
    const AVCodec* other =
        encoder ? avcodec_find_encoder(codec->id) : avcodec_find_decoder(codec->id);
    if (other && !(other->capabilities & AV_CODEC_CAP_EXPERIMENTAL))
      result.Error += "\r\n" + FormatText("Or use the non experimental %s '%s'.", role, other->name);
    return result;
  }
  result.Ok = true;
  result.Codec = codec;
  return result;
}

AVRational AspectFraction(double ratio) {
  // Scale the value by a power of two that keeps num within 64 bits, then reduce.
  const int exponent =
      std::max(0, int(std::lround(std::log10(std::fabs(ratio) + 1e-20) / std::log(2.0))));
  const int64_t den = int64_t(uint32_t(1) << ((61 - exponent) & 31));
  const double scaled = ratio * double(den) + 0.5;
  const int64_t num =
      std::isfinite(scaled) && std::fabs(scaled) < 9.2e18 ? int64_t(std::llround(scaled)) : 0;
  AVRational result{0, 1};
  av_reduce(&result.num, &result.den, num, den, 255);
  return result;
}

std::vector<AVRational> TCustomFFmpeg::InputVideoTimeBases() const {
  std::vector<AVRational> bases;
  for (const TInputStream& s : inputStreams_) {
    if (s.Stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    const AVRational rate = s.Stream->r_frame_rate;
    bases.push_back(rate.num ? av_inv_q(rate) : AVRational{0, 1});
  }
  return bases;
}

void TCustomFFmpeg::CopyRecordedOptions(void* target, void* source, int flags) const {
  for (const std::string& name : recordedNames_) {
    const AVOption* o = av_opt_find(source, name.c_str(), nullptr, flags, 0);
    if (!o || (o->flags & flags) != flags) continue;
    uint8_t* value = nullptr;
    if (av_opt_get(source, name.c_str(), 0, &value) < 0) continue;
    std::unique_ptr<uint8_t, AvFreeDeleter> owned(value);
    av_opt_set(target, name.c_str(), reinterpret_cast<const char*>(value), 0);
  }
}

void TCustomFFmpeg::ApplyPrivateOptions(AVCodecContext* ctx) const {
  if (!ctx->codec || !ctx->priv_data) return;
  for (const TPrivateOption& p : privateOptions_) {
    if (p.ForMuxer || p.Kind != ctx->codec_type) continue;
    if (av_opt_find(ctx->priv_data, p.Name.c_str(), nullptr, 0, 0))
      av_opt_set(ctx->priv_data, p.Name.c_str(), p.Value.c_str(), 0);
  }
}

void TCustomFFmpeg::ApplyPrivateOptions(AVFormatContext* ctx) const {
  if (!ctx->priv_data) return;
  for (const TPrivateOption& p : privateOptions_) {
    if (!p.ForMuxer) continue;
    if (av_opt_find(ctx->priv_data, p.Name.c_str(), nullptr, 0, 0))
      av_opt_set(ctx->priv_data, p.Name.c_str(), p.Value.c_str(), 0);
  }
}

bool TCustomFFmpeg::check_audio_video_sub_inputs(bool join, bool& hasVideo, bool& hasAudio,
                                                 bool& hasSubtitle, std::string& error) const {
  hasVideo = hasAudio = hasSubtitle = false;
  const size_t files = join ? std::min<size_t>(1, inputFiles_.size()) : inputFiles_.size();
  for (size_t i = 0; i < files; ++i) {
    const AVFormatContext* ic = inputFiles_[i].Context.get();
    for (unsigned j = 0; j < ic->nb_streams; ++j) {
      switch (ic->streams[j]->codecpar->codec_type) {
        case AVMEDIA_TYPE_VIDEO: hasVideo = true; break;
        case AVMEDIA_TYPE_AUDIO: hasAudio = true; break;
        case AVMEDIA_TYPE_SUBTITLE: hasSubtitle = true; break;
        case AVMEDIA_TYPE_DATA:
        case AVMEDIA_TYPE_ATTACHMENT:
        case AVMEDIA_TYPE_UNKNOWN: break;
        default:
          error = "invalid codec_type of input file";
          return false;
      }
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Inputs

bool TCustomFFmpeg::OpenInputFile(const std::string& fileName) {
  lastErrorText_.clear();
  if (inputFiles_.size() >= size_t(MAX_FILES)) {
    lastErrorText_ = FormatText("Too many input files (at most %d)", MAX_FILES);
    return false;
  }
  // 1. A forced format.
  const AVInputFormat* forced = nullptr;
  if (!opt_.FormatName.empty()) {
    forced = av_find_input_format(opt_.FormatName.c_str());
    if (!forced) throw FFmpegException("Unknown input format: \"" + opt_.FormatName + "\"");
    opt_.FormatName.clear();
  }
  // Whatever happens below, the input's codec names and capture channel are used up.
  struct TConsumeInputSettings {
    TEngineOptions& o;
    ~TConsumeInputSettings() {
      o.VideoCodecName.reset();
      o.AudioCodecName.reset();
      o.SubtitleCodecName.reset();
      o.VideoChannel = 0;
    }
  } consume{opt_};

  // 2. The context, pre-filled with the recorded options.
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) throw FFmpegException("avformat_alloc_context failed");
  InputFormatContextPtr ic(raw);
  CopyRecordedOptions(ic.get(), formatDefaults_.get(), AV_OPT_FLAG_DECODING_PARAM);

  // 3. Parameters for demuxers that cannot tell them (raw streams, devices).
  AVDictionary* rawParams = nullptr;
  std::unique_ptr<AVDictionary*, void (*)(AVDictionary**)> params(&rawParams, av_dict_free);
  if (opt_.FrameRate.num && opt_.FrameRate.den)
    av_dict_set(params.get(), "framerate",
                FormatText("%d/%d", opt_.FrameRate.num, opt_.FrameRate.den).c_str(), 0);
  av_dict_set_int(params.get(), "sample_rate", opt_.AudioSampleRate, 0);
  av_dict_set_int(params.get(), "channels", opt_.AudioChannels, 0);
  if (opt_.FrameWidth > 0 && opt_.FrameHeight > 0)
    av_dict_set(params.get(), "video_size",
                FormatText("%dx%d", opt_.FrameWidth, opt_.FrameHeight).c_str(), 0);
  if (const char* pixFmt = av_get_pix_fmt_name(static_cast<AVPixelFormat>(opt_.FramePixFmt)))
    av_dict_set(params.get(), "pixel_format", pixFmt, 0);
  if (opt_.VideoChannel) av_dict_set_int(params.get(), "channel", opt_.VideoChannel, 0);
  if (opt_.VideoStandard) av_dict_set(params.get(), "standard", opt_.VideoStandard->c_str(), 0);

  // 5. Codecs forced by name.
  const TCodecLookup video =
      FindCodecByName(opt_.VideoCodecName, AVMEDIA_TYPE_VIDEO, false, ic->strict_std_compliance);
  const TCodecLookup audio =
      FindCodecByName(opt_.AudioCodecName, AVMEDIA_TYPE_AUDIO, false, ic->strict_std_compliance);
  const TCodecLookup subtitle = FindCodecByName(opt_.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE,
                                                false, ic->strict_std_compliance);
  for (const TCodecLookup* lookup : {&video, &audio, &subtitle}) {
    if (!lookup->Ok) {
      lastErrorText_ = lookup->Error;
      return false;
    }
  }
  if (video.Codec) ic->video_codec_id = video.Codec->id, ic->video_codec = video.Codec;
  if (audio.Codec) ic->audio_codec_id = audio.Codec->id, ic->audio_codec = audio.Codec;
  if (subtitle.Codec)
    ic->subtitle_codec_id = subtitle.Codec->id, ic->subtitle_codec = subtitle.Codec;

  // 6.
  if (opt_.PgmYuv) ic->video_codec_id = AV_CODEC_ID_PGMYUV;

  // 7. Open. On failure the library frees the context itself.
  AVFormatContext* opened = ic.release();
  const std::string url = ToLibraryFileName(fileName);
  int ret = avformat_open_input(&opened, url.c_str(), forced, params.get());
  if (ret < 0) {
    lastErrorText_ = orvo::ErrorText(fileName, ret);
    return false;
  }
  ic.reset(opened);

  // 8. One program only.
  if (opt_.OptProgramId) {
    bool found = false;
    for (unsigned i = 0; i < ic->nb_streams; ++i) ic->streams[i]->discard = AVDISCARD_ALL;
    for (unsigned i = 0; i < ic->nb_programs; ++i) {
      AVProgram* program = ic->programs[i];
      if (program->id != opt_.OptProgramId) {
        program->discard = AVDISCARD_ALL;
        continue;
      }
      found = true;
      for (unsigned j = 0; j < program->nb_stream_indexes; ++j)
        ic->streams[program->stream_index[j]]->discard = AVDISCARD_DEFAULT;
    }
    if (!found) {
      lastErrorText_ = "Specified program id not found";
      return false;
    }
    opt_.OptProgramId = 0;
  }

  // 10. Stream information.
  {
    std::lock_guard<std::mutex> lock(GlobalCodecLock());
    ret = avformat_find_stream_info(ic.get(), nullptr);
  }
  if (ret < 0 && opt_.Verbose >= 0) {
    lastErrorText_ = FormatText("%s: could not find codec parameters", fileName.c_str());
    Logger().Log(this, llVerbose, lastErrorText_);
    return false;
  }

  // 11. Start position.
  int64_t timestamp = opt_.StartTime;
  if (ic->start_time != AV_NOPTS_VALUE) timestamp += ic->start_time;
  if (opt_.StartTime != 0) {
    ret = av_seek_frame(ic.get(), -1, timestamp, AVSEEK_FLAG_BACKWARD);
    if (ret < 0 && opt_.Verbose > 0)
      Logger().Log(this, llVerbose,
                   FormatText("%s: could not seek to position %0.3f", fileName.c_str(),
                          double(timestamp) / AV_TIME_BASE));
    opt_.StartTime = 0;
  }

  // 12. The streams; the decoder names still stand until the guard above drops them.
  TInputFile file;
  file.Context = std::move(ic);
  const size_t firstStream = inputStreams_.size();
  try {
    OpenInputStreams(file, static_cast<int>(inputFiles_.size()),
                     {video.Codec, audio.Codec, subtitle.Codec});
  } catch (...) {
    inputStreams_.resize(firstStream);
    throw;
  }

  // 13. The longest input sets the total, unless a recording time does.
  const int64_t duration = file.Context->duration;
  if (duration != AV_NOPTS_VALUE && duration > progressTotal_ &&
      opt_.RecordingTime == std::numeric_limits<int64_t>::max())
    progressTotal_ = duration;

  // 14.
  file.TsOffset = opt_.InputTsOffset - (opt_.CopyTs ? 0 : timestamp);
  file.TsScale = opt_.InputTsScale;
  if (opt_.Verbose >= 0)
    av_dump_format(file.Context.get(), static_cast<int>(inputFiles_.size()), url.c_str(), 0);
  inputFiles_.push_back(std::move(file));
  return true;
}

void TCustomFFmpeg::OpenInputStreams(TInputFile& file, int fileIndex,
                                     const TNamedDecoders& named) {
  AVFormatContext* ic = file.Context.get();
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    AVStream* st = ic->streams[i];
    const AVMediaType kind = st->codecpar->codec_type;
    if (kind < AVMEDIA_TYPE_UNKNOWN || kind >= AVMEDIA_TYPE_NB)
      throw FFmpegException("invalid codec_type");
    TInputStream entry;
    entry.FileIndex = fileIndex;
    entry.Stream = st;
    auto makeDecoderSettings = [&](const AVCodec* byName, int flags) {
      entry.Decoder = byName;
      const AVCodec* decoder =
          entry.Decoder ? entry.Decoder : avcodec_find_decoder(st->codecpar->codec_id);
      entry.Codec.reset(avcodec_alloc_context3(decoder));
      if (!entry.Codec) throw FFmpegException("avcodec_alloc_context failed");
      if (avcodec_parameters_to_context(entry.Codec.get(), st->codecpar) < 0)
        throw FFmpegException("avcodec_parameters_to_context failed");
      entry.Codec->thread_count = opt_.ThreadCount;
      entry.Codec->pkt_timebase = st->time_base;
      if (flags)
        CopyRecordedOptions(entry.Codec.get(), codecDefaults_[size_t(kind)].get(),
                            flags | AV_OPT_FLAG_DECODING_PARAM);
    };
    switch (kind) {
      case AVMEDIA_TYPE_VIDEO: {
        makeDecoderSettings(named.Video, AV_OPT_FLAG_VIDEO_PARAM);
        AVCodecContext* dec = entry.Codec.get();
        opt_.FrameWidth = dec->width;
        opt_.FrameHeight = dec->height;
        double ratio = st->sample_aspect_ratio.num ? av_q2d(st->sample_aspect_ratio)
                                                   : av_q2d(dec->sample_aspect_ratio);
        if (int64_t(dec->width) * dec->height != 0) {
          ratio = ratio == 0 ? double(dec->width) / dec->height
                             : double(dec->width) * ratio / dec->height;
        } else if (ratio == 0) {
          ratio = 4.0 / 3.0;
        }
        opt_.FrameAspectRatio = static_cast<float>(ratio);
        if (dec->pix_fmt == AV_PIX_FMT_NONE) dec->pix_fmt = static_cast<AVPixelFormat>(0);
        opt_.FramePixFmt = dec->pix_fmt;
        if (dec->lowres > 0) {
          opt_.FrameWidth >>= dec->lowres;
          opt_.FrameHeight >>= dec->lowres;
        }
        // The container's rate against the rate the codec itself announces.
        const AVRational rate = st->r_frame_rate;
        const AVRational codecRate = st->avg_frame_rate;
        if (codecRate.num && rate.num && av_cmp_q(codecRate, rate) != 0 && opt_.Verbose >= 0)
          Logger().Log(
              this, llInfo,
              FormatText("Seems stream %d codec frame rate differs from container frame rate: "
                     "%2.2f (%d/%d) -> %2.2f (%d/%d)",
                     int(i), av_q2d(codecRate), codecRate.num, codecRate.den, av_q2d(rate),
                     rate.num, rate.den));
        opt_.FrameRate = rate;
        if (opt_.VideoDisable)
          st->discard = AVDISCARD_ALL;
        else if (opt_.VideoDiscard)
          st->discard = static_cast<AVDiscard>(opt_.VideoDiscard);
        break;
      }
      case AVMEDIA_TYPE_AUDIO: {
        makeDecoderSettings(named.Audio, AV_OPT_FLAG_AUDIO_PARAM);
        const AVCodecContext* dec = entry.Codec.get();
        opt_.AudioChannelLayout =
            dec->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? int64_t(dec->ch_layout.u.mask) : 0;
        opt_.AudioChannels = dec->ch_layout.nb_channels;
        opt_.AudioSampleRate = dec->sample_rate;
        opt_.AudioSampleFmt = dec->sample_fmt;
        if (opt_.AudioDisable) st->discard = AVDISCARD_ALL;
        break;
      }
      case AVMEDIA_TYPE_SUBTITLE:
        makeDecoderSettings(named.Subtitle, 0);
        if (opt_.SubtitleDisable) st->discard = AVDISCARD_ALL;
        break;
      default:  // data, attachment, unknown: no decoder
        break;
    }
    inputStreams_.push_back(std::move(entry));
  }
}

// ---------------------------------------------------------------------------------------------
// Outputs

int TCustomFFmpeg::OutputFailure(const std::string& text) {
  lastErrorText_ = text;
  return -1;
}

int TCustomFFmpeg::OpenOutputFile(const std::string& fileName, bool join) {
  lastErrorText_.clear();
  if (joinMode_) return OutputFailure("Cannot join more than one output file.");
  if (outputFiles_.size() >= size_t(MAX_FILES))
    return OutputFailure(FormatText("Too many output files (at most %d)", MAX_FILES));

  // 2.
  filtersInUse_ = !opt_.VideoFilters.empty();

  // 4. The container.
  const AVOutputFormat* format = nullptr;
  if (!opt_.FormatName.empty()) {
    format = av_guess_format(opt_.FormatName.c_str(), nullptr, nullptr);
    if (!format)
      return OutputFailure(FormatText("Requested output format '%s' is not a suitable output format",
                                  opt_.FormatName.c_str()));
    opt_.FormatName.clear();
  } else {
    format = av_guess_format(nullptr, fileName.c_str(), nullptr);
    if (!format)
      return OutputFailure(
          FormatText("Unable to find a suitable output format for '%s'", fileName.c_str()));
  }
  // 3, 5. The context with the container, its own settings and the file name.
  const std::string url = ToLibraryFileName(fileName);
  auto file = std::make_shared<TOutputFile>();
  AVFormatContext* allocated = nullptr;
  if (avformat_alloc_output_context2(&allocated, format, nullptr, url.c_str()) < 0 || !allocated)
    throw FFmpegException("avformat_alloc_context failed");
  file->Context.reset(allocated);
  AVFormatContext* oc = allocated;

  // 7-9. The kinds this file gets.
  bool useVideo = opt_.VideoStreamCopy || DefaultVideoCodec(format) != AV_CODEC_ID_NONE ||
                  opt_.VideoCodecName.has_value();
  bool useAudio = opt_.AudioStreamCopy || format->audio_codec != AV_CODEC_ID_NONE ||
                  opt_.AudioCodecName.has_value();
  bool useSubtitle = opt_.SubtitleStreamCopy || format->subtitle_codec != AV_CODEC_ID_NONE ||
                     opt_.SubtitleCodecName.has_value();
  if (!inputFiles_.empty()) {
    bool hasVideo = false, hasAudio = false, hasSubtitle = false;
    std::string error;
    if (!check_audio_video_sub_inputs(join, hasVideo, hasAudio, hasSubtitle, error))
      return OutputFailure("check_audio_video_sub_inputs fail: " + error);
    useVideo = useVideo && hasVideo;
    useAudio = useAudio && hasAudio;
    useSubtitle = useSubtitle && hasSubtitle;
  }
  if (opt_.AudioDisable) useAudio = false;
  if (opt_.VideoDisable) useVideo = false;
  if (opt_.SubtitleDisable) useSubtitle = false;

  // 10. The streams. A failure leaves the codec table as it was. A kind left out because it
  // was disabled is enabled again for the next file, as a created stream would do.
  opt_.VideoDisable = opt_.AudioDisable = opt_.SubtitleDisable = false;
  const size_t codecsBefore = outputCodecs_.size();
  const char* step = "";
  try {
    if (useVideo) step = "new_video_stream", new_video_stream(*file);
    if (useAudio) step = "new_audio_stream", new_audio_stream(*file);
    if (useSubtitle) step = "new_subtitle_stream", new_subtitle_stream(*file);
  } catch (const FFmpegException& error) {
    outputCodecs_.resize(codecsBefore);
    return OutputFailure(FormatText("%s fail: %s", step, error.what()));
  } catch (...) {
    outputCodecs_.resize(codecsBefore);
    throw;
  }
  auto rollBack = [&](const std::string& text) {
    outputCodecs_.resize(codecsBefore);
    return OutputFailure(text);
  };

  // 11. Time stamp and metadata; for a key given twice the first value stays.
  // The muxers take the file's time stamp as its creation time.
  if (opt_.RecTimestamp != 0) {
    char stamp[40];
    const std::time_t t = static_cast<std::time_t>(opt_.RecTimestamp);
    std::tm utc{};
    if (gmtime_r(&t, &utc) &&
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S.000000Z", &utc) > 0)
      av_dict_set(&oc->metadata, "creation_time", stamp, 0);
  }
  for (auto it = opt_.Metadata.rbegin(); it != opt_.Metadata.rend(); ++it)
    av_dict_set(&oc->metadata, it->first.c_str(), it->second.c_str(), 0);
  opt_.Metadata.clear();

  // 13. Numbered file names.
  if ((format->flags & AVFMT_NEEDNUMBER) && !av_filename_number_test(url.c_str()))
    return rollBack(fileName + ": Number syntax expected in filename");
  // 14. The file itself; an existing one is replaced.
  if (!(format->flags & AVFMT_NOFILE)) {
    const int ret = avio_open(&oc->pb, url.c_str(), AVIO_FLAG_WRITE);
    if (ret < 0) return rollBack(orvo::ErrorText(fileName, ret));
  }
  // 16. Muxing settings.
  oc->max_delay = static_cast<int>(opt_.MuxMaxDelay * 1000000);
  oc->flags |= AVFMT_FLAG_NONBLOCK;
  CopyRecordedOptions(oc, formatDefaults_.get(), AV_OPT_FLAG_ENCODING_PARAM);
  if (oc->priv_data) {
    const std::string preload = std::to_string(static_cast<int>(opt_.MuxPreload * 1000000));
    if (av_opt_find(oc->priv_data, "preload", nullptr, 0, 0))
      av_opt_set(oc->priv_data, "preload", preload.c_str(), 0);
    if (av_opt_find(oc->priv_data, "loop", nullptr, 0, 0))
      av_opt_set_int(oc->priv_data, "loop", opt_.LoopOutput, 0);
  }
  ApplyPrivateOptions(oc);
  // 17.
  opt_.StreamIdMap.fill(0);

  // 12, 18. Into the table; with join, once per input file.
  outputFiles_.push_back(file);
  if (join && inputFiles_.size() > 1) {
    joinMode_ = true;
    int64_t total = 0;
    for (const TInputFile& input : inputFiles_) {
      if (input.Context->duration != AV_NOPTS_VALUE && input.Context->duration > 0)
        total += input.Context->duration;
    }
    progressTotal_ = total == 0 ? -1 : total;
    for (size_t i = 1; i < inputFiles_.size(); ++i) outputFiles_.push_back(file);
  }
  return static_cast<int>(outputFiles_.size());
}

AVStream* TCustomFFmpeg::NewOutputStream(TOutputFile& file, AVMediaType kind) {
  AVFormatContext* oc = file.Context.get();
  if (oc->nb_streams >= unsigned(MAX_STREAMS))
    throw FFmpegException(FormatText("Too many streams in one output file (at most %d)", MAX_STREAMS));
  AVStream* st = avformat_new_stream(oc, nullptr);
  if (!st) throw FFmpegException("Could not alloc stream");
  st->id = opt_.StreamIdMap[st->index];
  TOutputStream entry;
  entry.Stream = st;
  entry.Codec.reset(avcodec_alloc_context3(nullptr));
  if (!entry.Codec) throw FFmpegException("avcodec_alloc_context failed");
  entry.Codec->codec_type = kind;
  TBitstreamFilterChain& chain = kind == AVMEDIA_TYPE_VIDEO   ? opt_.VideoBitstreamFilters
                                 : kind == AVMEDIA_TYPE_AUDIO ? opt_.AudioBitstreamFilters
                                                              : opt_.SubtitleBitstreamFilters;
  entry.BitstreamFilters = std::move(chain);
  chain.clear();
  file.Streams.push_back(std::move(entry));
  return st;
}

namespace {

// A fresh context for the chosen encoder that keeps what was already set on `old`.
CodecContextPtr ContextForEncoder(const AVCodec* encoder, const AVCodecContext* old) {
  CodecContextPtr ctx(avcodec_alloc_context3(encoder));
  if (!ctx) throw FFmpegException("avcodec_alloc_context failed");
  ctx->codec_type = old->codec_type;
  ctx->thread_count = old->thread_count;
  ctx->codec_tag = old->codec_tag;
  ctx->flags = old->flags;
  ctx->flags2 = old->flags2;
  return ctx;
}

// The codec a container gets for a kind when no name is given.
AVCodecID GuessCodec(const AVOutputFormat* format, const char* url, AVMediaType kind) {
  if (kind == AVMEDIA_TYPE_VIDEO && DefaultVideoCodec(format) == AV_CODEC_ID_NONE)
    return AV_CODEC_ID_NONE;
  return av_guess_codec(format, nullptr, url, nullptr, kind);
}

void ParseRcOverride(AVCodecContext* ctx, const std::string& text) {
  std::vector<RcOverride> overrides;
  const char* p = text.c_str();
  for (;;) {
    int start = 0, end = 0, q = 0;
    if (std::sscanf(p, "%d,%d,%d", &start, &end, &q) != 3)
      throw FFmpegException("error parsing rc_override");
    RcOverride o{};
    o.start_frame = start;
    o.end_frame = end;
    if (q > 0) {
      o.qscale = q;
      o.quality_factor = 1.0f;
    } else {
      o.qscale = 0;
      o.quality_factor = -float(q) / 100.0f;
    }
    overrides.push_back(o);
    p = std::strchr(p, '/');
    if (!p) break;
    ++p;
  }
  ctx->rc_override =
      static_cast<RcOverride*>(av_malloc_array(overrides.size(), sizeof(RcOverride)));
  if (!ctx->rc_override) throw FFmpegException("av_malloc failed");
  std::copy(overrides.begin(), overrides.end(), ctx->rc_override);
  ctx->rc_override_count = static_cast<int>(overrides.size());
}

uint16_t* CopyMatrix(const TQuantMatrix& matrix) {
  auto* copy = static_cast<uint16_t*>(av_malloc(sizeof(uint16_t) * 64));
  if (!copy) throw FFmpegException("av_malloc failed");
  std::copy(matrix.begin(), matrix.end(), copy);
  return copy;
}

}  // namespace

void TCustomFFmpeg::new_video_stream(TOutputFile& file) {
  AVFormatContext* oc = file.Context.get();
  // The codec name is used up even when the stream fails.
  struct TDropCodecName {
    std::optional<std::string>& name;
    ~TDropCodecName() { name.reset(); }
  } drop{opt_.VideoCodecName};

  AVStream* st = NewOutputStream(file, AVMEDIA_TYPE_VIDEO);
  TOutputStream& out = file.Streams.back();
  AVCodecContext* defaults = codecDefaults_[AVMEDIA_TYPE_VIDEO].get();
  out.Codec->thread_count = opt_.ThreadCount;
  if (opt_.VideoCodecTag) out.Codec->codec_tag = opt_.VideoCodecTag;
  // Global headers: forced (bit 0), by container (mode 0); local headers (bit 1).
  if ((opt_.VideoGlobalHeader & 1) ||
      (opt_.VideoGlobalHeader == 0 && (oc->oformat->flags & AVFMT_GLOBALHEADER))) {
    out.Codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    defaults->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (opt_.VideoGlobalHeader & 2) {
    out.Codec->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
    defaults->flags2 |= AV_CODEC_FLAG2_LOCAL_HEADER;
  }
  const double frameAspect = int64_t(opt_.FrameWidth) * opt_.FrameHeight == 0
                                 ? opt_.FrameAspectRatio * 3.0 / 4.0
                                 : double(opt_.FrameAspectRatio) * opt_.FrameHeight /
                                       opt_.FrameWidth;
  const AVRational sampleAspect = AspectFraction(frameAspect);

  if (opt_.VideoStreamCopy) {
    out.StreamCopy = true;
    outputCodecs_.push_back(nullptr);
    out.Codec->sample_aspect_ratio = st->sample_aspect_ratio = sampleAspect;
  } else {
    AVRational rate = opt_.FrameRate.num ? opt_.FrameRate : AVRational{25, 1};
    const TCodecLookup lookup = FindCodecByName(opt_.VideoCodecName, AVMEDIA_TYPE_VIDEO, true,
                                                out.Codec->strict_std_compliance);
    if (!lookup.Ok) throw FFmpegException(lookup.Error);
    const AVCodecID id = lookup.Codec ? lookup.Codec->id
                                      : GuessCodec(oc->oformat, oc->url, AVMEDIA_TYPE_VIDEO);
    const AVCodec* encoder = lookup.Codec ? lookup.Codec : avcodec_find_encoder(id);
    outputCodecs_.push_back(lookup.Codec);
    out.Codec = ContextForEncoder(encoder, out.Codec.get());
    AVCodecContext* c = out.Codec.get();
    c->codec_id = id;
    CopyRecordedOptions(c, defaults, AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    ApplyPrivateOptions(c);
    if (encoder && encoder->supported_framerates && !opt_.ForceFps)
      rate = encoder->supported_framerates[av_find_nearest_q_idx(rate,
                                                                encoder->supported_framerates)];
    c->time_base = av_inv_q(rate);
    c->framerate = rate;
    st->time_base = c->time_base;
    c->width = opt_.FrameWidth;
    c->height = opt_.FrameHeight;
    c->sample_aspect_ratio = st->sample_aspect_ratio = sampleAspect;
    c->pix_fmt = static_cast<AVPixelFormat>(opt_.FramePixFmt);
    if (encoder && encoder->pix_fmts) {
      const bool mjpegKeeps = encoder->id == AV_CODEC_ID_MJPEG && c->strict_std_compliance < 0 &&
                              (c->pix_fmt == AV_PIX_FMT_YUV420P || c->pix_fmt == AV_PIX_FMT_YUV422P);
      bool listed = false;
      for (const AVPixelFormat* p = encoder->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
        listed = listed || *p == c->pix_fmt;
      if (!listed && !mjpegKeeps) c->pix_fmt = encoder->pix_fmts[0];
      if (encoder->id == AV_CODEC_ID_DVVIDEO) c->pix_fmt = DvPixelFormat(*encoder, *c);
    }
    if (opt_.IntraOnly) c->gop_size = 0;
    if (opt_.VideoQScale != 0 || opt_.SameQuality) {
      c->flags |= AV_CODEC_FLAG_QSCALE;
      out.Quality = float(FF_QP2LAMBDA) * opt_.VideoQScale;
      c->global_quality = static_cast<int>(out.Quality);
    }
    if (opt_.IntraMatrix) c->intra_matrix = CopyMatrix(*opt_.IntraMatrix);
    if (opt_.InterMatrix) c->inter_matrix = CopyMatrix(*opt_.InterMatrix);
    if (opt_.VideoRcOverride) ParseRcOverride(c, *opt_.VideoRcOverride);
    if (c->rc_initial_buffer_occupancy == 0)
      c->rc_initial_buffer_occupancy = c->rc_buffer_size * 3 / 4;
    c->intra_dc_precision = opt_.IntraDcPrecision - 8;
    if (opt_.DoPsnr) c->flags |= AV_CODEC_FLAG_PSNR;
    if (opt_.DoPass == 1) c->flags |= AV_CODEC_FLAG_PASS1;
    if (opt_.DoPass == 2) c->flags |= AV_CODEC_FLAG_PASS2;
  }
  if (!opt_.VideoLanguage.empty()) {
    av_dict_set(&st->metadata, "language", opt_.VideoLanguage.c_str(), 0);
    opt_.VideoLanguage.clear();
  }
  PublishParameters(out);
  opt_.VideoDisable = false;
  opt_.VideoStreamCopy = false;
  opt_.FramePixFmt = -1;
}

void TCustomFFmpeg::new_audio_stream(TOutputFile& file) {
  AVFormatContext* oc = file.Context.get();
  struct TDropCodecName {
    std::optional<std::string>& name;
    ~TDropCodecName() { name.reset(); }
  } drop{opt_.AudioCodecName};

  AVStream* st = NewOutputStream(file, AVMEDIA_TYPE_AUDIO);
  TOutputStream& out = file.Streams.back();
  AVCodecContext* defaults = codecDefaults_[AVMEDIA_TYPE_AUDIO].get();
  out.Codec->thread_count = opt_.ThreadCount;
  if (opt_.AudioCodecTag) out.Codec->codec_tag = opt_.AudioCodecTag;
  if (oc->oformat->flags & AVFMT_GLOBALHEADER) {
    out.Codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    defaults->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  // The layout the options ask for, or the usual one for the channel count.
  auto setLayout = [this](AVCodecContext* c) {
    av_channel_layout_uninit(&c->ch_layout);
    const uint64_t mask = static_cast<uint64_t>(opt_.AudioChannelLayout);
    if (mask != 0 && av_popcount64(mask) == opt_.AudioChannels)
      av_channel_layout_from_mask(&c->ch_layout, mask);
    else
      av_channel_layout_default(&c->ch_layout, opt_.AudioChannels);
  };

  if (opt_.AudioStreamCopy) {
    out.StreamCopy = true;
    outputCodecs_.push_back(nullptr);
    setLayout(out.Codec.get());
    out.Codec->sample_rate = opt_.AudioSampleRate;
  } else {
    CopyRecordedOptions(out.Codec.get(), defaults,
                        AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    const TCodecLookup lookup = FindCodecByName(opt_.AudioCodecName, AVMEDIA_TYPE_AUDIO, true,
                                                out.Codec->strict_std_compliance);
    if (!lookup.Ok) throw FFmpegException(lookup.Error);
    const AVCodecID id = lookup.Codec ? lookup.Codec->id
                                      : GuessCodec(oc->oformat, oc->url, AVMEDIA_TYPE_AUDIO);
    const AVCodec* encoder = lookup.Codec ? lookup.Codec : avcodec_find_encoder(id);
    outputCodecs_.push_back(lookup.Codec);
    out.Codec = ContextForEncoder(encoder, out.Codec.get());
    AVCodecContext* c = out.Codec.get();
    // The context was replaced for the encoder's own data: the options go in again.
    CopyRecordedOptions(c, defaults, AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    ApplyPrivateOptions(c);
    c->codec_id = id;
    if (opt_.AudioQScale > -99999) {
      c->flags |= AV_CODEC_FLAG_QSCALE;
      out.Quality = float(FF_QP2LAMBDA) * opt_.AudioQScale;
      c->global_quality = static_cast<int>(out.Quality);
    }
    setLayout(c);
    c->sample_fmt = static_cast<AVSampleFormat>(opt_.AudioSampleFmt);
    c->sample_rate = opt_.AudioSampleRate;
    if (encoder && encoder->sample_fmts) {
      bool listed = false;
      for (const AVSampleFormat* p = encoder->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p)
        listed = listed || *p == c->sample_fmt;
      if (!listed) c->sample_fmt = encoder->sample_fmts[0];
    }
    if (encoder && encoder->supported_samplerates) {
      const int best = NearestSampleRate(encoder->supported_samplerates, c->sample_rate);
      if (best != c->sample_rate) {
        Logger().Log(this, llWarning,
                     FormatText("Requested sampling rate unsupported using closest supported (%d)",
                            best));
        c->sample_rate = best;
      }
    }
  }
  out.Codec->time_base = AVRational{1, out.Codec->sample_rate > 0 ? out.Codec->sample_rate : 1};
  st->time_base = out.Codec->time_base;
  if (!opt_.AudioLanguage.empty()) {
    av_dict_set(&st->metadata, "language", opt_.AudioLanguage.c_str(), 0);
    opt_.AudioLanguage.clear();
  }
  PublishParameters(out);
  opt_.AudioDisable = false;
  opt_.AudioStreamCopy = false;
}

void TCustomFFmpeg::new_subtitle_stream(TOutputFile& file) {
  struct TDropCodecName {
    std::optional<std::string>& name;
    ~TDropCodecName() { name.reset(); }
  } drop{opt_.SubtitleCodecName};

  AVStream* st = NewOutputStream(file, AVMEDIA_TYPE_SUBTITLE);
  TOutputStream& out = file.Streams.back();
  if (opt_.SubtitleCodecTag) out.Codec->codec_tag = opt_.SubtitleCodecTag;
  if (opt_.SubtitleStreamCopy) {
    out.StreamCopy = true;
    outputCodecs_.push_back(nullptr);
  } else {
    AVCodecContext* defaults = codecDefaults_[AVMEDIA_TYPE_SUBTITLE].get();
    CopyRecordedOptions(out.Codec.get(), defaults,
                        AV_OPT_FLAG_SUBTITLE_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
    const TCodecLookup lookup = FindCodecByName(opt_.SubtitleCodecName, AVMEDIA_TYPE_SUBTITLE,
                                                true, out.Codec->strict_std_compliance);
    if (!lookup.Ok) throw FFmpegException(lookup.Error);
    outputCodecs_.push_back(lookup.Codec);
    if (lookup.Codec) {
      out.Codec = ContextForEncoder(lookup.Codec, out.Codec.get());
      CopyRecordedOptions(out.Codec.get(), defaults,
                          AV_OPT_FLAG_SUBTITLE_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
      ApplyPrivateOptions(out.Codec.get());
      out.Codec->codec_id = lookup.Codec->id;
    }
  }
  if (!opt_.SubtitleLanguage.empty()) {
    av_dict_set(&st->metadata, "language", opt_.SubtitleLanguage.c_str(), 0);
    opt_.SubtitleLanguage.clear();
  }
  PublishParameters(out);
  opt_.SubtitleDisable = false;
  opt_.SubtitleStreamCopy = false;
}

// ---------------------------------------------------------------------------------------------
// Clean-up

void TCustomFFmpeg::CloseFiles() {
  // In join mode one file stands in several slots: each file is closed once.
  std::vector<std::string> written;
  for (size_t i = 0; i < outputFiles_.size(); ++i) {
    if (i > 0 && outputFiles_[i] == outputFiles_[i - 1]) continue;
    AVFormatContext* oc = outputFiles_[i]->Context.get();
    if (oc->oformat && !(oc->oformat->flags & AVFMT_NOFILE) && oc->url) written.push_back(oc->url);
  }
  // A conversion that ended early still leaves files that can be read.
  for (size_t i = 0; i < outputFiles_.size(); ++i) {
    TOutputFile& file = *outputFiles_[i];
    if (file.HeaderWritten) {
      file.HeaderWritten = false;
      av_write_trailer(file.Context.get());
    }
  }
  outputFiles_.clear();  // closes the files
  // Only a regular file of our own is removed: never a device, a pipe or what a link points at.
  for (const std::string& name : written) {
    const std::string fileName = FromLibraryFileName(name);
    struct stat info {};
    if (lstat(fileName.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0)
      std::remove(fileName.c_str());
  }
  outputCodecs_.clear();
  inputStreams_.clear();
  inputFiles_.clear();
  joinMode_ = false;
}

}  // namespace orvo
