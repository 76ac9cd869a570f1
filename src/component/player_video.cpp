// What the play thread shows: the output surface's size, pictures fitted into it, the waveform of
// files without video, bitmap subtitles; and the frame hook that lets the application draw on each
// picture from the video thread.
#include <cmath>
#include <exception>

#include "component/player_display.h"
#include "component/player_state.h"

namespace orvo {

int VideoOpen(PlayerState& is, bool force) {
  TDisplaySurface* surface = is.Core.Surface;
  if (!surface) return -1;
  const TCustomPlayer& owner = is.Core.Owner;
  int width = 640, height = 480;
  if (owner.ScreenWidth > 0) {
    width = owner.ScreenWidth;
    height = owner.ScreenHeight;
  } else if (is.FilterWidth > 0) {
    width = is.FilterWidth & ~1;
    height = is.FilterHeight & ~1;
  }
  if (!force && is.SurfaceOpened && surface->Width() == width && surface->Height() == height &&
      is.Width == width && is.Height == height) {
    return 0;
  }
  if (!surface->SetVideoMode(width, height)) {
    is.Core.LogError("SDL: could not set video mode.");
    return -1;
  }
  if (is.Core.OwnWindow) surface->SetCaption("FFPlayer");
  is.SurfaceOpened = true;
  is.Width = surface->Width();
  is.Height = surface->Height();
  return 0;
}

void AllocPicture(PlayerState& is) {
  {
    std::lock_guard lock(is.PictLock);
    VideoPicture& slot = is.PictQ[is.PictWIndex];
    slot.Overlay.reset();
    slot.Frame.reset();
    slot.Width = is.FilterWidth & ~1;
    slot.Height = is.FilterHeight & ~1;
    slot.PixelFormat = static_cast<AVPixelFormat>(is.FilterFormat.load());
    if (slot.Width > 0 && slot.Height > 0) {
      slot.Overlay = std::make_unique<TOverlay>(slot.Width, slot.Height);
    }
    slot.Allocated = true;
  }
  is.PictCond.notify_all();
}

namespace {

void DisplayWaveform(PlayerState& is, TDisplaySurface& surface) {
  if (is.Width <= 0 || is.Height <= 0) return;
  std::lock_guard lock(is.SampleLock);
  TWaveformInput input;
  input.Samples = is.SampleArray.data();
  input.WriteIndex = is.SampleArrayIndex;
  input.Channels = is.AudioChannels > 0 ? is.AudioChannels : 1;
  input.SampleRate = is.AudioRate;
  input.UnplayedBytes = is.AudioBufSize - is.AudioBufIndex;
  const int64_t last = is.Core.LastAudioCallback;
  input.SinceLastCallbackUs = last > 0 ? NowMicros() - last : -1;
  if (!is.Paused) is.LastStart = WaveformStart(input, is.Width);
  if (is.WaveBitmap.Width() != is.Width || is.WaveBitmap.Height() != is.Height) {
    is.WaveBitmap.SetSize(is.Width, is.Height);
  }
  DrawWaveform(input, is.LastStart, is.WaveBitmap);
  surface.DisplayBitmap(is.WaveBitmap);
}

void BlendDueSubtitle(PlayerState& is, VideoPicture& slot) {
  std::lock_guard lock(is.SubLock);
  if (is.SubSize <= 0) return;
  const SubtitlePicture& sp = is.SubQ[is.SubRIndex];
  if (slot.Pts < sp.Pts + sp.Sub.start_display_time / 1000.0) return;
  std::lock_guard overlayLock(*slot.Overlay);
  for (unsigned i = 0; i < sp.Sub.num_rects; ++i) {
    const AVSubtitleRect* rect = sp.Sub.rects[i];
    if (rect->type != SUBTITLE_BITMAP || !rect->data[0] || !rect->data[1]) continue;
    BlendSubtitleRect(*slot.Overlay, *rect, reinterpret_cast<const uint32_t*>(rect->data[1]));
  }
}

}  // namespace

void VideoDisplay(PlayerState& is) {
  TDisplaySurface* surface = is.Core.Surface;
  if (!surface) return;
  if (!is.SurfaceOpened && VideoOpen(is, false) < 0) return;
  if (is.AudioSt && is.ShowMode) {
    DisplayWaveform(is, *surface);
    return;
  }
  if (!is.VideoSt) return;
  const int index = is.ShownIndex;
  if (index < 0) return;
  VideoPicture& slot = is.PictQ[index];
  if (!slot.Overlay) return;
  if (is.SubtitleSt) BlendDueSubtitle(is, slot);
  const TRect area = PictureArea(is.Core.AspectRatio, slot.SampleAspect, slot.Width, slot.Height,
                                 is.XLeft, is.YTop, is.Width, is.Height);
  std::lock_guard overlayLock(*slot.Overlay);
  surface->DisplayOverlay(*slot.Overlay, area);
}

void HookPicture(PlayerState& is, const AVFrame* source, TOverlay& overlay, double pts) {
  TCustomPlayer& owner = is.Core.Owner;
  if (!owner.Hook || !owner.OnHook) return;
  std::lock_guard lock(is.Core.HookLock);
  TBitmapConverter& converter = is.Core.HookConverter;
  if (!converter.PictureToBitmap(source->data, source->linesize,
                                 static_cast<AVPixelFormat>(source->format), overlay.Height(),
                                 overlay.Width())) {
    is.Core.LogError("Cannot initialize the toRGB conversion context");
    return;
  }
  TBitmap& bitmap = *converter.Bitmap();
  try {
    std::lock_guard canvas(bitmap);
    owner.OnHook(owner, bitmap, std::llround(pts * 1e6) - is.FileStartTime);
  } catch (const std::exception& e) {
    is.Core.LogError(std::string("Error occurs OnHook: ") + e.what());
    return;
  } catch (...) {
    is.Core.LogError("Error occurs OnHook: ");
    return;
  }
  uint8_t* const planes[4] = {overlay.Plane(0), overlay.Plane(1), overlay.Plane(2), nullptr};
  const int pitches[4] = {overlay.Pitch(0), overlay.Pitch(1), overlay.Pitch(2), 0};
  if (!converter.BitmapToPicture(planes, pitches, static_cast<AVPixelFormat>(source->format),
                                 overlay.Height(), overlay.Width())) {
    is.Core.LogError("Cannot initialize the fromRGB conversion context");
  }
}

void SubtitleThread(PlayerState* state) {
  PlayerState& is = *state;
  const AVRational timeBase = is.SubtitleSt.load()->time_base;
  for (;;) {
    while (is.Paused && !is.SubtitleQ.Aborted() && !is.PausedAtSeek) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    PacketPtr packet;
    if (is.SubtitleQ.Get(packet, true) < 0) break;
    if (IsFlushPacket(packet.get())) {
      avcodec_flush_buffers(is.SubtitleCtx.get());
      continue;
    }
    {
      std::unique_lock lock(is.SubLock);
      is.SubCond.wait(lock, [&] {
        return is.SubSize < kSubtitleQueueSize || is.SubtitleQ.Aborted();
      });
    }
    if (is.SubtitleQ.Aborted()) break;
    // The write slot is outside the queue, so it is filled without the lock.
    SubtitlePicture& sp = is.SubQ[is.SubWIndex];
    int got = 0;
    if (avcodec_decode_subtitle2(is.SubtitleCtx.get(), &sp.Sub, &got, packet.get()) < 0) got = 0;
    if (!got) continue;
    if (sp.Sub.format != 0) {
      avsubtitle_free(&sp.Sub);
      continue;
    }
    sp.Pts = packet->pts != AV_NOPTS_VALUE ? av_q2d(timeBase) * packet->pts : 0;
    for (unsigned i = 0; i < sp.Sub.num_rects; ++i) {
      AVSubtitleRect* rect = sp.Sub.rects[i];
      if (rect->type != SUBTITLE_BITMAP || !rect->data[1]) continue;
      auto* palette = reinterpret_cast<uint32_t*>(rect->data[1]);
      for (int j = 0; j < rect->nb_colors; ++j) palette[j] = PaletteEntryToYuva(palette[j]);
    }
    std::lock_guard lock(is.SubLock);
    is.SubWIndex = (is.SubWIndex + 1) % kSubtitleQueueSize;
    is.SubSize += 1;
  }
}

}  // namespace orvo
