#pragma once
// The player's drawing arithmetic, apart from its threads: fitting a picture into the output area,
// the waveform of files without video, and bitmap subtitles blended into an overlay.
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "component/DisplaySurface.h"

namespace orvo {

// Where a picture goes in a display of displayWidth x displayHeight. `aspectSetting` is the
// component's AspectRatio: above 0 that ratio; 0 the picture's own (sample aspect x width /
// height, a sample aspect of 0 counting as 1); below 0 fill the display (when its size is known).
TRect PictureArea(float aspectSetting, AVRational sampleAspect, int pictureWidth,
                  int pictureHeight, int displayLeft, int displayTop, int displayWidth,
                  int displayHeight);

// The waveform: a ring of 16-bit samples (interleaved, `channels` of them) and where drawing starts.
inline constexpr int kSampleArraySize = 131072;
struct TWaveformInput {
  const int16_t* Samples = nullptr;  // kSampleArraySize entries
  int WriteIndex = 0;
  int Channels = 1;
  int SampleRate = 0;
  int UnplayedBytes = 0;           // still in the audio buffer
  int64_t SinceLastCallbackUs = -1;  // -1: no callback has run
};
// The start index for drawing (computed while playing; the caller keeps it while paused).
int WaveformStart(const TWaveformInput& input, int displayWidth);
// Draws the bands (white bars on black, white separators) into `bitmap`, which has the display's
// size.
void DrawWaveform(const TWaveformInput& input, int start, TBitmap& bitmap);

// A subtitle palette entry RGBA (as the decoder gives it, 0xAARRGGBB) converted to Y, Cb, Cr with
// alpha by the BT.601 studio-range formulas in 10-bit fixed point: 0xAAYYUUVV.
uint32_t PaletteEntryToYuva(uint32_t argb);
// Blends one bitmap subtitle rectangle (paletted, 8 bits per pixel, palette already in YUVA) into
// the overlay, clipped to it.
void BlendSubtitleRect(TOverlay& overlay, const AVSubtitleRect& rect, const uint32_t* yuvaPalette);

}  // namespace orvo
