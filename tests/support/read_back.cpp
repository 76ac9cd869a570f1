#include "support/read_back.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "binding/av_handles.h"
#include "engine/media_texts.h"

namespace orvo::testing {

namespace {

// A file opened, with its best stream of one kind that has a decoder.
struct TBestStream {
  bool Opened = false;  // the container opened and its streams were found
  std::string Error;    // the step that failed
  InputFormatContextPtr Input;
  int Index = -1;
  const AVCodec* Codec = nullptr;
  bool Found() const { return Index >= 0 && Codec; }
};

TBestStream FindBestStream(const std::string& path, AVMediaType kind) {
  TBestStream best;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
    best.Error = "cannot open " + path;
    return best;
  }
  best.Input.reset(raw);
  if (avformat_find_stream_info(best.Input.get(), nullptr) < 0) {
    best.Error = "no stream information in " + path;
    return best;
  }
  best.Opened = true;
  best.Index = av_find_best_stream(best.Input.get(), kind, -1, -1, &best.Codec, 0);
  if (!best.Found())
    best.Error = std::string("no ") + av_get_media_type_string(kind) + " stream in " + path;
  return best;
}

// Sends every packet of stream `index` to `dec`, then flushes it; `seen` is told of each packet
// before it is sent, `receive` is called after every send.
void DecodeStream(AVFormatContext* ic, int index, AVCodecContext* dec,
                  const std::function<void(const AVPacket&)>& seen,
                  const std::function<void()>& receive) {
  PacketPtr packet(av_packet_alloc());
  while (av_read_frame(ic, packet.get()) >= 0) {
    if (packet->stream_index == index) {
      seen(*packet);
      avcodec_send_packet(dec, packet.get());
      receive();
    }
    av_packet_unref(packet.get());
  }
  avcodec_send_packet(dec, nullptr);
  receive();
}

}  // namespace

TVideoRead ReadFirstVideo(const std::string& path) {
  TVideoRead info;
  TBestStream best = FindBestStream(path, AVMEDIA_TYPE_VIDEO);
  info.Opened = best.Opened;
  info.Error = best.Error;
  if (!best.Found()) return info;
  AVFormatContext* ic = best.Input.get();
  const int index = best.Index;
  const AVCodec* codec = best.Codec;
  const AVStream* st = ic->streams[index];
  info.Codec = codec->id;
  CodecContextPtr dec(avcodec_alloc_context3(codec));
  avcodec_parameters_to_context(dec.get(), st->codecpar);
  if (avcodec_open2(dec.get(), codec, nullptr) < 0) {
    info.Error = "cannot open the decoder of " + path;
    return info;
  }
  info.Decoding = true;
  FramePtr frame(av_frame_alloc());
  auto receive = [&] {
    while (avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
      if (info.Frames++ == 0) {
        info.Width = frame->width;
        info.Height = frame->height;
        for (int y = 0; y < frame->height; ++y) {
          const uint8_t* row = frame->data[0] + ptrdiff_t(y) * frame->linesize[0];
          info.FirstLuma.insert(info.FirstLuma.end(), row, row + frame->width);
        }
      }
      if (frame->best_effort_timestamp != AV_NOPTS_VALUE)
        info.LastTime = std::max(info.LastTime,
                                 double(frame->best_effort_timestamp) * av_q2d(st->time_base));
      av_frame_unref(frame.get());
    }
  };
  DecodeStream(ic, index, dec.get(), [&](const AVPacket&) { ++info.Packets; }, receive);
  return info;
}

double TAudioRead::Rms() const {
  double sum = 0;
  for (double v : Interleaved) sum += v * v;
  return Interleaved.empty() ? 0 : std::sqrt(sum / double(Interleaved.size()));
}

TAudioRead ReadFirstAudio(const std::string& path) {
  TAudioRead r;
  TBestStream best = FindBestStream(path, AVMEDIA_TYPE_AUDIO);
  if (!best.Found()) return r;
  AVFormatContext* ic = best.Input.get();
  const int index = best.Index;
  const AVStream* st = ic->streams[index];
  CodecContextPtr dec(avcodec_alloc_context3(best.Codec));
  if (!dec || avcodec_parameters_to_context(dec.get(), st->codecpar) < 0) return r;
  dec->pkt_timebase = st->time_base;
  if (avcodec_open2(dec.get(), nullptr, nullptr) < 0) return r;
  r.Opened = true;
  r.Codec = avcodec_get_name(st->codecpar->codec_id);
  r.Rate = st->codecpar->sample_rate;
  r.Channels = st->codecpar->ch_layout.nb_channels;
  const AVRational samples{1, r.Rate};
  FramePtr frame(av_frame_alloc());
  auto drain = [&] {
    while (avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
      const auto format = static_cast<AVSampleFormat>(frame->format);
      const int channels = frame->ch_layout.nb_channels;
      const bool planar = av_sample_fmt_is_planar(format);
      const int bytes = av_get_bytes_per_sample(format);
      r.FrameSamples.push_back(frame->nb_samples);
      r.Samples += frame->nb_samples;
      for (int i = 0; i < frame->nb_samples; ++i) {
        for (int c = 0; c < channels; ++c) {
          const uint8_t* p = planar ? frame->extended_data[c] + size_t(i) * bytes
                                    : frame->extended_data[0] + (size_t(i) * channels + c) * bytes;
          double v = 0;
          switch (av_get_packed_sample_fmt(format)) {
            case AV_SAMPLE_FMT_S16: {
              const int16_t s = *reinterpret_cast<const int16_t*>(p);
              r.S16.push_back(s);
              v = s / 32768.0;
              break;
            }
            case AV_SAMPLE_FMT_S32: v = *reinterpret_cast<const int32_t*>(p) / 2147483648.0; break;
            case AV_SAMPLE_FMT_FLT: v = *reinterpret_cast<const float*>(p); break;
            case AV_SAMPLE_FMT_DBL: v = *reinterpret_cast<const double*>(p); break;
            default: break;
          }
          r.Interleaved.push_back(v);
        }
      }
      av_frame_unref(frame.get());
    }
  };
  auto seen = [&](const AVPacket& packet) {
    r.PacketSamples.push_back(int(av_rescale_q(packet.duration, st->time_base, samples)));
    r.PacketPts.push_back(packet.pts == AV_NOPTS_VALUE
                              ? AV_NOPTS_VALUE
                              : av_rescale_q(packet.pts, st->time_base, samples));
  };
  DecodeStream(ic, index, dec.get(), seen, drain);
  return r;
}

double TStreamRead::Interval() const {
  if (Times.size() < 2) return 0;
  std::vector<double> steps;
  for (size_t i = 1; i < Times.size(); ++i) steps.push_back(Times[i] - Times[i - 1]);
  std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
  return steps[steps.size() / 2];
}

double TStreamRead::Duration() const {
  if (Kind == AVMEDIA_TYPE_AUDIO) return SampleRate > 0 ? double(Samples) / SampleRate : 0;
  if (Times.empty()) return 0;
  return Times.back() - Times.front() + Interval();
}

double TStreamRead::MaxStep() const {
  double step = 0;
  for (size_t i = 1; i < Times.size(); ++i) step = std::max(step, Times[i] - Times[i - 1]);
  return step;
}

const TStreamRead* TFileRead::Find(AVMediaType kind) const {
  for (const TStreamRead& s : Streams)
    if (s.Kind == kind) return &s;
  return nullptr;
}

TFileRead ReadBack(const std::string& path, bool keepPictures, bool keepPackets) {
  TFileRead result;
  AVFormatContext* raw = nullptr;
  if (int ret = avformat_open_input(&raw, path.c_str(), nullptr, nullptr); ret < 0) {
    result.Error = "cannot open: " + LibraryErrorText(ret);
    return result;
  }
  InputFormatContextPtr ic(raw);
  if (avformat_find_stream_info(ic.get(), nullptr) < 0) {
    result.Error = "no stream information";
    return result;
  }
  std::vector<CodecContextPtr> decoders(ic->nb_streams);
  result.Streams.resize(ic->nb_streams);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVCodecParameters* par = ic->streams[i]->codecpar;
    TStreamRead& s = result.Streams[i];
    s.Kind = par->codec_type;
    s.Codec = par->codec_id;
    s.Width = par->width;
    s.Height = par->height;
    s.SampleRate = par->sample_rate;
    s.Channels = par->ch_layout.nb_channels;
    s.Profile = par->profile;
    s.Level = par->level;
    s.StoredSampleRate = par->sample_rate;
    s.StoredBitRate = par->bit_rate;
    if (s.Kind != AVMEDIA_TYPE_VIDEO && s.Kind != AVMEDIA_TYPE_AUDIO) continue;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) {
      result.Error = std::string("no decoder for ") + avcodec_get_name(par->codec_id);
      return result;
    }
    decoders[i].reset(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(decoders[i].get(), par);
    decoders[i]->pkt_timebase = ic->streams[i]->time_base;
    if (avcodec_open2(decoders[i].get(), codec, nullptr) < 0) {
      result.Error = std::string("cannot open the decoder ") + codec->name;
      return result;
    }
  }
  result.Opened = true;
  PacketPtr packet(av_packet_alloc());
  FramePtr frame(av_frame_alloc());
  auto drain = [&](unsigned index) {
    TStreamRead& s = result.Streams[index];
    const AVRational tb = ic->streams[index]->time_base;
    for (;;) {
      const int ret = avcodec_receive_frame(decoders[index].get(), frame.get());
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return;
      if (ret < 0) {
        ++s.Errors;
        return;
      }
      ++s.Frames;
      const int64_t best = frame->best_effort_timestamp;
      const double time = best == AV_NOPTS_VALUE ? std::numeric_limits<double>::quiet_NaN()
                                                 : double(best) * av_q2d(tb);
      if (std::isnan(s.First)) s.First = time;
      if (s.Kind == AVMEDIA_TYPE_VIDEO) {
        if (!std::isnan(time)) s.Times.push_back(time);
        s.Width = frame->width;
        s.Height = frame->height;
        if (keepPictures) {
          std::vector<uint8_t> luma;
          for (int y = 0; y < frame->height; ++y)
            luma.insert(luma.end(), frame->data[0] + y * frame->linesize[0],
                        frame->data[0] + y * frame->linesize[0] + frame->width);
          s.Luma.push_back(std::move(luma));
        }
      } else {
        s.Samples += frame->nb_samples;
        s.SampleRate = frame->sample_rate;
        s.Channels = frame->ch_layout.nb_channels;
      }
      av_frame_unref(frame.get());
    }
  };
  while (av_read_frame(ic.get(), packet.get()) >= 0) {
    const unsigned index = unsigned(packet->stream_index);
    if (index < decoders.size() && decoders[index]) {
      TStreamRead& s = result.Streams[index];
      if (keepPackets) {
        s.Payloads.emplace_back(reinterpret_cast<const char*>(packet->data), size_t(packet->size));
        s.Keys.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
        s.PacketTimes.push_back(packet->pts == AV_NOPTS_VALUE
                                    ? std::numeric_limits<double>::quiet_NaN()
                                    : double(packet->pts) * av_q2d(ic->streams[index]->time_base));
      }
      if (avcodec_send_packet(decoders[index].get(), packet.get()) < 0) ++s.Errors;
      drain(index);
    }
    av_packet_unref(packet.get());
  }
  for (unsigned i = 0; i < decoders.size(); ++i) {
    if (!decoders[i]) continue;
    avcodec_send_packet(decoders[i].get(), nullptr);
    drain(i);
  }
  for (TStreamRead& s : result.Streams) std::sort(s.Times.begin(), s.Times.end());
  return result;
}

}  // namespace orvo::testing
