// PNM reader and writer. The header is read as text from the byte source, every number checked
// before any pixel memory is taken. Every picture but PBM's goes row by row into the form the load
// holds: samples of 8 bits or fewer without alpha scaled to 8 bits with rounding, deeper ones and
// those with alpha at the file's maxval. PBM keeps its 1-bit image, white then black.
#include "ImageHandle_Pnm.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "ByteSource.h"
#include "FileWriter.h"
#include "PictureView.h"
#include "PixelLimit.h"
#include "PixelRows.h"
#include "SampleRows.h"

namespace {

constexpr uint32_t kMaxMaxval = 65535;
// Header numbers above this fit no picture; reading stops before they can overflow.
constexpr uint64_t kMaxHeaderNumber = uint64_t(1) << 32;
// Longest P7 keyword or tuple type kept; longer words are unknown ones.
constexpr size_t kMaxWordLength = 32;
constexpr uint32_t kRowsPerRead = 256;

enum class Tuple { Bilevel, Grey, Rgb };

struct PnmHeader {
    char kind = 0;  // '1' to '7'
    uint64_t width = 0, height = 0, depth = 0, maxval = 0;
    Tuple tuple = Tuple::Grey;
    bool plain = false;
    bool pbm = false;    // P1 and P4: one bit per pixel, 1 is black
    bool alpha = false;  // the tuple's last sample is alpha
};

bool IsSpace(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
bool IsDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

// The header's text: one byte of look-ahead over the source, comments skipped between tokens.
class PnmText {
  public:
    explicit PnmText(ByteSource& in) : in_(in) {}

    bool Get(uint8_t& c) {
        if (held_ < 0) return in_.U8(c);
        c = uint8_t(held_);
        held_ = -1;
        return true;
    }
    void Unget(uint8_t c) { held_ = c; }

    // The first byte after whitespace and comments; false at the end of the source.
    bool NextToken(uint8_t& c) {
        for (;;) {
            if (!Get(c)) return false;
            if (c == '#') {
                while (c != '\n' && c != '\r')
                    if (!Get(c)) return false;
            } else if (!IsSpace(c)) {
                return true;
            }
        }
    }
    // A decimal number after whitespace and comments; the byte that ends it is left unread.
    bool Number(uint64_t& value) {
        uint8_t c = 0;
        if (!NextToken(c) || !IsDigit(c)) return false;
        value = 0;
        while (IsDigit(c)) {
            value = value * 10 + uint64_t(c - '0');
            if (value > kMaxHeaderNumber) return false;
            if (!Get(c)) return true;
        }
        Unget(c);
        return true;
    }
    // A word of P7's header, up to the next whitespace.
    bool Word(std::string& word) {
        uint8_t c = 0;
        word.clear();
        if (!NextToken(c)) return false;
        while (!IsSpace(c) && word.size() <= kMaxWordLength) {
            word.push_back(char(c));
            if (!Get(c)) return true;
        }
        Unget(c);
        return true;
    }
    // Raw samples start after exactly one whitespace byte following the header.
    bool EndOfHeader() {
        uint8_t c = 0;
        return Get(c) && IsSpace(c);
    }

  private:
    ByteSource& in_;
    int held_ = -1;
};

bool ReadClassicHeader(PnmText& text, PnmHeader& h) {
    h.plain = h.kind <= '3';
    h.pbm = h.kind == '1' || h.kind == '4';
    h.tuple = h.pbm ? Tuple::Bilevel : (h.kind == '2' || h.kind == '5') ? Tuple::Grey : Tuple::Rgb;
    h.depth = h.tuple == Tuple::Rgb ? 3 : 1;
    h.maxval = 1;
    if (!text.Number(h.width) || !text.Number(h.height)) return false;
    if (!h.pbm && !text.Number(h.maxval)) return false;
    return text.EndOfHeader();
}

// The tuple types read, with the depth each has; alpha adds one sample that is dropped.
bool KnownTuple(const std::string& name, Tuple& tuple, uint64_t& depth) {
    static const struct {
        const char* name;
        Tuple tuple;
        uint64_t depth;
    } kTuples[] = {
        {"BLACKANDWHITE", Tuple::Grey, 1},
        {"GRAYSCALE", Tuple::Grey, 1},
        {"RGB", Tuple::Rgb, 3},
        {"BLACKANDWHITE_ALPHA", Tuple::Grey, 2},
        {"GRAYSCALE_ALPHA", Tuple::Grey, 2},
        {"RGB_ALPHA", Tuple::Rgb, 4},
    };
    for (const auto& t : kTuples) {
        if (name == t.name) {
            tuple = t.tuple;
            depth = t.depth;
            return true;
        }
    }
    return false;
}

bool Damaged(LoadResult& result) {
    return result.Refuse(LoadStatus::Damaged, "a damaged header");
}

bool ReadPamHeader(PnmText& text, PnmHeader& h, LoadResult& result) {
    std::string key, tupleName;
    bool seen[4] = {false, false, false, false};
    uint64_t* fields[4] = {&h.width, &h.height, &h.depth, &h.maxval};
    const char* names[4] = {"WIDTH", "HEIGHT", "DEPTH", "MAXVAL"};
    for (;;) {
        if (!text.Word(key)) return Damaged(result);
        if (key == "ENDHDR") break;
        if (key == "TUPLTYPE") {
            if (!text.Word(tupleName)) return Damaged(result);
            continue;
        }
        const auto* at = std::find_if(names, names + 4, [&](const char* n) { return key == n; });
        if (at == names + 4 || !text.Number(*fields[at - names])) return Damaged(result);
        seen[at - names] = true;
    }
    if (!std::all_of(seen, seen + 4, [](bool b) { return b; })) return Damaged(result);
    uint64_t depth = 0;
    if (!KnownTuple(tupleName, h.tuple, depth))
        return result.Refuse(LoadStatus::Unsupported, "tuple type \"" + tupleName + "\"");
    h.alpha = depth == 2 || depth == 4;
    // The line ENDHDR stands on ends the header; samples start on the next.
    uint8_t c = 0;
    while (text.Get(c) && c != '\n') {
        if (!IsSpace(c)) return Damaged(result);
    }
    return h.depth == depth || Damaged(result);
}

bool ReadHeader(ByteSource& in, PnmText& text, PnmHeader& h, LoadResult& result) {
    uint8_t magic[2];
    if (!in.Bytes(magic, 2) || magic[0] != 'P' || magic[1] < '1' || magic[1] > '7')
        return result.Refuse(LoadStatus::Damaged, "no P1 to P7 signature");
    h.kind = char(magic[1]);
    if (h.kind == '7' ? !ReadPamHeader(text, h, result) : !ReadClassicHeader(text, h)) {
        return result.Detail.empty() ? Damaged(result) : false;
    }
    if (h.maxval < 1 || h.maxval > kMaxMaxval)
        return result.Refuse(LoadStatus::Damaged, "maxval " + std::to_string(h.maxval));
    if (h.width < 1 || h.height < 1 || h.width > uint64_t(INT32_MAX) || h.height > uint64_t(INT32_MAX))
        return result.Refuse(LoadStatus::Damaged, "a width or height of " + std::to_string(h.width) + " x " +
                                                      std::to_string(h.height));
    return true;
}

uint16_t ImageBits(const PnmHeader& h) {
    if (h.pbm) return 1;
    return h.tuple == Tuple::Rgb ? 24 : 8;
}

// Where the samples come from, and what counts as damage among them.
class SampleReader {
  public:
    SampleReader(ByteSource& in, PnmText& text, const PnmHeader& h) : in_(in), text_(text), h_(h) {}

    // False when the source ends; damaged_ tells a sample that is not one (above maxval, no
    // number) from the end of the data.
    bool Next(uint32_t& v) {
        if (h_.plain) return Plain(v);
        if (h_.maxval > 255) {
            uint8_t b[2];
            if (!in_.Bytes(b, 2)) return false;
            v = uint32_t(b[0]) << 8 | b[1];
        } else {
            uint8_t b = 0;
            if (!in_.U8(b)) return false;
            v = b;
        }
        return InRange(v);
    }
    bool Damaged() const { return damaged_; }

  private:
    bool Plain(uint32_t& v) {
        uint8_t c = 0;
        if (!text_.NextToken(c)) return false;
        // Plain PBM samples are single digits, with or without space between them.
        if (h_.pbm) {
            v = uint32_t(c - '0');
            damaged_ = c != '0' && c != '1';
            return !damaged_;
        }
        uint64_t value = 0;
        text_.Unget(c);
        if (!IsDigit(c) || !text_.Number(value)) {
            damaged_ = true;
            return false;
        }
        v = uint32_t(std::min<uint64_t>(value, kMaxMaxval + 1));
        return InRange(v);
    }
    bool InRange(uint32_t v) {
        damaged_ = v > h_.maxval;
        return !damaged_;
    }

    ByteSource& in_;
    PnmText& text_;
    const PnmHeader& h_;
    bool damaged_ = false;
};

uint8_t Scale(uint32_t v, uint32_t maxval) {
    return maxval == 255 ? uint8_t(v) : uint8_t((v * 255 + maxval / 2) / maxval);
}

// Every form sample by sample, each pixel's samples to put(x, y, samples); returns false for
// damage, else the rows the data ended before.
template <class Put>
bool ReadSamples(SampleReader& samples, const PnmHeader& h, uint32_t& unfilled, Put put) {
    const uint32_t width = uint32_t(h.width), height = uint32_t(h.height);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t s[4] = {0, 0, 0, 0};
            for (uint64_t i = 0; i < h.depth; ++i) {
                if (samples.Next(s[i])) continue;
                unfilled = height - y;
                return !samples.Damaged();
            }
            put(x, y, s);
        }
    }
    unfilled = 0;
    return true;
}

// PBM's bits, 1 for black, into the image.
bool ReadBits(SampleReader& samples, const PnmHeader& h, FCObjImage& image, uint32_t& unfilled) {
    return ReadSamples(samples, h, unfilled, [&](uint32_t x, uint32_t y, const uint32_t s[4]) {
        image.RowTable[y][x / 8] |= uint8_t(s[0] << (7 - x % 8));
    });
}

// Samples in the sink's layout (grey stays grey without alpha, and with it where the sink keeps
// grey; otherwise it is spread over the three colours), each row into the sink once it is whole; a row the
// data cut goes in as far as it came.
bool ReadSamples(SampleReader& samples, const PnmHeader& h, RowSink& rows, const PixelLayout& layout,
                 uint32_t& unfilled) {
    const uint32_t channels = layout.Channels;
    const uint32_t maxval = uint32_t(h.maxval);
    const bool scaled = layout.MaxValue != maxval;
    const uint32_t width = uint32_t(h.width);
    const bool rgb = h.tuple == Tuple::Rgb;
    uint8_t* row = rows.Row(0);
    uint32_t lastY = 0, lastX = 0;
    const auto read = [&](auto wide) {
        return ReadSamples(samples, h, unfilled, [&](uint32_t x, uint32_t y, const uint32_t s[4]) {
            const size_t at = size_t(x) * channels;
            for (uint32_t c = 0; c < channels; ++c) {
                const bool alpha = layout.HasAlpha() && c == channels - 1;
                const uint32_t v = alpha ? s[h.depth - 1] : s[rgb ? c : 0];
                PutSample<decltype(wide)::value>(row, at + c, scaled ? Scale(v, maxval) : v);
            }
            lastY = y, lastX = x + 1;
            if (x + 1 == width) {
                rows.Put(int32_t(y));
                if (y + 1 < uint32_t(h.height)) row = rows.Row(int32_t(y + 1));
            }
        });
    };
    const bool done = layout.Wide() ? read(std::true_type()) : read(std::false_type());
    if (done && lastX > 0 && lastX < width) rows.Put(int32_t(lastY), 0, 1, lastX);
    return done;
}

// Raw rows whose bytes are the picture's own, up to perRead a call read straight into their places,
// row(y); each row, whole or as far as the data came (bytes of it), goes to taken(y, row, bytes)
// once read. Returns the rows the data ended before.
template <class RowAt, class Taken>
uint32_t ReadWholeRows(ByteSource& in, uint32_t height, size_t rowBytes, uint32_t perRead, const RowAt& row,
                       const Taken& taken) {
    iovec rows[kRowsPerRead];
    perRead = std::min(perRead, kRowsPerRead);
    for (uint32_t y = 0; y < height;) {
        const uint32_t n = std::min(perRead, height - y);
        for (uint32_t i = 0; i < n; ++i) rows[i] = iovec{row(y + i), rowBytes};
        const size_t got = in.ScatterUpTo(rows, int(n));
        const uint32_t whole = uint32_t(got / rowBytes);
        for (uint32_t i = 0; i < whole; ++i) taken(y + i, static_cast<uint8_t*>(rows[i].iov_base), rowBytes);
        if (whole < n) {
            taken(y + whole, static_cast<uint8_t*>(rows[whole].iov_base), got % rowBytes);
            return height - y - whole;
        }
        y += n;
    }
    return 0;
}

// Raw rows in the sink's layout (8-bit grey and RGB at maxval 255): many a call into the held rows
// where the sink takes them in place, else one at a time through its row.
uint32_t ReadWholeRows(ByteSource& in, const PnmHeader& h, RowSink& sink) {
    const PictureView held = sink.InPlace();
    const size_t pixelBytes = size_t(h.depth);
    return ReadWholeRows(
        in, uint32_t(h.height), sink.RowBytes(), held.Valid() ? kRowsPerRead : 1,
        [&](uint32_t y) { return held.Valid() ? held.Row(int32_t(y)) : sink.Row(int32_t(y)); },
        [&](uint32_t y, uint8_t* row, size_t bytes) {
            // A pixel the data cut stays black, like the pixels after it.
            std::memset(row + bytes / pixelBytes * pixelBytes, 0, bytes % pixelBytes);
            sink.Put(int32_t(y), 0, 1, uint32_t(bytes / pixelBytes));
        });
}

bool IsWholeRowForm(const PnmHeader& h) {
    return !h.plain &&
           (h.pbm || (h.maxval == 255 && (h.depth == 1 || (h.depth == 3 && h.tuple == Tuple::Rgb))));
}

bool OutOfMemory(LoadResult& result) {
    return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
}

bool SamplesDamaged(LoadResult& result) {
    return result.Refuse(LoadStatus::Damaged, "a sample above maxval, or one that is not a number");
}

// Decision: PBM stays a 1-bit image with a palette of white then black, as the file's bits are.
bool DecodeBilevel(PnmText& text, ByteSource& in, const PnmHeader& h, FCImageHandle_Pnm& codec) {
    auto image = std::make_unique<FCObjImage>();
    if (!image->Create(int32_t(h.width), int32_t(h.height), 1)) return OutOfMemory(codec.Result);
    const RGBQUAD whiteThenBlack[2] = {{255, 255, 255, 0}, {0, 0, 0, 0}};
    image->SetPalette(whiteThenBlack, 2);
    uint32_t unfilled = 0;
    if (IsWholeRowForm(h)) {
        unfilled = ReadWholeRows(
            in, uint32_t(h.height), (size_t(h.width) + 7) / 8, kRowsPerRead,
            [&](uint32_t y) { return image->RowTable[y]; }, [](uint32_t, uint8_t*, size_t) {});
    } else {
        SampleReader samples(in, text, h);
        if (!ReadBits(samples, h, *image, unfilled)) return SamplesDamaged(codec.Result);
    }
    codec.Result.IncompleteRows = unfilled;
    codec.PushObject(image.release());
    return true;
}

// Every other picture goes row by row into the form the load holds.
bool DecodeToSink(PnmText& text, ByteSource& in, const PnmHeader& h, FCImageHandle_Pnm& codec) {
    const bool eightBits = h.maxval <= 255 && !h.alpha;
    const bool grey = h.tuple != Tuple::Rgb;
    const PixelLayout layout{h.alpha && (!grey || !codec.Rows.KeepsGrey()) ? 4u
                             : h.alpha                                     ? 2u
                             : grey                                        ? 1u
                                                                           : 3u,
                             eightBits ? 255u : uint32_t(h.maxval), false};
    if (!codec.Rows.Begin(int32_t(h.width), int32_t(h.height), layout)) return OutOfMemory(codec.Result);
    uint32_t unfilled = 0;
    if (IsWholeRowForm(h)) {
        unfilled = ReadWholeRows(in, h, codec.Rows);
    } else {
        SampleReader reader(in, text, h);
        if (!ReadSamples(reader, h, codec.Rows, layout, unfilled)) return SamplesDamaged(codec.Result);
    }
    codec.Result.IncompleteRows = unfilled;
    return true;
}

bool Decode(ByteSource& in, FCImageHandle_Pnm& codec) {
    PnmHeader h;
    PnmText text(in);
    if (!ReadHeader(in, text, h, codec.Result)) return false;
    if (!CheckPictureSize(int64_t(h.width), int64_t(h.height), ImageBits(h), codec.Options, codec.Result))
        return false;
    return h.pbm ? DecodeBilevel(text, in, h, codec) : DecodeToSink(text, in, h, codec);
}

std::string Header(FCImageHandle_Pnm::Form form, int32_t width, int32_t height, uint32_t channels,
                   uint32_t maxValue) {
    const std::string w = std::to_string(width), h = std::to_string(height), m = std::to_string(maxValue);
    if (form == FCImageHandle_Pnm::Form::Ppm) return "P6\n" + w + " " + h + "\n" + m + "\n";
    if (form == FCImageHandle_Pnm::Form::Pgm) return "P5\n" + w + " " + h + "\n" + m + "\n";
    static const char* const kTupleTypes[] = {"GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};
    return "P7\nWIDTH " + w + "\nHEIGHT " + h + "\nDEPTH " + std::to_string(channels) + "\nMAXVAL " + m +
           "\nTUPLTYPE " + kTupleTypes[channels - 1] + "\nENDHDR\n";
}

}  // namespace

bool FCImageHandle_Pnm::LoadSource(ByteSource& in) {
    return Decode(in, *this);
}

ImageType FCImageHandle_Pnm::WrittenType() const {
    if (form_ == Form::Ppm) return ImageTypePpm;
    if (form_ == Form::Pgm) return ImageTypePgm;
    return form_ == Form::Pam ? ImageTypePam : ImageTypeUnknown;
}

// PPM takes no alpha, PGM grey alone; every form takes samples above 8 bits at maxval 65535.
bool FCImageHandle_Pnm::WritePicture(const char* path, int32_t) {
    const std::string header =
        Header(form_, SaveView.Width, SaveView.Height, SaveLayout.Channels, SaveLayout.Wide() ? 65535 : 255);
    RowSource rows(SaveView, SaveLayout);
    FileWriter out;
    if (!out.Open(path) || !out.Write(header.data(), header.size())) return false;
    for (int32_t y = 0; y < SaveView.Height; ++y) {
        if (!out.Write(rows.Row(y), rows.RowBytes())) return false;
    }
    return out.Commit();
}
