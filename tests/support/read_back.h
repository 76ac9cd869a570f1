#pragma once
// Reading a written file back with the libraries, to check what a conversion produced.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/avutil.h>
}

namespace orvo::testing {

// The file's first video stream (the one the libraries rank best), decoded to its end.
struct TVideoRead {
  bool Opened = false;    // the container opened and its streams were found
  bool Decoding = false;  // and a video stream's decoder opened
  std::string Error;      // what stopped the reading before it decoded
  AVCodecID Codec = AV_CODEC_ID_NONE;
  int Packets = 0;  // stored packets of the stream
  int Frames = 0;   // decoded pictures
  int Width = 0;    // of the first picture
  int Height = 0;
  std::vector<uint8_t> FirstLuma;  // Width x Height bytes of the first picture's Y plane
  double LastTime = 0;             // the latest picture time, s
};
TVideoRead ReadFirstVideo(const std::string& path);

// The file's first audio stream (the one the libraries rank best): its packets as stored and
// its decoded samples.
struct TAudioRead {
  bool Opened = false;  // the stream's decoder opened
  std::string Codec;
  int Rate = 0;
  int Channels = 0;
  std::vector<int> PacketSamples;   // per stored packet, from its duration in samples
  std::vector<int64_t> PacketPts;   // in samples
  std::vector<int> FrameSamples;    // per decoded frame
  int64_t Samples = 0;              // decoded, per channel
  std::vector<double> Interleaved;  // decoded, interleaved, in -1..1
  std::vector<int16_t> S16;         // decoded, interleaved, when the decoder gives 16-bit
  double Rms() const;
};
TAudioRead ReadFirstAudio(const std::string& path);

// One stream of a file read with ReadBack.
struct TStreamRead {
  AVMediaType Kind = AVMEDIA_TYPE_UNKNOWN;
  AVCodecID Codec = AV_CODEC_ID_NONE;
  // As stored; for decoded streams the size, rate and channels become those of the last
  // decoded picture or sound block.
  int Width = 0, Height = 0;
  int SampleRate = 0, Channels = 0;
  int Profile = 0, Level = 0;
  // The container's own values, never replaced by decoded ones.
  int StoredSampleRate = 0;
  int64_t StoredBitRate = 0;
  int Errors = 0;     // refused packets and failed frames
  int Frames = 0;     // decoded pictures or sound blocks
  int64_t Samples = 0;
  std::vector<double> Times;  // video: each picture's time, s, in order
  double First = std::numeric_limits<double>::quiet_NaN();  // first decoded time, s
  std::vector<std::vector<uint8_t>> Luma;  // video, when asked: each picture's Y plane
  // Packets as stored, when asked: payload, key flag, pts (s).
  std::vector<std::string> Payloads;
  std::vector<bool> Keys;
  std::vector<double> PacketTimes;

  // The median step between pictures.
  double Interval() const;
  // Pictures: first to last plus one picture; sound: the samples decoded.
  double Duration() const;
  double MaxStep() const;
};

struct TFileRead {
  bool Opened = false;  // the container opened and every picture and sound stream's decoder too
  std::string Error;
  std::vector<TStreamRead> Streams;  // one for each stream of the file, in its order

  const TStreamRead* Find(AVMediaType kind) const;
};

// Every picture and sound stream decoded to its end; `keepPictures` keeps each picture's luma,
// `keepPackets` the stored packets.
TFileRead ReadBack(const std::string& path, bool keepPictures = false, bool keepPackets = false);

}  // namespace orvo::testing
