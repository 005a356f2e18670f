#include <benchmark/benchmark.h>

#include "imagebuffer.h"

namespace morvane {
namespace {

// A 12-megapixel photograph's worth of pixels.
constexpr int kWidth = 4000, kHeight = 3000;

void MakeImage(TImageBuffer& b, TPixelFormatKind format) {
    b.Allocate(kWidth, kHeight, format);
    b.Fill(MakeColor(10, 20, 30));
}

void BM_Fill(benchmark::State& state) {
    const auto format = TPixelFormatKind(state.range(0));
    TImageBuffer b(kWidth, kHeight, format);
    for (auto _ : state) {
        b.Fill(MakeColor(10, 20, 30));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * b.RowLen() * kHeight);
}
BENCHMARK(BM_Fill)->Arg(pf8g)->Arg(pf24RGB)->Arg(pf32RGBX)->Unit(benchmark::kMillisecond);

void BM_Assign(benchmark::State& state) {
    TImageBuffer src;
    MakeImage(src, pf24RGB);
    TImageBuffer dst;
    for (auto _ : state) {
        dst.Assign(src);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Assign)->Unit(benchmark::kMillisecond);

void BM_FlipHorizontal(benchmark::State& state) {
    TImageBuffer b;
    MakeImage(b, TPixelFormatKind(state.range(0)));
    for (auto _ : state) {
        b.Flip(fdHorizontal);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_FlipHorizontal)->Arg(pf8g)->Arg(pf24RGB)->Unit(benchmark::kMillisecond);

void BM_Rotate(benchmark::State& state) {
    TImageBuffer b;
    MakeImage(b, TPixelFormatKind(state.range(0)));
    for (auto _ : state) {
        b.Rotate(90);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Rotate)->Arg(pf8g)->Arg(pf24RGB)->Arg(pf1g)->Unit(benchmark::kMillisecond);

void BM_RecheckOpaque(benchmark::State& state) {
    TImageBuffer b(kWidth, kHeight, pf8g);
    b.Fill(255);
    for (auto _ : state) {
        b.RecheckOpaque();
        benchmark::DoNotOptimize(b.FullyOpaque);
    }
}
BENCHMARK(BM_RecheckOpaque)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace morvane
