#pragma once
// Windows and OS/2 bitmaps (".bmp", ".dib", ".rle"): reader, writer and content test.
#include <cstdint>

#include "imaging/imageio.h"

namespace lumaprep {

// Reads one bitmap starting at the stream's position.
//  dataLength    bytes of the bitmap in the stream; 0 or less when unknown (the file header's
//                size is used then).
//  noFileHeader  the stream starts at the info header (a packed DIB); without it a stream that
//                does not begin with "BM" is still read as a packed DIB when it starts with a
//                known info-header size.
//  ignoreAlpha   the fourth byte of 32-bit pixels is not alpha. Alpha described by an explicit
//                alpha mask (V4/V5 headers) is always read.
// Alpha, when the file has any, goes into the buffer's AlphaChannel(); a channel that is all 0
// or all 255 is dropped. Bad data sets the abort flag of `progress`.
void BMPReadStream(Stream& stream, TImageBitmap& bitmap, int64_t dataLength, TIOParamsVals& params,
                   TProgressRec& progress, bool paramsOnly, bool noFileHeader, bool ignoreAlpha);

// Writes the whole buffer as one bitmap file at the stream's position and leaves the stream
// after it. Depth from BitsPerSample / SamplesPerPixel, header kind from BMP_Version, RLE from
// BMP_Compression, resolution from DpiX / DpiY. writeAlpha puts the alpha channel into the
// fourth byte of 32-bit pixels (else 255). A short write sets the abort flag.
void BMPWriteStream(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params, bool writeAlpha,
                    TProgressRec& progress);

// The registry's contract: ignore-alpha / write-alpha follow BMP_HandleTransparency.
void BMPReadFunction(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                     TProgressRec& progress);
void BMPWriteFunction(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params,
                      TProgressRec& progress);
// More than 14 bytes starting with "BM"; restores the stream position.
bool BMPTryStream(Stream& stream);

}  // namespace lumaprep
