// BMP and PNG reading and writing of a 12-megapixel 24-bit photo through TImageIO, the way the
// conversion job does it (LoadFromFile, SaveToFile with the parameters the reader left).
//
// The photo: $LUMAPREP_BENCH_PNG, else the 12-megapixel PNG of ../shared/bench-corpus. The
// BMP is written from it once, before the benchmarks run. bench/bmppng-vs-tools runs this
// program and netpbm's and ImageMagick's converters on the same files, side by side.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "imaging/imageio.h"

namespace {

namespace fs = std::filesystem;
using namespace lumaprep;

std::string SourcePng() {
  if (const char* env = std::getenv("LUMAPREP_BENCH_PNG")) return env;
  return (fs::path(LUMAPREP_SOURCE_DIR).parent_path() / "shared" / "bench-corpus" / "png" /
          "monstree_IMG_1038.png")
      .string();
}

std::string TempPath(const std::string& ext) {
  return (fs::temp_directory_path() / ("lumaprep-bmppng-bench-" + std::to_string(::getpid()) + ext))
      .string();
}

// The 24-bit BMP twin of the photo, written once.
const std::string& SourceBmp() {
  static const std::string path = [] {
    if (const char* env = std::getenv("LUMAPREP_BENCH_BMP")) return std::string(env);
    const std::string bmp = TempPath("-source.bmp");
    TImageIO io;
    io.LoadFromFile(SourcePng());
    if (!io.Aborting()) io.SaveToFile(bmp);
    return bmp;
  }();
  return path;
}

bool HaveFile(benchmark::State& state, const std::string& path) {
  if (fs::exists(path)) return true;
  state.SkipWithError(("no file at " + path).c_str());
  return false;
}

void Read(benchmark::State& state, const std::string& src) {
  if (!HaveFile(state, src)) return;
  TImageIO io;
  for (auto _ : state) {
    io.LoadFromFile(src);
    if (io.Aborting()) state.SkipWithError("load failed");
  }
  const double mp = io.ImageBitmap()->Width() * double(io.ImageBitmap()->Height()) / 1e6;
  state.counters["megapixels"] = mp;
  state.counters["MP_per_s"] =
      benchmark::Counter(mp, benchmark::Counter::kIsIterationInvariantRate);
}

void Write(benchmark::State& state, const std::string& src, const std::string& ext,
           int pngFilter = -1, int pngLevel = -1) {
  if (!HaveFile(state, src)) return;
  TImageIO io;
  io.LoadFromFile(src);
  if (io.Aborting()) {
    state.SkipWithError("load failed");
    return;
  }
  if (pngFilter >= 0) io.Params().PNG_Filter = uint8_t(pngFilter);
  if (pngLevel >= 0) io.Params().PNG_Compression = pngLevel;
  const std::string dst = TempPath(ext);
  for (auto _ : state) {
    io.SaveToFile(dst);
    if (io.Aborting()) state.SkipWithError("save failed");
  }
  const double mp = io.ImageBitmap()->Width() * double(io.ImageBitmap()->Height()) / 1e6;
  state.counters["megapixels"] = mp;
  state.counters["MP_per_s"] =
      benchmark::Counter(mp, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["file_MB"] = double(fs::file_size(dst)) / 1e6;
  fs::remove(dst);
}

void BM_BmpRead(benchmark::State& state) { Read(state, SourceBmp()); }
void BM_BmpWrite(benchmark::State& state) { Write(state, SourceBmp(), ".bmp"); }
void BM_PngRead(benchmark::State& state) { Read(state, SourcePng()); }
// The reader leaves PNG_Filter 0 (no row filter) and PNG_Compression 5: the default output.
void BM_PngWrite(benchmark::State& state) { Write(state, SourcePng(), ".png"); }
// libpng's own filter choice at level 6: the settings of the other tools' PNG writers.
void BM_PngWriteAdaptive(benchmark::State& state) { Write(state, SourcePng(), ".png", 5, 6); }

BENCHMARK(BM_BmpRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BmpWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PngRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PngWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PngWriteAdaptive)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!std::getenv("LUMAPREP_BENCH_BMP")) fs::remove(SourceBmp());
  return 0;
}
