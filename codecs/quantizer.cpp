// Colour quantisation: exact colours, the buffer's own palette, a grey ramp, a variance-splitting
// box quantiser (fewer than 128 colours) and a self-organising neural-network quantiser (128
// colours or more).
#include "codecs/quantizer.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "imaging/quantizeseam.h"

namespace lumaprep {

namespace {

// Round to the nearest integer, a half going to the even neighbour.
int64_t roundHalfEven(double x) {
  double whole = std::floor(x);
  const double fraction = x - whole;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0)) whole += 1.0;
  return int64_t(whole);
}

uint32_t colorKey(TRGB c) { return uint32_t(c.b) | uint32_t(c.g) << 8 | uint32_t(c.r) << 16; }

int squaredDistance(TRGB a, TRGB b) {
  const int db = a.b - b.b, dg = a.g - b.g, dr = a.r - b.r;
  return db * db + dg * dg + dr * dr;
}

// Index of the entry nearest to `c` (squared distance, the first of equal ones); 0 when empty.
int nearestEntry(const std::vector<TRGB>& entries, TRGB c) {
  int best = 0;
  int bestDistance = INT_MAX;
  for (size_t i = 0; i < entries.size(); ++i) {
    const int d = squaredDistance(entries[i], c);
    if (d < bestDistance) {
      bestDistance = d;
      best = int(i);
    }
  }
  return best;
}

bool isGreyImage(const TImageBitmap& image) {
  const int width = image.Width();
  for (int y = 0; y < image.Height(); ++y) {
    const uint8_t* p = image.ScanLine(y);
    if (!p) continue;
    for (int x = 0; x < width; ++x, p += 3) {
      if (p[0] != p[1] || p[1] != p[2]) return false;
    }
  }
  return true;
}

bool isGreyPalette(const TImageBitmap& image) {
  for (int i = 0; i < image.PaletteLength(); ++i) {
    const TRGB c = image.GetPalette(i);
    if (c.r != c.g || c.g != c.b) return false;
  }
  return true;
}

}  // namespace

// ---- Box splitting ----------------------------------------------------------------------------

// Colours are counted in 32 x 32 x 32 cells (5 bits per channel). A box is a block of cells;
// the box with the largest variance is cut in two along the axis that leaves the smallest
// summed variance, until there are n boxes or nothing can be cut. Each box gives one colour,
// the mean of its pixels.
class TBoxQuantizer {
 public:
  TBoxQuantizer(const TImageBitmap& image, int colorCount);
  // Writes one entry per box; returns the number of boxes.
  int FillPalette(TRGB* palette) const;
  int Index(TRGB c) const { return m_map[cellOf(c.r >> 3, c.g >> 3, c.b >> 3)]; }

 private:
  static constexpr int kBins = 32;
  static constexpr int kCells = kBins * kBins * kBins;
  // What an axis scores when it cannot be cut; higher than any real summed variance.
  static constexpr double kSplitFailScore = 17523.6;

  // axis 0 red, 1 green, 2 blue; bounds [lo, hi) in cells.
  struct Box {
    double variance = 0;
    double mean[3] = {0, 0, 0};
    int64_t count = 0;
    int64_t hist[3][kBins] = {};
    int lo[3] = {0, 0, 0};
    int hi[3] = {kBins, kBins, kBins};
  };

  static int cellOf(int r, int g, int b) { return r << 10 | g << 5 | b; }

  void computeStats(Box& box) const;
  void recount(Box& box) const;
  static void shrink(Box& box);
  bool splitAxis(const Box& box, int axis, Box& lower, Box& upper) const;
  bool split(const Box& box, Box& lower, Box& upper) const;
  void buildMap();

  std::vector<uint32_t> m_hist;  // pixels per cell
  std::vector<Box> m_boxes;
  std::vector<uint8_t> m_map;  // cell -> palette index
  int64_t m_pixelCount = 0;
};

TBoxQuantizer::TBoxQuantizer(const TImageBitmap& image, int colorCount)
    : m_hist(kCells, 0), m_map(kCells, 0) {
  m_boxes.reserve(size_t(colorCount));
  m_boxes.emplace_back();
  Box& all = m_boxes[0];
  const int width = image.Width();
  for (int y = 0; y < image.Height(); ++y) {
    const uint8_t* p = image.ScanLine(y);
    if (!p) continue;
    for (int x = 0; x < width; ++x, p += 3) {
      const int r = p[2] >> 3, g = p[1] >> 3, b = p[0] >> 3;
      ++m_hist[size_t(cellOf(r, g, b))];
      ++all.hist[0][r];
      ++all.hist[1][g];
      ++all.hist[2][b];
    }
    m_pixelCount += width;
  }
  all.count = m_pixelCount;
  computeStats(all);

  while (int(m_boxes.size()) < colorCount) {
    int chosen = -1;
    double largest = 0;
    for (size_t j = 0; j < m_boxes.size(); ++j) {
      if (m_boxes[j].variance > largest) {
        largest = m_boxes[j].variance;
        chosen = int(j);
      }
    }
    if (chosen < 0) break;
    Box lower, upper;
    if (split(m_boxes[size_t(chosen)], lower, upper)) {
      m_boxes[size_t(chosen)] = lower;
      m_boxes.push_back(upper);
    } else {
      m_boxes[size_t(chosen)].variance = 0;  // never chosen again
    }
  }
  buildMap();
}

void TBoxQuantizer::computeStats(Box& box) const {
  double variance = 0;
  for (int axis = 0; axis < 3; ++axis) {
    int64_t s1 = 0, s2 = 0;
    for (int k = box.lo[axis]; k < box.hi[axis]; ++k) {
      s1 += k * box.hist[axis][k];
      s2 += int64_t(k) * k * box.hist[axis][k];
    }
    const double mean = box.count > 0 ? double(s1) / double(box.count) : 0.0;
    box.mean[axis] = mean;
    variance += double(s2) - mean * mean * double(box.count);
  }
  box.variance = m_pixelCount > 0 ? variance / double(m_pixelCount) : 0.0;
}

void TBoxQuantizer::recount(Box& box) const {
  for (auto& axis : box.hist) std::fill(std::begin(axis), std::end(axis), 0);
  int64_t count = 0;
  for (int r = box.lo[0]; r < box.hi[0]; ++r) {
    for (int g = box.lo[1]; g < box.hi[1]; ++g) {
      const uint32_t* cell = &m_hist[size_t(cellOf(r, g, 0))];
      for (int b = box.lo[2]; b < box.hi[2]; ++b) {
        const uint32_t n = cell[b];
        if (n == 0) continue;
        box.hist[0][r] += n;
        box.hist[1][g] += n;
        box.hist[2][b] += n;
        count += n;
      }
    }
  }
  box.count = count;
}

void TBoxQuantizer::shrink(Box& box) {
  for (int axis = 0; axis < 3; ++axis) {
    int first = box.lo[axis];
    int last = box.hi[axis] - 1;
    while (first <= last && box.hist[axis][first] == 0) ++first;
    while (last >= first && box.hist[axis][last] == 0) --last;
    if (first > last) continue;  // empty box: leave the bounds alone
    box.lo[axis] = first;
    box.hi[axis] = last + 1;
  }
}

// Cuts `box` along one axis at the bin that maximises C / (N - C) * (m - T)^2 between the
// rounded midpoints below and above the mean.
bool TBoxQuantizer::splitAxis(const Box& box, int axis, Box& lower, Box& upper) const {
  const int lo = box.lo[axis];
  const int hi = box.hi[axis];
  if (hi <= lo + 1) return false;
  const int64_t total = box.count;
  const double mean = box.mean[axis];
  const int64_t* h = box.hist[axis];
  const int start = int(std::max<int64_t>(lo, roundHalfEven((lo + mean) / 2)));
  const int end = int(std::min<int64_t>(hi - 1, roundHalfEven((mean + hi) / 2)));

  int64_t below = 0;
  for (int k = lo; k < start; ++k) below += h[k];
  double partialMean = 0;
  double bestScore = -1;
  int cut = -1;
  int64_t cutCount = 0;
  for (int k = start; k <= end; ++k) {
    below += h[k];
    if (below == total) break;
    partialMean += double(h[k]) * k / double(total);
    const double d = mean - partialMean;
    const double score = double(below) / double(total - below) * d * d;
    if (score > bestScore) {
      bestScore = score;
      cut = k;
      cutCount = below;
    }
  }
  if (cut < 0 || cutCount == 0) return false;

  lower = Box();
  std::copy(std::begin(box.lo), std::end(box.lo), lower.lo);
  std::copy(std::begin(box.hi), std::end(box.hi), lower.hi);
  lower.hi[axis] = cut + 1;
  recount(lower);
  upper = Box();
  std::copy(std::begin(box.lo), std::end(box.lo), upper.lo);
  std::copy(std::begin(box.hi), std::end(box.hi), upper.hi);
  upper.lo[axis] = cut + 1;
  for (int a = 0; a < 3; ++a) {
    for (int k = 0; k < kBins; ++k) upper.hist[a][k] = box.hist[a][k] - lower.hist[a][k];
  }
  upper.count = total - lower.count;
  if (lower.count == 0 || upper.count == 0) return false;
  shrink(lower);
  shrink(upper);
  computeStats(lower);
  computeStats(upper);
  return true;
}

bool TBoxQuantizer::split(const Box& box, Box& lower, Box& upper) const {
  double bestScore = kSplitFailScore;
  bool found = false;
  for (int axis = 0; axis < 3; ++axis) {
    Box l, u;
    const double score = splitAxis(box, axis, l, u) ? l.variance + u.variance : kSplitFailScore;
    if (score < bestScore) {
      bestScore = score;
      lower = l;
      upper = u;
      found = true;
    }
  }
  return found;
}

int TBoxQuantizer::FillPalette(TRGB* palette) const {
  for (size_t i = 0; i < m_boxes.size(); ++i) {
    const Box& box = m_boxes[i];
    palette[i] =
        TRGB{uint8_t(roundHalfEven(box.mean[2]) << 3), uint8_t(roundHalfEven(box.mean[1]) << 3),
             uint8_t(roundHalfEven(box.mean[0]) << 3)};
  }
  return int(m_boxes.size());
}

void TBoxQuantizer::buildMap() {
  std::vector<uint8_t> covered(kCells, 0);
  for (size_t i = 0; i < m_boxes.size(); ++i) {
    const Box& box = m_boxes[i];
    for (int r = box.lo[0]; r < box.hi[0]; ++r) {
      for (int g = box.lo[1]; g < box.hi[1]; ++g) {
        for (int b = box.lo[2]; b < box.hi[2]; ++b) {
          m_map[size_t(cellOf(r, g, b))] = uint8_t(i);
          covered[size_t(cellOf(r, g, b))] = 1;
        }
      }
    }
  }
  // Cells that no box holds (no pixel of the image falls there) take the nearest box colour,
  // so that colours from outside the image, such as a background colour, still map sensibly.
  std::vector<std::array<int, 3>> centres;
  for (const Box& box : m_boxes) {
    centres.push_back({int(roundHalfEven(box.mean[0])), int(roundHalfEven(box.mean[1])),
                       int(roundHalfEven(box.mean[2]))});
  }
  for (int cell = 0; cell < kCells; ++cell) {
    if (covered[size_t(cell)]) continue;
    const int r = cell >> 10, g = (cell >> 5) & 31, b = cell & 31;
    int best = 0, bestDistance = INT_MAX;
    for (size_t i = 0; i < centres.size(); ++i) {
      const int dr = r - centres[i][0], dg = g - centres[i][1], db = b - centres[i][2];
      const int d = dr * dr + dg * dg + db * db;
      if (d < bestDistance) {
        bestDistance = d;
        best = int(i);
      }
    }
    m_map[size_t(cell)] = uint8_t(best);
  }
}

// ---- Neural network ---------------------------------------------------------------------------

// A one-dimensional self-organising map of n neurons in blue-green-red space (4 fraction bits).
// Each sample pulls the winning neuron (biased towards rarely winning ones, so that every
// neuron gets used) and its neighbours in the chain towards the sample; learning rate and
// neighbourhood shrink as the samples go by.
class TNeuralQuantizer {
 public:
  TNeuralQuantizer(int netSize, int samplingFactor);
  void Learn(const TImageBitmap& image);
  // Palette entry i is neuron i; afterwards the neurons are sorted by green for Search.
  void Finish(TRGB* palette);
  // The palette index of the neuron nearest to c; answers are remembered in a small cache,
  // since photos repeat their colours a lot.
  int Search(TRGB c) const;

 private:
  static constexpr int kNetBiasShift = 4;  // fraction bits of a colour component
  static constexpr int kIntBiasShift = 16;
  static constexpr int kIntBias = 1 << kIntBiasShift;
  static constexpr int kBetaShift = 10;
  static constexpr int kBeta = kIntBias >> kBetaShift;  // 64
  static constexpr int kRadiusBiasShift = 6;
  static constexpr int kRadiusBias = 1 << kRadiusBiasShift;
  static constexpr int kRadiusDec = 30;
  static constexpr int kAlphaBiasShift = 10;
  static constexpr int kInitAlpha = 1 << kAlphaBiasShift;  // 1024
  static constexpr int kRadBiasShift = 8;
  static constexpr int kRadBias = 1 << kRadBiasShift;                           // 256
  static constexpr int kAlphaRadBias = 1 << (kAlphaBiasShift + kRadBiasShift);  // 262144
  static constexpr int kCycles = 100;

  int contest(int b, int g, int r);
  void alterSingle(int alpha, int i, int b, int g, int r);
  void alterNeighbours(int rad, int i, int b, int g, int r);
  void setRadPower(int rad, int alpha);

  // Padding neurons up to a multiple of 8 sit far outside the colour cube and never win.
  static constexpr int kFarAway = 1 << 20;

  int m_netSize;
  int m_samplingFactor;
  int m_paddedSize;
  // Structure of arrays while learning, so the winner search runs over plain int vectors.
  std::vector<int> m_blue, m_green, m_red;
  std::vector<int> m_freq;
  std::vector<int> m_radPower;
  // After Finish: neurons sorted by green as (blue, green, red, palette index).
  std::vector<std::array<int, 4>> m_sorted;
  std::array<int, 256> m_greenIndex{};
  static constexpr int kCacheBits = 18;
  mutable std::vector<uint32_t> m_cacheKeys;  // UINT32_MAX: empty
  mutable std::vector<uint8_t> m_cacheIndexes;

  int searchNetwork(int b, int g, int r) const;
};

TNeuralQuantizer::TNeuralQuantizer(int netSize, int samplingFactor)
    : m_netSize(netSize),
      m_samplingFactor(samplingFactor),
      m_paddedSize((netSize + 7) & ~7),
      m_blue(size_t(m_paddedSize), kFarAway),
      m_green(size_t(m_paddedSize), kFarAway),
      m_red(size_t(m_paddedSize), kFarAway),
      m_freq(size_t(m_paddedSize), 0),
      m_radPower(size_t(std::max(netSize >> 3, 1)), 0) {
  for (int i = 0; i < netSize; ++i) {
    const int v = (i << (kNetBiasShift + 8)) / netSize;
    m_blue[size_t(i)] = m_green[size_t(i)] = m_red[size_t(i)] = v;
    m_freq[size_t(i)] = kIntBias / netSize;
  }
}

void TNeuralQuantizer::setRadPower(int rad, int alpha) {
  for (int k = 0; k < rad; ++k) {
    m_radPower[size_t(k)] = alpha * (((rad * rad - k * k) * kRadBias) / (rad * rad));
  }
}

namespace {

// Eight neurons at a time. The vector type is plain GCC/Clang vector arithmetic; the function is
// built twice, for AVX2 and for the baseline, and the loader picks one on the running machine.
typedef int32_t NeuronLanes __attribute__((vector_size(32)));

struct ContestResult {
  int bestPos;
  int bestBiasPos;
};

__attribute__((target_clones("avx2", "default"))) ContestResult contestLanes(
    const int* nb, const int* ng, const int* nr, int* freq, int initialFreq, int paddedSize, int b,
    int g, int r) {
  const NeuronLanes vb = NeuronLanes{} + b, vg = NeuronLanes{} + g, vr = NeuronLanes{} + r;
  const NeuronLanes freq0 = NeuronLanes{} + initialFreq;
  // Distances are kept as distance x 256 + neuron index, so that a plain minimum finds the
  // first of equal distances. Padding lanes stay below 2^31 (3 x 2^20 x 256); real biased
  // distances lie between -2^10 and 2^15.
  NeuronLanes best = NeuronLanes{} + INT_MAX;
  NeuronLanes bestBiased = best;
  NeuronLanes index = {0, 1, 2, 3, 4, 5, 6, 7};
  for (int i = 0; i < paddedSize; i += 8) {
    NeuronLanes nbv, ngv, nrv, freqv;
    std::memcpy(&nbv, nb + i, sizeof nbv);
    std::memcpy(&ngv, ng + i, sizeof ngv);
    std::memcpy(&nrv, nr + i, sizeof nrv);
    std::memcpy(&freqv, freq + i, sizeof freqv);
    NeuronLanes db = nbv - vb, dg = ngv - vg, dr = nrv - vr;
    db = (db ^ (db >> 31)) - (db >> 31);
    dg = (dg ^ (dg >> 31)) - (dg >> 31);
    dr = (dr ^ (dr >> 31)) - (dr >> 31);
    const NeuronLanes distance = db + dg + dr;
    // bias >> 12 with bias = 1024 x (initial frequency - frequency)
    const NeuronLanes biasDistance = distance - ((freq0 - freqv) >> 2);
    const NeuronLanes keyed = distance * 256 + index;
    const NeuronLanes keyedBiased = biasDistance * 256 + index;
    best = keyed < best ? keyed : best;
    bestBiased = keyedBiased < bestBiased ? keyedBiased : bestBiased;
    freqv -= freqv >> 10;
    std::memcpy(freq + i, &freqv, sizeof freqv);
    index += 8;
  }
  int minimum = best[0], minimumBiased = bestBiased[0];
  for (int lane = 1; lane < 8; ++lane) {
    minimum = std::min(minimum, int(best[lane]));
    minimumBiased = std::min(minimumBiased, int(bestBiased[lane]));
  }
  return ContestResult{minimum & 255, minimumBiased & 255};
}

}  // namespace

// Finds the closest neuron and the closest one after bias (the first of equal ones in both),
// ages every neuron's frequency and rewards the closest one; returns the biased winner.
//
// The bias is not stored: every step adds (freq >> 10) << 10 to it while freq loses freq >> 10,
// and the winner's bias loses 65536 while its freq gains 64, so a neuron's bias is always
// exactly 1024 x (initial frequency - frequency), and bias >> 12 is (initial - freq) >> 2.
int TNeuralQuantizer::contest(int b, int g, int r) {
  const ContestResult result =
      contestLanes(m_blue.data(), m_green.data(), m_red.data(), m_freq.data(), kIntBias / m_netSize,
                   m_paddedSize, b, g, r);
  m_freq[size_t(result.bestPos)] += kBeta;
  return result.bestBiasPos;
}

void TNeuralQuantizer::alterSingle(int alpha, int i, int b, int g, int r) {
  m_blue[size_t(i)] -= (alpha * (m_blue[size_t(i)] - b)) / kInitAlpha;
  m_green[size_t(i)] -= (alpha * (m_green[size_t(i)] - g)) / kInitAlpha;
  m_red[size_t(i)] -= (alpha * (m_red[size_t(i)] - r)) / kInitAlpha;
}

// Moves the neighbours at distance 1 .. rad-1 on both sides; the power at distance rad is 0.
// Products stay below 2^31: power <= 262144, difference < 4096.
void TNeuralQuantizer::alterNeighbours(int rad, int i, int b, int g, int r) {
  const int lo = std::max(i - rad, -1);
  const int hi = std::min(i + rad, m_netSize);
  int j = i + 1;
  int k = i - 1;
  int q = 0;
  while (j < hi || k > lo) {
    const int a = m_radPower[size_t(++q)];
    if (j < hi) {
      const size_t p = size_t(j);
      m_blue[p] -= (a * (m_blue[p] - b)) / kAlphaRadBias;
      m_green[p] -= (a * (m_green[p] - g)) / kAlphaRadBias;
      m_red[p] -= (a * (m_red[p] - r)) / kAlphaRadBias;
      ++j;
    }
    if (k > lo) {
      const size_t p = size_t(k);
      m_blue[p] -= (a * (m_blue[p] - b)) / kAlphaRadBias;
      m_green[p] -= (a * (m_green[p] - g)) / kAlphaRadBias;
      m_red[p] -= (a * (m_red[p] - r)) / kAlphaRadBias;
      --k;
    }
  }
}

void TNeuralQuantizer::Learn(const TImageBitmap& image) {
  const int64_t width = image.Width();
  const int64_t pixels = width * int64_t(image.Height());
  if (pixels <= 0) return;
  const int64_t lengthCount = pixels * 3;
  const int alphaDec = 30 + (m_samplingFactor - 1) / 3;
  const int64_t samplePixels = lengthCount / (3 * int64_t(m_samplingFactor));
  const int64_t delta = std::max<int64_t>(samplePixels / kCycles, 1);
  int alpha = kInitAlpha;
  int radius = (m_netSize >> 3) * kRadiusBias;
  int rad = radius >> kRadiusBiasShift;
  if (rad <= 1) rad = 0;
  setRadPower(rad, alpha);

  // A prime step that does not divide the image size visits the pixels in a scattered order.
  int64_t step;
  if (lengthCount % 499 != 0)
    step = 499;
  else if (lengthCount % 491 != 0)
    step = 491;
  else if (lengthCount % 487 != 0)
    step = 487;
  else
    step = 503;
  step %= pixels;

  // Rows of memory and bitmap stores stay put; a file store maps one row per ScanLine call.
  std::vector<const uint8_t*> rows;
  if (image.Location() != imFile) {
    rows.resize(size_t(image.Height()));
    for (int y = 0; y < image.Height(); ++y) rows[size_t(y)] = image.ScanLine(y);
  }

  // The position advances by `step` pixels and wraps at the end of the image; kept as row and
  // column so that no division is needed per sample.
  const int height = image.Height();
  const int stepRows = int(step / width);
  const int64_t stepColumns = step % width;
  int row = 0;
  int64_t column = 0;
  int64_t untilUpdate = delta;
  for (int64_t i = 0; i < samplePixels; ++i) {
    int64_t nextColumn = column + stepColumns;
    int nextRow = row + stepRows;
    if (nextColumn >= width) {
      nextColumn -= width;
      ++nextRow;
    }
    if (nextRow >= height) nextRow -= height;
    // The samples jump all over the image: fetch the next one while this one is worked on.
    if (!rows.empty() && rows[size_t(nextRow)]) {
      __builtin_prefetch(rows[size_t(nextRow)] + nextColumn * 3);
    }
    const uint8_t* line = rows.empty() ? image.ScanLine(row) : rows[size_t(row)];
    if (line) {
      const uint8_t* p = line + column * 3;
      const int b = p[0] << kNetBiasShift;
      const int g = p[1] << kNetBiasShift;
      const int r = p[2] << kNetBiasShift;
      const int winner = contest(b, g, r);
      alterSingle(alpha, winner, b, g, r);
      if (rad) alterNeighbours(rad, winner, b, g, r);
    }
    row = nextRow;
    column = nextColumn;
    if (--untilUpdate == 0) {
      untilUpdate = delta;
      alpha -= alpha / alphaDec;
      radius -= radius / kRadiusDec;
      rad = radius >> kRadiusBiasShift;
      if (rad <= 1) rad = 0;
      setRadPower(rad, alpha);
    }
  }
}

void TNeuralQuantizer::Finish(TRGB* palette) {
  const int n = m_netSize;
  m_sorted.resize(size_t(n));
  for (int i = 0; i < n; ++i) {
    const size_t s = size_t(i);
    const int b = std::clamp(m_blue[s] >> kNetBiasShift, 0, 255);
    const int g = std::clamp(m_green[s] >> kNetBiasShift, 0, 255);
    const int r = std::clamp(m_red[s] >> kNetBiasShift, 0, 255);
    m_sorted[s] = {b, g, r, i};
    palette[i] = TRGB{uint8_t(b), uint8_t(g), uint8_t(r)};
  }

  // Selection sort by green; the green index points at the middle of each run of equal greens.
  int previousGreen = 0;
  int startPos = 0;
  for (int i = 0; i < n; ++i) {
    int smallPos = i;
    int smallValue = m_sorted[size_t(i)][1];
    for (int j = i + 1; j < n; ++j) {
      if (m_sorted[size_t(j)][1] < smallValue) {
        smallPos = j;
        smallValue = m_sorted[size_t(j)][1];
      }
    }
    if (smallPos != i) std::swap(m_sorted[size_t(i)], m_sorted[size_t(smallPos)]);
    if (smallValue != previousGreen) {
      m_greenIndex[size_t(previousGreen)] = (startPos + i) >> 1;
      for (int j = previousGreen + 1; j < smallValue; ++j) m_greenIndex[size_t(j)] = i;
      previousGreen = smallValue;
      startPos = i;
    }
  }
  const int maxPos = n - 1;
  m_greenIndex[size_t(previousGreen)] = (startPos + maxPos) >> 1;
  for (int j = previousGreen + 1; j < 256; ++j) m_greenIndex[size_t(j)] = maxPos;
  m_cacheKeys.assign(size_t(1) << kCacheBits, UINT32_MAX);
  m_cacheIndexes.assign(size_t(1) << kCacheBits, 0);
}

// Walks up and down from the green index; a side stops once the green difference alone reaches
// the best distance found (sum of absolute differences).
int TNeuralQuantizer::Search(TRGB c) const {
  const uint32_t key = colorKey(c);
  const size_t slot = (key * 2654435761u) >> (32 - kCacheBits);
  if (m_cacheKeys[slot] == key) return m_cacheIndexes[slot];
  const int index = searchNetwork(c.b, c.g, c.r);
  m_cacheKeys[slot] = key;
  m_cacheIndexes[slot] = uint8_t(index);
  return index;
}

int TNeuralQuantizer::searchNetwork(int b, int g, int r) const {
  const int n = m_netSize;
  int bestDistance = 1000;
  int best = 0;
  int i = m_greenIndex[g];
  int j = i - 1;
  while (i < n || j >= 0) {
    if (i < n) {
      const auto& p = m_sorted[size_t(i)];
      int distance = p[1] - g;
      if (distance >= bestDistance) {
        i = n;
      } else {
        ++i;
        distance = std::abs(distance) + std::abs(p[0] - b);
        if (distance < bestDistance) {
          distance += std::abs(p[2] - r);
          if (distance < bestDistance) {
            bestDistance = distance;
            best = p[3];
          }
        }
      }
    }
    if (j >= 0) {
      const auto& p = m_sorted[size_t(j)];
      int distance = g - p[1];
      if (distance >= bestDistance) {
        j = -1;
      } else {
        --j;
        distance = std::abs(distance) + std::abs(p[0] - b);
        if (distance < bestDistance) {
          distance += std::abs(p[2] - r);
          if (distance < bestDistance) {
            bestDistance = distance;
            best = p[3];
          }
        }
      }
    }
  }
  return best;
}

// ---- TImageQuantizer --------------------------------------------------------------------------

int NeuralSamplingFactor(int64_t pixelCount, int quality) {
  if (quality < 0) {
    if (pixelCount < 2000) return 1;
    // In doubles: (pixels - 2000) x 13 leaves 32 bits from about 330 million pixels on.
    const double f = double(pixelCount - 2000) * 13.0 / 148000.0 + 2.0;
    if (f >= 30.0) return 30;
    return int(std::clamp<int64_t>(roundHalfEven(f), 1, 30));
  }
  quality = std::min(quality, 100);
  return int(double(100 - quality) / 100.0 * 29.0) + 1;
}

namespace {
constexpr int kExactSlots = 1024;  // open-addressing table for up to 257 colours
int slotOf(uint32_t key) { return int((key * 2654435761u) >> 22); }
}  // namespace

TImageQuantizer::TImageQuantizer(const TImageBitmap& source, TRGB* palette, int colorCount,
                                 int quality, int /*methodHint*/)
    : m_colorCount(std::clamp(colorCount, 1, 256)) {
  std::array<TRGB, 256> scratch{};
  if (!palette) palette = scratch.data();
  const int n = m_colorCount;
  const TImagePixelFormat format = source.PixelFormat();
  if (format == im24RGB)
    m_grey = isGreyImage(source);
  else if (format == im8p)
    m_grey = isGreyPalette(source);
  else
    m_grey = true;

  if (format == im24RGB && !m_grey) {
    collectExactColors(source);
    if (!m_exact.empty()) {
      m_method = qmExactColors;
      m_paletteCount = int(m_exact.size());
      std::copy(m_exact.begin(), m_exact.end(), palette);
    } else if (n < 128) {
      m_method = qmBoxSplit;
      m_box = std::make_unique<TBoxQuantizer>(source, n);
      m_paletteCount = m_box->FillPalette(palette);
    } else {
      m_method = qmNeuralNet;
      const int64_t pixels = int64_t(source.Width()) * source.Height();
      m_network = std::make_unique<TNeuralQuantizer>(n, NeuralSamplingFactor(pixels, quality));
      m_network->Learn(source);
      m_network->Finish(palette);
      m_paletteCount = n;
    }
  } else if (format == im8p) {
    m_method = qmPalette;
    m_paletteCount = std::min(n, source.PaletteLength());
    for (int i = 0; i < m_paletteCount; ++i) {
      palette[i] = source.GetPalette(i);
      m_palette.push_back(palette[i]);
    }
  } else {
    m_method = qmGreyRamp;
    m_paletteCount = n;
    for (int i = 0; i < n; ++i) {
      const uint8_t v = uint8_t(256 * i / n);
      palette[i] = TRGB{v, v, v};
    }
  }
}

TImageQuantizer::~TImageQuantizer() = default;

// Leaves m_exact empty when the image has more than n distinct colours.
void TImageQuantizer::collectExactColors(const TImageBitmap& source) {
  m_exactSlots.assign(kExactSlots, -1);
  m_exact.clear();
  m_exactKeys.clear();
  const int width = source.Width();
  uint32_t lastKey = UINT32_MAX;
  for (int y = 0; y < source.Height(); ++y) {
    const uint8_t* p = source.ScanLine(y);
    if (!p) continue;
    for (int x = 0; x < width; ++x, p += 3) {
      const uint32_t key = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
      if (key == lastKey) continue;
      lastKey = key;
      int slot = slotOf(key);
      while (m_exactSlots[size_t(slot)] >= 0 &&
             m_exactKeys[size_t(m_exactSlots[size_t(slot)])] != key)
        slot = (slot + 1) & (kExactSlots - 1);
      if (m_exactSlots[size_t(slot)] >= 0) continue;
      if (int(m_exact.size()) == m_colorCount) {
        m_exact.clear();
        m_exactKeys.clear();
        m_exactSlots.clear();
        return;
      }
      m_exactSlots[size_t(slot)] = int16_t(m_exact.size());
      m_exact.push_back(TRGB{p[0], p[1], p[2]});
      m_exactKeys.push_back(key);
    }
  }
}

int TImageQuantizer::exactIndex(uint32_t key) const {
  int slot = slotOf(key);
  while (m_exactSlots[size_t(slot)] >= 0) {
    const int index = m_exactSlots[size_t(slot)];
    if (m_exactKeys[size_t(index)] == key) return index;
    slot = (slot + 1) & (kExactSlots - 1);
  }
  return -1;
}

int TImageQuantizer::ColorIndex(TRGB color) const {
  switch (m_method) {
    case qmExactColors: {
      // A colour from outside the image (a background colour, say) gets the nearest one
      // rather than an index past the palette.
      const int index = exactIndex(colorKey(color));
      return index >= 0 ? index : nearestEntry(m_exact, color);
    }
    case qmGreyRamp:
      return color.r * m_colorCount / 256;
    case qmBoxSplit:
      return m_box->Index(color);
    case qmNeuralNet:
      return m_network->Search(color);
    case qmPalette: {
      // Looked up in the palette even when it is grey: a grey palette need not be the ramp.
      for (size_t i = 0; i < m_palette.size(); ++i) {
        if (m_palette[i] == color) return int(i);
      }
      return nearestEntry(m_palette, color);
    }
  }
  return 0;
}

// ---- The buffer's conversion from im24RGB to im8p ---------------------------------------------

void QuantizeToPalette(TImageBitmap& src24, TImageBitmap& dst8p) {
  if (src24.PixelFormat() != im24RGB || dst8p.PixelFormat() != im8p) return;
  std::array<TRGB, 256> palette{};
  TImageQuantizer quantizer(src24, palette.data(), dst8p.PaletteUsed());
  for (int i = 0; i < 256; ++i) dst8p.SetPalette(i, palette[size_t(i)]);

  const int width = std::min(src24.Width(), dst8p.Width());
  const int height = std::min(src24.Height(), dst8p.Height());
  for (int y = 0; y < height; ++y) {
    const uint8_t* s = src24.ScanLine(y);
    uint8_t* d = dst8p.ScanLine(y);
    if (!s || !d) continue;
    uint32_t lastKey = UINT32_MAX;
    uint8_t lastIndex = 0;
    for (int x = 0; x < width; ++x, s += 3) {
      const uint32_t key = uint32_t(s[0]) | uint32_t(s[1]) << 8 | uint32_t(s[2]) << 16;
      if (key != lastKey) {
        lastKey = key;
        lastIndex = uint8_t(quantizer.ColorIndex(TRGB{s[0], s[1], s[2]}));
      }
      d[x] = lastIndex;
    }
  }
}

}  // namespace lumaprep
