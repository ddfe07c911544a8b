// The in-memory image: a device-independent bitmap whose pixel block has the layout of a
// bottom-up BMP pixel array (rows padded to 4 bytes), so codecs can move it as one block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#pragma pack(push, 1)
// The published Windows bitmap information header, byte for byte (little-endian host).
struct BITMAPINFOHEADER {
    uint32_t biSize;
    int32_t biWidth;
    int32_t biHeight;
    uint16_t biPlanes;
    uint16_t biBitCount;
    uint32_t biCompression;
    uint32_t biSizeImage;
    int32_t biXPelsPerMeter;
    int32_t biYPelsPerMeter;
    uint32_t biClrUsed;
    uint32_t biClrImportant;
};

// A palette entry in file order: blue, green, red, reserved.
struct RGBQUAD {
    uint8_t rgbBlue;
    uint8_t rgbGreen;
    uint8_t rgbRed;
    uint8_t rgbReserved;
};

// A bit-field information block: the header followed by the red, green and blue masks,
// the shape that CreateFromHeader reads.
struct FCBitmapInfoBlock {
    BITMAPINFOHEADER bmiHeader;
    uint32_t bmiMasks[3];
};
#pragma pack(pop)

// The information header's size in a file, in the image's own header and in its flat record.
constexpr uint32_t kInfoHeaderSize = 40;
static_assert(sizeof(BITMAPINFOHEADER) == kInfoHeaderSize,
              "BITMAPINFOHEADER must be the 40-byte file record");
static_assert(sizeof(RGBQUAD) == 4, "RGBQUAD must be 4 bytes");
static_assert(sizeof(FCBitmapInfoBlock) == 52, "header plus masks must be 52 bytes");

constexpr uint32_t kCompressionRgb = 0;
constexpr uint32_t kCompressionBitFields = 3;

class FCObject {
  public:
    virtual ~FCObject() = default;
    // Writes (save true) or restores (save false) the object as a flat record in a buffer of
    // bufferLength bytes; returns the bytes written or read, 0 when nothing was done.
    virtual int32_t Serialize(bool save, uint8_t* buffer, size_t bufferLength);
};

class FCObjGraph : public FCObject {
  public:
    uint32_t GraphWord0 = 0;
    uint32_t GraphWord1 = 0;
};

class FCObjImage : public FCObjGraph {
  public:
    FCObjImage() = default;
    FCObjImage(const FCObjImage& source);
    FCObjImage& operator=(const FCObjImage&) = delete;
    ~FCObjImage() override;

    int32_t Serialize(bool save, uint8_t* buffer, size_t bufferLength) override;

    bool IsValid() const { return PixelStore != nullptr; }
    int32_t Stride() const;

    // header must be followed in memory by three 32-bit masks (an FCBitmapInfoBlock or a
    // NewBitmapInfo block); they are read only for 16 bits with bit fields.
    bool CreateFromHeader(const BITMAPINFOHEADER* header);
    bool Create(int32_t width, int32_t height, uint16_t bpp);
    void ReleaseStorage();
    FCObjImage& CopyFrom(const FCObjImage& source);
    // Exchanges everything ReleaseStorage would release (header, pixel block, row table, masks,
    // palette, AuxWord) with other, without copying a pixel; the graph words stay with each object.
    // The one place that lists the image's members: creating and releasing go through it.
    void SwapStorage(FCObjImage& other) noexcept;

    // Header plus palette (8 bits and less) or masks, laid out as in a BMP file.
    std::unique_ptr<uint8_t[]> NewBitmapInfo() const;

    // Inline: the per-pixel walks call it once a pixel.
    uint8_t* PixelAddress(int32_t x, int32_t y) const {
        uint8_t* row = RowTable[y];
        switch (InfoHeader.biBitCount) {
            case 32:
                return row + 4 * size_t(x);
            case 24:
                return row + 3 * size_t(x);
            case 8:
                return row + x;
            default:
                return row + size_t(x) * InfoHeader.biBitCount / 8;
        }
    }
    uint32_t GetPixelData(int32_t x, int32_t y) const;

    bool GetPalette(RGBQUAD* entries, int32_t count) const;
    bool SetPalette(const RGBQUAD* entries, int32_t count);
    void CopyPaletteFrom(const FCObjImage& source);
    void SetDefaultPalette();

    void ConvertTo24();

    // These two are defined by the codecs (codecs/framework/ImageHandle.cpp), not here: the model knows no
    // file format, so only a program that links the codecs can call them.
    // For callers that need nothing but the picture; LoadPictureFile tells why a load failed.
    bool LoadFromFile(const char* path);
    // flag is the codec's option, -1 its default form: for JPEG the quality, 1 to 100 (-1: 92).
    bool SaveToFile(const char* path, int32_t flag = -1) const;

    BITMAPINFOHEADER InfoHeader{};
    uint8_t* PixelStore = nullptr;
    uint8_t** RowTable = nullptr;
    uint32_t BitMasks[3] = {};
    RGBQUAD* Palette = nullptr;
    uint32_t AuxWord = 0;
};
