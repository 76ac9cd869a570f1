#pragma once
// Sample arithmetic of the audio output path, free of any engine state so it can be checked on
// its own.
#include <cstdint>

extern "C" {
#include <libavutil/samplefmt.h>
}

namespace orvo {

// One 16-bit sample at volume/256: (s * volume + 128) >> 8, clipped to -32768..32767.
int16_t ScaleSample16(int16_t sample, int volume);

// Scales every sample of a block in place by volume/256, rounding to nearest like the 16-bit
// rule and clipping to the format's range (float formats to -1..1). `planes` holds one pointer
// per channel for planar formats and one for packed ones; `samples` counts samples per channel.
void ScaleSamples(uint8_t* const* planes, AVSampleFormat format, int channels, int samples,
                  int volume);

}  // namespace orvo
