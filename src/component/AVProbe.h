#pragma once
// The probe: opens a media file (or adopts an open demuxer context), analyses its streams and
// answers questions about the container and about one audio or video stream, plus a multi-line
// report. Failures return false or cleared records and leave LastErrorMessage; they never raise,
// except CheckLibraries when the media libraries are not loaded.
#include <cstdint>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include "binding/FFmpegLogger.h"
#include "binding/av_handles.h"
#include "component/FFBaseComponent.h"

namespace orvo {

// Raised by CheckLibraries: "LibAVCodec not loaded." and its siblings.
class ProbeLibraryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TFileStreamInfo {
  int64_t StartTime = -1;  // microseconds, -1 unknown
  int64_t Duration = -1;   // microseconds, -1 unknown
  int32_t BitRate = -1;    // bit/s, 0 unknown
  int64_t Timestamp = -1;  // creation time, seconds since 1970-01-01 UTC, 0 absent
  int32_t Year = -1;
  int32_t Track = -1;
  std::string Title;
  std::string Author;
  std::string Copyright;
  std::string Comment;
  std::string Album;
  std::string Genre;
};

struct TAudioStreamInfo {
  std::string Language;
  std::string CodecName;
  int64_t StreamStartTime = -1;  // stream time base; AV_NOPTS_VALUE unknown
  int64_t StartTime = -1;        // microseconds, -1 unknown
  int64_t StreamDuration = -1;   // stream time base; AV_NOPTS_VALUE unknown
  int64_t Duration = -1;         // microseconds, -1 unknown
  int32_t BitRate = -1;
  int32_t Channels = -1;
  int32_t SampleRate = -1;
  int32_t SampleFormat = -1;  // AVSampleFormat
};

struct TVideoStreamInfo {
  std::string Language;
  std::string CodecName;
  int64_t StreamStartTime = -1;
  int64_t StartTime = -1;
  int64_t StreamDuration = -1;
  int64_t Duration = -1;
  int32_t BitRate = -1;
  int32_t Height = -1;
  int32_t Width = -1;
  float DisplayAspectRatio = -1.0f;
  int32_t PixelFormat = -1;  // AVPixelFormat
  int32_t FrameRateNum = -1;
  int32_t FrameRateDen = -1;
};

class TCustomAVProbe : public TFFBaseComponent {
 public:
  TCustomAVProbe();
  ~TCustomAVProbe() override;

  // Raises ProbeLibraryError when avcodec, avformat, avutil or swscale is not loaded.
  static void CheckLibraries();

  // Opens and analyses a file; ForceFormat names a demuxer ("" lets the libraries guess).
  bool LoadFile(const std::string& fileName, const std::string& forceFormat = std::string());
  // Adopts an open context without taking ownership; the caller keeps it alive until the probe
  // is closed or attached elsewhere.
  virtual void AttachContext(AVFormatContext* context);
  virtual void CloseFile();

  bool GetFileStreamInfo(TFileStreamInfo& info);
  // StreamIndex below 0 means the first stream of that kind.
  bool GetAudioStreamInfo(int streamIndex, TAudioStreamInfo& info);
  bool GetVideoStreamInfo(int streamIndex, TVideoStreamInfo& info);
  // The report, lines ended by CR LF; empty when no file is open.
  std::string GetInfoText();

  std::string FileName();
  std::string DemuxerName();
  bool IsAudioStream(int index);
  bool IsVideoStream(int index);

  AVFormatContext* FormatContext() const { return context_; }
  bool OwnsContext() const { return ownsContext_; }
  const std::string& LastErrorMessage() const { return lastErrorMessage_; }
  const std::string& ForcedFormat() const { return forcedFormat_; }
  int64_t FileSize() const { return fileSize_; }
  int StreamCount() const { return streamCount_; }
  int ProgramCount() const { return programCount_; }
  int AudioStreamCount() const { return audioStreamCount_; }
  int VideoStreamCount() const { return videoStreamCount_; }
  int SubtitleStreamCount() const { return subtitleStreamCount_; }
  int FirstAudioStream() const { return firstAudioStream_; }
  int FirstVideoStream() const { return firstVideoStream_; }
  int FirstSubtitleStream() const { return firstSubtitleStream_; }

 protected:
  // Recomputes the properties from the context (all -1 without one).
  virtual void Analyse();

 private:
  // Sets LastErrorMessage and logs it at `level`.
  void Fail(TLogLevel level, const std::string& message);
  bool RequireContext();
  // Validates a stream index for GetAudio/VideoStreamInfo; -1 after logging the failure.
  int ResolveStream(int streamIndex, int firstOfKind, AVMediaType kind);
  std::string StreamLine(unsigned index);

  AVFormatContext* context_ = nullptr;
  InputFormatContextPtr ownedContext_;
  bool ownsContext_ = false;
  std::string lastErrorMessage_;
  std::string forcedFormat_;
  int64_t fileSize_ = -1;
  int streamCount_ = -1;
  int programCount_ = -1;
  int audioStreamCount_ = -1;
  int videoStreamCount_ = -1;
  int subtitleStreamCount_ = -1;
  int firstAudioStream_ = -1;
  int firstVideoStream_ = -1;
  int firstSubtitleStream_ = -1;
};

class TAVProbe : public TCustomAVProbe {
 public:
  TAVProbe() = default;
  void CloseFile() override;

 protected:
  void Analyse() override;
};

// Report pieces, shared with the tools and tested on their own.

// The metadata block: nothing for no entries or only "language"; else indent + "Metadata:" and
// one line per entry (ID3 frame names shown by their meaning), "language" left out.
std::string MetadataBlockText(const AVDictionary* metadata, const std::string& indent);
// The printed name of a stored metadata key ("TIT2" -> "title"); unknown keys unchanged.
std::string MetadataKeyName(const std::string& key);
// A rate as the report prints it: ", 25 fps", ", 29.97 fps", ", 90k tbn".
std::string RateText(double value, const char* label);
// Seconds and microseconds: "1.500000", "-0.021333".
std::string SecondsText(int64_t us);
// ISO 8601 date-time ("2010-01-02T03:04:05.000000Z"; without zone taken as UTC) to seconds
// since 1970-01-01 UTC; 0 when the text is not a date-time.
int64_t ParseCreationTime(const std::string& text);
// The number at the start of a text ("2010-05-01" -> 2010, "3/12" -> 3); 0 when none.
int32_t LeadingNumber(const std::string& text);

}  // namespace orvo
