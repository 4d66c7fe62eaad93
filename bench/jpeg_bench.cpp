// JPEG load and save through TImageIO, the way the conversion job does it: LoadFromFile, then
// SaveToFile at quality 80 with the parameters the reader left (no resampling).
//
// The photo: $LUMAPREP_BENCH_JPEG, else a 12-megapixel photo of ../shared/bench-corpus. The
// peak resident memory of the process is reported as the counter "peak_MB".
// bench/jpeg-vs-djpeg runs this program and djpeg + cjpeg side by side.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "imaging/imageio.h"

namespace {

namespace fs = std::filesystem;
using namespace lumaprep;

std::string SourcePhoto() {
  if (const char* env = std::getenv("LUMAPREP_BENCH_JPEG")) return env;
  return (fs::path(LUMAPREP_SOURCE_DIR).parent_path() / "shared" / "bench-corpus" / "photos" /
          "caliterra_IMG_9354.jpg")
      .string();
}

std::string TargetPath() {
  return (fs::temp_directory_path() /
          ("lumaprep-jpeg-bench-" + std::to_string(::getpid()) + ".jpg"))
      .string();
}

double PeakMB() {
  rusage ru{};
  ::getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss / 1024.0;
}

bool HavePhoto(benchmark::State& state, const std::string& path) {
  if (fs::exists(path)) return true;
  state.SkipWithError(("no photo at " + path).c_str());
  return false;
}

void BM_LoadSave(benchmark::State& state) {
  const std::string src = SourcePhoto();
  const std::string dst = TargetPath();
  if (!HavePhoto(state, src)) return;
  TImageIO io;
  for (auto _ : state) {
    io.LoadFromFile(src);
    io.Params().JPEG_Quality = 80;
    io.SaveToFile(dst);
    if (io.Aborting()) state.SkipWithError("load or save failed");
  }
  state.counters["megapixels"] =
      io.ImageBitmap()->Width() * double(io.ImageBitmap()->Height()) / 1e6;
  state.counters["peak_MB"] = PeakMB();
  fs::remove(dst);
}
BENCHMARK(BM_LoadSave)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Load(benchmark::State& state) {
  const std::string src = SourcePhoto();
  if (!HavePhoto(state, src)) return;
  TImageIO io;
  for (auto _ : state) {
    io.LoadFromFile(src);
    if (io.Aborting()) state.SkipWithError("load failed");
  }
  state.counters["peak_MB"] = PeakMB();
}
BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Save(benchmark::State& state) {
  const std::string src = SourcePhoto();
  const std::string dst = TargetPath();
  if (!HavePhoto(state, src)) return;
  TImageIO io;
  io.LoadFromFile(src);
  io.Params().JPEG_Quality = 80;
  for (auto _ : state) {
    io.SaveToFile(dst);
    if (io.Aborting()) state.SkipWithError("save failed");
  }
  fs::remove(dst);
}
BENCHMARK(BM_Save)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
