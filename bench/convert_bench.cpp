// The per-file conversion of the job on real photos (../shared/bench-corpus/photos, else the
// JPEG samples of ../shared/testdata): a full-size decode alone (the floor of the job), then
// ConvertFile to 1024 pixels wide at quality 80, exact and with the reduced-scale decode of
// --fast. Counters: photos and input megapixels per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "app/job/convert.h"
#include "imaging/imageio.h"
#include "imaging/resample.h"

namespace lumaprep {
namespace {

namespace fs = std::filesystem;

struct Photo {
  std::string path;
  double megapixels = 0;
};

const std::vector<Photo>& photos() {
  static const std::vector<Photo> list = [] {
    std::vector<Photo> found;
    const fs::path shared = fs::path(LUMAPREP_SOURCE_DIR).parent_path() / "shared";
    for (const fs::path& dir : {shared / "bench-corpus" / "photos", shared / "testdata" / "jpeg"}) {
      std::error_code ec;
      for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.path().extension() == ".jpg") found.push_back({e.path().string(), 0});
      if (!found.empty()) break;
    }
    std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.path < b.path; });
    TImageIO io;
    std::vector<Photo> readable;
    for (Photo& p : found) {
      io.LoadFromFile(p.path);
      if (io.Aborting()) continue;
      p.megapixels = double(io.ImageBitmap()->Width()) * io.ImageBitmap()->Height() / 1e6;
      readable.push_back(p);
    }
    return readable;
  }();
  return list;
}

void setCounters(benchmark::State& state) {
  double mp = 0;
  for (const Photo& p : photos()) mp += p.megapixels;
  const double n = double(state.iterations());
  state.counters["photos/s"] =
      benchmark::Counter(n * double(photos().size()), benchmark::Counter::kIsRate);
  state.counters["MP/s"] = benchmark::Counter(n * mp, benchmark::Counter::kIsRate);
}

void BM_DecodeFullSize(benchmark::State& state) {
  if (photos().empty()) return state.SkipWithError("no photos");
  TImageBitmap bitmap;
  bitmap.SetLocation(imMemory);
  TImageIO io(&bitmap);
  for (auto _ : state)
    for (const Photo& p : photos()) io.LoadFromFile(p.path);
  setCounters(state);
}

void BM_ConvertFile(benchmark::State& state) {
  if (photos().empty()) return state.SkipWithError("no photos");
  const bool fast = state.range(0) != 0;
  const std::string target = (fs::temp_directory_path() / "lumaprep-convert-bench.jpg").string();
  TImageBitmap bitmap;
  bitmap.SetLocation(imMemory);
  TImageIO io(&bitmap);
  TImageProc proc(&bitmap);
  for (auto _ : state)
    for (const Photo& p : photos()) ConvertFile(io, proc, p.path, target, 80, 1024, -1, {}, fast);
  fs::remove(target);
  setCounters(state);
}

BENCHMARK(BM_DecodeFullSize)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_ConvertFile)
    ->ArgName("fast")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime();

}  // namespace
}  // namespace lumaprep

BENCHMARK_MAIN();
