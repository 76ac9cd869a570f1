// The video output path: per output stream, the crop-and-scale set-up (or the filter graph that
// replaces it) and the two-pass log; per decoded picture, frame-rate conversion by dropping and
// duplicating, cropping, scaling, encoding; and the per-frame statistics file.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>

#include "binding/FFmpegLogger.h"
#include "binding/file_helpers.h"
#include "engine/FFmpeg.h"
#include "engine/transcode_state.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace orvo {

namespace {

constexpr size_t kMaxPassLogName = 1023;

// The flags scalers are built with: the scaler default context's current "sws_flags".
int ScalerFlags(const SwsContext* defaults) {
  int64_t flags = SWS_BICUBIC;
  if (defaults) av_opt_get_int(const_cast<SwsContext*>(defaults), "sws_flags", 0, &flags);
  return static_cast<int>(flags);
}

SwsContextPtr MakeScaler(int srcWidth, int srcHeight, int srcFormat, const AVCodecContext* enc,
                         int flags) {
  if (srcWidth <= 0 || srcHeight <= 0 || srcFormat < 0) return nullptr;
  return SwsContextPtr(sws_getContext(srcWidth, srcHeight, static_cast<AVPixelFormat>(srcFormat),
                                      enc->width, enc->height, enc->pix_fmt, flags, nullptr,
                                      nullptr, nullptr));
}

// A view of `src` without the bands: same buffers, plane pointers moved to (top, left).
bool CropView(const AVFrame* src, int top, int left, int width, int height, AVFrame* dst) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(src->format));
  if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM |
                               AV_PIX_FMT_FLAG_PAL)))
    return false;
  if (top < 0 || left < 0 || width <= 0 || height <= 0 || left + width > src->width ||
      top + height > src->height)
    return false;
  if (av_frame_ref(dst, src) < 0) return false;
  int steps[4] = {};
  av_image_fill_max_pixsteps(steps, nullptr, desc);
  for (int i = 0; i < 4 && dst->data[i]; ++i) {
    const bool chroma = i == 1 || i == 2;
    const int y = chroma ? top >> desc->log2_chroma_h : top;
    const int x = chroma ? left >> desc->log2_chroma_w : left;
    dst->data[i] += ptrdiff_t(y) * dst->linesize[i] + ptrdiff_t(x) * steps[i];
  }
  dst->width = width;
  dst->height = height;
  return true;
}

bool InterlacedFrame(const AVFrame* frame) {
#ifdef AV_FRAME_FLAG_INTERLACED
  return (frame->flags & AV_FRAME_FLAG_INTERLACED) != 0;
#else
  return frame->interlaced_frame != 0;
#endif
}

bool TopFieldFirst(const AVFrame* frame) {
#ifdef AV_FRAME_FLAG_TOP_FIELD_FIRST
  return (frame->flags & AV_FRAME_FLAG_TOP_FIELD_FIRST) != 0;
#else
  return frame->top_field_first != 0;
#endif
}

void SetInterlaced(AVFrame* frame, bool interlaced, bool topFieldFirst) {
#ifdef AV_FRAME_FLAG_INTERLACED
  frame->flags &= ~(AV_FRAME_FLAG_INTERLACED | AV_FRAME_FLAG_TOP_FIELD_FIRST);
  if (interlaced) frame->flags |= AV_FRAME_FLAG_INTERLACED;
  if (topFieldFirst) frame->flags |= AV_FRAME_FLAG_TOP_FIELD_FIRST;
#else
  frame->interlaced_frame = interlaced;
  frame->top_field_first = topFieldFirst;
#endif
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Set-up

void TCustomFFmpeg::SetupVideoOutput(TOutputStreamState& ost, TInputStreamState& ist) {
  AVCodecContext* enc = ost.Encoder;
  const AVCodecContext* dec = ist.Decoder;
  if (enc->pix_fmt == AV_PIX_FMT_NONE)
    throw FFmpegException("Video pixel format is unknown, stream cannot be encoded");

  // In join mode every segment feeds the first slot's encoder; a graph of an earlier segment
  // may already have set its size, so later segments aim at the size asked for originally.
  if (joinMode_ && ost.FileIndex > 0) {
    const TOutputStreamState& first = run_->OutputStreams[size_t(ost.Index)];
    ost.RequestedWidth = first.RequestedWidth;
    ost.RequestedHeight = first.RequestedHeight;
    enc->width = ost.RequestedWidth;
    enc->height = ost.RequestedHeight;
  } else {
    ost.RequestedWidth = enc->width;
    ost.RequestedHeight = enc->height;
  }

  const TEngineOptions& o = opt_;
  ost.Crop = o.FrameTopBand + o.FrameBottomBand + o.FrameLeftBand + o.FrameRightBand != 0;
  if (ost.Crop) {
    ost.TopBand = ost.FirstTopBand = o.FrameTopBand;
    ost.BottomBand = ost.FirstBottomBand = o.FrameBottomBand;
    ost.LeftBand = ost.FirstLeftBand = o.FrameLeftBand;
    ost.RightBand = ost.FirstRightBand = o.FrameRightBand;
  }
  const int croppedWidth = dec->width - ost.LeftBand - ost.RightBand;
  const int croppedHeight = dec->height - ost.TopBand - ost.BottomBand;
  ost.VideoResample = !(croppedWidth == enc->width && croppedHeight == enc->height &&
                        dec->pix_fmt == enc->pix_fmt);

  if (ost.VideoResample) {
    // The graph does its own scaling; the engine's scaler serves only the path without it.
    if (!filtersInUse_) {
      ost.TempPicture.reset(av_frame_alloc());
      if (!ost.TempPicture) throw FFmpegException("Cannot allocate temp picture, check pix fmt");
      ost.TempPicture->format = enc->pix_fmt;
      ost.TempPicture->width = enc->width;
      ost.TempPicture->height = enc->height;
      if (av_frame_get_buffer(ost.TempPicture.get(), 0) < 0)
        throw FFmpegException("Cannot allocate temp picture, check pix fmt");
      ost.Scaler = MakeScaler(croppedWidth, croppedHeight, dec->pix_fmt, enc,
                              ScalerFlags(DefaultScalerContext()));
      if (!ost.Scaler) throw FFmpegException("Cannot get resampling context");
      ost.OriginalWidth = dec->width;
      ost.OriginalHeight = dec->height;
    }
    enc->bits_per_raw_sample = 0;
  }
  ost.ResampleWidth = croppedWidth;
  ost.ResampleHeight = croppedHeight;
  ost.ResamplePixFmt = dec->pix_fmt;

  if (filtersInUse_) BuildVideoFilters(ost, ist);

  // Two-pass log. In join mode the segments share the first slot's encoder, and with it the
  // first slot's log.
  if ((enc->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)) &&
      !(joinMode_ && ost.FileIndex > 0)) {
    const int number = static_cast<int>(&ost - run_->OutputStreams.data());
    const std::string prefix = o.PassLogFileName.empty() ? "ffmpeg2pass" : o.PassLogFileName;
    ost.PassLogName = (prefix + "-" + std::to_string(number) + ".log").substr(0, kMaxPassLogName);
    if (enc->flags & AV_CODEC_FLAG_PASS1) {
      ost.PassLog.reset(std::fopen(ost.PassLogName.c_str(), "wb"));
      if (!ost.PassLog)
        throw FFmpegException(
            FormatText("Cannot write log file %s for pass-1 encoding", ost.PassLogName.c_str()));
    } else {
      const TWholeFile log = ReadWholeFile(ost.PassLogName);
      if (log.Status == -12)
        throw FFmpegException(FormatText(
            "Could not allocate file buffer: Error reading log file \"%s\" for pass-2 encoding",
            ost.PassLogName.c_str()));
      if (log.Status != 0)
        throw FFmpegException(
            FormatText("Cannot read file: Error reading log file \"%s\" for pass-2 encoding",
                   ost.PassLogName.c_str()));
      ost.PassStats.reset(static_cast<uint8_t*>(av_malloc(log.Data.size() + 1)));
      if (!ost.PassStats)
        throw FFmpegException(FormatText(
            "Could not allocate file buffer: Error reading log file \"%s\" for pass-2 encoding",
            ost.PassLogName.c_str()));
      std::memcpy(ost.PassStats.get(), log.Data.c_str(), log.Data.size() + 1);
      enc->stats_in = reinterpret_cast<char*>(ost.PassStats.get());
    }
  }
}

// src ("buffer") -> [crop] -> [scale] -> the user's chain -> buffersink "out" taking only the
// encoder's pixel format. The encoder's size becomes the size arriving at the sink.
void TCustomFFmpeg::BuildVideoFilters(TOutputStreamState& ost, TInputStreamState& ist) {
  AVCodecContext* enc = ost.Encoder;
  const AVCodecContext* dec = ist.Decoder;
  int error = 0;
  auto fail = [&error](int code) {
    error = code;
    return false;
  };

  auto graph = std::make_unique<TVideoFilterGraph>();
  const bool built = [&]() -> bool {
    graph->Graph.reset(avfilter_graph_alloc());
    if (!graph->Graph) return fail(AVERROR(ENOMEM));
    AVFilterGraph* g = graph->Graph.get();
    const int flags = ScalerFlags(DefaultScalerContext());

    // Pictures go in with the input stream's clock in µs.
    const AVRational aspect = dec->sample_aspect_ratio;
    const std::string sourceArgs =
        FormatText("video_size=%dx%d:pix_fmt=%d:time_base=1/%d:pixel_aspect=%d/%d", dec->width,
               dec->height, int(dec->pix_fmt), AV_TIME_BASE, aspect.num,
               aspect.den > 0 ? aspect.den : 1);
    int ret = avfilter_graph_create_filter(&graph->Source, avfilter_get_by_name("buffer"), "src",
                                           sourceArgs.c_str(), nullptr, g);
    if (ret < 0) return fail(ret);

    graph->Sink = avfilter_graph_alloc_filter(g, avfilter_get_by_name("buffersink"), "out");
    if (!graph->Sink) return fail(AVERROR(ENOMEM));
    const AVPixelFormat formats[] = {enc->pix_fmt, AV_PIX_FMT_NONE};
    ret = av_opt_set_int_list(graph->Sink, "pix_fmts", formats, AV_PIX_FMT_NONE,
                              AV_OPT_SEARCH_CHILDREN);
    if (ret < 0) return fail(ret);
    ret = avfilter_init_str(graph->Sink, nullptr);
    if (ret < 0) return fail(ret);

    AVFilterContext* last = graph->Source;
    const int croppedWidth = dec->width - ost.LeftBand - ost.RightBand;
    const int croppedHeight = dec->height - ost.TopBand - ost.BottomBand;
    if (ost.Crop) {
      AVFilterContext* crop = nullptr;
      const std::string args = FormatText("%d:%d:%d:%d", croppedWidth, croppedHeight, ost.LeftBand,
                                      ost.TopBand);
      ret = avfilter_graph_create_filter(&crop, avfilter_get_by_name("crop"), "crop",
                                         args.c_str(), nullptr, g);
      if (ret < 0) return fail(ret);
      ret = avfilter_link(last, 0, crop, 0);
      if (ret < 0) return fail(ret);
      last = crop;
    }
    if (croppedWidth != enc->width || croppedHeight != enc->height) {
      AVFilterContext* scale = nullptr;
      const std::string args = FormatText("%d:%d:sws_flags=%d", enc->width, enc->height, flags);
      ret = avfilter_graph_create_filter(&scale, avfilter_get_by_name("scale"), "scale",
                                         args.c_str(), nullptr, g);
      if (ret < 0) return fail(ret);
      ret = avfilter_link(last, 0, scale, 0);
      if (ret < 0) return fail(ret);
      last = scale;
    }
    av_freep(&g->scale_sws_opts);
    g->scale_sws_opts = av_strdup(FormatText("flags=0x%X", unsigned(flags)).c_str());
    if (!g->scale_sws_opts) return fail(AVERROR(ENOMEM));

    if (!opt_.VideoFilters.empty()) {
      // "in" is where the chain starts (the last filter's output), "out" where it ends.
      AVFilterInOut* outputs = avfilter_inout_alloc();
      AVFilterInOut* inputs = avfilter_inout_alloc();
      struct TInOutFree {
        AVFilterInOut*& a;
        AVFilterInOut*& b;
        ~TInOutFree() {
          avfilter_inout_free(&a);
          avfilter_inout_free(&b);
        }
      } release{outputs, inputs};
      if (!outputs || !inputs) return fail(AVERROR(ENOMEM));
      outputs->name = av_strdup("in");
      outputs->filter_ctx = last;
      outputs->pad_idx = 0;
      outputs->next = nullptr;
      inputs->name = av_strdup("out");
      inputs->filter_ctx = graph->Sink;
      inputs->pad_idx = 0;
      inputs->next = nullptr;
      if (!outputs->name || !inputs->name) return fail(AVERROR(ENOMEM));
      ret = avfilter_graph_parse_ptr(g, opt_.VideoFilters.c_str(), &inputs, &outputs, nullptr);
      if (ret < 0) return fail(ret);
    } else {
      ret = avfilter_link(last, 0, graph->Sink, 0);
      if (ret < 0) return fail(ret);
    }
    ret = avfilter_graph_config(g, nullptr);
    if (ret < 0) return fail(ret);
    return true;
  }();
  if (!built) {
    const std::string text =
        error < 0 ? "Error opening filters: " + LibraryErrorText(error) : "Error opening filters!";
    throw FFmpegException(text);
  }
  enc->width = av_buffersink_get_w(graph->Sink);
  enc->height = av_buffersink_get_h(graph->Sink);
  ost.Filters = std::move(graph);
}

// ---------------------------------------------------------------------------------------------
// Filter graph pictures

void TCustomFFmpeg::PushFilterPicture(TInputStreamState& ist, const AVFrame* picture) {
  if (!run_ || !picture) return;
  const int istIndex = static_cast<int>(&ist - run_->InputStreams.data());
  for (TOutputStreamState& ost : run_->OutputStreams) {
    if (ost.SourceIndex != istIndex || !ost.Filters) continue;
    FramePtr copy(av_frame_alloc());
    if (!copy || av_frame_ref(copy.get(), picture) < 0)
      throw FFmpegException("Error while filtering: out of memory");
    copy->pts = ist.Pts;
    if (ist.Decoder->sample_aspect_ratio.num)
      copy->sample_aspect_ratio = ist.Decoder->sample_aspect_ratio;
    const int ret = av_buffersrc_add_frame(ost.Filters->Source, copy.get());
    if (ret < 0) throw FFmpegException("Error while filtering: " + LibraryErrorText(ret));
  }
}

bool TCustomFFmpeg::PullFilterPicture(TInputStreamState& ist, TOutputStreamState& ost) {
  if (!ost.Filters) return false;
  if (!ist.FilteredPicture) {
    ist.FilteredPicture.reset(av_frame_alloc());
    if (!ist.FilteredPicture) throw FFmpegException("Error while filtering: out of memory");
  }
  // The picture pulled last is released first.
  av_frame_unref(ist.FilteredPicture.get());
  const int ret = av_buffersink_get_frame(ost.Filters->Sink, ist.FilteredPicture.get());
  if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return false;
  if (ret < 0) throw FFmpegException("Error while filtering: " + LibraryErrorText(ret));
  if (ist.FilteredPicture->sample_aspect_ratio.num)
    ost.Encoder->sample_aspect_ratio = ist.FilteredPicture->sample_aspect_ratio;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Encoding

int TCustomFFmpeg::EncodeVideoFrame(TOutputStreamState& ost, TInputStreamState& ist,
                                    AVFrame* picture) {
  TTranscodeState& run = *run_;
  AVCodecContext* enc = ost.Encoder;
  const TEngineOptions& o = opt_;
  const AVFormatContext* oc = outputFiles_[size_t(ost.FileIndex)]->Context.get();
  const TInputStreamState& sync = run.InputStreams[size_t(ost.SyncIndex)];

  // 1.-2. How many output frames this picture becomes.
  const double syncIpts =
      double(sync.Pts - o.StartTime) / AV_TIME_BASE / av_q2d(enc->time_base);
  int frames = 1;
  if (o.VideoSyncMethod != 0) {
    const double vdelta = syncIpts - double(ost.SyncOpts);
    if (vdelta < -1.1) {
      frames = 0;
    } else if (o.VideoSyncMethod == 2 ||
               (o.VideoSyncMethod < 0 && (oc->oformat->flags & AVFMT_VARIABLE_FPS))) {
      if (vdelta <= -0.6)
        frames = 0;
      else if (vdelta > 0.6)
        ost.SyncOpts = std::llrint(syncIpts);
    } else if (vdelta > 1.1) {
      frames = static_cast<int>(std::lrint(vdelta));
    }
    if (frames == 0) {
      ++run.DropFrames;
      run.DupDropChanged = true;
      if (o.Verbose > 2) Logger().Log(this, llVerbose, "*** drop!");
    } else if (frames > 1) {
      run.DupFrames += frames - 1;
      run.DupDropChanged = true;
      if (o.Verbose > 2) Logger().Log(this, llVerbose, FormatText("*** %d dup!", frames - 1));
    }
  } else {
    ost.SyncOpts = std::llrint(syncIpts);
  }

  // 3. The frame limit.
  frames = static_cast<int>(std::min<int64_t>(frames, int64_t(o.MaxVideoFrames) - ost.FrameNumber));
  if (frames <= 0) return 0;

  AVFrame* finalPicture = picture;
  FramePtr cropped;
  if (!ost.Filters) {
    // 5. A new input size: the bands follow it and the scaler is rebuilt for it.
    const int width = picture->width;
    const int height = picture->height;
    if (height - ost.TopBand - ost.BottomBand != ost.ResampleHeight ||
        width - ost.LeftBand - ost.RightBand != ost.ResampleWidth ||
        picture->format != ost.ResamplePixFmt) {
      const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(picture->format));
      Logger().Log(this, llQuiet,
                   FormatText("Input Stream #%d.%d frame size changed to %dx%d, %s", ist.FileIndex,
                          ist.StreamIndex, width, height, name ? name : "none"));
      if (!ost.VideoResample || !ost.Scaler)
        throw FFmpegException(
            "Assertion failure: the picture size changed but the stream has no scaler");
      if (ost.OriginalWidth > 0 && ost.OriginalHeight > 0) {
        ost.TopBand = int(int64_t(height) * ost.FirstTopBand / ost.OriginalHeight) & ~1;
        ost.BottomBand = int(int64_t(height) * ost.FirstBottomBand / ost.OriginalHeight) & ~1;
        ost.LeftBand = int(int64_t(width) * ost.FirstLeftBand / ost.OriginalWidth) & ~1;
        ost.RightBand = int(int64_t(width) * ost.FirstRightBand / ost.OriginalWidth) & ~1;
      }
      ost.ResampleWidth = width - ost.LeftBand - ost.RightBand;
      ost.ResampleHeight = height - ost.TopBand - ost.BottomBand;
      ost.ResamplePixFmt = picture->format;
      ost.Scaler = MakeScaler(ost.ResampleWidth, ost.ResampleHeight, ost.ResamplePixFmt, enc,
                              ScalerFlags(DefaultScalerContext()));
      if (!ost.Scaler) throw FFmpegException("Cannot get resampling context");
    }

    // 4. Cropping, with the bands of the picture's own size.
    if (ost.Crop) {
      cropped.reset(av_frame_alloc());
      if (!cropped || !CropView(picture, ost.TopBand, ost.LeftBand, ost.ResampleWidth,
                                ost.ResampleHeight, cropped.get())) {
        if (o.ExitOnError) throw FFmpegException("error cropping picture");
        Logger().Log(this, llError, "error cropping picture");
        return 0;
      }
      finalPicture = cropped.get();
    }

    // 6. Scaling into the temporary picture; a picture still held by the encoder keeps its
    // buffer and the temporary picture gets a new one.
    if (ost.VideoResample) {
      AVFrame* temp = ost.TempPicture.get();
      if (av_frame_make_writable(temp) < 0)
        throw FFmpegException("Cannot allocate temp picture, check pix fmt");
      sws_scale(ost.Scaler.get(), finalPicture->data, finalPicture->linesize, 0,
                ost.ResampleHeight, temp->data, temp->linesize);
      finalPicture = temp;
    }
  }

  // 7. Encode it `frames` times.
  const AVCodecContext* videoDefaults = DefaultCodecContext(AVMEDIA_TYPE_VIDEO);
  const bool interlacedCoding =
      videoDefaults &&
      (videoDefaults->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME));
  const bool interlaced = InterlacedFrame(picture);
  bool topFieldFirst = TopFieldFirst(finalPicture);
  if (interlacedCoding)
    topFieldFirst = o.TopFieldFirst == -1 ? TopFieldFirst(picture) : o.TopFieldFirst != 0;
  const int quality = static_cast<int>(std::lrintf(o.SameQuality ? ist.Quality : ost.StreamQuality));

  int frameSize = 0;
  for (int i = 0; i < frames; ++i) {
    WaitWhilePaused();
    if (StopRequested()) break;
    FramePtr out(av_frame_alloc());
    if (!out || av_frame_ref(out.get(), finalPicture) < 0)
      throw FFmpegException("Video encoding failed");
    SetInterlaced(out.get(), interlaced, topFieldFirst);
    out->quality = quality;
    if (!o.MeThreshold) out->pict_type = AV_PICTURE_TYPE_NONE;
    out->pts = ost.SyncOpts;
    if (PreviewFlags() != 0)
      PreviewPicture(out.get(), enc, av_rescale_q(out->pts, enc->time_base, AV_TIME_BASE_Q));
    frameSize += EncodeAndWrite(ost, out.get());
    ++ost.SyncOpts;
    ++ost.FrameNumber;
  }
  return frameSize;
}

// ---------------------------------------------------------------------------------------------
// Statistics file

void TCustomFFmpeg::WriteVideoStats(TOutputStreamState& ost, int frameSize) {
  TTranscodeState& run = *run_;
  if (!opt_.VStatsFileName) return;
  if (!run.VStats) {
    run.VStats.reset(std::fopen(opt_.VStatsFileName->c_str(), "w"));
    if (!run.VStats) throw FFmpegException("fopen fail: " + *opt_.VStatsFileName);
  }
  const AVCodecContext* enc = ost.Encoder;
  if (enc->codec_type != AVMEDIA_TYPE_VIDEO) return;
  std::FILE* file = run.VStats.get();
  const double quality = ost.LastQuality >= 0 ? double(ost.LastQuality) / FF_QP2LAMBDA : 0.0;
  std::fprintf(file, "frame= %5d q= %2.1f ", ost.FrameNumber, quality);
  if (enc->flags & AV_CODEC_FLAG_PSNR) {
    const double scale = double(enc->width) * enc->height * 255.0 * 255.0;
    std::fprintf(file, "PSNR= %6.2f ", -10.0 * std::log10(double(ost.LastError[0]) / scale));
  }
  std::fprintf(file, "f_size= %6d ", frameSize);
  const double timeBase = av_q2d(enc->time_base);
  const double time = std::max(double(ost.SyncOpts) * timeBase, 0.01);
  const double bitrate = double(frameSize) * 8 / timeBase / 1000.0;
  const double average = double(run.VideoBytes) * 8 / time / 1000.0;
  std::fprintf(file, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
               double(run.VideoBytes) / 1024, time, bitrate, average);
  std::fprintf(file, "type= %c\n", av_get_picture_type_char(ost.LastPictureType));
  std::fflush(file);
}

}  // namespace orvo
