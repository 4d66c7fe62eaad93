#pragma once
// Colour quantisation: reduces an image buffer to a palette of at most 256 colours, then
// answers for any colour the palette index to use. Every writer of palette images builds one
// over its work buffer.
//
// The method is chosen when the quantiser is created:
//  - exact colours: a colour image with at most n distinct colours gets exactly those colours,
//    in order of first appearance;
//  - palette: an im8p buffer gives the first n entries of its own palette;
//  - grey ramp: grey images (and every format that is neither im24RGB nor im8p) get the ramp
//    trunc(256 / n * i);
//  - box splitting (n < 128): a variance-splitting box quantiser over a 32x32x32 histogram;
//  - neural network (n >= 128): a self-organising map of n neurons trained on a sample of the
//    pixels.
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/imagebitmap.h"

namespace lumaprep {

enum TQuantizerMethod : uint8_t {
  qmExactColors,
  qmPalette,
  qmGreyRamp,
  qmBoxSplit,
  qmNeuralNet,
};

class TBoxQuantizer;
class TNeuralQuantizer;

class TImageQuantizer {
 public:
  // Fills palette[0 .. n-1] for `source`, which is only read during construction. Entries the
  // method does not produce are left untouched. n is clamped to 1..256. `quality` steers the
  // network's sampling: -1 automatic by image size, 0..100 from every 30th pixel to every pixel.
  // `methodHint` is accepted for callers that pass one; the true-colour method follows from n.
  TImageQuantizer(const TImageBitmap& source, TRGB* palette, int colorCount, int quality = -1,
                  int methodHint = 0);
  ~TImageQuantizer();
  TImageQuantizer(const TImageQuantizer&) = delete;
  TImageQuantizer& operator=(const TImageQuantizer&) = delete;

  // The palette index for `color`, always in 0 .. PaletteCount()-1. Colours the image lacks
  // (a background colour, say) get a near entry. Not for concurrent calls on one quantiser:
  // the network remembers recent answers.
  int ColorIndex(TRGB color) const;

  // True when the image is grey (every pixel, or every palette entry, has red = green = blue;
  // always for formats other than im24RGB and im8p).
  bool Grey() const { return m_grey; }
  TQuantizerMethod Method() const { return m_method; }
  // Number of palette entries the method produced (at most the colour count asked for).
  int PaletteCount() const { return m_paletteCount; }

 private:
  void collectExactColors(const TImageBitmap& source);
  int exactIndex(uint32_t key) const;

  int m_colorCount;
  bool m_grey = false;
  TQuantizerMethod m_method = qmGreyRamp;
  int m_paletteCount = 0;
  std::unique_ptr<TBoxQuantizer> m_box;
  std::unique_ptr<TNeuralQuantizer> m_network;
  // Exact colours in order of first appearance, plus an open-addressed table colour -> index.
  std::vector<TRGB> m_exact;
  std::vector<uint32_t> m_exactKeys;
  std::vector<int16_t> m_exactSlots;
  // The palette of an im8p source (first n entries).
  std::vector<TRGB> m_palette;
};

// Pixels the network looks at: one in f. quality -1 chooses by pixel count (every pixel below
// 2000 pixels, about one in 30 for large photos); 0..100 gives f = trunc((100 - q) / 100 * 29) + 1.
int NeuralSamplingFactor(int64_t pixelCount, int quality);

}  // namespace lumaprep
