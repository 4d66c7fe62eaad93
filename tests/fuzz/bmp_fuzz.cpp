// libFuzzer target: bytes as a stream into TImageIO::LoadFromStream (the BMP reader), and a
// successful read written back through the BMP writer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "imaging/imageio.h"

namespace {

int64_t u32le(const uint8_t* p) {
  return int64_t(uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) |
                 (uint32_t(p[3]) << 24));
}

// Keeps images below the fuzzer's memory limit: about 4 million pixels.
bool sizeOk(const uint8_t* data, size_t size) {
  if (size < 26) return true;
  const int64_t headerSize = u32le(data + 14);
  int64_t w = 0, h = 0;
  if (headerSize == 12) {
    w = data[18] | (data[19] << 8);
    h = data[20] | (data[21] << 8);
  } else {
    w = int32_t(u32le(data + 18));
    h = int32_t(u32le(data + 22));
  }
  return std::llabs(w) * std::llabs(h) <= (int64_t(1) << 22);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || data[0] != 'B' || data[1] != 'M' || !sizeOk(data, size)) return 0;
  lumaprep::MemoryStream stream(data, size);
  lumaprep::TImageIO io;
  io.Params().BMP_HandleTransparency = size & 1;  // both alpha paths
  io.LoadFromStream(stream);
  if (!io.Aborting() && !io.ImageBitmap()->IsEmpty()) {
    lumaprep::MemoryStream out;
    io.SaveToStreamFormat(out, lumaprep::ioBMP);
  }
  return 0;
}
