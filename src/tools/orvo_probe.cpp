// orvo-probe: prints a media file's report, or its container and stream records as JSON.
//
//   orvo-probe FILE          the probe's report, as is
//   orvo-probe --json FILE   {"file": {...}, "streams": [{...}, ...]}
//
// Exit status: 0 success, 1 the file cannot be probed (the reason on stderr), 2 bad usage.
// The libraries' own warnings and errors go to stderr; stdout carries only the answer.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "component/AVProbe.h"
#include "platform/main_thread.h"

namespace {

// Keys keep the records' field order.
using json = nlohmann::ordered_json;
using namespace orvo;

const char* KindName(AVMediaType type) {
  switch (type) {
    case AVMEDIA_TYPE_VIDEO: return "video";
    case AVMEDIA_TYPE_AUDIO: return "audio";
    case AVMEDIA_TYPE_SUBTITLE: return "subtitle";
    case AVMEDIA_TYPE_DATA: return "data";
    case AVMEDIA_TYPE_ATTACHMENT: return "attachment";
    default: return "unknown";
  }
}

json FileJson(const TFileStreamInfo& info) {
  return json{{"StartTime", info.StartTime}, {"Duration", info.Duration},
              {"BitRate", info.BitRate},     {"Timestamp", info.Timestamp},
              {"Year", info.Year},           {"Track", info.Track},
              {"Title", info.Title},         {"Author", info.Author},
              {"Copyright", info.Copyright}, {"Comment", info.Comment},
              {"Album", info.Album},         {"Genre", info.Genre}};
}

// The fields audio and video records share, in their order.
template <typename StreamInfo>
void AddCommon(json& stream, const StreamInfo& info) {
  stream["Language"] = info.Language;
  stream["CodecName"] = info.CodecName;
  stream["StreamStartTime"] = info.StreamStartTime;
  stream["StartTime"] = info.StartTime;
  stream["StreamDuration"] = info.StreamDuration;
  stream["Duration"] = info.Duration;
  stream["BitRate"] = info.BitRate;
}

void AddAudio(json& stream, const TAudioStreamInfo& info) {
  AddCommon(stream, info);
  stream["Channels"] = info.Channels;
  stream["SampleRate"] = info.SampleRate;
  stream["SampleFormat"] = info.SampleFormat;
}

void AddVideo(json& stream, const TVideoStreamInfo& info) {
  AddCommon(stream, info);
  stream["Height"] = info.Height;
  stream["Width"] = info.Width;
  stream["DisplayAspectRatio"] = info.DisplayAspectRatio;
  stream["PixelFormat"] = info.PixelFormat;
  stream["FrameRateNum"] = info.FrameRateNum;
  stream["FrameRateDen"] = info.FrameRateDen;
}

json ProbeJson(TAVProbe& probe) {
  TFileStreamInfo fileInfo;
  probe.GetFileStreamInfo(fileInfo);
  json streams = json::array();
  AVFormatContext* context = probe.FormatContext();
  for (int i = 0; i < probe.StreamCount(); ++i) {
    const AVMediaType type = context->streams[i]->codecpar->codec_type;
    json stream{{"index", i}, {"kind", KindName(type)}};
    if (type == AVMEDIA_TYPE_AUDIO) {
      TAudioStreamInfo info;
      probe.GetAudioStreamInfo(i, info);
      AddAudio(stream, info);
    } else if (type == AVMEDIA_TYPE_VIDEO) {
      TVideoStreamInfo info;
      probe.GetVideoStreamInfo(i, info);
      AddVideo(stream, info);
    }
    streams.push_back(std::move(stream));
  }
  return json{{"file", FileJson(fileInfo)}, {"streams", std::move(streams)}};
}

int Usage() {
  std::fputs("usage: orvo-probe [--json] FILE\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool asJson = false;
  std::string fileName;
  if (argc == 2 && argv[1][0] != '-') {
    fileName = argv[1];
  } else if (argc == 3 && std::strcmp(argv[1], "--json") == 0) {
    asJson = true;
    fileName = argv[2];
  } else {
    return Usage();
  }
  if (fileName.empty()) return Usage();

  try {
    SetMainThread();
    // Only the libraries' warnings and errors, and only on stderr; the probe's own failure
    // message is printed once below.
    TFFLogger& logger = Logger();
    logger.TriggerEventInMainThread = false;
    logger.SetLogLevel(llWarning);
    const void* librarySender = &logger;
    logger.OnLog = [librarySender](const void* sender, uint32_t, TLogLevel level,
                                   const std::string& message) {
      if (sender == librarySender && level <= llWarning && level > llQuiet) {
        std::fprintf(stderr, "%s\n", message.c_str());
      }
    };
    if (!FFLoader().LoadLibraries(ConverterLibraries)) {
      std::fprintf(stderr, "%s\n", FFLoader().LastError().c_str());
      return 1;
    }

    TAVProbe probe;
    if (!probe.LoadFile(fileName)) {
      std::fprintf(stderr, "%s\n", probe.LastErrorMessage().c_str());
      return 1;
    }
    const std::string out = asJson ? ProbeJson(probe).dump(2, ' ', false, json::error_handler_t::replace) + "\n" : probe.GetInfoText();
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (std::fflush(stdout) != 0) return 1;
    logger.OnLog = nullptr;
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}
