// JPEG load and save through our glue around libjpeg-turbo: a 4000 x 3000 photograph-like
// image decoded for a wanted 640 x 480 (the reader picks 1/4) and at full size, and a
// 640 x 480 encode at quality 80. bench/jpeg_peers.sh times djpeg and cjpeg on the same
// inputs, which this program writes into $MORVANE_BENCH_DIR when that is set.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "codecs/jpeg/jpegcodec.h"
#include "imagebuffer.h"
#include "ioframe.h"
#include "streams.h"

namespace morvane {
namespace {

// Smooth shading with texture and a little noise, so that the coder works as on a photo.
std::unique_ptr<TImageBuffer> Photo(int width, int height) {
    auto image = std::make_unique<TImageBuffer>(width, height, pf24RGB);
    uint32_t seed = 12345;
    for (int y = 0; y < height; ++y) {
        uint8_t* p = image->RowPointer(y);
        for (int x = 0; x < width; ++x, p += 3) {
            seed = seed * 1664525u + 1013904223u;
            int noise = int(seed >> 28) - 8;
            double u = double(x) / width, v = double(y) / height;
            double t = std::sin(u * 37.0 + std::cos(v * 23.0) * 3.0) * 40.0;
            p[0] = uint8_t(std::clamp(int(90 + 80 * v + t) + noise, 0, 255));
            p[1] = uint8_t(std::clamp(int(120 + 60 * std::sin(u * 9.0) - t / 2) + noise, 0, 255));
            p[2] = uint8_t(std::clamp(int(60 + 150 * u + t / 3) + noise, 0, 255));
        }
    }
    return image;
}

struct Inputs {
    std::vector<uint8_t> bigJpeg;           // 4000 x 3000, quality 92
    std::unique_ptr<TImageBuffer> small;    // 640 x 480
};

const Inputs& GetInputs() {
    static const Inputs inputs = [] {
        Inputs in;
        auto big = Photo(4000, 3000);
        TImageParams params;
        params.JpegQuality = 92;
        std::atomic<bool> aborting{false};
        TProgressRec progress;
        progress.Aborting = &aborting;
        TMemoryStream stream;
        WriteJpegStream(stream, *big, params, progress);
        in.bigJpeg = stream.Bytes();
        in.small = Photo(640, 480);
        if (const char* dir = std::getenv("MORVANE_BENCH_DIR")) {
            std::ofstream(std::string(dir) + "/photo4000.jpg", std::ios::binary)
                .write(reinterpret_cast<const char*>(in.bigJpeg.data()),
                       std::streamsize(in.bigJpeg.size()));
            // The same 640 x 480 pixels as a binary PPM (R, G, B) for cjpeg.
            std::ofstream ppm(std::string(dir) + "/photo640.ppm", std::ios::binary);
            ppm << "P6\n640 480\n255\n";
            for (int y = 0; y < 480; ++y) {
                const uint8_t* p = in.small->RowPointer(y);
                for (int x = 0; x < 640; ++x, p += 3) {
                    const char rgb[3] = {char(p[2]), char(p[1]), char(p[0])};
                    ppm.write(rgb, 3);
                }
            }
        }
        return in;
    }();
    return inputs;
}

void Decode(benchmark::State& state, uint8_t scale, int wantedWidth, int wantedHeight) {
    const Inputs& in = GetInputs();
    TImageBuffer image;
    TImageParams params;
    std::atomic<bool> aborting{false};
    TProgressRec progress;
    progress.Aborting = &aborting;
    for (auto _ : state) {
        params.JpegScale = scale;
        params.Width = wantedWidth;
        params.Height = wantedHeight;
        TMemoryStream stream(in.bigJpeg.data(), in.bigJpeg.size());
        int rows = ReadJpegStream(stream, nullptr, image, false, -1, true, true, false, true,
                                  false, false, progress, params);
        benchmark::DoNotOptimize(rows);
    }
    state.counters["width"] = image.Width();
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.bigJpeg.size()));
}

void BM_JpegDecodeQuarterFor640x480(benchmark::State& state) { Decode(state, 0, 640, 480); }
void BM_JpegDecodeFull4000x3000(benchmark::State& state) { Decode(state, 1, 0, 0); }

void BM_JpegEncode640x480Q80(benchmark::State& state) {
    const Inputs& in = GetInputs();
    TImageParams params;
    params.JpegQuality = 80;
    std::atomic<bool> aborting{false};
    TProgressRec progress;
    progress.Aborting = &aborting;
    TMemoryStream stream;
    for (auto _ : state) {
        stream.Bytes().clear();
        stream.Seek(0);
        WriteJpegStream(stream, *in.small, params, progress);
        benchmark::DoNotOptimize(stream.Size());
    }
}

BENCHMARK(BM_JpegDecodeQuarterFor640x480)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegDecodeFull4000x3000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegEncode640x480Q80)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace morvane
