#include <benchmark/benchmark.h>

#include <cstdint>

#include "imagedocument.h"
#include "imageproc.h"

namespace morvane {
namespace {

// A photograph-like pf24RGB image: smooth gradients with some fine texture, so that no
// path can profit from flat areas.
void MakePhoto(TImageBuffer& b, int width, int height) {
    b.Allocate(width, height, pf24RGB);
    uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        uint8_t* row = b.RowPointer(y);
        for (int x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const int grain = int(noise >> 28);
            row[3 * x] = uint8_t((x * 255 / width + grain) & 0xFF);
            row[3 * x + 1] = uint8_t((y * 255 / height + grain) & 0xFF);
            row[3 * x + 2] = uint8_t(((x + y) * 127 / (width + height) + 2 * grain) & 0xFF);
        }
    }
}

// Args: filter, source width, source height; the target is 640 x 480 as in the batch job.
void BM_Resample(benchmark::State& state) {
    const auto filter = TResampleFilter(state.range(0));
    TImageBuffer source;
    MakePhoto(source, int(state.range(1)), int(state.range(2)));
    TImageBuffer destination;
    for (auto _ : state) {
        ResampleInto(source, destination, 640, 480, filter);
        benchmark::DoNotOptimize(destination.RowPointer(0));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Resample)
    ->ArgNames({"filter", "w", "h"})
    ->ArgsProduct({{rfLanczos3, rfTriangle, rfFastLinear, rfBicubic}, {4000}, {3000}})
    ->ArgsProduct({{rfLanczos3, rfTriangle, rfFastLinear, rfBicubic}, {1000}, {750}})
    ->Unit(benchmark::kMillisecond);

// The watermark step: a 200 x 100 layer at opacity 128 merged over a 640 x 480 image.
void BM_MergeWatermark(benchmark::State& state) {
    TImageBuffer image, watermark;
    MakePhoto(image, 640, 480);
    MakePhoto(watermark, 200, 100);
    TImageDocument doc;
    for (auto _ : state) {
        state.PauseTiming();
        doc.CurrentBuffer().Assign(image);
        doc.AddLayer();
        doc.CurrentBuffer().Assign(watermark);
        doc.LayerAt(1)->LayerOpacity = 128;
        doc.LayerAt(1)->LayerX = 430;
        doc.LayerAt(1)->LayerY = 370;
        state.ResumeTiming();
        doc.MergeAllLayers();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MergeWatermark)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace morvane
