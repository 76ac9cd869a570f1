// Disc and tape targets: one call that sets container, codecs, picture, rates and multiplexer
// settings of a standard for the PAL, NTSC or film norm.
#include <cmath>
#include <string>

#include "binding/FFmpegLogger.h"
#include "engine/FFmpeg.h"

namespace orvo {

namespace {

enum TNorm { nmPal = 0, nmNtsc = 1, nmFilm = 2 };

const char* const kFrameRates[] = {"25", "30000/1001", "24000/1001"};

// PAL for 25 fps, NTSC for 29.97 and 23.976 fps; false for any other rate.
bool NormOfRate(long long milliFps, TNorm& norm) {
  if (milliFps == 25000) {
    norm = nmPal;
    return true;
  }
  if (milliFps == 29970 || milliFps == 23976) {
    norm = nmNtsc;
    return true;
  }
  return false;
}

}  // namespace

void TCustomFFmpeg::SetTarget(const std::string& target, const std::string& norm,
                              const std::string& defaultNorm) {
  TNorm n = nmPal;
  if (norm == "pal") {
    n = nmPal;
  } else if (norm == "ntsc") {
    n = nmNtsc;
  } else if (norm == "film") {
    n = nmFilm;
  } else {
    if (opt_.FrameRate.den == 0) throw FFmpegException("frame_rate is invalid.");
    bool found = NormOfRate(
        std::llround(1000.0 * double(opt_.FrameRate.num) / double(opt_.FrameRate.den)), n);
    if (!found) {
      for (const AVRational& tb : InputVideoTimeBases()) {
        if (tb.num == 0) continue;  // an unset time base says nothing about the norm
        if (NormOfRate(std::llround(1000.0 * double(tb.den) / double(tb.num)), n)) {
          found = true;
          break;
        }
      }
    }
    if (!found) n = defaultNorm == "film" ? nmFilm : defaultNorm == "ntsc" ? nmNtsc : nmPal;
    if (opt_.Verbose > 0)
      Logger().Log(this, llVerbose,
                   std::string("Assuming ") + (n == nmPal ? "PAL" : "NTSC") + " for target.");
  }

  const bool pal = n == nmPal;
  const std::string rate = kFrameRates[n];
  // Defaults the libraries may not know (e.g. a private muxer option) are left aside.
  auto def = [this](const char* name, const char* value) { SetDefaultOption(name, value); };
  auto assumeAspect = [this](const char* ratio) {
    if (opt_.FrameAspectRatio != 0) return;
    DispatchOption("aspect", ratio);
    Logger().Log(this, llInfo, std::string("Assuming ") + ratio + " for aspect ratio");
  };

  if (target == "vcd") {
    DispatchOption("vcodec", "mpeg1video");
    DispatchOption("acodec", "mp2");
    DispatchOption("f", "vcd");
    DispatchOption("s", pal ? "352x288" : "352x240");
    DispatchOption("r", rate);
    def("g", pal ? "15" : "18");
    def("b", "1150000");
    def("maxrate", "1150000");
    def("minrate", "1150000");
    def("bufsize", "327680");
    def("ab", "224000");
    opt_.AudioSampleRate = 44100;
    opt_.AudioChannels = 2;
    def("packetsize", "2324");
    def("muxrate", "1411200");
    // Room in the first packets for the mandatory VCD padding.
    opt_.MuxPreload = 0.44f;
    assumeAspect("4:3");
  } else if (target == "svcd") {
    DispatchOption("vcodec", "mpeg2video");
    DispatchOption("acodec", "mp2");
    DispatchOption("f", "svcd");
    DispatchOption("s", pal ? "480x576" : "480x480");
    DispatchOption("r", rate);
    def("g", pal ? "15" : "18");
    def("b", "2040000");
    def("maxrate", "2516000");
    def("minrate", "0");
    def("bufsize", "1835008");
    // The scan offset reservation is the MPEG-2 encoder's own switch in this library version;
    // "flags" no longer knows it.
    def("scan_offset", "1");
    def("ab", "224000");
    opt_.AudioSampleRate = 44100;
    if (opt_.AudioChannels == 1) opt_.AudioChannels = 2;
    def("packetsize", "2324");
    assumeAspect("4:3");
  } else if (target == "dvd") {
    DispatchOption("vcodec", "mpeg2video");
    DispatchOption("acodec", "ac3");
    DispatchOption("f", "dvd");
    DispatchOption("s", pal ? "720x576" : "720x480");
    DispatchOption("r", rate);
    def("g", pal ? "15" : "18");
    def("b", "6000000");
    def("maxrate", "9000000");
    def("minrate", "0");
    def("bufsize", "1835008");
    def("ab", "448000");
    opt_.AudioSampleRate = 48000;
    if (opt_.AudioChannels == 1) opt_.AudioChannels = 2;
    def("packetsize", "2048");
    def("muxrate", "10080000");
    assumeAspect("16:9");
  } else if (target == "dv" || target == "dv50") {
    DispatchOption("f", "dv");
    DispatchOption("s", pal ? "720x576" : "720x480");
    DispatchOption("pix_fmt", target == "dv50" ? "yuv422p" : pal ? "yuv420p" : "yuv411p");
    DispatchOption("r", rate);
    opt_.AudioSampleRate = 48000;
    opt_.AudioChannels = 2;
  } else {
    throw FFmpegException("Unknown target type");
  }
}

}  // namespace orvo
