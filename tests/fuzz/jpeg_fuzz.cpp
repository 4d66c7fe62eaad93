// Bytes through TImageIO::LoadFromStream: content sniffing, then (for JPEG data) the JPEG reader
// with metadata, ICC collection and marker saving.
#include <cstddef>
#include <cstdint>

#include "imaging/imageio.h"
#include "imaging/jpegcodec.h"

namespace {

// Keeps one input below the fuzzer's memory limit: the decoded image and libjpeg's own
// buffers together stay under about 300 MB.
constexpr int64_t kMaxPixels = int64_t(24) << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lumaprep;
  JpegMaxMemory = int64_t(128) << 20;
  MemoryStream stream(data, size);
  // Other formats have fuzz targets of their own, with their own size caps.
  if (FindStreamFormat(stream) != ioJPEG) return 0;
  {
    // Only the header: images larger than the cap are not decoded.
    TImageBitmap probe;
    TIOParamsVals params;
    bool aborting = false;
    TProgressRec rec;
    rec.Aborting = &aborting;
    JpegReadStream(stream, probe, params, true, rec);
    if (int64_t(params.JPEG_FullWidth) * params.JPEG_FullHeight > kMaxPixels) return 0;
    stream.Seek(0);
  }
  TImageIO io;
  io.LoadFromStream(stream);
  return 0;
}
