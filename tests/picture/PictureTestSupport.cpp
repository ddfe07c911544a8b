// Helpers for the picture decoder tests (see the header).
#include "PictureTestSupport.h"

#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>

#include "ImageHandle_IPicture.h"

std::string DataPath(const std::string& relative) {
    return std::string(CORVANE_TEST_DATA) + "/" + relative;
}

std::vector<uint8_t> ReadData(const std::string& relative) {
    std::ifstream in(DataPath(relative), std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

DecodedPicture DecodePicture(const std::vector<uint8_t>& bytes) {
    DecodedPicture result;
    const uint8_t* data = bytes.empty() ? nullptr : bytes.data();
    const ImageFormat* format = SniffImageFormat(data, bytes.size());
    const bool gif = format != nullptr && format == FindImageFormat(ImageTypeGif);
    FCImageHandle_IPicture codec(gif ? FCImageHandle_IPicture::Format::Gif
                                     : FCImageHandle_IPicture::Format::Jpeg);
    FCObjImage image;
    result.Loaded =
        codec.LoadMemory(data, int32_t(bytes.size())) && TakeDecodedPicture(codec, image, nullptr);
    if (!result.Loaded) return result;
    result.Width = image.InfoHeader.biWidth;
    result.Height = image.InfoHeader.biHeight;
    result.Bits = image.InfoHeader.biBitCount;
    if (result.Bits != 24) return result;
    const size_t rowBytes = size_t(result.Width) * 3;
    for (int32_t y = 0; y < result.Height; ++y) {
        const uint8_t* row = image.RowTable[y];
        for (size_t i = 0; i < rowBytes; i += 3)
            result.Rgb.insert(result.Rgb.end(), {row[i + 2], row[i + 1], row[i]});
        for (size_t i = rowBytes; i < size_t(image.Stride()); ++i) result.PaddingZero &= row[i] == 0;
    }
    return result;
}

std::vector<uint8_t> ImageMagickRgb(const std::string& relative) {
    return ReadData("reference/" + relative + ".rgb");
}

int MaxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size()) return -1;
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    return worst;
}
