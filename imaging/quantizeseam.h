#pragma once
// The one place where the image buffer reaches the colour quantiser: converting a true-colour
// buffer to a palette buffer. Defined next to the quantiser in codecs/.

namespace lumaprep {

class TImageBitmap;

// src24 holds im24RGB pixels; dst8p is already allocated as im8p with src24's size.
// Builds a palette of dst8p.PaletteUsed colours from src24, stores it in dst8p's palette and
// writes each pixel's palette index.
void QuantizeToPalette(TImageBitmap& src24, TImageBitmap& dst8p);

}  // namespace lumaprep
