// Cost of the per-frame watermark step on a 1280x720 frame: all four adjustments off neutral,
// one text item and one image item (read from its BMP file every frame, as in a conversion).
//
//   orvo_render_bench [FRAMES]   (default 200)
//
// Prints milliseconds per frame (mean and best) and the share of a 25 fps frame time (40 ms),
// then the same for each step alone.
#include <unistd.h>

#include <QGuiApplication>
#include <QImage>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "app/FileList.h"
#include "app/WaterMark.h"

namespace {

using namespace orvo;
using Clock = std::chrono::steady_clock;

void FillNoise(TBitmap& bmp, unsigned seed) {
  std::mt19937 gen(seed);
  for (int y = 0; y < bmp.Height(); ++y)
    for (int x = 0; x < bmp.Width() * 3; ++x) bmp.ScanLine(y)[x] = static_cast<uint8_t>(gen());
}

struct TFigures {
  double mean = 0, best = 0;
};

// Runs `step` on a fresh copy of the source frame `frames` times; the copy is not timed.
TFigures Measure(const TBitmap& source, int frames, const std::function<void(TBitmap&)>& step) {
  TBitmap frame;
  double total = 0, best = 1e300;
  for (int i = 0; i < frames; ++i) {
    frame.Assign(source);
    const auto start = Clock::now();
    step(frame);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    total += ms;
    best = std::min(best, ms);
  }
  return {total / frames, best};
}

void Print(const char* name, const TFigures& f) {
  std::printf("%-34s mean %7.3f ms  best %7.3f ms  %5.1f %% of 40 ms\n", name, f.mean, f.best,
              f.mean / 40.0 * 100.0);
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QGuiApplication app(argc, argv);
  const int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;

  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("orvo_render_bench_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string imageFile = (dir / "logo.bmp").string();
  {
    QImage logo(160, 90, QImage::Format_RGB888);
    for (int y = 0; y < logo.height(); ++y)
      for (int x = 0; x < logo.width(); ++x) logo.setPixel(x, y, qRgb(x, y * 2, 255 - x));
    if (!logo.save(QString::fromStdString(imageFile), "BMP")) {
      std::fprintf(stderr, "cannot write %s\n", imageFile.c_str());
      return 1;
    }
  }

  TlvFilesRecord row;
  row.Brightness = 300;
  row.Contrast = 20;
  row.Saturation = 320;
  row.Exposure = 40;
  auto text = std::make_unique<TWmRec>();
  text->Kind = 0;
  text->Text = "Orvo SWF Converter - sample watermark";
  text->Font.Size = 24;
  text->Font.Bold = true;
  text->Font.Color = 0x00FFFFFF;
  text->TextLeft = 40;
  text->TextTop = 40;
  text->TextWidth = 600;
  text->TextHeight = 40;
  text->TextAlpha = 200;
  text->EndSec = 1000;
  auto image = std::make_unique<TWmRec>();
  image->Kind = 1;
  image->ImageFile = imageFile;
  image->ImageLeft = 1080;
  image->ImageTop = 600;
  image->ImageAlpha = 180;
  image->EndSec = 1000;
  TWmRec textItem = *text;
  row.WaterMarks.push_back(std::move(text));
  row.WaterMarks.push_back(std::move(image));

  TBitmap source(1280, 720);
  FillNoise(source, 1);

  std::printf("1280x720, %d frames\n", frames);
  // A first call loads the font outside the figures.
  Measure(source, 1, [&](TBitmap& f) { RenderWaterMarks(f, row, 0); });
  Print("RenderWaterMarks (all of it)", Measure(source, frames, [&](TBitmap& f) {
          RenderWaterMarks(f, row, 5000000);
        }));
  Print("  AdjustColors", Measure(source, frames, [&](TBitmap& f) {
          AdjustColors(f, row.Brightness, row.Contrast, row.Saturation);
        }));
  Print("  AdjustExposure", Measure(source, frames, [&](TBitmap& f) {
          AdjustExposure(f, row.Exposure);
        }));
  Print("  text item", Measure(source, frames, [&](TBitmap& f) { DrawTextItem(f, textItem); }));
  Print("  image item (load + blend)", Measure(source, frames, [&](TBitmap& f) {
          TBitmap bmp;
          LoadBmp24(imageFile, bmp);
          BlendBitmap(f, bmp, 1080, 600, 180);
        }));

  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return 0;
}
