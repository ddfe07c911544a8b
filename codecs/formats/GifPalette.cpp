// Wu's colour quantiser (Graphics Gems II, 1991): a histogram of 32 levels a channel and its
// cumulative moments, from which the box of largest variance is cut at its best plane until there
// are as many boxes as colours. The box means then move by k-means over the histogram's cells, and
// the pixels are mapped with Floyd-Steinberg error diffusion.
#include "GifPalette.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr uint32_t kMostColours = 256;
constexpr int kLevels = 32;         // of each channel in the histogram
constexpr int kSide = kLevels + 1;  // a row of zeros before the first level
constexpr int kShift = 3;           // 8 bits down to 5
constexpr int kRefinements = 4;     // k-means passes; more change the palette little
// Of each pixel's error, the sixteenths passed on. All of it (classic Floyd-Steinberg) measured
// 2 to 3 dB below libvips's gifsave on 320 x 240 photos, three quarters within 0.5 dB of it, in
// smaller files: the rest is noise the eye does not miss.
constexpr int kDiffused = 12;
// The nearest entry is looked up by 7 bits a channel once and then remembered (4 MB).
constexpr int kCacheShift = 1;
constexpr int kCacheSide = 256 >> kCacheShift;

size_t Cell(int r, int g, int b) {
    return (size_t(r) * kSide + size_t(g)) * kSide + size_t(b);
}

// A picture's own colours, at most 256, each with its entry: an open table of four times as many
// slots, looked up a pixel at a time at the cost of a multiply and a compare or two (a hash map
// node a colour cost an animation's writing most of its time).
class ColourEntries {
  public:
    size_t size() const { return count_; }
    // The entry of colour (24 bits), or -1.
    int Find(uint32_t colour) const {
        for (size_t slot = SlotOf(colour);; slot = (slot + 1) % kSlots) {
            if (keys_[slot] == kEmpty) return -1;
            if (keys_[slot] == colour) return entries_[slot];
        }
    }
    // Gives colour, which it does not hold, the next entry; false once it holds kMostColours.
    bool Add(uint32_t colour) {
        if (count_ == kMostColours) return false;
        size_t slot = SlotOf(colour);
        while (keys_[slot] != kEmpty) slot = (slot + 1) % kSlots;
        keys_[slot] = colour;
        entries_[slot] = uint8_t(count_++);
        return true;
    }
    // Calls visit(colour, entry) for each.
    template <class Visit>
    void ForEach(Visit&& visit) const {
        for (size_t slot = 0; slot < kSlots; ++slot) {
            if (keys_[slot] != kEmpty) visit(keys_[slot], entries_[slot]);
        }
    }

  private:
    static constexpr size_t kSlots = 4 * kMostColours;
    static constexpr uint32_t kEmpty = UINT32_MAX;  // no 24-bit colour
    static size_t SlotOf(uint32_t colour) { return size_t((colour * 2654435761u) >> 22) % kSlots; }

    std::vector<uint32_t> keys_ = std::vector<uint32_t>(kSlots, kEmpty);
    uint8_t entries_[kSlots] = {};
    size_t count_ = 0;
};

struct Moments {
    std::vector<int64_t> Weight, Red, Green, Blue;
    std::vector<double> Square;
    Moments()
        : Weight(kSide * kSide * kSide),
          Red(Weight.size()),
          Green(Weight.size()),
          Blue(Weight.size()),
          Square(Weight.size()) {}
};

// A box of cells r0 < r <= r1, g0 < g <= g1, b0 < b <= b1.
struct Box {
    int R0 = 0, R1 = kLevels, G0 = 0, G1 = kLevels, B0 = 0, B1 = kLevels;
    int Volume() const { return (R1 - R0) * (G1 - G0) * (B1 - B0); }
};

enum Axis { kRed, kGreen, kBlue };

template <class T>
T Sum(const Box& b, const std::vector<T>& m) {
    return m[Cell(b.R1, b.G1, b.B1)] - m[Cell(b.R1, b.G1, b.B0)] - m[Cell(b.R1, b.G0, b.B1)] +
           m[Cell(b.R1, b.G0, b.B0)] - m[Cell(b.R0, b.G1, b.B1)] + m[Cell(b.R0, b.G1, b.B0)] +
           m[Cell(b.R0, b.G0, b.B1)] - m[Cell(b.R0, b.G0, b.B0)];
}

// The part of the sum that does not depend on where the box is cut along axis...
template <class T>
T Bottom(const Box& b, Axis axis, const std::vector<T>& m) {
    switch (axis) {
        case kRed:
            return -m[Cell(b.R0, b.G1, b.B1)] + m[Cell(b.R0, b.G1, b.B0)] + m[Cell(b.R0, b.G0, b.B1)] -
                   m[Cell(b.R0, b.G0, b.B0)];
        case kGreen:
            return -m[Cell(b.R1, b.G0, b.B1)] + m[Cell(b.R1, b.G0, b.B0)] + m[Cell(b.R0, b.G0, b.B1)] -
                   m[Cell(b.R0, b.G0, b.B0)];
        default:
            return -m[Cell(b.R1, b.G1, b.B0)] + m[Cell(b.R1, b.G0, b.B0)] + m[Cell(b.R0, b.G1, b.B0)] -
                   m[Cell(b.R0, b.G0, b.B0)];
    }
}

// ... and the part that does, for a cut at position.
template <class T>
T Top(const Box& b, Axis axis, int position, const std::vector<T>& m) {
    switch (axis) {
        case kRed:
            return m[Cell(position, b.G1, b.B1)] - m[Cell(position, b.G1, b.B0)] -
                   m[Cell(position, b.G0, b.B1)] + m[Cell(position, b.G0, b.B0)];
        case kGreen:
            return m[Cell(b.R1, position, b.B1)] - m[Cell(b.R1, position, b.B0)] -
                   m[Cell(b.R0, position, b.B1)] + m[Cell(b.R0, position, b.B0)];
        default:
            return m[Cell(b.R1, b.G1, position)] - m[Cell(b.R1, b.G0, position)] -
                   m[Cell(b.R0, b.G1, position)] + m[Cell(b.R0, b.G0, position)];
    }
}

double Variance(const Box& b, const Moments& m) {
    const double r = double(Sum(b, m.Red)), g = double(Sum(b, m.Green)), bl = double(Sum(b, m.Blue));
    const double w = double(Sum(b, m.Weight));
    return w == 0 ? 0 : Sum(b, m.Square) - (r * r + g * g + bl * bl) / w;
}

// The best cut of box along axis: the one that leaves the two halves' means farthest apart,
// weighted; cut -1 when no cut leaves both halves with pixels.
double Maximize(const Box& b, Axis axis, int first, int last, int& cut, const Moments& m) {
    const double wholeR = double(Sum(b, m.Red)), wholeG = double(Sum(b, m.Green)),
                 wholeB = double(Sum(b, m.Blue)), wholeW = double(Sum(b, m.Weight));
    const double baseR = double(Bottom(b, axis, m.Red)), baseG = double(Bottom(b, axis, m.Green)),
                 baseB = double(Bottom(b, axis, m.Blue)), baseW = double(Bottom(b, axis, m.Weight));
    double best = 0;
    cut = -1;
    for (int i = first; i < last; ++i) {
        const double r = baseR + double(Top(b, axis, i, m.Red)), g = baseG + double(Top(b, axis, i, m.Green)),
                     bl = baseB + double(Top(b, axis, i, m.Blue)),
                     w = baseW + double(Top(b, axis, i, m.Weight));
        if (w == 0 || w == wholeW) continue;
        const double score =
            (r * r + g * g + bl * bl) / w +
            ((wholeR - r) * (wholeR - r) + (wholeG - g) * (wholeG - g) + (wholeB - bl) * (wholeB - bl)) /
                (wholeW - w);
        if (score > best) best = score, cut = i;
    }
    return best;
}

bool Cut(Box& one, Box& two, const Moments& m) {
    int cutR = -1, cutG = -1, cutB = -1;
    const double r = Maximize(one, kRed, one.R0 + 1, one.R1, cutR, m);
    const double g = Maximize(one, kGreen, one.G0 + 1, one.G1, cutG, m);
    const double b = Maximize(one, kBlue, one.B0 + 1, one.B1, cutB, m);
    two = one;
    if (r >= g && r >= b) {
        if (cutR < 0) return false;
        two.R0 = one.R1 = cutR;
    } else if (g >= b) {
        if (cutG < 0) return false;
        two.G0 = one.G1 = cutG;
    } else {
        if (cutB < 0) return false;
        two.B0 = one.B1 = cutB;
    }
    return true;
}

// The running sums of every channel's moments, from each cell to the origin.
void Accumulate(Moments& m) {
    for (int r = 1; r <= kLevels; ++r) {
        std::array<int64_t, kSide> areaW{}, areaR{}, areaG{}, areaB{};
        std::array<double, kSide> area2{};
        for (int g = 1; g <= kLevels; ++g) {
            int64_t lineW = 0, lineR = 0, lineG = 0, lineB = 0;
            double line2 = 0;
            for (int b = 1; b <= kLevels; ++b) {
                const size_t at = Cell(r, g, b), below = Cell(r - 1, g, b);
                lineW += m.Weight[at], lineR += m.Red[at], lineG += m.Green[at], lineB += m.Blue[at];
                line2 += m.Square[at];
                areaW[b] += lineW, areaR[b] += lineR, areaG[b] += lineG, areaB[b] += lineB, area2[b] += line2;
                m.Weight[at] = m.Weight[below] + areaW[b];
                m.Red[at] = m.Red[below] + areaR[b];
                m.Green[at] = m.Green[below] + areaG[b];
                m.Blue[at] = m.Blue[below] + areaB[b];
                m.Square[at] = m.Square[below] + area2[b];
            }
        }
    }
}

using Colour = std::array<double, 3>;

double Distance(const Colour& a, const Colour& b) {
    const double r = a[0] - b[0], g = a[1] - b[1], bl = a[2] - b[2];
    return r * r + g * g + bl * bl;
}

// The palette's colours moved to the weighted means of the cells nearest each, a few times over.
void Refine(const Moments& cells, std::vector<Colour>& palette) {
    struct Point {
        Colour Mean;
        double Weight;
    };
    std::vector<Point> points;
    for (size_t i = 0; i < cells.Weight.size(); ++i) {
        const double w = double(cells.Weight[i]);
        if (w > 0) points.push_back({{cells.Red[i] / w, cells.Green[i] / w, cells.Blue[i] / w}, w});
    }
    for (int pass = 0; pass < kRefinements; ++pass) {
        std::vector<Colour> sums(palette.size(), Colour{0, 0, 0});
        std::vector<double> weights(palette.size(), 0);
        for (const Point& p : points) {
            size_t nearest = 0;
            double best = Distance(p.Mean, palette[0]);
            for (size_t k = 1; k < palette.size(); ++k) {
                const double d = Distance(p.Mean, palette[k]);
                if (d < best) best = d, nearest = k;
            }
            for (int c = 0; c < 3; ++c) sums[nearest][c] += p.Mean[c] * p.Weight;
            weights[nearest] += p.Weight;
        }
        for (size_t k = 0; k < palette.size(); ++k) {
            if (weights[k] > 0)
                for (int c = 0; c < 3; ++c) palette[k][c] = sums[k][c] / weights[k];
        }
    }
}

uint8_t Rounded(double value) {
    return uint8_t(std::clamp(value + 0.5, 0.0, 255.0));
}

// At most `most` colours of the opaque pixels.
std::vector<Colour> Quantise(RowSource& rows, int32_t width, int32_t height, uint32_t most) {
    Moments m;
    const uint32_t channels = rows.Layout().Channels;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* p = rows.Row(y);
        for (int32_t x = 0; x < width; ++x, p += channels) {
            if (channels == 4 && p[3] < kGifOpaqueFrom) continue;
            const size_t at = Cell((p[0] >> kShift) + 1, (p[1] >> kShift) + 1, (p[2] >> kShift) + 1);
            m.Weight[at] += 1, m.Red[at] += p[0], m.Green[at] += p[1], m.Blue[at] += p[2];
            m.Square[at] += double(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
        }
    }
    const Moments cells = m;
    Accumulate(m);
    std::vector<Box> boxes(1);
    std::vector<double> variances(1, Variance(boxes[0], m));
    while (boxes.size() < most) {
        const size_t next = size_t(std::max_element(variances.begin(), variances.end()) - variances.begin());
        if (variances[next] <= 0) break;
        Box two;
        if (!Cut(boxes[next], two, m)) {
            variances[next] = 0;
            continue;
        }
        boxes.push_back(two);
        variances[next] = boxes[next].Volume() > 1 ? Variance(boxes[next], m) : 0;
        variances.push_back(two.Volume() > 1 ? Variance(two, m) : 0);
    }
    std::vector<Colour> palette;
    for (const Box& b : boxes) {
        const double w = double(Sum(b, m.Weight));
        if (w > 0) palette.push_back({Sum(b, m.Red) / w, Sum(b, m.Green) / w, Sum(b, m.Blue) / w});
    }
    if (palette.empty()) return palette;
    Refine(cells, palette);
    return palette;
}

// The picture's own colours, each with its entry, when they fit in most beside the transparent
// entry a transparent pixel needs; transparent says whether there is one either way.
bool ExactColours(RowSource& rows, int32_t width, int32_t height, uint32_t most, ColourEntries& colours,
                  bool& transparent) {
    const uint32_t channels = rows.Layout().Channels;
    transparent = false;
    bool fits = true;
    uint32_t last = UINT32_MAX;
    for (int32_t y = 0; y < height && (fits || (channels == 4 && !transparent)); ++y) {
        const uint8_t* p = rows.Row(y);
        for (int32_t x = 0; x < width; ++x, p += channels) {
            if (channels == 4 && p[3] < kGifOpaqueFrom) {
                transparent = true;
                continue;
            }
            const uint32_t colour = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
            if (!fits || colour == last) continue;
            last = colour;
            if (colours.Find(colour) >= 0) continue;
            fits = colours.size() < most && colours.Add(colour);
        }
    }
    return fits && colours.size() + (transparent ? 1 : 0) <= most;
}

// Floyd-Steinberg: each pixel's error goes 7/16 right, 3/16 down-left, 5/16 down, 1/16 down-right,
// of the part diffused.
void Dither(RowSource& rows, int32_t width, int32_t height, const std::vector<Colour>& palette,
            IndexedPicture& out) {
    std::vector<std::array<int, 3>> entries;
    for (const Colour& c : palette) entries.push_back({Rounded(c[0]), Rounded(c[1]), Rounded(c[2])});
    std::vector<int16_t> nearest(size_t(kCacheSide) * kCacheSide * kCacheSide, -1);
    const auto lookup = [&](int r, int g, int b) {
        const size_t key = (size_t(r >> kCacheShift) * kCacheSide + size_t(g >> kCacheShift)) * kCacheSide +
                           size_t(b >> kCacheShift);
        if (nearest[key] >= 0) return nearest[key];
        // The cell's centre stands for the cell: the same colour always maps to the same entry.
        const int half = 1 << (kCacheShift - 1);
        const int cr = (r >> kCacheShift << kCacheShift) + half,
                  cg = (g >> kCacheShift << kCacheShift) + half,
                  cb = (b >> kCacheShift << kCacheShift) + half;
        int16_t best = 0;
        int bestDistance = INT32_MAX;
        for (size_t k = 0; k < entries.size(); ++k) {
            const int dr = cr - entries[k][0], dg = cg - entries[k][1], db = cb - entries[k][2];
            const int d = dr * dr + dg * dg + db * db;
            if (d < bestDistance) bestDistance = d, best = int16_t(k);
        }
        return nearest[key] = best;
    };
    const uint32_t channels = rows.Layout().Channels;
    // Errors in sixteenths, one pixel of margin each side.
    std::vector<std::array<int, 3>> here(size_t(width) + 2), below(size_t(width) + 2);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* p = rows.Row(y);
        uint8_t* indices = out.Indices.data() + size_t(y) * size_t(width);
        std::fill(below.begin(), below.end(), std::array<int, 3>{0, 0, 0});
        for (int32_t x = 0; x < width; ++x, p += channels) {
            if (channels == 4 && p[3] < kGifOpaqueFrom) {
                indices[x] = uint8_t(out.Transparent);
                continue;
            }
            std::array<int, 3> value;
            for (int c = 0; c < 3; ++c) {
                const int error = here[size_t(x) + 1][c];
                value[c] =
                    std::clamp(int(p[c]) + (error >= 0 ? (error + 8) / 16 : -((8 - error) / 16)), 0, 255);
            }
            const int16_t entry = lookup(value[0], value[1], value[2]);
            indices[x] = uint8_t(entry);
            for (int c = 0; c < 3; ++c) {
                const int error = (value[c] - entries[size_t(entry)][c]) * kDiffused / 16;
                here[size_t(x) + 2][c] += 7 * error;
                below[size_t(x)][c] += 3 * error;
                below[size_t(x) + 1][c] += 5 * error;
                below[size_t(x) + 2][c] += error;
            }
        }
        std::swap(here, below);
    }
}

}  // namespace

namespace {

// The palette of colours that fit, each at its entry, then the transparent entry where one is needed.
void PaletteOf(const ColourEntries& colours, bool transparent, IndexedPicture& out) {
    out.Palette.resize(3 * colours.size());
    colours.ForEach([&](uint32_t colour, uint8_t entry) {
        out.Palette[3 * entry] = uint8_t(colour >> 16);
        out.Palette[3 * entry + 1] = uint8_t(colour >> 8);
        out.Palette[3 * entry + 2] = uint8_t(colour);
    });
    out.Transparent = -1;
    if (transparent) {
        out.Transparent = int32_t(colours.size());
        out.Palette.insert(out.Palette.end(), {0, 0, 0});
    }
}

void IndexExactly(RowSource& rows, int32_t width, int32_t height, const ColourEntries& colours,
                  IndexedPicture& out) {
    const uint32_t channels = rows.Layout().Channels;
    out.Indices.resize(size_t(width) * size_t(height));
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* p = rows.Row(y);
        uint8_t* indices = out.Indices.data() + size_t(y) * size_t(width);
        // Runs of one colour, common in drawings and animations, are looked up once.
        uint32_t last = UINT32_MAX;
        uint8_t entry = 0;
        for (int32_t x = 0; x < width; ++x, p += channels) {
            if (channels == 4 && p[3] < kGifOpaqueFrom) {
                indices[x] = uint8_t(out.Transparent);
                continue;
            }
            const uint32_t colour = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
            if (colour != last) entry = uint8_t(colours.Find(colour)), last = colour;
            indices[x] = entry;
        }
    }
}

}  // namespace

void IndexPicture(RowSource& rows, int32_t width, int32_t height, IndexedPicture& out) {
    out = IndexedPicture();
    ColourEntries colours;
    bool transparent = false;
    if (ExactColours(rows, width, height, kMostColours, colours, transparent)) {
        PaletteOf(colours, transparent, out);
        IndexExactly(rows, width, height, colours, out);
        return;
    }
    out.Indices.resize(size_t(width) * size_t(height));
    const std::vector<Colour> palette = Quantise(rows, width, height, kMostColours - (transparent ? 1 : 0));
    for (const Colour& c : palette)
        out.Palette.insert(out.Palette.end(), {Rounded(c[0]), Rounded(c[1]), Rounded(c[2])});
    if (transparent) {
        out.Transparent = int32_t(palette.size());
        out.Palette.insert(out.Palette.end(), {0, 0, 0});
    }
    Dither(rows, width, height, palette, out);
}

bool SharedPalette(std::vector<RowSource>& frames, int32_t width, int32_t height, IndexedPicture& out) {
    out = IndexedPicture();
    ColourEntries colours;
    bool anyTransparent = false;
    for (RowSource& rows : frames) {
        bool transparent = false;
        if (!ExactColours(rows, width, height, kMostColours, colours, transparent)) return false;
        anyTransparent = anyTransparent || transparent;
    }
    if (colours.size() + (anyTransparent ? 1 : 0) > kMostColours) return false;
    PaletteOf(colours, anyTransparent, out);
    return true;
}

void IndexOnPalette(RowSource& rows, int32_t width, int32_t height, IndexedPicture& palette) {
    // SharedPalette gave the colours their entries in the order they were met, the transparent
    // one last: added again in that order, each gets its entry back.
    ColourEntries colours;
    const size_t entries = palette.Palette.size() / 3;
    for (size_t i = 0; i < entries; ++i) {
        if (int32_t(i) == palette.Transparent) continue;
        const uint8_t* c = &palette.Palette[3 * i];
        colours.Add(uint32_t(c[0]) << 16 | uint32_t(c[1]) << 8 | c[2]);
    }
    IndexExactly(rows, width, height, colours, palette);
}
