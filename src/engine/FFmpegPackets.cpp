// The per-packet half of a conversion: decoding (or copying) one input packet, handing the
// result to the output streams it feeds, draining decoders and encoders at the end of an input,
// writing packets through the bitstream filters and the interleaving writer, and the report.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <thread>

extern "C" {
#include <libavutil/intreadwrite.h>
#include <libavutil/time.h>
}

#include "binding/FFmpegLogger.h"
#include "binding/file_helpers.h"
#include "engine/FFmpeg.h"
#include "engine/transcode_state.h"

namespace orvo {

namespace {

int64_t FrameDuration(const AVFrame* frame) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
  return frame->duration;
#else
  return frame->pkt_duration;
#endif
}

constexpr size_t kSubtitleBufferSize = 1024 * 1024;

}  // namespace

int TCustomFFmpeg::ProcessPacket(TInputStreamState& ist, int istIndex, const AVPacket* packet) {
  AVStream* st = ist.Stream;
  const AVMediaType kind = st->codecpar->codec_type;
  if (ist.NextPts == AV_NOPTS_VALUE) ist.NextPts = ist.Pts;
  if (packet && packet->dts != AV_NOPTS_VALUE)
    ist.NextPts = ist.Pts = av_rescale_q(packet->dts, st->time_base, AV_TIME_BASE_Q);

  if (!packet) {
    // End of the input: what the decoder still holds, then the encoders it feeds.
    if (ist.DecodingNeeded && ist.DecoderOpen &&
        (kind == AVMEDIA_TYPE_VIDEO || kind == AVMEDIA_TYPE_AUDIO)) {
      if (avcodec_send_packet(ist.Decoder, nullptr) >= 0) {
        FramePtr frame(av_frame_alloc());
        if (!frame) throw FFmpegException("av_frame_alloc failed");
        while (avcodec_receive_frame(ist.Decoder, frame.get()) >= 0) {
          OutputDecodedFrame(ist, istIndex, frame.get());
          av_frame_unref(frame.get());
        }
      }
    }
    FlushEncoders(ist, istIndex);
    return 0;
  }

  if (!ist.DecodingNeeded) {
    // Stream copy: the clock advances by the packet's length.
    if (kind == AVMEDIA_TYPE_AUDIO && st->codecpar->frame_size > 0 && st->codecpar->sample_rate > 0)
      ist.NextPts += int64_t(1000000) * st->codecpar->frame_size / st->codecpar->sample_rate;
    else if (packet->duration > 0)
      ist.NextPts += av_rescale_q(packet->duration, st->time_base, AV_TIME_BASE_Q);
    else if (kind == AVMEDIA_TYPE_VIDEO && st->avg_frame_rate.num > 0)
      ist.NextPts += av_rescale_q(1, av_inv_q(st->avg_frame_rate), AV_TIME_BASE_Q);
    if (opt_.StartTime == 0 || ist.Pts >= opt_.StartTime) {
      for (TOutputStreamState& ost : run_->OutputStreams) {
        if (ost.SourceIndex == istIndex && ost.StreamCopy) CopyPacket(ost, ist, *packet);
      }
    }
    return 0;
  }

  if (kind == AVMEDIA_TYPE_SUBTITLE) {
    AVSubtitle subtitle{};
    int got = 0;
    AVPacket* writable = const_cast<AVPacket*>(packet);
    if (avcodec_decode_subtitle2(ist.Decoder, &subtitle, &got, writable) < 0) return -1;
    if (!got) return 0;
    struct TFreeSubtitle {
      AVSubtitle& s;
      ~TFreeSubtitle() { avsubtitle_free(&s); }
    } release{subtitle};
    if (opt_.StartTime == 0 || ist.Pts >= opt_.StartTime) {
      const int64_t pts = packet->pts != AV_NOPTS_VALUE
                              ? av_rescale_q(packet->pts, st->time_base, AV_TIME_BASE_Q)
                              : AV_NOPTS_VALUE;
      for (TOutputStreamState& ost : run_->OutputStreams) {
        if (ost.SourceIndex == istIndex && ost.EncodingNeeded)
          OutputSubtitle(ost, ist, subtitle, pts);
      }
    }
    return 0;
  }
  if (kind != AVMEDIA_TYPE_VIDEO && kind != AVMEDIA_TYPE_AUDIO) return 0;

  int ret = avcodec_send_packet(ist.Decoder, packet);
  if (ret < 0 && ret != AVERROR(EAGAIN)) return -1;
  FramePtr frame(av_frame_alloc());
  if (!frame) throw FFmpegException("av_frame_alloc failed");
  int frames = 0;
  for (;;) {
    ret = avcodec_receive_frame(ist.Decoder, frame.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) return -1;
    // Pictures come out delayed by reordering; only sound says a packet held several frames.
    if (++frames == 2 && kind == AVMEDIA_TYPE_AUDIO &&
        ((!ist.ShowedMultipleFrames && opt_.Verbose > 0) || opt_.Verbose > 1)) {
      Logger().Log(this, llError, FormatText("Multiple frames in a packet from stream %d",
                                         ist.StreamIndex));
      ist.ShowedMultipleFrames = true;
    }
    OutputDecodedFrame(ist, istIndex, frame.get());
    av_frame_unref(frame.get());
  }
  return 0;
}

void TCustomFFmpeg::OutputDecodedFrame(TInputStreamState& ist, int istIndex, AVFrame* frame) {
  AVStream* st = ist.Stream;
  const AVMediaType kind = st->codecpar->codec_type;
  const int64_t best = frame->best_effort_timestamp;
  if (best != AV_NOPTS_VALUE)
    ist.Pts = av_rescale_q(best, st->time_base, AV_TIME_BASE_Q);
  else if (ist.NextPts != AV_NOPTS_VALUE)
    ist.Pts = ist.NextPts;

  if (kind == AVMEDIA_TYPE_AUDIO) {
    if (frame->sample_rate > 0)
      ist.NextPts = ist.Pts + int64_t(1000000) * frame->nb_samples / frame->sample_rate;
    if (opt_.AudioVolume != 256) {
      if (av_frame_make_writable(frame) < 0) throw FFmpegException("av_frame_make_writable failed");
      ApplyVolume(frame);
    }
  } else {
    int64_t duration = 0;
    if (FrameDuration(frame) > 0) {
      duration = av_rescale_q(FrameDuration(frame), st->time_base, AV_TIME_BASE_Q);
    } else {
      const AVRational rate = ist.Decoder->framerate.num ? ist.Decoder->framerate
                                                          : st->avg_frame_rate;
      if (rate.num > 0 && rate.den > 0)
        duration = av_rescale_q(1 + frame->repeat_pict, av_inv_q(rate), AV_TIME_BASE_Q);
    }
    ist.NextPts = ist.Pts + duration;
    ist.Quality = float(frame->quality);
    PreprocessPicture(ist, frame);
    if (filtersInUse_) PushFilterPicture(ist, frame);
  }

  // Real-time reading: never ahead of the wall clock.
  if (opt_.RateEmu) {
    const int64_t elapsed = av_gettime_relative() - ist.WallClockStart;
    if (ist.Pts > elapsed + 1000)
      std::this_thread::sleep_for(std::chrono::milliseconds((ist.Pts - elapsed) / 1000));
  }

  // Without copied timestamps the output starts at zero: what an input positioned by a start
  // time decodes before that point is not written (sound is cut to the sample).
  bool beforeStart = opt_.StartTime != 0 && ist.Pts < opt_.StartTime;
  FramePtr trimmed;
  if (!beforeStart && opt_.StartTime == 0 && !opt_.CopyTs && ist.Pts < 0) {
    beforeStart = true;
    if (kind == AVMEDIA_TYPE_AUDIO && frame->sample_rate > 0) {
      const int64_t skip =
          av_rescale_rnd(-ist.Pts, frame->sample_rate, AV_TIME_BASE, AV_ROUND_NEAR_INF);
      if (skip < frame->nb_samples) {
        trimmed.reset(av_frame_alloc());
        if (!trimmed || av_frame_ref(trimmed.get(), frame) < 0)
          throw FFmpegException("av_frame_ref failed");
        const auto format = static_cast<AVSampleFormat>(frame->format);
        const int channels = frame->ch_layout.nb_channels;
        const bool planar = av_sample_fmt_is_planar(format);
        const size_t step = size_t(skip) * size_t(av_get_bytes_per_sample(format)) *
                            size_t(planar ? 1 : channels);
        for (int i = 0; i < (planar ? channels : 1); ++i) trimmed->extended_data[i] += step;
        // With many channels the plane list is a separate copy of the first pointers.
        if (trimmed->extended_data != trimmed->data)
          for (int i = 0; i < AV_NUM_DATA_POINTERS && i < (planar ? channels : 1); ++i)
            trimmed->data[i] = trimmed->extended_data[i];
        trimmed->nb_samples -= int(skip);
        ist.Pts = 0;
        frame = trimmed.get();
        beforeStart = false;
      }
    }
  }
  if (beforeStart) {
    if (kind == AVMEDIA_TYPE_VIDEO && filtersInUse_) {
      for (TOutputStreamState& ost : run_->OutputStreams) {
        if (ost.SourceIndex == istIndex && ost.EncodingNeeded) {
          while (PullFilterPicture(ist, ost)) {
          }
        }
      }
    }
    return;
  }
  for (TOutputStreamState& ost : run_->OutputStreams) {
    if (ost.SourceIndex != istIndex || !ost.EncodingNeeded) continue;
    if (kind == AVMEDIA_TYPE_AUDIO) {
      do_audio_out(ost, ist, frame);
      continue;
    }
    auto encode = [&](AVFrame* picture) {
      const int size = EncodeVideoFrame(ost, ist, picture);
      if (opt_.VStatsFileName && size > 0) WriteVideoStats(ost, size);
    };
    if (filtersInUse_) {
      while (PullFilterPicture(ist, ost)) encode(ist.FilteredPicture.get());
    } else {
      encode(frame);
    }
  }
}

void TCustomFFmpeg::FlushEncoders(TInputStreamState&, int istIndex) {
  if (run_->KeepEncodersOpen) return;  // a join segment ended: the next one goes on encoding
  for (TOutputStreamState& ost : run_->OutputStreams) {
    if (ost.SourceIndex != istIndex || !ost.EncodingNeeded || !ost.EncoderOpen) continue;
    const AVMediaType kind = ost.Encoder->codec_type;
    if (kind == AVMEDIA_TYPE_AUDIO) FlushAudioFifo(ost);
    if (kind == AVMEDIA_TYPE_AUDIO || kind == AVMEDIA_TYPE_VIDEO) EncodeAndWrite(ost, nullptr);
  }
}

void TCustomFFmpeg::CopyPacket(TOutputStreamState& ost, TInputStreamState& ist,
                               const AVPacket& packet) {
  // Copying starts at a key frame unless asked otherwise.
  if (ost.FrameNumber == 0 && !(packet.flags & AV_PKT_FLAG_KEY) && !opt_.CopyInitialNonKeyframes)
    return;
  const AVMediaType kind = ist.Stream->codecpar->codec_type;
  if (kind == AVMEDIA_TYPE_AUDIO) {
    run_->AudioBytes += packet.size;
  } else if (kind == AVMEDIA_TYPE_VIDEO) {
    run_->VideoBytes += packet.size;
    ++ost.SyncOpts;
  }
  PacketPtr out(av_packet_clone(&packet));
  if (!out) throw FFmpegException("av_packet_clone failed");
  const AVRational in = ist.Stream->time_base;
  const AVRational outBase = ost.Stream->time_base;
  const int64_t startShift = av_rescale_q(opt_.StartTime, AV_TIME_BASE_Q, outBase);
  out->stream_index = ost.Stream->index;
  out->pts = packet.pts != AV_NOPTS_VALUE ? av_rescale_q(packet.pts, in, outBase) - startShift
                                          : AV_NOPTS_VALUE;
  out->dts = packet.dts != AV_NOPTS_VALUE
                 ? av_rescale_q(packet.dts, in, outBase)
                 : av_rescale_q(ist.Pts, AV_TIME_BASE_Q, outBase);
  out->dts -= startShift;
  out->duration = av_rescale_q(packet.duration, in, outBase);
  WriteFrame(ost, out.get());
  ++ost.FrameNumber;
}

int TCustomFFmpeg::EncodeAndWrite(TOutputStreamState& ost, const AVFrame* frame) {
  AVCodecContext* enc = ost.Encoder;
  const bool video = enc->codec_type == AVMEDIA_TYPE_VIDEO;
  const char* failure = video ? "Video encoding failed" : "Audio encoding failed";
  int ret = avcodec_send_frame(enc, frame);
  if (ret == AVERROR_EOF) return 0;  // already drained
  if (ret < 0) throw FFmpegException(failure);
  PacketPtr packet(av_packet_alloc());
  if (!packet) throw FFmpegException("av_packet_alloc failed");
  int bytes = 0;
  for (;;) {
    ret = avcodec_receive_packet(enc, packet.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) throw FFmpegException(failure);
    size_t size = 0;
    if (const uint8_t* stats =
            av_packet_get_side_data(packet.get(), AV_PKT_DATA_QUALITY_STATS, &size);
        stats && size >= 5) {
      ost.LastQuality = int(AV_RL32(stats));
      ost.LastPictureType = static_cast<AVPictureType>(stats[4]);
      const int errors = size >= 6 ? std::min<int>(stats[5], 4) : 0;
      for (int i = 0; i < errors && size >= size_t(8 + 8 * (i + 1)); ++i) {
        ost.LastError[size_t(i)] = AV_RL64(stats + 8 + 8 * i);
        ost.TotalError[size_t(i)] += ost.LastError[size_t(i)];
      }
    }
    if ((enc->flags & AV_CODEC_FLAG_PASS1) && ost.PassLog && enc->stats_out)
      std::fputs(enc->stats_out, ost.PassLog.get());
    // A picture lasts one tick of the encoder's clock; the stream's clock runs to its end.
    if (video && packet->duration <= 0) packet->duration = 1;
    if (ost.EncoderShift != 0) {
      if (packet->pts != AV_NOPTS_VALUE) packet->pts += ost.EncoderShift;
      if (packet->dts != AV_NOPTS_VALUE) packet->dts += ost.EncoderShift;
    }
    av_packet_rescale_ts(packet.get(), enc->time_base, ost.Stream->time_base);
    packet->stream_index = ost.Stream->index;
    bytes += packet->size;
    WriteFrame(ost, packet.get());
  }
  if (video)
    run_->VideoBytes += bytes;
  else
    run_->AudioBytes += bytes;
  return bytes;
}

void TCustomFFmpeg::OutputSubtitle(TOutputStreamState& ost, TInputStreamState&,
                                   AVSubtitle& subtitle, int64_t pts) {
  if (pts == AV_NOPTS_VALUE) {
    if (opt_.ExitOnError) throw FFmpegException("Subtitle packets must have a pts");
    Logger().Log(this, llError, "Subtitle packets must have a pts");
    return;
  }
  if (!ost.EncoderOpen) return;
  if (!run_->SubtitleBuffer) {
    run_->SubtitleBuffer.reset(static_cast<uint8_t*>(av_malloc(kSubtitleBufferSize)));
    if (!run_->SubtitleBuffer) throw FFmpegException("av_malloc failed");
  }
  AVCodecContext* enc = ost.Encoder;
  // DVB subtitles are drawn and then cleared by a second, empty one.
  const int passes = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE ? 2 : 1;
  for (int i = 0; i < passes; ++i) {
    subtitle.pts = pts + av_rescale_q(subtitle.start_display_time, AVRational{1, 1000},
                                      AV_TIME_BASE_Q);
    subtitle.end_display_time -= subtitle.start_display_time;
    const uint32_t start = subtitle.start_display_time;
    subtitle.start_display_time = 0;
    const unsigned rects = subtitle.num_rects;
    if (i == 1) subtitle.num_rects = 0;
    const int size =
        avcodec_encode_subtitle(enc, run_->SubtitleBuffer.get(), int(kSubtitleBufferSize), &subtitle);
    if (i == 1) subtitle.num_rects = rects;
    if (size < 0) throw FFmpegException("Subtitle encoding failed");
    PacketPtr packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), size) < 0)
      throw FFmpegException("av_new_packet failed");
    std::memcpy(packet->data, run_->SubtitleBuffer.get(), size_t(size));
    packet->stream_index = ost.Stream->index;
    packet->pts = av_rescale_q(subtitle.pts, AV_TIME_BASE_Q, ost.Stream->time_base);
    if (passes == 2)
      packet->pts += av_rescale_q(90 * (i == 0 ? int64_t(start) : int64_t(subtitle.end_display_time)),
                                  AVRational{1, 90000}, ost.Stream->time_base);
    packet->dts = packet->pts;
    WriteFrame(ost, packet.get());
    ++ost.FrameNumber;
  }
}

void TCustomFFmpeg::WriteFrame(TOutputStreamState& ost, AVPacket* packet) {
  AVFormatContext* oc = outputFiles_[size_t(ost.FileIndex)]->Context.get();
  std::vector<PacketPtr> packets;
  packets.emplace_back(av_packet_alloc());
  if (!packets.back()) throw FFmpegException("av_packet_alloc failed");
  av_packet_move_ref(packets.back().get(), packet);

  for (size_t f = 0; f < ost.Bsfs.size(); ++f) {
    AVBSFContext* bsf = ost.Bsfs[f].get();
    std::vector<PacketPtr> filtered;
    for (PacketPtr& in : packets) {
      PacketPtr keep(av_packet_clone(in.get()));
      int ret = av_bsf_send_packet(bsf, in.get());
      while (ret >= 0) {
        PacketPtr out(av_packet_alloc());
        if (!out) throw FFmpegException("av_packet_alloc failed");
        ret = av_bsf_receive_packet(bsf, out.get());
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
          ret = 0;
          break;
        }
        if (ret >= 0) filtered.push_back(std::move(out));
      }
      if (ret < 0) {
        const std::string text =
            FormatText("%s failed for stream %d, codec %s: %s", ost.BsfNames[f].c_str(),
                   ost.Stream->index,
                   ost.StreamCopy ? "copy" : avcodec_get_name(ost.Encoder->codec_id),
                   LibraryErrorText(ret).c_str());
        if (opt_.ExitOnError) throw FFmpegException(text);
        Logger().Log(this, llError, text);
        if (keep) filtered.push_back(std::move(keep));  // passes unchanged
      }
    }
    packets = std::move(filtered);
  }

  for (PacketPtr& p : packets) {
    const int64_t start = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
    if (start != AV_NOPTS_VALUE) {
      const int64_t end = start + std::max<int64_t>(p->duration, 0);
      if (ost.EndPts == AV_NOPTS_VALUE || end > ost.EndPts) ost.EndPts = end;
    }
    if (p->dts != AV_NOPTS_VALUE) ost.LastDts = p->dts;
    const int ret = av_interleaved_write_frame(oc, p.get());
    if (ret < 0)
      throw FFmpegException("av_interleaved_write_frame(): " + LibraryErrorText(ret));
  }
}

void TCustomFFmpeg::PrintReport(bool isLast, int fileIndex) {
  TTranscodeState& run = *run_;
  if (outputFiles_.empty()) return;
  AVFormatContext* oc = outputFiles_[0]->Context.get();
  int64_t totalSize = 0;
  if (oc->pb) {
    // The size on disk lags behind what is still in the write buffer.
    totalSize = std::max(avio_size(oc->pb), avio_tell(oc->pb));
    if (totalSize < 0) totalSize = 0;
  }

  std::string line;
  bool haveVideo = false;
  TConversionProgress info;
  info.FileIndex = fileIndex;
  info.Total = progressTotal_;
  double time = 1e10;
  const double elapsed = double(av_gettime_relative() - run.StartClock) / 1000000.0;
  for (TOutputStreamState& ost : run.OutputStreams) {
    const AVCodecContext* enc = ost.Encoder;
    const float q = ost.StreamCopy || ost.LastQuality < 0 ? -1.0f
                                                          : float(ost.LastQuality) / FF_QP2LAMBDA;
    if (!haveVideo && ost.Report && enc->codec_type == AVMEDIA_TYPE_VIDEO) {
      haveVideo = true;
      const int frame = ost.FrameNumber;
      if (frame < 1) return;
      const int fps = elapsed > 1 ? int(double(frame) / elapsed + 0.5) : 0;
      line += FormatText("frame=%5d fps=%3d q=%3.1f ", frame, fps, double(q));
      if (isLast) line += "L";
      if (opt_.QpHist) {
        const int qp = std::clamp(int(std::lround(q)), 0, 51);
        ++run.QpHistogram[size_t(qp)];
        for (int j = 0; j < 32; ++j)
          line += FormatText("%X", int(std::lround(std::log2(run.QpHistogram[size_t(j)] + 1))));
      }
      if ((enc->flags & AV_CODEC_FLAG_PSNR) && enc->width > 0 && enc->height > 0) {
        const double scale = double(enc->width) * enc->height * 255.0 * 255.0 *
                             (isLast ? std::max(frame, 1) : 1);
        double errorSum = 0;
        double scaleSum = 0;
        line += "PSNR=";
        const char planes[3] = {'Y', 'U', 'V'};
        for (int j = 0; j < 3; ++j) {
          const double error =
              double(isLast ? ost.TotalError[size_t(j)] : ost.LastError[size_t(j)]);
          const double s = j == 0 ? scale : scale / 4;
          errorSum += error;
          scaleSum += s;
          const double psnr = error > 0 ? -10.0 * std::log10(error / s) : 99.99;
          line += FormatText("%c:%2.2f ", planes[j], psnr);
        }
        const double psnr = errorSum > 0 ? -10.0 * std::log10(errorSum / scaleSum) : 99.99;
        line += FormatText("*:%2.2f ", psnr);
      }
      info.Quality = q;
      info.Fps = fps;
      info.Frame = frame;
    } else if (enc->codec_type == AVMEDIA_TYPE_VIDEO && ost.Report) {
      line += FormatText("q=%2.1f ", double(q));
    }
    // Streams of finished join segments stand for the same file streams as the current ones.
    if (ost.EndPts != AV_NOPTS_VALUE && (ost.Report || !joinMode_)) {
      const double t = double(ost.EndPts) * av_q2d(ost.Stream->time_base);
      if (t > 0 && t < time) time = t;
    }
  }
  // Nothing written yet counts as the shortest time rather than "forever". A stream that starts
  // writing late must not take the time back.
  if (time >= 1e10) time = 0;
  time = std::max(time, run.LastReportTime);
  run.LastReportTime = time;
  if (time < 0.01) time = 0.01;

  if (OnProgress || opt_.Verbose > 0 || isLast) {
    const double bitrate = double(totalSize) * 8 / time / 1000;
    line += FormatText("size=%8.0fkB time=%0.2f bitrate=%6.1fkbits/s", double(totalSize) / 1024,
                   time, bitrate);
    if (run.DupFrames || run.DropFrames)
      line += FormatText(" dup=%d drop=%d", run.DupFrames, run.DropFrames);
    if (run.DupDropChanged && opt_.Verbose >= 0 && OnProgress) {
      Logger().Log(this, llVerbose, line);
      run.DupDropChanged = false;
    }
    info.Time = int64_t(time * 1000000);
    info.Size = totalSize;
    info.BitRate = float(bitrate);
    if (OnProgress)
      OnProgress(*this, info);
    else if (opt_.Verbose >= 0)
      Logger().Log(this, llVerbose, line);
  }
  if (isLast && opt_.Verbose >= 0) {
    const double sum = double(run.VideoBytes + run.AudioBytes + run.ExtraBytes);
    const double overhead = sum > 0 ? (double(totalSize) - sum) * 100.0 / sum : 0.0;
    Logger().Log(this, llVerbose,
                 FormatText("video:%1.0fkB audio:%1.0fkB global headers:%1.0fkB muxing overhead %f%%\r\n",
                        double(run.VideoBytes) / 1024, double(run.AudioBytes) / 1024,
                        double(run.ExtraBytes) / 1024, overhead));
  }
}

}  // namespace orvo
