#pragma once
// PNG reading (pngread.cpp) and writing (pngwrite.cpp) on libpng 1.6.
#include <stdexcept>

#include "imaging/imageio.h"

namespace lumaprep {

// A libpng error while writing: "Error on creating PNG".
class EImagePngException : public std::runtime_error {
 public:
  EImagePngException() : std::runtime_error("Error on creating PNG") {}
};

// Reads a PNG at the stream's position: every colour type and depth, tRNS, Adam7, text chunks,
// bKGD, pHYs. Buffers: im1g for 1-bit grey, im24RGB (plus an alpha channel when the file has
// alpha or tRNS) otherwise; with IsNativePixelFormat, 8-bit palette files become im8p, 8-bit
// grey im8g and 16-bit grey im16g. Corrupt or truncated data sets the abort flag; the rows
// decoded so far stay in the buffer.
void PNGReadStream(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                   TProgressRec& progress);

// Writes the buffer as PNG with the settings in params (depth and colour type from
// BitsPerSample / SamplesPerPixel, PNG_Interlaced, PNG_Filter, PNG_Compression, texts, pHYs,
// bKGD). alpha: the buffer's alpha channel or nullptr; with alpha->Full() false the output
// carries transparency. Raises EImagePngException on a library error; a stream that takes
// fewer bytes than given sets the abort flag.
void PNGWriteStream(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params,
                    const TImageBitmap* alpha, TProgressRec& progress);

// The registry's contract; the writer passes the buffer's alpha channel when it has one.
void PNGReadFunction(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                     TProgressRec& progress);
void PNGWriteFunction(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params,
                      TProgressRec& progress);

// True when the first 4 of 8 bytes are 0x89 "PNG"; restores the stream position.
bool PNGProbe(Stream& stream);

}  // namespace lumaprep
