// libFuzzer target: bytes as a stream into TImageIO::LoadFromStream (the PNG reader), and a
// successful read written back through the PNG writer.
#include <cstddef>
#include <cstdint>

#include "imaging/imageio.h"
#include "imaging/pngcodec.h"

namespace {

uint32_t u32be(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Keeps images below the fuzzer's memory limit: about 4 million pixels.
bool sizeOk(const uint8_t* data, size_t size) {
  if (size < 24) return true;
  return uint64_t(u32be(data + 16)) * u32be(data + 20) <= (uint64_t(1) << 22);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || data[0] != 0x89 || data[1] != 'P' || data[2] != 'N' || data[3] != 'G' ||
      !sizeOk(data, size))
    return 0;
  lumaprep::MemoryStream stream(data, size);
  lumaprep::TImageIO io;
  io.SetNativePixelFormat(size & 1);  // both buffer mappings
  io.LoadFromStream(stream);
  if (!io.Aborting() && !io.ImageBitmap()->IsEmpty()) {
    lumaprep::MemoryStream out;
    try {
      io.SaveToStreamFormat(out, lumaprep::ioPNG);
    } catch (const lumaprep::EImagePngException&) {
      // A library refusal while writing is reported this way; not a crash.
    }
  }
  return 0;
}
