#pragma once
// The state of one conversion run: per input stream, per input file, per output stream, and the
// counters and buffers the whole run shares. Built when the conversion starts from the tables of
// the input and output setup, freed when it ends.
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
}

#include "binding/av_handles.h"

namespace orvo {

struct FileCloser {
  void operator()(std::FILE* file) const {
    if (file) std::fclose(file);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct BsfContextDeleter {
  void operator()(AVBSFContext* ctx) const { av_bsf_free(&ctx); }
};
using BsfContextPtr = std::unique_ptr<AVBSFContext, BsfContextDeleter>;

struct FilterGraphDeleter {
  void operator()(AVFilterGraph* graph) const { avfilter_graph_free(&graph); }
};
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphDeleter>;

// A video filter graph fed by one input stream: "src" buffer source, the user's chain, sink.
struct TVideoFilterGraph {
  FilterGraphPtr Graph;
  AVFilterContext* Source = nullptr;  // owned by Graph
  AVFilterContext* Sink = nullptr;    // owned by Graph
};

// Deinterlaces one picture at a time with the filter library's yadif: fed the picture and then
// the end of the stream, it interpolates from that picture alone and gives it back at once.
struct TDeinterlacer {
  FilterGraphPtr Graph;
  AVFilterContext* Source = nullptr;
  AVFilterContext* Sink = nullptr;

  bool Build(const AVFrame* picture);
  // Replaces the picture by its deinterlaced version; false leaves it as it was.
  bool Run(AVFrame* picture);
};

struct TInputStreamState {
  int FileIndex = 0;
  int StreamIndex = 0;                // within its file
  AVStream* Stream = nullptr;         // owned by the input file
  AVCodecContext* Decoder = nullptr;  // the setup's decoder settings (TInputStream::Codec)
  const AVCodec* DecoderByName = nullptr;
  bool DecoderOpen = false;
  bool Discard = true;  // until an output stream takes this stream
  bool DecodingNeeded = false;
  int64_t Pts = 0;                    // µs
  int64_t NextPts = AV_NOPTS_VALUE;   // µs
  bool IsStart = true;
  bool PastRecordingTime = false;
  bool Flushed = false;
  int64_t WallClockStart = 0;  // µs, real-time reading
  bool ShowedMultipleFrames = false;
  float Quality = 0;  // of the last decoded picture
  // The picture last pulled from a filter graph of an output stream fed by this one.
  FramePtr FilteredPicture;
};

struct TInputFileState {
  int FirstStream = 0;
  int StreamCount = 0;
  bool Eof = false;
  bool NoPacket = false;  // the demuxer asked to try again
};

struct TOutputStreamState {
  int FileIndex = 0;     // output slot
  int Index = 0;         // stream index within the file
  AVStream* Stream = nullptr;
  AVCodecContext* Encoder = nullptr;  // the setup's encoder settings (TOutputStream::Codec)
  const AVCodec* EncoderByName = nullptr;
  bool EncoderOpen = false;
  bool StreamCopy = false;
  float StreamQuality = 0;  // fixed quality of the setup (lambda units)
  int SourceIndex = -1;     // into the input stream states
  int SyncIndex = -1;
  bool EncodingNeeded = false;
  int FrameNumber = 0;
  int64_t SyncOpts = 0;     // next output timestamp, encoder time base
  bool Report = false;
  // End of the last written packet (pts + duration), stream time base; the stream's clock.
  int64_t EndPts = AV_NOPTS_VALUE;
  // Quality and per-plane errors of the last coded picture (from the packet's side data).
  int LastQuality = -1;
  std::array<uint64_t, 4> LastError{};
  std::array<uint64_t, 4> TotalError{};
  // Bitstream filters handed over by the setup, one context per chain entry.
  std::vector<BsfContextPtr> Bsfs;
  std::vector<std::string> BsfNames;

  // Video: crop and scale path.
  bool Crop = false;
  int TopBand = 0, BottomBand = 0, LeftBand = 0, RightBand = 0;
  int FirstTopBand = 0, FirstBottomBand = 0, FirstLeftBand = 0, FirstRightBand = 0;
  bool VideoResample = false;
  SwsContextPtr Scaler;
  FramePtr TempPicture;  // encoder size and pixel format
  int ResampleWidth = 0, ResampleHeight = 0, ResamplePixFmt = -1;
  int OriginalWidth = 0, OriginalHeight = 0;

  // Audio: conversion to the encoder's format, rate and channels, and its input FIFO.
  AudioFifoPtr Fifo;
  bool AudioResample = false;
  SwrContextPtr Resampler;
  int ReformatPair = -1;  // encoder format + 5 x decoder format the converter was made for
  int64_t AudioSamplesIn = 0;
  // Audio output path (FFmpegAudio.cpp): the sample-format converter used without the resample
  // flag, and the input format (sample format, rate, channels) the resampler was made for.
  SwrContextPtr Converter;
  int ResamplerFormat = -1;
  int ResamplerRate = 0;
  int ResamplerChannels = 0;

  // Two-pass log.
  FilePtr PassLog;
  std::string PassLogName;
  AvBufferPtr PassStats;  // pass-2 statistics handed to the encoder


  // Video filter graph of this stream (FFmpegVideo.cpp): one graph per output stream, so that
  // several outputs fed by one input each get every picture. The size the encoder was asked for
  // before the graph set it (join mode sets later segments up against it).
  std::unique_ptr<TVideoFilterGraph> Filters;
  int RequestedWidth = 0, RequestedHeight = 0;
  // Picture type of the last coded picture (from the packet's quality side data).
  AVPictureType LastPictureType = AV_PICTURE_TYPE_NONE;

  // Added to the timestamps of every packet the encoder gives (encoder time base): sound
  // encoders stamp their priming samples before zero, which a container without negative
  // timestamps cannot take.
  int64_t EncoderShift = 0;
  int64_t LastDts = AV_NOPTS_VALUE;  // of the last written packet, stream time base
};

struct TTranscodeState {
  std::vector<TInputStreamState> InputStreams;
  std::vector<TInputFileState> InputFiles;
  std::vector<TOutputStreamState> OutputStreams;

  int64_t VideoBytes = 0;
  int64_t AudioBytes = 0;
  int64_t ExtraBytes = 0;
  int DupFrames = 0;
  int DropFrames = 0;
  bool DupDropChanged = false;

  int64_t StartClock = 0;       // µs, when the run started
  double LastReportTime = 0;    // s, the output time reported last; reports never go back
  int64_t LastReportClock = 0;  // µs
  std::array<int, 52> QpHistogram{};
  FilePtr VStats;

  int JoinSegment = 0;
  // While a join segment that is not the last is drained: its encoders go on with the next.
  bool KeepEncodersOpen = false;

  AvBufferPtr SubtitleBuffer;  // 1 MiB, for encoded subtitles

  // Audio output path (FFmpegAudio.cpp), shared by the audio output streams.
  FramePtr AudioFrame;    // one frame of encoder input read from a FIFO
  FramePtr AudioWork;     // converted samples on their way into a FIFO, encoder format
  FramePtr AudioSilence;  // silence in an input's format, for inserted samples
};

}  // namespace orvo
