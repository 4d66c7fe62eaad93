#pragma once
// JPEG reading and writing on libjpeg(-turbo): every colour space (grey, RGB, YCbCr, CMYK,
// YCCK), the file's markers kept in JPEG_MarkerList, ICC profile, IPTC and XMP.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "imaging/imageio.h"

namespace lumaprep {

// A library error while writing (the library's message text).
class EImageJpegException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a JPEG from the stream's position. maxRows < 0: all rows. Library errors never
// escape: they set the abort flag. tables: a tables-only stream read first
// (may be null).
void JPEGReadStream(Stream& stream, Stream* tables, TImageBitmap& bitmap, int maxRows, bool readICC,
                    bool dropICCMarkers, bool invertCMYK, bool readMetadata, bool rawColor,
                    bool paramsOnly, TProgressRec& progress, TIOParamsVals& params);
// Writes bitmap as JPEG with the settings in params; raises EImageJpegException on a library
// error.
void JPEGWriteStream(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params,
                     TProgressRec& progress);

// The registry's contract.
void JpegReadStream(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                    TProgressRec& progress);
void JpegWriteStream(Stream& stream, TImageBitmap& bitmap, TIOParamsVals& params,
                     TProgressRec& progress);
bool JpegTryStream(Stream& stream);  // restores the stream position

// Position of the first 0xFF 0xD8 0xFF among the first 100 positions from the current one,
// -1 when none; the stream position is restored.
int64_t FindJPEGStart(Stream& stream);

// Rebuilds the IPTC, EXIF and XMP markers of params.JPEG_MarkerList from the parsed
// metadata before writing.
void JpegPrepareMarkers(TIOParamsVals& params);

// Joins the ICC profile chunks (APP2 "ICC_PROFILE") of the JPEG at the stream's position;
// empty when the profile is absent or incomplete. The position is restored.
TImageICC JpegReadICC(Stream& stream);

// The EXIF block goes through the TIFF container. Until it registers these two, the EXIF APP1
// marker is carried over untouched.
// Reads the TIFF structure of an EXIF payload (after "Exif\0\0") into the EXIF fields of params
// (and its thumbnail into EXIF_Bitmap); false when it does not parse.
using TJpegExifReader = bool (*)(const uint8_t* tiff, size_t size, TIOParamsVals& params);
// Builds the TIFF structure of an EXIF payload from params (without the "Exif\0\0" prefix).
using TJpegExifWriter = std::vector<uint8_t> (*)(const TIOParamsVals& params);
extern TJpegExifReader JpegExifReader;
extern TJpegExifWriter JpegExifWriter;

// Memory that libjpeg may use for one image besides our buffer (whole-image coefficient
// arrays of progressive files). Default 1 GiB; the fuzzer lowers it.
extern int64_t JpegMaxMemory;

}  // namespace lumaprep
