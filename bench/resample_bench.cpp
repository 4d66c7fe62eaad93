// Speed of the two resampling routines on a 6000 x 4000 photo reduced to 1024 pixels wide, in
// source megapixels per second (the destination rate of the nearest routine as well), and for
// scale the time of decoding one JPEG of that size.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "imaging/imageio.h"
#include "imaging/ioparams.h"
#include "imaging/jpegcodec.h"
#include "imaging/resample.h"
#include "imaging/stream.h"

namespace lumaprep {
namespace {

constexpr int kSourceWidth = 6000;
constexpr int kSourceHeight = 4000;
constexpr int kTargetWidth = 1024;
constexpr int kTargetHeight = kSourceHeight * kTargetWidth / kSourceWidth;  // 682

// A photo-like memory image: smooth gradients with some pixel noise.
TImageBitmap& photo() {
  static TImageBitmap* b = [] {
    auto* p = new TImageBitmap;
    p->SetLocation(imMemory);
    p->SetMinFileSize(INT64_MAX);
    p->Allocate(kSourceWidth, kSourceHeight, im24RGB);
    uint32_t noise = 12345;
    for (int y = 0; y < kSourceHeight; ++y) {
      uint8_t* row = p->ScanLine(y);
      for (int x = 0; x < kSourceWidth; ++x) {
        noise = noise * 1664525u + 1013904223u;
        const int n = int(noise >> 29);
        row[3 * x] = uint8_t(x * 255 / kSourceWidth + n);
        row[3 * x + 1] = uint8_t(y * 255 / kSourceHeight + n);
        row[3 * x + 2] = uint8_t((x + y) / 40 + n);
      }
    }
    return p;
  }();
  return *b;
}

void run(benchmark::State& state,
         void (*routine)(TImageBitmap&, TImageBitmap&, const TResampleProgress&)) {
  TImageBitmap& source = photo();
  TImageBitmap target;
  target.SetLocation(imMemory);
  target.SetMinFileSize(INT64_MAX);
  target.Allocate(kTargetWidth, kTargetHeight, im24RGB);
  for (auto _ : state) {
    routine(source, target, {});
    benchmark::DoNotOptimize(target.ScanLine(0));
    benchmark::ClobberMemory();
  }
  const double iterations = double(state.iterations());
  state.counters["src_MPix/s"] = benchmark::Counter(iterations * kSourceWidth * kSourceHeight / 1e6,
                                                    benchmark::Counter::kIsRate);
  state.counters["dst_MPix/s"] = benchmark::Counter(iterations * kTargetWidth * kTargetHeight / 1e6,
                                                    benchmark::Counter::kIsRate);
}

void BM_StretchNearest(benchmark::State& state) { run(state, StretchNearest); }
void BM_StretchFastLinear(benchmark::State& state) { run(state, StretchFastLinear); }

// The whole in-place operation of the conversion job: temporary target, nearest routine and
// the copy back into the source buffer.
void BM_ResampleInPlaceNone(benchmark::State& state) {
  TImageBitmap work;
  work.SetLocation(imMemory);
  work.SetMinFileSize(INT64_MAX);
  for (auto _ : state) {
    state.PauseTiming();
    work.Assign(photo());
    state.ResumeTiming();
    TImageProc(&work).Resample(kTargetWidth, -1, rfNone);
    benchmark::DoNotOptimize(work.ScanLine(0));
  }
  state.counters["src_MPix/s"] = benchmark::Counter(
      double(state.iterations()) * kSourceWidth * kSourceHeight / 1e6, benchmark::Counter::kIsRate);
}

void BM_JpegDecode6000x4000(benchmark::State& state) {
  MemoryStream file;
  {
    TIOParamsVals params;
    params.JPEG_Quality = 80;
    bool aborting = false;
    TProgressRec progress;
    progress.Aborting = &aborting;
    JpegWriteStream(file, photo(), params, progress);
  }
  for (auto _ : state) {
    file.Seek(0);
    TImageBitmap decoded;
    TIOParamsVals params;
    bool aborting = false;
    TProgressRec progress;
    progress.Aborting = &aborting;
    JpegReadStream(file, decoded, params, false, progress);
    if (aborting || decoded.Width() != kSourceWidth) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(decoded.ScanLine(0));
  }
  state.counters["file_MB"] = double(file.Size()) / 1e6;
  state.counters["src_MPix/s"] = benchmark::Counter(
      double(state.iterations()) * kSourceWidth * kSourceHeight / 1e6, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_StretchNearest)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StretchFastLinear)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ResampleInPlaceNone)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegDecode6000x4000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lumaprep

BENCHMARK_MAIN();
