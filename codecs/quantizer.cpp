#include "imaging/quantizeseam.h"

namespace lumaprep {

// Placeholder until the colour quantiser lands: leaves the palette buffer as allocated.
void QuantizeToPalette(TImageBitmap&, TImageBitmap&) {}

}  // namespace lumaprep
