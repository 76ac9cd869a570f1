#pragma once
// Owning handles for the media libraries' objects: std::unique_ptr with each library's free
// function, so every object is released on every path.
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace orvo {

struct InputFormatContextDeleter {
  void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
// An output context owns its I/O context when the muxer needs a file.
struct OutputFormatContextDeleter {
  void operator()(AVFormatContext* ctx) const {
    if (ctx && ctx->oformat && !(ctx->oformat->flags & AVFMT_NOFILE)) avio_closep(&ctx->pb);
    avformat_free_context(ctx);
  }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct SwsContextDeleter {
  void operator()(SwsContext* ctx) const { sws_freeContext(ctx); }
};
struct SwrContextDeleter {
  void operator()(SwrContext* ctx) const { swr_free(&ctx); }
};
struct AudioFifoDeleter {
  void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
struct DictionaryDeleter {
  void operator()(AVDictionary* dict) const { av_dict_free(&dict); }
};
struct AvFreeDeleter {
  void operator()(void* memory) const { av_free(memory); }
};

using InputFormatContextPtr = std::unique_ptr<AVFormatContext, InputFormatContextDeleter>;
using OutputFormatContextPtr = std::unique_ptr<AVFormatContext, OutputFormatContextDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;
using AvBufferPtr = std::unique_ptr<uint8_t, AvFreeDeleter>;

}  // namespace orvo
