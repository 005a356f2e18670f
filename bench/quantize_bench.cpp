#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>

#include "colorconv.h"
#include "imagebuffer.h"

namespace morvane {
namespace {

// A synthetic stand-in for a photograph: smooth shading in three channels, a few soft
// shapes and per-pixel noise, so that nearly every pixel has its own colour.
void MakePhoto(TImageBuffer& image, int width, int height) {
    image.Allocate(width, height, pf24RGB);
    uint32_t seed = 12345;
    for (int y = 0; y < height; ++y) {
        uint8_t* px = image.RowPointer(y);
        for (int x = 0; x < width; ++x, px += 3) {
            seed = seed * 1664525u + 1013904223u;
            int noise = int(seed >> 28) - 8;
            double u = double(x) / width, v = double(y) / height;
            double sky = 0.5 + 0.5 * std::sin(6.0 * u + 2.0 * v);
            double blob = std::exp(-30.0 * ((u - 0.6) * (u - 0.6) + (v - 0.4) * (v - 0.4)));
            auto clampByte = [](double c) { return uint8_t(std::fmin(255.0, std::fmax(0.0, c))); };
            px[0] = clampByte(200 * sky * (1 - v) + 40 * blob + noise);
            px[1] = clampByte(120 * sky + 150 * blob * v + 60 * v + noise);
            px[2] = clampByte(60 + 140 * blob + 90 * u * v + noise);
        }
    }
}

// Build the palette and map every pixel, as the pf24RGB -> pf8p conversion does.
void BM_QuantizeAndMap(benchmark::State& state) {
    TImageBuffer photo;
    MakePhoto(photo, 1024, 768);
    TImageBuffer indexed(1024, 768, pf8p);
    indexed.PaletteColors = int32_t(state.range(0));
    for (auto _ : state) {
        indexed.ConvertFrom(photo);
        benchmark::ClobberMemory();
    }
    state.SetLabel(state.range(0) >= 128 ? "NeuQuant" : "box splitting");
}
BENCHMARK(BM_QuantizeAndMap)->Arg(256)->Arg(16)->Unit(benchmark::kMillisecond);

// 12-megapixel pf24RGB into another format (the destination is allocated once).
void BM_ConvertFrom24(benchmark::State& state) {
    const auto format = TPixelFormatKind(state.range(0));
    const bool managed = state.range(1) != 0;
    CMYKColorManagement = managed;
    if (format == pfCMYK && managed && !CMYKTransformsUsable()) {
        state.SkipWithError("colour management unavailable");
        return;
    }
    TImageBuffer photo;
    MakePhoto(photo, 4000, 3000);
    TImageBuffer dest(4000, 3000, format);
    for (auto _ : state) {
        dest.ConvertFrom(photo);
        benchmark::ClobberMemory();
    }
    CMYKColorManagement = true;
}
BENCHMARK(BM_ConvertFrom24)
    ->ArgNames({"format", "managed"})
    ->Args({pf1g, 0})
    ->Args({pf8g, 0})
    ->Args({pfCMYK, 0})
    ->Args({pfCMYK, 1})
    ->Unit(benchmark::kMillisecond);

// The per-colour managed path, for comparison with the row-at-a-time one above (one row).
void BM_ManagedCmykOneColourPerCall(benchmark::State& state) {
    TImageBuffer photo;
    MakePhoto(photo, 4000, 1);
    if (!CMYKTransformsUsable()) {
        state.SkipWithError("colour management unavailable");
        return;
    }
    for (auto _ : state) {
        const uint8_t* px = photo.RowPointer(0);
        for (int x = 0; x < 4000; ++x, px += 3) benchmark::DoNotOptimize(RGBToCMYK(px[2], px[1], px[0]));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 4000);
}
BENCHMARK(BM_ManagedCmykOneColourPerCall)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace morvane
