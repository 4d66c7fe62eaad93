#pragma once
// Resampling of an image buffer: TImageProc changes the pixel size of the buffer it works on.
// rfNone copies one source pixel per destination pixel (nearest by truncation; same pixel
// format, no new colours); rfFastLinear interpolates linearly when enlarging and averages runs
// of pixels when reducing. The other filters run a separable filtered routine on im24RGB and
// im8g images (rfNearest samples at pixel centres); rfProjectBW and rfProjectWB keep black
// (white) details of im1g images. Combinations without a blend (palette, bilevel and
// multi-byte formats) copy whole pixels like rfNone.
#include <functional>

#include "imaging/imagebitmap.h"

namespace lumaprep {

enum TResampleFilter {
  rfNone,
  rfTriangle,
  rfHermite,
  rfBell,
  rfBSpline,
  rfLanczos3,
  rfMitchell,
  rfNearest,
  rfLinear,
  rfFastLinear,
  rfBilinear,
  rfBicubic,
  rfProjectBW,
  rfProjectWB,
};

// Progress of one routine in percent (0..99 while working).
using TResampleProgress = std::function<void(int percent)>;

// Pixel routines on already allocated buffers. Both set the source's access to read-only and
// the target's to write-only while they run (file-backed rows are then paged efficiently).
// rfNone: destination (x, y) = source (trunc(x * Ws/Wt), trunc(y * Hs/Ht)), whole pixels of
// any format (1-bit images bit by bit); the palette of im8p is not copied.
void StretchNearest(TImageBitmap& source, TImageBitmap& target,
                    const TResampleProgress& progress = {});
// rfFastLinear for im24RGB (three bytes per pixel) and 8-bit buffers (one byte per pixel, used
// for alpha channels). Other formats fall back to StretchNearest.
void StretchFastLinear(TImageBitmap& source, TImageBitmap& target,
                       const TResampleProgress& progress = {});

class TImageProc {
 public:
  using TProgressEvent = std::function<void(void* sender, int percent)>;
  using TNotifyEvent = std::function<void(void* sender)>;

  explicit TImageProc(TImageBitmap* attachedBitmap = nullptr) : m_bitmap(attachedBitmap) {}
  explicit TImageProc(TImageBitmap& attachedBitmap) : m_bitmap(&attachedBitmap) {}

  TImageBitmap* AttachedBitmap() const { return m_bitmap; }
  void SetAttachedBitmap(TImageBitmap* bitmap) { m_bitmap = bitmap; }

  // Resizes the attached buffer in place. Sizes: -1 automatic (keeps the aspect ratio from the
  // other side), 0 the buffer's own size, otherwise the absolute value in pixels; a computed side
  // below 1 becomes 1. Both sizes negative: nothing changes. Then OnImageChanged and the
  // finish-work step (OnProgress with 100, then OnFinishWork).
  void Resample(int newWidth, int newHeight, TResampleFilter filter = rfNone);
  // Allocates `target` with the destination size and the source's pixel format and fills it;
  // the source stays unchanged except that fully transparent im24RGB pixels become grey 128.
  void ResampleTo(TImageBitmap& target, int newWidth, int newHeight,
                  TResampleFilter filter = rfNone);
  // The pixel work into an already allocated target (alpha preparation, pixels, alpha).
  void ResampleBitmap(TImageBitmap& source, TImageBitmap& target, TResampleFilter filter);

  // The destination size for a request on a source of sourceWidth x sourceHeight; returns
  // false when nothing is to be done (empty source or both sides negative).
  static bool DestinationSize(int sourceWidth, int sourceHeight, int newWidth, int newHeight,
                              int& width, int& height);

  TProgressEvent OnProgress;
  TNotifyEvent OnFinishWork;
  // The attached view repaints.
  std::function<void()> OnImageChanged;

 private:
  void finishWork();

  TImageBitmap* m_bitmap;
};

}  // namespace lumaprep
