#include "app/job/convert.h"

#include "imaging/imageio.h"
#include "imaging/resample.h"

namespace lumaprep {

namespace {

void pump(const std::function<void()>& pendingEvents) {
  if (pendingEvents) pendingEvents();
}

// The size the JPEG decoder is asked for with its automatic scale: it picks the smallest
// 1/2, 1/4 or 1/8 reduction that still covers this size. An automatic side asks for 1 pixel,
// since it follows the other side's reduction. False when no reduction can help (own size on a
// side, or the image is kept as loaded).
bool scaledDecodeRequest(int reqWidth, int reqHeight, int& width, int& height) {
  if (reqWidth == 0 || reqHeight == 0) return false;
  if (reqWidth < 0 && reqHeight < 0) return false;
  width = reqWidth > 0 ? reqWidth : 1;
  height = reqHeight > 0 ? reqHeight : 1;
  return true;
}

}  // namespace

TConvertResult ConvertFile(TImageIO& io, TImageProc& proc, const std::string& source,
                           const std::string& target, int quality, int reqWidth, int reqHeight,
                           const std::function<void()>& pendingEvents, bool fastDecode) {
  TConvertResult result;
  TIOParamsVals& params = io.Params();
  // Every file starts from the default parameters. Otherwise a field that this file's reader
  // does not set would still hold what an earlier file left there and could change how this
  // file is written, so the output would depend on which files came before it (and, with
  // parallel workers, on which worker took it). The component's own NativePixelFormat setting
  // lives in the record too and is kept.
  const bool nativePixelFormat = params.IsNativePixelFormat;
  params.SetDefaultParams();
  params.IsNativePixelFormat = nativePixelFormat;
  // Reading a PNG hands its background colour to the component, and the next PNG starts from
  // it; the colour is put back afterwards so that every file starts from the caller's.
  struct BackgroundKeeper {
    TImageIO& io;
    TRGB saved;
    ~BackgroundKeeper() { io.SetBackground(saved); }
  } keepBackground{io, io.Background()};

  int decodeWidth = 0;
  int decodeHeight = 0;
  bool scaled = fastDecode && scaledDecodeRequest(reqWidth, reqHeight, decodeWidth, decodeHeight);
  if (scaled) {
    params.JPEG_Scale = 0;
    params.Width = decodeWidth;
    params.Height = decodeHeight;
    io.LoadFromFile(source);
    params.JPEG_Scale = 1;
  } else {
    io.LoadFromFile(source);
  }
  pump(pendingEvents);
  if (io.Aborting()) return result;
  result.Read = true;

  params.JPEG_Quality = quality;

  // After a reduced decode the output size still comes from the size stored in the file, so
  // that --fast changes pixels only, never the size of the result.
  int width = reqWidth;
  int height = reqHeight;
  if (scaled && params.FileType == ioJPEG && params.JPEG_ScaleUsed > 1) {
    int w = 0;
    int h = 0;
    if (TImageProc::DestinationSize(params.JPEG_FullWidth, params.JPEG_FullHeight, reqWidth,
                                    reqHeight, w, h)) {
      width = w;
      height = h;
    }
  }
  proc.Resample(width, height, rfNone);
  pump(pendingEvents);

  io.SaveToFile(target);
  pump(pendingEvents);
  result.Written = !io.Aborting();
  return result;
}

}  // namespace lumaprep
