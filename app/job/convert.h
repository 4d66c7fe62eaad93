#pragma once
// Converting one file: the step that the window's job and lumaprep-cli share, so that both
// write byte-identical files for the same settings.
#include <functional>
#include <string>

namespace lumaprep {

class TImageIO;
class TImageProc;

// What happened to one file. Converts to true when the target was written.
struct TConvertResult {
  bool Read = false;     // the source was decoded without the abort flag
  bool Written = false;  // the target was written without the abort flag
  operator bool() const { return Written; }
};

// Resets io's parameters to their defaults and afterwards restores the component's background
// colour (so that nothing of an earlier file carries over into this file's output), loads source
// into io's buffer, sets JPEG_Quality, resamples with rfNone to reqWidth x reqHeight (-1 automatic,
// 0 the source's own size, else pixels) and saves to target, calling pendingEvents (when set) after
// the load, the resample and the save. A load that sets the abort flag is neither resampled nor
// saved: the buffer then holds a partly read or earlier image, which must not end up under the new
// name.
//
// fastDecode lets the JPEG decoder decode at 1/2, 1/4 or 1/8 size when the target is at most
// that fraction of the source (its automatic JPEG_Scale); the output size is the same as
// without it, the pixels are not. The window never sets it.
//
// Files that cannot be opened or created, and library errors while writing, are exceptions
// and pass to the caller.
TConvertResult ConvertFile(TImageIO& io, TImageProc& proc, const std::string& source,
                           const std::string& target, int quality, int reqWidth, int reqHeight,
                           const std::function<void()>& pendingEvents, bool fastDecode = false);

}  // namespace lumaprep
