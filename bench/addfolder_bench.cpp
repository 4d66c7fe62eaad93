// Folder scan of the batch-add window: the wildcard test per name and a walk over a tree of
// photos (the pending-events pump left out, so that the scan itself is measured).
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

#include "app/job/addfolder.h"

namespace {

namespace fs = std::filesystem;

void BM_WildcardMatch(benchmark::State& state) {
  const char* names[] = {"IMG_20190704_183512.JPG", "holiday.photo.jpeg", "2019", "notes.txt",
                         "DSC01234.jpg"};
  for (auto _ : state)
    for (const char* name : names) benchmark::DoNotOptimize(lumaprep::WildcardMatch("*.jpg", name));
  state.SetItemsProcessed(state.iterations() * 5);
}
BENCHMARK(BM_WildcardMatch);

// 20 folders of 250 files (4 of 5 JPEG), made once.
const fs::path& photoTree() {
  static const fs::path root = [] {
    const fs::path r =
        fs::temp_directory_path() / ("lumaprep-bench-tree-" + std::to_string(::getpid()));
    fs::remove_all(r);
    for (int d = 0; d < 20; ++d) {
      const fs::path folder = r / ("album" + std::to_string(d));
      fs::create_directories(folder);
      for (int f = 0; f < 250; ++f)
        std::ofstream(folder / ("IMG_" + std::to_string(f) + (f % 5 ? ".jpg" : ".png")));
    }
    return r;
  }();
  return root;
}

void BM_AddFolder(benchmark::State& state, const char* folder, const char* extension,
                  int entries) {
  const std::string root = (photoTree() / folder).string();
  size_t added = 0;
  for (auto _ : state) {
    added = 0;
    lumaprep::AddFolder(root, true, extension, [&](const std::string&) { ++added; }, {});
  }
  state.SetItemsProcessed(state.iterations() * entries);
  state.counters["added"] = static_cast<double>(added);
}
// The whole tree with any extension; one album of 250 with "jpg" (200 match).
BENCHMARK_CAPTURE(BM_AddFolder, tree_any, "", "*", 5020)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_AddFolder, album_jpg, "album0", "jpg", 250)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  fs::remove_all(photoTree());
  return 0;
}
