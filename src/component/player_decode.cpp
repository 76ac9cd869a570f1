// Decoding and synchronisation: the video thread and its picture queue, the refresh step that
// shows pictures on time and drops late ones, the audio device's callback (audio is the master
// clock), and the position and end reports.
#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "component/player_state.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

namespace orvo {

namespace {

struct GraphDeleter {
  void operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }
};
using GraphPtr = std::unique_ptr<AVFilterGraph, GraphDeleter>;

// buffer "src" -> buffersink "out" taking 4:2:0 planar only; the scaler between them is inserted
// by the library when the decoder's format differs.
struct VideoFilterChain {
  GraphPtr Graph;
  AVFilterContext* Source = nullptr;
  AVFilterContext* Sink = nullptr;
  int Width = 0, Height = 0, Format = AV_PIX_FMT_NONE;

  bool Matches(const AVFrame* frame) const {
    return Graph && frame->width == Width && frame->height == Height && frame->format == Format;
  }

  bool Build(const AVFrame* frame, AVRational timeBase, AVRational sampleAspect) {
    Graph.reset(avfilter_graph_alloc());
    Source = Sink = nullptr;
    if (!Graph) return false;
    av_opt_set(Graph.get(), "scale_sws_opts", "flags=4", 0);
    char args[256];
    snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d",
             frame->width, frame->height, frame->format, timeBase.num, timeBase.den,
             sampleAspect.num, sampleAspect.den > 0 ? sampleAspect.den : 1);
    if (avfilter_graph_create_filter(&Source, avfilter_get_by_name("buffer"), "src", args, nullptr,
                                     Graph.get()) < 0) {
      return false;
    }
    Sink = avfilter_graph_alloc_filter(Graph.get(), avfilter_get_by_name("buffersink"), "out");
    if (!Sink) return false;
    const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_NONE};
    if (av_opt_set_int_list(Sink, "pix_fmts", formats, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN) < 0 ||
        avfilter_init_str(Sink, nullptr) < 0 || avfilter_link(Source, 0, Sink, 0) < 0 ||
        avfilter_graph_config(Graph.get(), nullptr) < 0) {
      return false;
    }
    Width = frame->width;
    Height = frame->height;
    Format = frame->format;
    return true;
  }
};

double FrameDuration(PlayerState& is) {
  const AVRational rate = av_guess_frame_rate(is.Ic.get(), is.VideoSt, nullptr);
  if (rate.num > 0 && rate.den > 0) return av_q2d(av_inv_q(rate));
  return 1.0 / 25;
}

// The video decoder side of the video thread: packets in, pictures out, with the pts choice and
// the frame skipping.
class VideoDecoder {
 public:
  explicit VideoDecoder(PlayerState& is) : is_(is) {}

  // 1 with a picture in `frame`, 0 without one (flushed, skipped, end), -1 when aborted.
  int GetPicture(AVFrame* frame) {
    AVCodecContext* ctx = is_.VideoCtx.get();
    for (;;) {
      if (pending_) {
        const int rc = avcodec_receive_frame(ctx, frame);
        if (rc == 0) {
          if (Accept(frame)) return 1;
          av_frame_unref(frame);
          return 0;
        }
        pending_ = false;
        if (rc == AVERROR_EOF) {
          drained_ = true;
          // A seek past the last picture shows the last one.
          if (held_ && !std::isnan(is_.VideoSeekTarget.load())) {
            is_.VideoSeekTarget = NAN;
            av_frame_move_ref(frame, held_.get());
            held_.reset();
            return 1;
          }
        }
      }
      PacketPtr packet;
      if (is_.VideoQ.Get(packet, true) < 0) return -1;
      if (IsFlushPacket(packet.get())) {
        Flush();
        return 0;
      }
      if (packet->size == 0) {  // the end of the stream
        if (!sentEnd_) {
          sentEnd_ = true;
          avcodec_send_packet(ctx, nullptr);
          pending_ = true;
          continue;
        }
        if (drained_) {
          // Nothing more will come: a seek waiting for a picture must not wait on.
          if (is_.FlushSeen) is_.Core.FrameReadyEvent.Set();
          if (!is_.EndSignalled) ReportPosition(is_);
        }
        return 0;
      }
      if (sentEnd_) continue;  // the decoder has ended; only a seek restarts it
      // Receiving is drained before each send, so the decoder always takes the packet; a
      // broken packet gives no picture.
      avcodec_send_packet(ctx, packet.get());
      pending_ = true;
    }
  }

 private:
  void Flush() {
    avcodec_flush_buffers(is_.VideoCtx.get());
    pending_ = sentEnd_ = drained_ = false;
    held_.reset();
    {
      std::unique_lock lock(is_.PictLock);
      for (auto& slot : is_.PictQ) slot.TargetClock = 0;
      is_.PictCond.wait(lock, [&] { return is_.PictSize == 0 || is_.VideoQ.Aborted(); });
    }
    is_.VideoCurrentPos = -1;
    is_.LastDtsForFault = INT64_MIN;
    is_.LastPtsForFault = INT64_MIN;
    is_.FrameLastPts = static_cast<double>(AV_NOPTS_VALUE);
    is_.FrameLastDelay = 0;
    is_.FrameTimer = NowSeconds();
    is_.SkipFrames = 1.0;
    is_.SkipFramesIndex = 0;
    // A picture without a time (pts 0) takes the video clock's: after a seek that is the target,
    // not the time before the seek (a seek to the start would otherwise show its first picture
    // as the old position).
    const double target = is_.VideoSeekTarget;
    is_.VideoClock = std::isnan(target) ? 0.0 : target;
    is_.FlushSeen = true;
  }

  // The pts choice and the frame skipping; false drops the picture.
  bool Accept(AVFrame* frame) {
    const int64_t dts = frame->pkt_dts;
    const int64_t reordered = frame->pts;
    if (dts != AV_NOPTS_VALUE) {
      if (dts <= is_.LastDtsForFault) ++is_.FaultyDts;
      is_.LastDtsForFault = dts;
    }
    if (reordered != AV_NOPTS_VALUE) {
      if (reordered <= is_.LastPtsForFault) ++is_.FaultyPts;
      is_.LastPtsForFault = reordered;
    }
    int64_t pts = 0;
    if ((is_.FaultyPts < is_.FaultyDts || dts == AV_NOPTS_VALUE) && reordered != AV_NOPTS_VALUE) {
      pts = reordered;
    } else if (dts != AV_NOPTS_VALUE) {
      pts = dts;
    }
    frame->pts = pts;
    const double target = is_.VideoSeekTarget;
    if (!std::isnan(target)) {
      const double time = pts * av_q2d(is_.VideoSt.load()->time_base);
      if (time < target - FrameDuration(is_) / 2) {
        if (!held_) held_.reset(av_frame_alloc());
        av_frame_unref(held_.get());
        av_frame_move_ref(held_.get(), frame);
        return false;
      }
      is_.VideoSeekTarget = NAN;
      held_.reset();
    }
    is_.SkipFramesIndex += 1;
    const double skip = is_.SkipFrames;
    if (is_.SkipFramesIndex >= skip) {
      is_.SkipFramesIndex -= std::max(1.0, skip);
      return true;
    }
    return false;
  }

  PlayerState& is_;
  FramePtr held_;  // the latest picture dropped before a seek's target
  bool pending_ = false;  // the decoder may hold pictures
  bool sentEnd_ = false;
  bool drained_ = false;
};

double ComputeTargetTime(PlayerState& is, double framePts) {
  double delay = framePts - is.FrameLastPts;
  if (delay <= 0 || delay >= kNoSyncThreshold) {
    delay = is.FrameLastDelay;
  } else {
    is.FrameLastDelay = delay;
  }
  is.FrameLastPts = framePts;
  if (is.AudioSt) {
    const double diff = GetVideoClock(is) - GetAudioClock(is);
    const double threshold = std::max(kSyncThreshold, delay);
    if (std::fabs(diff) < kNoSyncThreshold) {
      if (diff <= -threshold) {
        delay = 0;
      } else if (diff >= threshold) {
        delay = 2 * delay;
      }
    }
  }
  is.FrameTimer = is.FrameTimer + delay;
  return is.FrameTimer;
}

void CopyPlane(uint8_t* dst, int dstPitch, const uint8_t* src, int srcPitch, int width, int height) {
  av_image_copy_plane(dst, dstPitch, src, srcPitch, width, height);
}

// Puts one filtered picture into the picture queue. False when the queue was aborted.
bool QueuePicture(PlayerState& is, FramePtr picture, double pts) {
  if (pts != 0) {
    is.VideoClock = pts;
  } else {
    pts = is.VideoClock;
  }
  const double frameDelay = FrameDuration(is);
  is.VideoClock = is.VideoClock + frameDelay + picture->repeat_pict * frameDelay * 0.5;

  std::unique_lock lock(is.PictLock);
  if (is.PictSize >= kPictureQueueSize && !is.RefreshPending) {
    is.SkipFrames = std::max(is.SkipFrames * (1 - kSkipFactor), 1 - kSkipFactor);
  }
  is.PictCond.wait(lock, [&] { return is.PictSize < kPictureQueueSize || is.VideoQ.Aborted(); });
  if (is.VideoQ.Aborted()) return false;

  VideoPicture& slot = is.PictQ[is.PictWIndex];
  const int width = picture->width & ~1;
  const int height = picture->height & ~1;
  if (!slot.Overlay || slot.Width != width || slot.Height != height) {
    slot.Allocated = false;
    lock.unlock();
    is.Core.PushEvent(TPlayerEventKind::Allocate);
    lock.lock();
    is.PictCond.wait(lock, [&] { return slot.Allocated || is.VideoQ.Aborted(); });
    if (is.VideoQ.Aborted()) return false;
  }
  TOverlay* overlay = slot.Overlay.get();
  lock.unlock();
  if (overlay && width > 0 && height > 0) {
    std::lock_guard overlayLock(*overlay);
    CopyPlane(overlay->Plane(0), overlay->Pitch(0), picture->data[0], picture->linesize[0], width,
              height);
    CopyPlane(overlay->Plane(1), overlay->Pitch(1), picture->data[1], picture->linesize[1],
              width / 2, height / 2);
    CopyPlane(overlay->Plane(2), overlay->Pitch(2), picture->data[2], picture->linesize[2],
              width / 2, height / 2);
    HookPicture(is, picture.get(), *overlay, pts);
  }
  lock.lock();
  slot.SampleAspect = picture->sample_aspect_ratio;
  slot.Frame = std::move(picture);
  slot.Pts = pts;
  slot.Pos = -1;
  is.PictWIndex = (is.PictWIndex + 1) % kPictureQueueSize;
  slot.TargetClock = ComputeTargetTime(is, pts);
  is.PictSize += 1;
  return true;
}

}  // namespace

void VideoThread(PlayerState* state) {
  PlayerState& is = *state;
  VideoDecoder decoder(is);
  VideoFilterChain chain;
  FramePtr frame(av_frame_alloc());
  const AVRational timeBase = is.VideoSt.load()->time_base;
  for (;;) {
    while (is.Paused && !is.VideoQ.Aborted() && !is.PausedAtSeek && !is.StartPausedFrames) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const int got = decoder.GetPicture(frame.get());
    if (got < 0) break;
    if (got == 0) continue;
    if (!chain.Matches(frame.get())) {
      if (!chain.Build(frame.get(), timeBase, is.VideoCtx->sample_aspect_ratio)) {
        is.Core.LogError("Cannot configure the video filter chain");
        break;
      }
      is.FilterWidth = av_buffersink_get_w(chain.Sink);
      is.FilterHeight = av_buffersink_get_h(chain.Sink);
      is.FilterFormat = av_buffersink_get_format(chain.Sink);
    }
    if (frame->sample_aspect_ratio.num == 0) frame->sample_aspect_ratio = is.VideoCtx->sample_aspect_ratio;
    if (av_buffersrc_add_frame(chain.Source, frame.get()) < 0) {
      av_frame_unref(frame.get());
      continue;
    }
    bool failed = false;
    for (;;) {
      FramePtr picture(av_frame_alloc());
      if (av_buffersink_get_frame(chain.Sink, picture.get()) < 0) break;
      if (is.AfterSeek && is.FlushSeen) {
        is.AfterSeek = false;
        is.PausedAtSeek = false;
      }
      const double pts = picture->pts == AV_NOPTS_VALUE ? 0 : picture->pts * av_q2d(timeBase);
      if (!QueuePicture(is, std::move(picture), pts)) {
        failed = true;
        break;
      }
      // Pictures decoded before a seek's flush do not answer the seek.
      if (is.FlushSeen) is.Core.FrameReadyEvent.Set();
      const int startPaused = is.StartPausedFrames;
      if (startPaused > 1) {
        is.StartPausedFrames = 0;
        is.Core.ReportState(TPlayState::psPause);
      } else if (startPaused == 1) {
        is.StartPausedFrames = 2;
      }
    }
    if (failed) break;
  }
}

// ---- clocks -----------------------------------------------------------------------------------

double GetAudioClock(PlayerState& is) {
  double pts = is.AudioClock;
  const int bytesPerSecond = is.AudioRate * 2 * is.AudioChannels;
  // What is heard now is behind what was decoded by the bytes not yet handed to the device and
  // by the device buffer the last callback filled, which plays after it.
  if (bytesPerSecond)
    pts -= static_cast<double>(is.AudioBufSize - is.AudioBufIndex + is.AudioHwBufSize) /
           bytesPerSecond;
  return pts;
}

double GetVideoClock(PlayerState& is) {
  if (is.Paused) return is.VideoCurrentPts;
  const double drift = is.VideoCurrentPtsDrift;
  if (drift != 0) return NowSeconds() + drift;
  return is.FileStartTime / 1e6;
}

double GetMasterClock(PlayerState& is) {
  return is.AudioSt ? GetAudioClock(is) : GetVideoClock(is);
}

// ---- refresh ----------------------------------------------------------------------------------

namespace {

void AdvanceReadSlot(PlayerState& is) {
  {
    std::lock_guard lock(is.PictLock);
    is.PictRIndex = (is.PictRIndex + 1) % kPictureQueueSize;
    is.PictSize -= 1;
  }
  is.PictCond.notify_all();
}

void ExpireSubtitles(PlayerState& is) {
  {
    std::lock_guard lock(is.SubLock);
    if (is.SubtitleStreamChanged) {
      while (is.SubSize > 0) {
        avsubtitle_free(&is.SubQ[is.SubRIndex].Sub);
        is.SubRIndex = (is.SubRIndex + 1) % kSubtitleQueueSize;
        --is.SubSize;
      }
      is.SubtitleStreamChanged = false;
    } else if (is.SubSize > 0) {
      const double now = is.VideoCurrentPts;
      SubtitlePicture& sp = is.SubQ[is.SubRIndex];
      const bool ended = now > sp.Pts + sp.Sub.end_display_time / 1000.0;
      bool nextStarted = false;
      if (is.SubSize > 1) {
        const SubtitlePicture& next = is.SubQ[(is.SubRIndex + 1) % kSubtitleQueueSize];
        nextStarted = now >= next.Pts + next.Sub.start_display_time / 1000.0;
      }
      if (ended || nextStarted) {
        avsubtitle_free(&sp.Sub);
        is.SubRIndex = (is.SubRIndex + 1) % kSubtitleQueueSize;
        --is.SubSize;
      }
    }
  }
  is.SubCond.notify_all();
}

}  // namespace

void VideoRefresh(PlayerState& is, bool consume) {
  bool dropped = false;
  if (is.VideoSt) {
    for (;;) {
      int size, rindex;
      {
        std::lock_guard lock(is.PictLock);
        size = is.PictSize;
        rindex = is.PictRIndex;
      }
      if (size == 0) {
        if (!consume) VideoDisplay(is);
        break;
      }
      const double now = NowSeconds();
      VideoPicture& slot = is.PictQ[rindex];
      double target, nextTarget;
      {
        std::lock_guard lock(is.PictLock);
        target = slot.TargetClock;
        nextTarget = size == 2 ? is.PictQ[(rindex + 1) % kPictureQueueSize].TargetClock
                               : target + is.VideoClock - slot.Pts;
      }
      if (now < target) return;
      is.VideoCurrentPts = slot.Pts;
      is.VideoCurrentPtsDrift = slot.Pts - now;
      is.VideoCurrentPos = slot.Pos;
      if (is.AfterSeek || (now > nextTarget && !is.IsCaptureDevice)) {
        is.SkipFrames = is.SkipFrames * (1 + kSkipFactor);
        if (size == 2 || now > nextTarget + kLateGrace || is.AfterSeek) {
          AdvanceReadSlot(is);
          dropped = true;
          continue;
        }
      }
      if (is.SubtitleSt) ExpireSubtitles(is);
      is.ShownIndex = rindex;
      VideoDisplay(is);
      if (consume) AdvanceReadSlot(is);
      break;
    }
  } else if (is.AudioSt) {
    VideoDisplay(is);
  }
  if (!dropped && (is.VideoSt || is.AudioSt)) ReportPosition(is);
}

// ---- audio ------------------------------------------------------------------------------------

namespace {

// Converts the decoded frame into the first buffer as signed 16-bit at the device's layout; the
// size in bytes, or -1.
int ConvertAudio(PlayerState& is, const AVFrame* frame) {
  const AVChannelLayout* layout = &frame->ch_layout;
  if (!is.Swr || frame->format != is.SwrFormat || frame->sample_rate != is.SwrRate ||
      av_channel_layout_compare(&frame->ch_layout, &is.SwrLayout) != 0) {
    is.Swr.reset();
    AVChannelLayout out{};
    av_channel_layout_default(&out, is.AudioChannels);
    SwrContext* swr = nullptr;
    const int rc = swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_S16, is.AudioRate, const_cast<AVChannelLayout*>(layout),
                                       static_cast<AVSampleFormat>(frame->format),
                                       frame->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&out);
    if (rc < 0 || swr_init(swr) < 0) {
      swr_free(&swr);
      const char* from = av_get_sample_fmt_name(static_cast<AVSampleFormat>(frame->format));
      is.Core.LogError(std::string("Cannot convert ") + (from ? from : "?") +
                       " sample format to s16 sample format");
      return -1;
    }
    is.Swr.reset(swr);
    is.SwrFormat = frame->format;
    is.SwrRate = frame->sample_rate;
    av_channel_layout_uninit(&is.SwrLayout);
    av_channel_layout_copy(&is.SwrLayout, layout);
  }
  uint8_t* out = is.AudioBuf.data();
  const int capacity = kAudioBufferSize / (2 * is.AudioChannels);
  const int samples = swr_convert(is.Swr.get(), &out, capacity,
                                  const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
  if (samples < 0) {
    is.Core.LogError("av_audio_convert() failed");
    return -1;
  }
  return samples * 2 * is.AudioChannels;
}

// Decodes the next piece of sound into the first buffer; its size in bytes, or -1 for none.
int AudioDecodeFrame(PlayerState& is, bool& packetPending) {
  AVCodecContext* ctx = is.AudioCtx.get();
  AVFrame* frame = is.AudioFrame.get();
  for (;;) {
    while (packetPending) {
      const int rc = avcodec_receive_frame(ctx, frame);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
        packetPending = false;
        break;
      }
      if (rc < 0) {
        is.Core.Log(llInfo, "avcodec_decode_audio2() failed");
        packetPending = false;
        break;
      }
      if (frame->pts != AV_NOPTS_VALUE) {
        is.AudioClock = av_q2d(is.AudioSt.load()->time_base) * frame->pts;
        const double target = is.AudioSeekTarget;
        if (!std::isnan(target) && frame->sample_rate > 0) {
          if (is.AudioClock + static_cast<double>(frame->nb_samples) / frame->sample_rate <= target) {
            av_frame_unref(frame);
            continue;
          }
          is.AudioSeekTarget = NAN;
        }
      }
      const int size = ConvertAudio(is, frame);
      av_frame_unref(frame);
      if (size <= 0) continue;
      is.AudioClock = is.AudioClock + static_cast<double>(size) / (2.0 * is.AudioChannels * is.AudioRate);
      return size;
    }
    if (is.Paused || is.AudioQ.Aborted()) return -1;
    PacketPtr packet;
    if (is.AudioQ.Get(packet, false) <= 0) return -1;
    if (IsFlushPacket(packet.get())) {
      avcodec_flush_buffers(ctx);
      continue;
    }
    if (packet->pts != AV_NOPTS_VALUE) is.AudioClock = av_q2d(is.AudioSt.load()->time_base) * packet->pts;
    if (avcodec_send_packet(ctx, packet.get()) < 0) {
      is.Core.Log(llInfo, "avcodec_decode_audio2() failed");
      continue;
    }
    packetPending = true;
  }
}

void AppendWaveform(PlayerState& is, int bytes) {
  std::lock_guard lock(is.SampleLock);
  const auto* samples = reinterpret_cast<const int16_t*>(is.AudioBuf.data());
  int count = bytes / 2;
  int i = 0;
  while (count > 0) {
    const int n = std::min(count, kSampleArraySize - is.SampleArrayIndex);
    std::memcpy(is.SampleArray.data() + is.SampleArrayIndex, samples + i, n * sizeof(int16_t));
    i += n;
    count -= n;
    is.SampleArrayIndex = (is.SampleArrayIndex + n) % kSampleArraySize;
  }
}

}  // namespace

void AudioCallback(void* opaque, uint8_t* stream, int length) {
  PlayerState& is = *static_cast<PlayerState*>(opaque);
  is.Core.LastAudioCallback = NowMicros();
  while (length > 0) {
    if (is.AudioBufIndex >= is.AudioBufSize) {
      const int size = AudioDecodeFrame(is, is.AudioPacketPending);
      if (is.AudioQ.Aborted()) {
        std::memset(stream, 0, length);
        return;
      }
      if (size < 0) {
        std::memset(is.AudioBuf.data(), 0, 1024);
        is.AudioBufSize = 1024;
      } else {
        if (is.ShowMode) AppendWaveform(is, size);
        is.AudioBufSize = size;
      }
      is.AudioBufIndex = 0;
    }
    const int index = is.AudioBufIndex;
    const int n = std::min(length, is.AudioBufSize - index);
    std::memset(stream, 0, n);
    if (!is.Core.Mute) {
      SDL_MixAudioFormat(stream, is.AudioBuf.data() + index, AUDIO_S16SYS, static_cast<Uint32>(n),
                         std::clamp(is.Core.AudioVolume.load(), 0, SDL_MIX_MAXVOLUME));
    }
    length -= n;
    stream += n;
    is.AudioBufIndex = index + n;
  }
}

// ---- reports ----------------------------------------------------------------------------------

void ReportPosition(PlayerState& is) {
  if (is.IsImageSequence) return;
  std::lock_guard lock(is.ReportLock);
  const int64_t start = is.FileStartTime;
  const int64_t duration = is.FileDuration;
  int64_t pos;
  if (is.VideoSt) {
    pos = std::llround(GetVideoClock(is) * 1e6) - start;
  } else if (is.AudioSt) {
    pos = std::llround(GetAudioClock(is) * 1e6) - start;
    const int64_t audioDuration = is.AudioDuration;
    if (audioDuration > 0 && pos >= audioDuration && pos < duration) pos = duration;
  } else {
    return;
  }
  TPlayerCore& core = is.Core;
  if (duration > 0 && pos >= duration) {
    if (core.LastReportedPosition != duration) core.LastReportedPosition = 0;
    pos = duration;
  }
  core.CurrentPosition = pos;
  const int64_t last = core.LastReportedPosition;
  if (last == AV_NOPTS_VALUE || std::llabs(last - pos) > kPositionStep) {
    core.LastReportedPosition = pos;
    if (core.HasPositionHandler()) core.ReportPosition(pos);
  }
  if (!is.IsCaptureDevice && !is.EndSignalled && is.Drained) {
    if (is.VideoSt) is.EndSignalled = true;
    core.ReportState(TPlayState::psEnd);
  }
}

}  // namespace orvo
