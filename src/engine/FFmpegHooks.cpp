// What happens to decoded pictures before they are scaled and encoded (deinterlacing, the
// application's custom hook, frame-hook plug-ins) and the previews taken from the pictures about
// to be encoded.
#include <mutex>

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/time.h>
}

#include "binding/FFmpegLogger.h"
#include "engine/FFmpeg.h"
#include "engine/transcode_state.h"

namespace orvo {

namespace {

// Guards every engine's preview flags and previewer, so the application can switch previews
// while tasks run. Never held while a callback or the preview window runs.
std::mutex& PreviewLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

bool TDeinterlacer::Build(const AVFrame* picture) {
  Graph.reset(avfilter_graph_alloc());
  if (!Graph) return false;
  // yadif fed one picture and then the end of the stream interpolates from that picture
  // alone; the others of its kind hold a picture back.
  const char* chain = "yadif=mode=send_frame:parity=auto:deint=all";
  char args[160];
  std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/25:pixel_aspect=1/1",
                picture->width, picture->height, picture->format);
  if (avfilter_graph_create_filter(&Source, avfilter_get_by_name("buffer"), "src", args,
                                   nullptr, Graph.get()) < 0)
    return false;
  if (avfilter_graph_create_filter(&Sink, avfilter_get_by_name("buffersink"), "out", nullptr,
                                   nullptr, Graph.get()) < 0)
    return false;
  // The picture keeps its format.
  const int formats[] = {picture->format, AV_PIX_FMT_NONE};
  if (av_opt_set_int_list(Sink, "pix_fmts", formats, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN) < 0)
    return false;
  AVFilterInOut* outputs = avfilter_inout_alloc();
  AVFilterInOut* inputs = avfilter_inout_alloc();
  std::unique_ptr<AVFilterInOut*, void (*)(AVFilterInOut**)> freeOutputs(&outputs,
                                                                         avfilter_inout_free);
  std::unique_ptr<AVFilterInOut*, void (*)(AVFilterInOut**)> freeInputs(&inputs,
                                                                        avfilter_inout_free);
  if (!outputs || !inputs) return false;
  outputs->name = av_strdup("in");
  outputs->filter_ctx = Source;
  inputs->name = av_strdup("out");
  inputs->filter_ctx = Sink;
  if (avfilter_graph_parse_ptr(Graph.get(), chain, &inputs, &outputs, nullptr) < 0) return false;
  if (avfilter_graph_config(Graph.get(), nullptr) < 0) return false;
  return true;
}

bool TDeinterlacer::Run(AVFrame* picture) {
  // The graph ends with each picture, so it is built for every one.
  if (!Build(picture)) {
    Graph.reset();
    return false;
  }
  FramePtr in(av_frame_clone(picture));
  FramePtr out(av_frame_alloc());
  if (!in || !out) return false;
  in->pts = 0;
  const bool ok = av_buffersrc_add_frame_flags(Source, in.get(), AV_BUFFERSRC_FLAG_KEEP_REF) >= 0 &&
                  av_buffersrc_add_frame_flags(Source, nullptr, 0) >= 0 &&
                  av_buffersink_get_frame(Sink, out.get()) >= 0;
  Graph.reset();
  if (!ok) return false;
  const int64_t pts = picture->pts;
  const int64_t best = picture->best_effort_timestamp;
  av_frame_unref(picture);
  av_frame_move_ref(picture, out.get());
  picture->pts = pts;
  picture->best_effort_timestamp = best;
  picture->interlaced_frame = 0;
  return true;
}

void TCustomFFmpeg::PreprocessPicture(TInputStreamState& ist, AVFrame* picture) {
  ++frameCounter_;
  const bool hook = static_cast<bool>(OnCustomHook);
  if (!opt_.DoDeinterlace && !hook && !opt_.UsingVHook) return;

  // The picture is changed in a copy of its own; the decoder keeps its reference pictures.
  if (av_frame_make_writable(picture) < 0) {
    Logger().Log(this, llError, "hook buf malloc error.");
    return;
  }
  if (opt_.DoDeinterlace) {
    if (!deinterlacer_) deinterlacer_ = std::make_unique<TDeinterlacer>();
    if (!deinterlacer_->Run(picture)) Logger().Log(this, llError, "Deinterlacing failed.");
    if (av_frame_make_writable(picture) < 0) return;
  }

  if (hook) {
    bool stop = false;
    if (!hookConverter_.PictureToBitmap(picture)) {
      Logger().Log(this, llError, "Cannot initialize the toRGB conversion context");
      stop = true;
    } else {
      bool update = true;
      try {
        OnCustomHook(*this, *hookConverter_.Bitmap(), stop, update, ist.Pts, frameCounter_);
      } catch (const std::exception& error) {
        Logger().Log(this, llError, std::string("Error occurs OnCustomHook: ") + error.what());
        update = false;
      }
      if (update && !hookConverter_.BitmapToPicture(picture)) {
        Logger().Log(this, llError, "Cannot initialize the fromRGB conversion context");
        stop = true;
      }
    }
    if (stop) {
      // No later picture of this task is hooked.
      OnCustomHook = nullptr;
      opt_.UsingVHook = false;
    }
  } else if (opt_.UsingVHook) {
    FrameHookPicture planes{};
    for (int i = 0; i < 4; ++i) {
      planes.data[i] = picture->data[i];
      planes.linesize[i] = picture->linesize[i];
    }
    FrameHookProcess(frameHooks_, &planes, static_cast<AVPixelFormat>(picture->format),
                     picture->width, picture->height, ist.Pts);
  }
}

void TCustomFFmpeg::SetPreviewFlags(int flags) {
  std::shared_ptr<TPreviewer> closing;
  {
    std::lock_guard<std::mutex> lock(PreviewLock());
    previewFlags_ = flags;
    if (!(flags & kPreviewWindow)) closing = std::move(previewer_);
  }
  // A window still showing a picture on the worker is freed when that call returns.
}

int TCustomFFmpeg::PreviewFlags() const {
  std::lock_guard<std::mutex> lock(PreviewLock());
  return previewFlags_;
}

void TCustomFFmpeg::PreviewPicture(const AVFrame* picture, const AVCodecContext*, int64_t pts) {
  int flags = 0;
  std::shared_ptr<TPreviewer> previewer;
  {
    std::lock_guard<std::mutex> lock(PreviewLock());
    flags = previewFlags_;
    previewer = previewer_;
  }
  const int64_t now = av_gettime();
  int cleared = 0;
  if ((flags & kPreviewBitmap) && OnPreviewBitmap) {
    if (now - lastPreview_ > PreviewInterval) {
      if (previewConverter_.PictureToBitmap(picture)) {
        OnPreviewBitmap(*this, *previewConverter_.Bitmap(), pts, frameCounter_);
      } else {
        Logger().Log(this, llError, "Cannot initialize the toRGB conversion context");
        cleared |= kPreviewBitmap;
      }
      lastPreview_ = now;
    }
  } else if (flags & kPreviewWindow) {
    if (now - lastPreview_ > PreviewInterval) {
      if (previewConverter_.PictureToBitmap(picture)) {
        if (!previewer) {
          previewer = CreatePreviewer();
          std::lock_guard<std::mutex> lock(PreviewLock());
          if (previewFlags_ & kPreviewWindow) previewer_ = previewer;
        }
        if (!previewer || !previewer->Show(*previewConverter_.Bitmap(), frameCounter_, pts))
          cleared |= kPreviewWindow;
      } else {
        Logger().Log(this, llError, "Cannot initialize the toRGB conversion context");
        cleared |= kPreviewWindow;
      }
      lastPreview_ = now;
    }
  }
  if (cleared) {
    std::shared_ptr<TPreviewer> closing;
    {
      std::lock_guard<std::mutex> lock(PreviewLock());
      previewFlags_ &= ~cleared;
      if (cleared & kPreviewWindow) closing = std::move(previewer_);
    }
  }
}

}  // namespace orvo
