// The audio output path: keeps each audio output in step with its input clock (dropping samples,
// inserting silence or letting the resampler stretch), converts channels, rate and sample format,
// collects the samples into encoder-sized frames and encodes them; and the volume step.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <vector>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include "binding/FFmpegLogger.h"
#include "binding/file_helpers.h"
#include "engine/FFmpeg.h"
#include "engine/audio_samples.h"
#include "engine/transcode_state.h"

namespace orvo {

namespace {

// Corrections smaller than this many samples are left alone.
constexpr double kSyncTolerance = 50;

// Resampler settings: filter length, phase shift, linear interpolation, cut-off.
constexpr int kFilterSize = 16;
constexpr int kPhaseShift = 10;
constexpr int kLinearInterp = 0;
constexpr double kCutoff = 0.8;

template <typename T, typename Wide>
void ScaleIntegers(uint8_t* plane, size_t count, int volume, Wide bias, Wide low, Wide high) {
  T* p = reinterpret_cast<T*>(plane);
  for (size_t i = 0; i < count; ++i) {
    const Wide s = Wide(p[i]) - bias;
    const Wide v = (s * Wide(volume) + 128) >> 8;
    p[i] = static_cast<T>(std::clamp(v, low, high) + bias);
  }
}

template <typename T>
void ScaleFloats(uint8_t* plane, size_t count, int volume) {
  T* p = reinterpret_cast<T*>(plane);
  const T factor = T(volume) / T(256);
  for (size_t i = 0; i < count; ++i) p[i] = std::clamp(p[i] * factor, T(-1), T(1));
}

// A layout the resampler accepts: an unspecified order becomes the usual one for its count.
struct TLayout {
  explicit TLayout(const AVChannelLayout& from, int channels) {
    if (from.nb_channels == channels && from.order != AV_CHANNEL_ORDER_UNSPEC &&
        av_channel_layout_check(&from) && av_channel_layout_copy(&value, &from) == 0)
      return;
    av_channel_layout_uninit(&value);
    av_channel_layout_default(&value, channels);
  }
  ~TLayout() { av_channel_layout_uninit(&value); }
  TLayout(const TLayout&) = delete;
  TLayout& operator=(const TLayout&) = delete;
  AVChannelLayout value{};
};

// Truncation to int for log texts, saturated so any value converts.
int TruncToInt(double value) {
  return static_cast<int>(std::clamp(std::trunc(value), double(std::numeric_limits<int>::min()),
                                     double(std::numeric_limits<int>::max())));
}

const char* SampleFormatName(int format) {
  const char* name = av_get_sample_fmt_name(static_cast<AVSampleFormat>(format));
  return name ? name : "none";
}

// A converter from (in layout, rate, format) to (out layout, rate, format) with the engine's
// filter settings; null when the library refuses it. `stretchable` keeps the resampling stage
// even at equal rates, so drift compensation can be asked for at any time.
SwrContextPtr MakeConverter(const AVChannelLayout& outLayout, AVSampleFormat outFormat,
                            int outRate, const AVChannelLayout& inLayout, AVSampleFormat inFormat,
                            int inRate, bool stretchable) {
  SwrContext* raw = nullptr;
  // Older headers take the layouts as non-const pointers; they are only read.
  if (swr_alloc_set_opts2(&raw, const_cast<AVChannelLayout*>(&outLayout), outFormat, outRate,
                          const_cast<AVChannelLayout*>(&inLayout), inFormat, inRate, 0,
                          nullptr) < 0)
    return nullptr;
  SwrContextPtr swr(raw);
  av_opt_set_int(raw, "filter_size", kFilterSize, 0);
  av_opt_set_int(raw, "phase_shift", kPhaseShift, 0);
  av_opt_set_int(raw, "linear_interp", kLinearInterp, 0);
  av_opt_set_double(raw, "cutoff", kCutoff, 0);
  if (stretchable) av_opt_set_int(raw, "flags", SWR_FLAG_RESAMPLE, 0);
  if (swr_init(raw) < 0) return nullptr;
  return swr;
}

// Work-buffer sizing, in samples per channel of the encoder's format, for a block of `inSamples`
// input samples: the converted block twice over plus a margin, at least one encoder frame.
int64_t AudioWorkSamples(int64_t inSamples, int inRate, int outRate, int frameSize,
                         int outSampleBytes, int outChannels) {
  constexpr int64_t kLimit = std::numeric_limits<int32_t>::max();
  if (inSamples > kLimit) throw FFmpegException("Buffer sizes too large in do_audio_out");
  int64_t buf = (inSamples * outRate + inRate) / inRate;
  buf = std::max<int64_t>(buf * 2 + 10000, frameSize);
  if (buf * outSampleBytes * std::max(outChannels, 1) > kLimit)
    throw FFmpegException("Buffer sizes too large in do_audio_out");
  return buf;
}

// Makes `frame` a writable buffer of at least `samples` samples (exactly, when `exact`) in the
// given format and layout, reusing it when it already is one.
AVFrame* EnsureSampleFrame(FramePtr& frame, AVSampleFormat format, const AVChannelLayout& layout,
                           int rate, int samples, bool exact) {
  AVFrame* f = frame.get();
  if (f && f->data[0] && f->format == format && f->sample_rate == rate &&
      av_channel_layout_compare(&f->ch_layout, &layout) == 0 &&
      (exact ? f->nb_samples == samples : f->nb_samples >= samples) && av_frame_is_writable(f))
    return f;
  if (!f) {
    frame.reset(av_frame_alloc());
    f = frame.get();
    if (!f) throw FFmpegException("Out of memory in do_audio_out");
  }
  av_frame_unref(f);
  f->format = format;
  f->sample_rate = rate;
  f->nb_samples = samples;
  if (av_channel_layout_copy(&f->ch_layout, &layout) < 0 || av_frame_get_buffer(f, 0) < 0)
    throw FFmpegException("Out of memory in do_audio_out");
  return f;
}

// Pointers to each plane's samples from sample `offset` on.
std::vector<const uint8_t*> PlanesFrom(const uint8_t* const* data, AVSampleFormat format,
                                       int channels, int offset) {
  const bool planar = av_sample_fmt_is_planar(format);
  const size_t planes = planar ? size_t(channels) : 1;
  const size_t step = size_t(offset) * size_t(av_get_bytes_per_sample(format)) *
                      size_t(planar ? 1 : channels);
  std::vector<const uint8_t*> result(planes);
  for (size_t i = 0; i < planes; ++i) result[i] = data[i] + step;
  return result;
}

}  // namespace

int16_t ScaleSample16(int16_t sample, int volume) {
  const int64_t v = (int64_t(sample) * volume + 128) >> 8;
  return static_cast<int16_t>(std::clamp<int64_t>(v, -32768, 32767));
}

void ScaleSamples(uint8_t* const* planes, AVSampleFormat format, int channels, int samples,
                  int volume) {
  if (!planes || channels <= 0 || samples <= 0) return;
  const bool planar = av_sample_fmt_is_planar(format);
  const int planeCount = planar ? channels : 1;
  const size_t count = size_t(samples) * size_t(planar ? 1 : channels);
  for (int i = 0; i < planeCount; ++i) {
    uint8_t* p = planes[i];
    switch (av_get_packed_sample_fmt(format)) {
      case AV_SAMPLE_FMT_U8:
        ScaleIntegers<uint8_t, int64_t>(p, count, volume, 128, -128, 127);
        break;
      case AV_SAMPLE_FMT_S16:
        ScaleIntegers<int16_t, int64_t>(p, count, volume, 0, -32768, 32767);
        break;
      case AV_SAMPLE_FMT_S32:
        ScaleIntegers<int32_t, int64_t>(p, count, volume, 0, std::numeric_limits<int32_t>::min(),
                                        std::numeric_limits<int32_t>::max());
        break;
      case AV_SAMPLE_FMT_S64:
        ScaleIntegers<int64_t, __int128>(p, count, volume, 0,
                                         std::numeric_limits<int64_t>::min(),
                                         std::numeric_limits<int64_t>::max());
        break;
      case AV_SAMPLE_FMT_FLT: ScaleFloats<float>(p, count, volume); break;
      case AV_SAMPLE_FMT_DBL: ScaleFloats<double>(p, count, volume); break;
      default: return;
    }
  }
}

void TCustomFFmpeg::ApplyVolume(AVFrame* samples) const {
  if (!samples || opt_.AudioVolume == 256) return;
  ScaleSamples(samples->extended_data, static_cast<AVSampleFormat>(samples->format),
               samples->ch_layout.nb_channels, samples->nb_samples, opt_.AudioVolume);
}

void TCustomFFmpeg::SetupAudioOutput(TOutputStreamState& ost, TInputStreamState& ist) {
  const AVCodecContext* enc = ost.Encoder;
  const int channels = enc->ch_layout.nb_channels;
  const int frameBytes = av_get_bytes_per_sample(enc->sample_fmt) * channels;
  // The FIFO starts with room for 1024 bytes and grows as samples arrive.
  ost.Fifo.reset(frameBytes > 0
                     ? av_audio_fifo_alloc(enc->sample_fmt, channels, std::max(1, 1024 / frameBytes))
                     : nullptr);
  if (!ost.Fifo) throw FFmpegException("av_fifo_alloc fail");
  ost.ReformatPair = -1;
  ost.Resampler.reset();
  ost.Converter.reset();
  // The decoder cannot be asked for another channel count: the resampler converts channels.
  const AVCodecContext* dec = ist.Decoder;
  ost.AudioResample = dec->sample_rate != enc->sample_rate || opt_.AudioSyncMethod > 1 ||
                      (dec->ch_layout.nb_channels > 0 && dec->ch_layout.nb_channels != channels);
}

bool TCustomFFmpeg::PushAudioSamples(TOutputStreamState& ost, SwrContext* converter,
                                     const uint8_t* const* planes, int count) {
  AVCodecContext* enc = ost.Encoder;
  if (!converter) {
    if (count > 0 &&
        av_audio_fifo_write(ost.Fifo.get(),
                            reinterpret_cast<void**>(const_cast<uint8_t**>(planes)), count) < count)
      throw FFmpegException("av_fifo_realloc2() failed");
    return true;
  }
  const int channels = enc->ch_layout.nb_channels;
  const TLayout layout(enc->ch_layout, channels);
  for (;;) {
    const int room = swr_get_out_samples(converter, planes ? count : 0);
    if (room <= 0) return true;
    AVFrame* work = EnsureSampleFrame(run_->AudioWork, enc->sample_fmt, layout.value,
                                      enc->sample_rate, room, false);
    const int got =
        swr_convert(converter, work->extended_data, work->nb_samples,
                    planes ? const_cast<const uint8_t**>(planes) : nullptr, planes ? count : 0);
    if (got < 0) {
      if (opt_.ExitOnError) throw FFmpegException("av_audio_convert() failed");
      Logger().Log(this, llError, "av_audio_convert() failed");
      return false;
    }
    if (got > 0 &&
        av_audio_fifo_write(ost.Fifo.get(), reinterpret_cast<void**>(work->extended_data), got) <
            got)
      throw FFmpegException("av_fifo_realloc2() failed");
    // Input is consumed in one call; only draining needs to come back for more.
    if (planes || got == 0) return true;
  }
}

void TCustomFFmpeg::EncodeAudioFromFifo(TOutputStreamState& ost, int take, int total) {
  AVCodecContext* enc = ost.Encoder;
  const int channels = enc->ch_layout.nb_channels;
  const TLayout layout(enc->ch_layout, channels);
  AVFrame* frame = EnsureSampleFrame(run_->AudioFrame, enc->sample_fmt, layout.value,
                                     enc->sample_rate, total, true);
  if (take > 0 &&
      av_audio_fifo_read(ost.Fifo.get(), reinterpret_cast<void**>(frame->extended_data), take) <
          take)
    throw FFmpegException("av_audio_fifo_read failed");
  if (total > take)
    av_samples_set_silence(frame->extended_data, take, total - take, channels, enc->sample_fmt);
  // The sync counter counts samples; the encoder's time base is normally one sample.
  frame->pts = av_rescale_q(ost.SyncOpts, AVRational{1, enc->sample_rate}, enc->time_base);
  ost.SyncOpts += total;
  ++ost.FrameNumber;
  EncodeAndWrite(ost, frame);
}

void TCustomFFmpeg::do_audio_out(TOutputStreamState& ost, TInputStreamState& ist,
                                 const AVFrame* samples) {
  if (!run_ || !ost.Fifo || !samples || samples->nb_samples <= 0) return;
  TTranscodeState& run = *run_;
  AVCodecContext* enc = ost.Encoder;
  const auto inFormat = static_cast<AVSampleFormat>(samples->format);
  const int inChannels = samples->ch_layout.nb_channels;
  const int inRate = samples->sample_rate > 0 ? samples->sample_rate : ist.Decoder->sample_rate;
  const int encChannels = enc->ch_layout.nb_channels;
  const int encRate = enc->sample_rate;
  const int osize = av_get_bytes_per_sample(enc->sample_fmt);
  const int frameSize = enc->frame_size;
  if (av_get_bytes_per_sample(inFormat) <= 0 || inChannels <= 0 || inRate <= 0 || encRate <= 0)
    return;
  const int count = samples->nb_samples;
  // The buffer limit holds for the block as it came; it is checked again with inserted silence.
  AudioWorkSamples(count, inRate, encRate, frameSize, osize, encChannels);

  // Conversion set-up. Channel counts or rates that differ need the resampler; otherwise a
  // converter made for this pair of sample formats, or nothing.
  if (inChannels != encChannels || inRate != encRate) ost.AudioResample = true;
  SwrContext* converter = nullptr;
  if (ost.AudioResample) {
    if (!ost.Resampler || ost.ResamplerFormat != inFormat || ost.ResamplerRate != inRate ||
        ost.ResamplerChannels != inChannels) {
      const TLayout inLayout(samples->ch_layout, inChannels);
      const TLayout outLayout(enc->ch_layout, encChannels);
      ost.Resampler = MakeConverter(outLayout.value, enc->sample_fmt, encRate, inLayout.value,
                                    inFormat, inRate, opt_.AudioSyncMethod > 1);
      if (!ost.Resampler)
        throw FFmpegException(FormatText("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                                     inChannels, inRate, encChannels, encRate));
      ost.ResamplerFormat = inFormat;
      ost.ResamplerRate = inRate;
      ost.ResamplerChannels = inChannels;
    }
    converter = ost.Resampler.get();
  } else if (inFormat != enc->sample_fmt) {
    const int pair = enc->sample_fmt + AV_SAMPLE_FMT_NB * inFormat;
    if (pair != ost.ReformatPair) {
      ost.Converter.reset();
      // Same channels on both sides: only the sample format changes.
      const TLayout layout(samples->ch_layout, inChannels);
      ost.Converter = MakeConverter(layout.value, enc->sample_fmt, encRate, layout.value,
                                    inFormat, inRate, false);
      if (!ost.Converter)
        throw FFmpegException(FormatText("Cannot convert %s sample format to %s sample format",
                                     SampleFormatName(inFormat),
                                     SampleFormatName(enc->sample_fmt)));
      ost.ReformatPair = pair;
    }
    converter = ost.Converter.get();
  }

  // Clock keeping against the sync stream's time.
  const TInputStreamState& sync = run.InputStreams.at(size_t(ost.SyncIndex));
  const int64_t syncTime = sync.Pts - opt_.StartTime;  // µs
  // Samples converted but not yet encoded: those in the FIFO and those the resampler's filter
  // still holds back. Counting the latter keeps the stamps on the sound they label, so a muxer
  // that fills its frames by sample count (DV) is never one block short.
  const int64_t queued = av_audio_fifo_size(ost.Fifo.get()) +
                         (ost.Resampler ? swr_get_delay(ost.Resampler.get(), encRate) : 0);
  int skip = 0;
  int64_t silence = 0;
  if (opt_.AudioSyncMethod != 0) {
    // delta = input time x rate - output samples, exact in µs units before the one division,
    // so that a gap of exactly 50 samples stays 50 from block to block.
    const __int128 scaled = __int128(syncTime) * encRate -
                            (__int128(ost.SyncOpts) + queued) * 1000000;
    const double delta = double(scaled) / 1000000.0;
    const double idelta = delta * inRate / encRate;
    if (std::fabs(delta) > kSyncTolerance) {
      if (ist.IsStart || std::fabs(delta) > encRate * double(opt_.AudioDriftThreshold)) {
        // Gaps past the 32-bit range fail the buffer limit; clamping keeps the conversion defined.
        const double limit = double(std::numeric_limits<int32_t>::max());
        const int64_t sampleDelta = int64_t(std::clamp(std::trunc(idelta), -limit - 1, limit + 1));
        if (sampleDelta < 0) {
          skip = int(std::min<int64_t>(-sampleDelta, count));
          if (opt_.Verbose > 2)
            Logger().LogFmt(this, llVerbose, "discarding %d audio samples", TruncToInt(-delta));
          if (skip >= count) return;
          ist.IsStart = false;
        } else {
          AudioWorkSamples(count + sampleDelta, inRate, encRate, frameSize, osize, encChannels);
          silence = sampleDelta;
          ist.IsStart = false;
          if (opt_.Verbose > 2)
            Logger().LogFmt(this, llVerbose, "adding %d audio samples of silence", TruncToInt(delta));
        }
      } else if (opt_.AudioSyncMethod >= 2) {
        const int comp = std::clamp(TruncToInt(delta), -opt_.AudioSyncMethod,
                                    opt_.AudioSyncMethod);
        if (!ost.Resampler)
          throw FFmpegException("Assertion failure: audio drift compensation without a resampler");
        if (opt_.Verbose > 2)
          Logger().LogFmt(this, llVerbose, "compensating audio timestamp drift:%f compensation:%d in:%d",
                          delta, comp, encRate);
        if (swr_set_compensation(ost.Resampler.get(), comp, encRate) < 0)
          Logger().Log(this, llError, "swr_set_compensation failed");
      }
    }
  } else {
    ost.SyncOpts = av_rescale(syncTime, encRate, 1000000) - queued;
  }

  // Conversion into the FIFO: the inserted silence first, then the block past what was dropped.
  if (converter) {
    const int64_t room = AudioWorkSamples(count - skip + silence, inRate, encRate, frameSize,
                                          osize, encChannels);
    const TLayout layout(enc->ch_layout, encChannels);
    EnsureSampleFrame(run.AudioWork, enc->sample_fmt, layout.value, encRate, int(room), false);
  }
  if (silence > 0) {
    const TLayout layout(samples->ch_layout, inChannels);
    AVFrame* quiet = EnsureSampleFrame(run.AudioSilence, inFormat, layout.value, inRate,
                                       int(silence), false);
    av_samples_set_silence(quiet->extended_data, 0, int(silence), inChannels, inFormat);
    if (!PushAudioSamples(ost, converter, quiet->extended_data, int(silence))) return;
  }
  const std::vector<const uint8_t*> planes =
      PlanesFrom(samples->extended_data, inFormat, inChannels, skip);
  if (!PushAudioSamples(ost, converter, planes.data(), count - skip)) return;

  // Encoding: whole encoder frames; encoders without a frame size take the block as it is.
  if (frameSize > 1) {
    while (av_audio_fifo_size(ost.Fifo.get()) >= frameSize)
      EncodeAudioFromFifo(ost, frameSize, frameSize);
  } else {
    const int block = av_audio_fifo_size(ost.Fifo.get());
    if (block > 0) EncodeAudioFromFifo(ost, block, block);
  }
}

void TCustomFFmpeg::FlushAudioFifo(TOutputStreamState& ost) {
  if (!run_ || !ost.Fifo || !ost.EncoderOpen) return;
  AVCodecContext* enc = ost.Encoder;
  // The resampler's filter still holds the last few samples.
  if (ost.Resampler) PushAudioSamples(ost, ost.Resampler.get(), nullptr, 0);
  const int frameSize = enc->frame_size;
  if (frameSize <= 1) {
    const int block = av_audio_fifo_size(ost.Fifo.get());
    if (block > 0) EncodeAudioFromFifo(ost, block, block);
    return;
  }
  while (av_audio_fifo_size(ost.Fifo.get()) >= frameSize)
    EncodeAudioFromFifo(ost, frameSize, frameSize);
  const int rest = av_audio_fifo_size(ost.Fifo.get());
  if (rest == 0) return;
  const bool shortLast = enc->codec && (enc->codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME |
                                                                    AV_CODEC_CAP_VARIABLE_FRAME_SIZE));
  EncodeAudioFromFifo(ost, rest, shortLast ? rest : frameSize);
}

}  // namespace orvo
