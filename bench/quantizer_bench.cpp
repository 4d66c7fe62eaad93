// Colour quantiser speed on a 12-megapixel photo, next to a JPEG decode of the same photo, and
// the mean error of the 256-colour network palette on the sample photos.
//
// The 12-megapixel photo is a camera photo from ../shared/bench-corpus when present; else a
// sample photo scaled up (bilinear) to 4000 x 3000 and encoded as a JPEG of quality 90 in
// memory; without either, a synthetic picture.
#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "codecs/quantizer.h"
#include "imaging/imagebitmap.h"
#include "imaging/quantizeseam.h"

namespace lumaprep {
namespace {

const std::filesystem::path kPhotoDir =
    std::filesystem::path(LUMAPREP_SOURCE_DIR).parent_path() / "shared" / "testdata" / "jpeg";

struct JpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

void jpegErrorExit(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}
void jpegQuiet(j_common_ptr) {}

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgr;  // top-down rows of blue, green, red
};

// Only trivially destructible locals live across setjmp.
bool decodeJpeg(const uint8_t* data, size_t size, Picture& out) {
  jpeg_decompress_struct info;
  JpegError error;
  info.err = jpeg_std_error(&error.mgr);
  error.mgr.error_exit = jpegErrorExit;
  error.mgr.output_message = jpegQuiet;
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_EXT_BGR;
  jpeg_start_decompress(&info);
  out.width = int(info.output_width);
  out.height = int(info.output_height);
  out.bgr.resize(size_t(out.width) * size_t(out.height) * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = out.bgr.data() + size_t(info.output_scanline) * size_t(out.width) * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

bool encodeJpeg(const Picture& picture, int quality, unsigned char** buffer, unsigned long* size) {
  jpeg_compress_struct info;
  JpegError error;
  info.err = jpeg_std_error(&error.mgr);
  error.mgr.error_exit = jpegErrorExit;
  if (setjmp(error.jump)) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, buffer, size);
  info.image_width = JDIMENSION(picture.width);
  info.image_height = JDIMENSION(picture.height);
  info.input_components = 3;
  info.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(picture.bgr.data()) +
                   size_t(info.next_scanline) * size_t(picture.width) * 3;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

bool readFile(const std::filesystem::path& path, std::vector<uint8_t>& data) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  data.clear();
  std::array<uint8_t, 65536> chunk;
  size_t got;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), f)) > 0)
    data.insert(data.end(), chunk.begin(), chunk.begin() + long(got));
  std::fclose(f);
  return true;
}

bool loadPhoto(const std::filesystem::path& path, Picture& out) {
  std::vector<uint8_t> data;
  return readFile(path, data) && decodeJpeg(data.data(), data.size(), out);
}

Picture scaleBilinear(const Picture& src, int width, int height) {
  Picture out;
  out.width = width;
  out.height = height;
  out.bgr.resize(size_t(width) * size_t(height) * 3);
  for (int y = 0; y < height; ++y) {
    const double sy = (y + 0.5) * src.height / height - 0.5;
    const int y0 = std::clamp(int(sy), 0, src.height - 1);
    const int y1 = std::min(y0 + 1, src.height - 1);
    const double fy = std::clamp(sy - y0, 0.0, 1.0);
    for (int x = 0; x < width; ++x) {
      const double sx = (x + 0.5) * src.width / width - 0.5;
      const int x0 = std::clamp(int(sx), 0, src.width - 1);
      const int x1 = std::min(x0 + 1, src.width - 1);
      const double fx = std::clamp(sx - x0, 0.0, 1.0);
      for (int c = 0; c < 3; ++c) {
        auto at = [&](int xx, int yy) {
          return double(src.bgr[(size_t(yy) * size_t(src.width) + size_t(xx)) * 3 + size_t(c)]);
        };
        const double v = (at(x0, y0) * (1 - fx) + at(x1, y0) * fx) * (1 - fy) +
                         (at(x0, y1) * (1 - fx) + at(x1, y1) * fx) * fy;
        out.bgr[(size_t(y) * size_t(width) + size_t(x)) * 3 + size_t(c)] = uint8_t(v + 0.5);
      }
    }
  }
  return out;
}

Picture syntheticPhoto(int width, int height) {
  Picture out;
  out.width = width;
  out.height = height;
  out.bgr.resize(size_t(width) * size_t(height) * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &out.bgr[(size_t(y) * size_t(width) + size_t(x)) * 3];
      p[0] = uint8_t(((x + y) / 13 + (x * y / 997) % 41) & 255);
      p[1] = uint8_t(y * 255 / height);
      p[2] = uint8_t(x * 255 / width);
    }
  }
  return out;
}

void toBitmap(const Picture& picture, TImageBitmap& image) {
  image.Allocate(picture.width, picture.height, im24RGB);
  const size_t rowBytes = size_t(picture.width) * 3;
  for (int y = 0; y < picture.height; ++y) {
    std::copy_n(picture.bgr.data() + size_t(y) * rowBytes, rowBytes, image.ScanLine(y));
  }
}

// The 12-megapixel photo, its JPEG and its buffer, made once.
struct BigPhoto {
  Picture picture;
  std::vector<uint8_t> jpeg;
  TImageBitmap image;
  std::string origin;

  BigPhoto() {
    Picture small;
    // A real 12-megapixel camera photo when the benchmark photos are there, decoded from its
    // own file; else a sample photo scaled up to that size.
    const std::filesystem::path camera = std::filesystem::path(LUMAPREP_SOURCE_DIR).parent_path() /
                                         "shared" / "bench-corpus" / "photos" /
                                         "caliterra_IMG_9354.jpg";
    if (loadPhoto(camera, picture) && readFile(camera, jpeg)) {
      origin = "caliterra_IMG_9354.jpg, " + std::to_string(picture.width) + "x" +
               std::to_string(picture.height) + " camera photo";
      toBitmap(picture, image);
      return;
    }
    if (loadPhoto(kPhotoDir / "junk_jpeg_header.jpg", small)) {
      picture = scaleBilinear(small, 4000, 3000);
      origin = "junk_jpeg_header.jpg scaled to 4000x3000";
    } else {
      picture = syntheticPhoto(4000, 3000);
      origin = "synthetic 4000x3000";
    }
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (encodeJpeg(picture, 90, &buffer, &size)) jpeg.assign(buffer, buffer + size);
    std::free(buffer);
    toBitmap(picture, image);
  }
};

BigPhoto& bigPhoto() {
  static BigPhoto photo;
  return photo;
}

void BM_JpegDecode12MP(benchmark::State& state) {
  BigPhoto& photo = bigPhoto();
  Picture out;
  for (auto _ : state) {
    if (!decodeJpeg(photo.jpeg.data(), photo.jpeg.size(), out)) state.SkipWithError("decode");
    benchmark::DoNotOptimize(out.bgr.data());
  }
  state.SetLabel(photo.origin + ", " + std::to_string(photo.jpeg.size()) + " bytes");
}
BENCHMARK(BM_JpegDecode12MP)->Unit(benchmark::kMillisecond);

// Building the palette only (grey check, exact-colour scan, training, sorting).
void BM_BuildPalette12MP(benchmark::State& state) {
  BigPhoto& photo = bigPhoto();
  const int n = int(state.range(0));
  std::array<TRGB, 256> palette{};
  for (auto _ : state) {
    TImageQuantizer q(photo.image, palette.data(), n);
    benchmark::DoNotOptimize(palette.data());
  }
  TImageQuantizer q(photo.image, palette.data(), n);
  state.SetLabel(q.Method() == qmNeuralNet ? "network" : "box splitting");
}
BENCHMARK(BM_BuildPalette12MP)
    ->Arg(256)
    ->Arg(255)
    ->Arg(127)
    ->Arg(15)
    ->Unit(benchmark::kMillisecond);

// ColorIndex for every pixel, one call per pixel.
void BM_MapEveryPixel12MP(benchmark::State& state) {
  BigPhoto& photo = bigPhoto();
  std::array<TRGB, 256> palette{};
  TImageQuantizer q(photo.image, palette.data(), int(state.range(0)));
  for (auto _ : state) {
    uint64_t sum = 0;
    for (int y = 0; y < photo.image.Height(); ++y) {
      const uint8_t* p = photo.image.ScanLine(y);
      for (int x = 0; x < photo.image.Width(); ++x, p += 3) {
        sum += uint64_t(q.ColorIndex(TRGB{p[0], p[1], p[2]}));
      }
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * int64_t(photo.image.Width()) * photo.image.Height());
}
BENCHMARK(BM_MapEveryPixel12MP)->Arg(256)->Arg(15)->Unit(benchmark::kMillisecond);

// The buffer's conversion: palette plus an index per pixel into an im8p buffer.
void BM_ConvertToPalette12MP(benchmark::State& state) {
  BigPhoto& photo = bigPhoto();
  TImageBitmap target;
  target.Allocate(photo.image.Width(), photo.image.Height(), im8p);
  target.SetPaletteUsed(256);
  for (auto _ : state) {
    QuantizeToPalette(photo.image, target);
    benchmark::DoNotOptimize(target.ScanLine(0));
  }
}
BENCHMARK(BM_ConvertToPalette12MP)->Unit(benchmark::kMillisecond);

// Mean absolute error per channel of the 256-colour network palette against each sample photo
// at its own size (counter mean_err; max_err is the largest per-pixel channel sum).
void BM_NetworkQuality(benchmark::State& state, const char* name) {
  Picture picture;
  if (!loadPhoto(kPhotoDir / name, picture)) {
    state.SkipWithError("sample photo missing");
    return;
  }
  TImageBitmap image;
  toBitmap(picture, image);
  std::array<TRGB, 256> palette{};
  double meanError = 0;
  int maxError = 0;
  TQuantizerMethod method = qmNeuralNet;
  for (auto _ : state) {
    TImageQuantizer q(image, palette.data(), 256);
    method = q.Method();
    int64_t sum = 0;
    for (int y = 0; y < image.Height(); ++y) {
      const uint8_t* p = image.ScanLine(y);
      for (int x = 0; x < image.Width(); ++x, p += 3) {
        const TRGB e = palette[size_t(q.ColorIndex(TRGB{p[0], p[1], p[2]}))];
        const int d = std::abs(e.b - p[0]) + std::abs(e.g - p[1]) + std::abs(e.r - p[2]);
        sum += d;
        maxError = std::max(maxError, d);
      }
    }
    meanError = double(sum) / (3.0 * image.Width() * image.Height());
  }
  state.counters["mean_err"] = meanError;
  state.counters["max_err"] = maxError;
  state.SetLabel(std::to_string(image.Width()) + "x" + std::to_string(image.Height()) +
                 (method == qmNeuralNet ? ", network" : ", not the network"));
}
BENCHMARK_CAPTURE(BM_NetworkQuality, flower, "flower.jpg")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NetworkQuality, cat, "cat.jpg")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NetworkQuality, iptc, "iptc.jpg")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NetworkQuality, junk_header, "junk_jpeg_header.jpg")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NetworkQuality, ycbcr444, "jfif-ycbcr-no-subsampling-intel.jpg")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NetworkQuality, olympus, "jfif-jfxx-thumbnail-olympus-d320l.jpg")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_NetworkQuality, ycck_3channel, "exif-jfif-app13-app14ycck-3channel.jpg")
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace lumaprep

BENCHMARK_MAIN();
