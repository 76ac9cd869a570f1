#pragma once
// The conversion engine: one conversion job configured by named text options. This header holds
// the engine class with its option state, the option dispatcher and the pass-through of other
// names into the libraries' default option contexts.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "binding/FrameHook.h"
#include "binding/Previewer.h"
#include "binding/av_handles.h"
#include "engine/media_texts.h"
#include "platform/bitmap.h"
#include "platform/threads.h"

namespace orvo {

// Every option and setup validation error of the engine.
class FFmpegException : public std::runtime_error {
 public:
  explicit FFmpegException(const std::string& message) : std::runtime_error(message) {}
};

// Table limits of one engine.
constexpr int MAX_FILES = 20;
constexpr int MAX_STREAMS = 20;

// One "map" entry: input file and stream, and the stream whose clock it follows.
struct TStreamMap {
  int FileIndex = 0;
  int StreamIndex = 0;
  int SyncFileIndex = 0;
  int SyncStreamIndex = 0;
};

// One "map_meta_data" entry.
struct TMetaDataMap {
  int OutFile = 0;
  int InFile = 0;
};

// One bitstream filter of a chain: the filter and the text given with it.
struct TBitstreamFilterEntry {
  const AVBitStreamFilter* Filter = nullptr;
  std::string Text;  // the option value as given (name, optionally "=" and arguments)
};
using TBitstreamFilterChain = std::vector<TBitstreamFilterEntry>;

// An option of an encoder's private class: kept by name and value, since the default contexts
// have no private data to hold it.
struct TPrivateOption {
  std::string Name;
  std::string Value;
  AVMediaType Kind = AVMEDIA_TYPE_UNKNOWN;  // the kind of the encoder that knows it
  bool ForMuxer = false;                    // known to a muxer's own class instead
};

// One stream of an opened input file, with the decoder settings the conversion opens it with.
struct TInputStream {
  int FileIndex = 0;
  AVStream* Stream = nullptr;      // owned by the file's context
  CodecContextPtr Codec;           // decoder settings; empty for data, attachment and unknown
  const AVCodec* Decoder = nullptr;  // chosen by name, or none (then chosen by codec id)
};

// One opened input file.
struct TInputFile {
  InputFormatContextPtr Context;
  int64_t TsOffset = 0;                        // added to every timestamp, µs
  std::array<double, MAX_STREAMS> TsScale{};  // per stream; 0 = none
};

// One stream created in an output file, as set up before the conversion opens its encoder.
struct TOutputStream {
  AVStream* Stream = nullptr;  // owned by the file's context
  CodecContextPtr Codec;       // encoder settings (or the copied stream's parameters)
  bool StreamCopy = false;
  float Quality = 0;           // fixed quality, in lambda units; 0 = none
  TBitstreamFilterChain BitstreamFilters;
};

// One created output file. In join mode one file stands in several slots of the table.
struct TOutputFile {
  OutputFormatContextPtr Context;
  std::vector<TOutputStream> Streams;
  bool HeaderWritten = false;  // the trailer is still to be written
};

using TQuantMatrix = std::array<uint16_t, 64>;

// The engine's own settings; the member initialisers are the reset values.
struct TEngineOptions {
  std::string FormatName;  // forced container for the next input or output
  bool PgmYuv = false;     // "f pgmyuv" was given

  int FrameWidth = 0;
  int FrameHeight = 0;
  float FrameAspectRatio = 0;
  int FramePixFmt = -1;
  AVRational FrameRate{0, 0};

  int AudioSampleRate = 44100;
  int AudioChannels = 2;
  int64_t AudioChannelLayout = 0;
  int AudioSampleFmt = -1;

  int FrameTopBand = 0;
  int FrameBottomBand = 0;
  int FrameLeftBand = 0;
  int FrameRightBand = 0;

  int MaxVideoFrames = std::numeric_limits<int32_t>::max();
  int MaxAudioFrames = std::numeric_limits<int32_t>::max();
  int MaxDataFrames = std::numeric_limits<int32_t>::max();

  float VideoQScale = 0;
  std::optional<TQuantMatrix> IntraMatrix;
  std::optional<TQuantMatrix> InterMatrix;
  std::optional<std::string> VideoRcOverride;

  bool VideoDisable = false;
  bool AudioDisable = false;
  bool SubtitleDisable = false;
  int VideoDiscard = 0;

  std::optional<std::string> VideoCodecName;
  std::optional<std::string> AudioCodecName;
  std::optional<std::string> SubtitleCodecName;

  bool VideoStreamCopy = false;
  bool AudioStreamCopy = false;
  bool SubtitleStreamCopy = false;

  uint32_t VideoCodecTag = 0;
  uint32_t AudioCodecTag = 0;
  uint32_t SubtitleCodecTag = 0;

  std::string VideoLanguage;
  std::string AudioLanguage;
  std::string SubtitleLanguage;

  bool SameQuality = false;
  bool DoDeinterlace = false;
  int TopFieldFirst = -1;
  int MeThreshold = 0;
  int IntraDcPrecision = 8;
  bool IntraOnly = false;
  bool LoopInput = false;
  int LoopOutput = -1;
  bool QpHist = false;
  std::string VideoFilters;
  float AudioQScale = -99999;
  float MuxPreload = 0.5f;
  float MuxMaxDelay = 0.7f;

  int64_t RecordingTime = std::numeric_limits<int64_t>::max();
  int64_t StartTime = 0;
  int64_t RecTimestamp = 0;  // whole seconds
  int64_t InputTsOffset = 0;
  // Timestamp scale per stream of the next input file; 0 = none.
  std::array<double, MAX_STREAMS> InputTsScale{};

  std::vector<std::pair<std::string, std::string>> Metadata;
  std::vector<TStreamMap> StreamMaps;
  std::vector<TMetaDataMap> MetaDataMaps;

  bool DoPktDump = false;
  bool DoHexDump = false;
  bool DoPsnr = false;
  int DoPass = 0;
  std::string PassLogFileName;
  int VideoSyncMethod = -1;
  int AudioSyncMethod = 0;
  float AudioDriftThreshold = 0.1f;
  bool CopyTs = false;
  bool OptShortest = false;
  int VideoGlobalHeader = 0;
  std::optional<std::string> VStatsFileName;
  int OptProgramId = 0;
  int CopyInitialNonKeyframes = 0;
  bool RateEmu = false;
  int VideoChannel = 0;
  std::optional<std::string> VideoStandard;
  int AudioVolume = 256;
  bool ExitOnError = false;
  bool UsingVHook = false;
  int Verbose = 1;
  int ThreadCount = 1;
  bool InputSync = false;
  int64_t LimitFileSize = 0;
  bool ForceFps = false;
  float DtsDeltaThreshold = 10;
  int SwsFlags = SWS_BICUBIC;
  std::array<int, MAX_STREAMS> StreamIdMap{};

  TBitstreamFilterChain VideoBitstreamFilters;
  TBitstreamFilterChain AudioBitstreamFilters;
  TBitstreamFilterChain SubtitleBitstreamFilters;
};

class TCustomFFmpeg;
class TConvertThread;
struct TTranscodeState;
struct TInputStreamState;
struct TOutputStreamState;
struct TDeinterlacer;

// The values of one progress report.
struct TConversionProgress {
  int FileIndex = -1;      // input file being read; -1 on the final report
  int64_t Total = -1;      // µs; -1 when no duration is known
  int64_t Time = 0;        // output time, µs
  int64_t Size = 0;        // output bytes
  float BitRate = 0;       // kbit/s
  float Quality = -1;      // -1: none or stream copy
  int Fps = -1;            // -1: no video
  int Frame = -1;          // -1: no video
};

using TProgressCallback =
    std::function<void(TCustomFFmpeg& sender, const TConversionProgress& info)>;
using TTerminateCallback = std::function<void(TCustomFFmpeg& sender)>;
// Called on the converting thread with each decoded picture as a 24-bit bitmap; the handler may
// draw on it (update stays true) or leave it (update := false), and stop further calls.
using TCustomHookCallback = std::function<void(TCustomFFmpeg& sender, TBitmap& bitmap,
                                               bool& stop, bool& update, int64_t pts,
                                               int frame)>;
using TPreviewBitmapCallback =
    std::function<void(TCustomFFmpeg& sender, TBitmap& bitmap, int64_t pts, int frame)>;

// Preview flags.
constexpr int kPreviewWindow = 1;
constexpr int kPreviewBitmap = 2;

// Lookup flags of the default codec contexts by media kind (0 video ... 4 attachment).
constexpr std::array<int, 5> kDefaultContextFlags = {AV_OPT_FLAG_VIDEO_PARAM,
                                                     AV_OPT_FLAG_AUDIO_PARAM, 0,
                                                     AV_OPT_FLAG_SUBTITLE_PARAM, 0};

class TCustomFFmpeg {
 public:
  TCustomFFmpeg();
  virtual ~TCustomFFmpeg();
  TCustomFFmpeg(const TCustomFFmpeg&) = delete;
  TCustomFFmpeg& operator=(const TCustomFFmpeg&) = delete;

  // The option table's names in dispatch order (a name given for several rows appears once
  // for each).
  static std::vector<std::string> OptionTableNames();
  // Whether a row's value is a Boolean, a flag or ignored, so a command line may leave it out.
  static bool IsSwitchOption(const std::string& name);

  // Back to the reset values: option state, default contexts, recorded names, hook list.
  void ResetOptions();

  // Carries out one option (name without a leading dash). Throws FFmpegException.
  void DispatchOption(const std::string& name, const std::string& value);
  // Sets an option into the libraries' default contexts; true when accepted.
  bool SetDefaultOption(const std::string& name, const std::string& value);

  // Setters used by the task component; they take the same path as the options.
  void SetFormatName(const std::string& value) { DispatchOption("f", value); }
  void SetStartTime(const std::string& value) { DispatchOption("ss", value); }
  void SetProgramId(const std::string& value) { DispatchOption("programid", value); }
  void SetFrameRate(const std::string& value) { DispatchOption("r", value); }
  void SetFrameSize(const std::string& value) { DispatchOption("s", value); }
  void SetAspectRatio(const std::string& value) { DispatchOption("aspect", value); }
  void SetCropTop(const std::string& value) { DispatchOption("croptop", value); }
  void SetCropBottom(const std::string& value) { DispatchOption("cropbottom", value); }
  void SetCropLeft(const std::string& value) { DispatchOption("cropleft", value); }
  void SetCropRight(const std::string& value) { DispatchOption("cropright", value); }
  void SetVideoCodec(const std::string& value) { DispatchOption("vcodec", value); }
  void SetAudioCodec(const std::string& value) { DispatchOption("acodec", value); }
  void SetSubtitleCodec(const std::string& value) { DispatchOption("scodec", value); }
  void SetVideoFilters(const std::string& value) { DispatchOption("vfilters", value); }

  // Settings the task records set directly (times in µs, the output time stamp in seconds
  // since 1970).
  void SetStartTimeUs(int64_t us) { opt_.StartTime = us; }
  void SetRecordingTimeUs(int64_t us) {
    opt_.RecordingTime = us;
    progressTotal_ = us;
  }
  void SetRecTimestamp(int64_t seconds) { opt_.RecTimestamp = seconds; }

  // Disc and tape standards ("vcd", "svcd", "dvd", "dv", "dv50"). The norm is "pal", "ntsc",
  // "film" or anything else to detect it; defaultNorm decides when detection finds nothing.
  // Throws FFmpegException; settings made before a failure stay made.
  void SetTarget(const std::string& target, const std::string& norm,
                 const std::string& defaultNorm);

  const TEngineOptions& Options() const { return opt_; }
  // The names accepted by SetDefaultOption, in order, duplicates kept.
  const std::vector<std::string>& RecordedOptionNames() const { return recordedNames_; }
  // Options accepted because an encoder's private class knows them.
  const std::vector<TPrivateOption>& RecordedPrivateOptions() const { return privateOptions_; }
  AVCodecContext* DefaultCodecContext(int kind) const;
  AVFormatContext* DefaultFormatContext() const { return formatDefaults_.get(); }
  SwsContext* DefaultScalerContext() const { return scalerDefaults_.get(); }
  TFrameHookList& FrameHooks() { return frameHooks_; }
  // Set by "t": the total the progress reports count towards (-1: unknown).
  int64_t ProgressTotal() const { return progressTotal_; }

  // Opens an input file with the current option state and consumes the input settings. False
  // with LastErrorText when the file cannot be used; option errors raise FFmpegException.
  bool OpenInputFile(const std::string& fileName);
  // Creates an output file with its streams; the number of output slots afterwards, or -1 with
  // LastErrorText. Join asks for one output fed by every input in turn.
  int OpenOutputFile(const std::string& fileName, bool join);
  // Add one stream of that kind to an output file; raise FFmpegException on failure.
  void new_video_stream(TOutputFile& file);
  void new_audio_stream(TOutputFile& file);
  void new_subtitle_stream(TOutputFile& file);
  // Which kinds the inputs hold (with join, the first input only). False with the message in
  // `error` when a stream has a kind the libraries do not define.
  bool check_audio_video_sub_inputs(bool join, bool& hasVideo, bool& hasAudio,
                                    bool& hasSubtitle, std::string& error) const;
  // Closes every file: outputs first (an output that stayed empty is deleted), then inputs.
  void CloseFiles();

  // ---- Conversion run and its control.

  // Runs the conversion over the opened tables in the calling thread. Raises FFmpegException.
  void Transcode();
  // Starts the task: threaded, a worker is created and returned not yet started (the caller
  // calls its Start); otherwise the task runs in the caller's thread and null is returned.
  TConvertThread* StartConvert(bool threaded, TThreadPriority priority);
  void StopConvert(bool wait);
  void Stop(bool wait);
  // Pausing holds the worker at its next packet or output frame.
  void PauseConvert();
  void ResumeConvert();
  bool Paused() const { return paused_; }
  // Back to a fresh engine (keeps the error flag and text).
  void ResetEngine();

  bool Running() const { return running_; }
  bool Finished() const { return finished_; }
  bool Terminated() const { return terminated_; }
  bool StopRequested() const { return stopRequested_; }
  bool Error() const { return error_; }
  std::string ErrorText() const;

  int64_t ProgressInterval = 500000;  // µs
  int64_t PreviewInterval = 100000;   // µs
  TProgressCallback OnProgress;
  TTerminateCallback OnTerminate;
  TCustomHookCallback OnCustomHook;
  TPreviewBitmapCallback OnPreviewBitmap;
  // Preview bits (kPreviewWindow, kPreviewBitmap), under the process-wide preview lock.
  void SetPreviewFlags(int flags);
  int PreviewFlags() const;
  // Decoded video pictures counted by the hook step.
  int FrameCounter() const { return frameCounter_; }

  const std::string& LastErrorText() const { return lastErrorText_; }
  bool JoinMode() const { return joinMode_; }
  int InputFileCount() const { return static_cast<int>(inputFiles_.size()); }
  const TInputFile& InputFile(int index) const { return inputFiles_.at(size_t(index)); }
  // Every input stream over all input files in opening order (the input decoder list).
  const std::vector<TInputStream>& InputStreams() const { return inputStreams_; }
  int OutputFileCount() const { return static_cast<int>(outputFiles_.size()); }
  TOutputFile& OutputFile(int index) const { return *outputFiles_.at(size_t(index)); }
  // Per created output stream: the encoder chosen by name, or none.
  const std::vector<const AVCodec*>& OutputCodecs() const { return outputCodecs_; }

 protected:
  // Codec time bases of the video streams of the opened input files, files and streams in
  // order. Empty while no input is open.
  virtual std::vector<AVRational> InputVideoTimeBases() const;

  TEngineOptions opt_;
  int64_t progressTotal_ = -1;

 private:
  friend struct TOptionHandlers;
  void ResetDefaultContexts();
  bool SetPrivateEncoderOption(const std::string& name, const std::string& value, bool& found);
  bool SetPrivateMuxerOption(const std::string& name, const std::string& value, bool& found);
  // Copies the recorded options whose flags hold all of `flags` from a default context.
  void CopyRecordedOptions(void* target, void* source, int flags) const;
  void ApplyPrivateOptions(AVCodecContext* ctx) const;
  void ApplyPrivateOptions(AVFormatContext* ctx) const;
  AVStream* NewOutputStream(TOutputFile& file, AVMediaType kind);
  struct TNamedDecoders {
    const AVCodec* Video;
    const AVCodec* Audio;
    const AVCodec* Subtitle;
  };
  void OpenInputStreams(TInputFile& file, int fileIndex, const TNamedDecoders& named);
  int OutputFailure(const std::string& text);

  std::array<CodecContextPtr, 5> codecDefaults_;
  OutputFormatContextPtr formatDefaults_;  // never gets an output format; only holds options
  SwsContextPtr scalerDefaults_;
  std::vector<std::string> recordedNames_;
  std::vector<TPrivateOption> privateOptions_;
  TFrameHookList frameHooks_;

  // ---- Conversion run (FFmpegTranscode.cpp, FFmpegPackets.cpp, FFmpegVideo.cpp,
  // FFmpegAudio.cpp, FFmpegHooks.cpp).
  friend class TConvertThread;
  void RunTask();
  void DeliverEnd();
  void RecordFailure(const std::string& message);
  void CleanupEngine();
  void CloseOpenCodecs();
  void WaitWhilePaused();
  void SetRunActive(bool active);
  void DumpOutputs();
  // The outputs' format dump, the text logged as an error, then raised.
  [[noreturn]] void FailWithDump(const std::string& text);

  void ReadLoop();
  // True when the reading loop ends with this input.
  bool EndOfInput(int fileIndex);
  // Decodes one packet (null: drains the decoder and then the encoders it feeds) and hands the
  // result to the output streams it feeds. -1 when decoding failed.
  int ProcessPacket(TInputStreamState& ist, int istIndex, const AVPacket* packet);
  void OutputDecodedFrame(TInputStreamState& ist, int istIndex, AVFrame* frame);
  void FlushEncoders(TInputStreamState& ist, int istIndex);
  void OutputSubtitle(TOutputStreamState& ost, TInputStreamState& ist, AVSubtitle& subtitle,
                      int64_t pts);
  void CopyPacket(TOutputStreamState& ost, TInputStreamState& ist, const AVPacket& packet);
  // Sends one frame (null: flush) to the stream's encoder and writes every packet it gives.
  // Returns the bytes written.
  int EncodeAndWrite(TOutputStreamState& ost, const AVFrame* frame);
  void WriteFrame(TOutputStreamState& ost, AVPacket* packet);
  void PrintReport(bool isLast, int fileIndex);

  void SetupVideoOutput(TOutputStreamState& ost, TInputStreamState& ist);
  int EncodeVideoFrame(TOutputStreamState& ost, TInputStreamState& ist, AVFrame* picture);
  void WriteVideoStats(TOutputStreamState& ost, int frameSize);
  // Filter graph: the decoded picture goes in; filtered pictures come out one by one.
  void PushFilterPicture(TInputStreamState& ist, const AVFrame* picture);
  bool PullFilterPicture(TInputStreamState& ist, TOutputStreamState& ost);
  // ---- Video output helpers (FFmpegVideo.cpp).
  // Builds the stream's filter graph and sets the encoder's size from it.
  void BuildVideoFilters(TOutputStreamState& ost, TInputStreamState& ist);

  void SetupAudioOutput(TOutputStreamState& ost, TInputStreamState& ist);
  void do_audio_out(TOutputStreamState& ost, TInputStreamState& ist, const AVFrame* samples);
  // At the end of the input: encodes what the FIFO still holds (padded when the encoder
  // needs whole frames).
  void FlushAudioFifo(TOutputStreamState& ost);
  void ApplyVolume(AVFrame* samples) const;
  // Audio output helpers (FFmpegAudio.cpp): convert `count` input samples into the stream's
  // FIFO through `converter` or as they are (null planes: what the converter still holds;
  // false when the block is dropped), and
  // encode one frame of `total` samples, the first `take` from the FIFO and the rest silence.
  bool PushAudioSamples(TOutputStreamState& ost, SwrContext* converter,
                        const uint8_t* const* planes, int count);
  void EncodeAudioFromFifo(TOutputStreamState& ost, int take, int total);

  void PreprocessPicture(TInputStreamState& ist, AVFrame* picture);
  void PreviewPicture(const AVFrame* picture, const AVCodecContext* encoder, int64_t pts);

  std::unique_ptr<TTranscodeState> run_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> terminated_{false};
  std::atomic<bool> error_{false};
  std::string errorText_;
  std::unique_ptr<TConvertThread> worker_;
  // Guards the pause flag, the error text and the two "busy" flags below.
  mutable std::mutex pauseMutex_;
  bool runActive_ = false;        // a worker exists whose task body has not ended
  bool terminateActive_ = false;  // the end of a never-started task is being delivered
  std::thread terminateThread_;
  std::condition_variable pauseChanged_;
  std::atomic<bool> paused_{false};
  int frameCounter_ = 0;
  TBitmapConverter hookConverter_;
  TBitmapConverter previewConverter_;
  std::unique_ptr<TDeinterlacer> deinterlacer_;
  int previewFlags_ = 0;  // under the process-wide preview lock
  int64_t lastPreview_ = 0;
  std::shared_ptr<TPreviewer> previewer_;  // under the preview lock

  std::string lastErrorText_;
  std::vector<TInputFile> inputFiles_;
  std::vector<TInputStream> inputStreams_;
  std::vector<std::shared_ptr<TOutputFile>> outputFiles_;
  std::vector<const AVCodec*> outputCodecs_;
  bool joinMode_ = false;
  bool filtersInUse_ = false;  // decided by the output file opened last
};

// Finds an encoder or decoder by name for a stream of `kind`. No name: success with no codec.
// Old encoder names are served by their current equivalents ("libfaac" by "aac").
struct TCodecLookup {
  bool Ok = true;
  const AVCodec* Codec = nullptr;
  std::string Error;
};
TCodecLookup FindCodecByName(const std::optional<std::string>& name, AVMediaType kind,
                             bool encoder, int strictness);
// The fraction of a ratio as the stream headers take it: at most 255/255.
AVRational AspectFraction(double ratio);

}  // namespace orvo
