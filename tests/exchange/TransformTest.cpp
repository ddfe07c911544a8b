// The two module transforms on small hand-made pictures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "AmbrelTransform.h"
#include "ExchangeTestSupport.h"
#include "TemplateTransform.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Convert(void (*convertPixels)(ExchangeState&), int32_t width, int32_t height, const Bytes& in,
              int32_t frames = 1, int32_t channels = 3, int32_t depth = 8) {
    ExchangeState state;
    state.Version = DocumentVersion(channels, depth);
    state.Width = width;
    state.Height = height;
    state.Frames = frames;
    state.Channels = channels;
    state.Depth = depth;
    state.PixelCount = uint32_t(in.size() / size_t(channels * depth / 8)) / uint32_t(frames);
    // Modules transform in place: the runtime hands them one array for input and output.
    Bytes inPlace = in;
    CoutCapture capture;
    state.InputPixels = state.OutputPixels = reinterpret_cast<ExchangePixel*>(inPlace.data());
    convertPixels(state);
    EXPECT_EQ(capture.Text(), "Converting Image\n");
    return inPlace;
}

TEST(TemplateTransform, TurnsThePictureByAHalfTurn) {
    const Bytes picture = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    const Bytes turned = {15, 16, 17, 12, 13, 14, 9, 10, 11, 6, 7, 8, 3, 4, 5, 0, 1, 2};
    EXPECT_EQ(Convert(TemplateModule::ConvertPixels, 3, 2, picture), turned);
    EXPECT_EQ(Convert(TemplateModule::ConvertPixels, 0, 4, {}), Bytes());
    EXPECT_EQ(Convert(TemplateModule::ConvertPixels, 1, 1, {9, 8, 7}), Bytes({9, 8, 7}));
    EXPECT_EQ(Convert(TemplateModule::ConvertPixels, 2, 1, {1, 2, 3, 4, 5, 6}), Bytes({4, 5, 6, 1, 2, 3}));
    // Each frame on its own, in their order.
    EXPECT_EQ(Convert(TemplateModule::ConvertPixels, 1, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 2),
              Bytes({4, 5, 6, 1, 2, 3, 10, 11, 12, 7, 8, 9}));
}

TEST(AmbrelTransform, BlendsEachRowWithItsOwnMirror) {
    EXPECT_EQ(Convert(AmbrelModule::ConvertPixels, 4, 1, {200, 10, 0, 100, 20, 255, 0, 30, 254, 255, 41, 1}),
              Bytes({227, 25, 0, 50, 25, 254, 50, 25, 254, 227, 25, 0}));
    EXPECT_EQ(Convert(AmbrelModule::ConvertPixels, 3, 1, {10, 20, 30, 99, 99, 99, 31, 0, 255}),
              Bytes({20, 10, 142, 99, 99, 99, 20, 10, 142}));
    EXPECT_EQ(Convert(AmbrelModule::ConvertPixels, 2, 2, {0, 0, 0, 100, 100, 100, 255, 9, 1, 1, 9, 255}),
              Bytes({50, 50, 50, 50, 50, 50, 128, 9, 128, 128, 9, 128}));
    EXPECT_EQ(Convert(AmbrelModule::ConvertPixels, 1, 2, {1, 2, 3, 4, 5, 6}), Bytes({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Convert(AmbrelModule::ConvertPixels, 0, 3, {}), Bytes());
    // The second frame's row is blended too.
    EXPECT_EQ(Convert(AmbrelModule::ConvertPixels, 2, 1, {0, 0, 0, 100, 100, 100, 255, 9, 1, 1, 9, 255}, 2),
              Bytes({50, 50, 50, 50, 50, 50, 128, 9, 128, 128, 9, 128}));
}

// Grey and grey with alpha, at 8 and 16 bits: a blend worked out by hand, then an odd-sized
// picture (a transparent pair among its pixels) against the rule applied pixel by pixel here.
TEST(ModuleTransforms, TakeGreyPicturesOfEitherDepth) {
    // Grey weighted by alpha: (200 * 255 + 100 * 85) / 340 = 175, alpha (255 + 85) / 2 = 170.
    EXPECT_EQ(Convert(AmbrelModule::ConvertPixels, 2, 1, {200, 255, 100, 85}, 1, 2, 8),
              Bytes({175, 170, 175, 170}));
    const size_t width = 5, height = 3;
    for (const auto& [channels, depth] : {std::pair{1, 8}, {2, 8}, {1, 16}, {2, 16}}) {
        SCOPED_TRACE(testing::Message() << channels << " x " << depth);
        const size_t bytes = size_t(depth / 8), pixel = size_t(channels) * bytes, count = width * height;
        Bytes in(count * pixel);
        for (size_t i = 0; i < in.size(); ++i) in[i] = uint8_t(i * 73 + 11);
        // Pixel 0 and its mirror both transparent, where alpha is.
        for (const size_t p : {size_t(0), width - 1})
            if (channels == 2) std::fill_n(in.begin() + long((p + 1) * pixel - bytes), bytes, 0);
        const auto sample = [&](size_t p, size_t c) {
            const size_t at = p * pixel + c * bytes;
            return bytes == 1 ? uint64_t(in[at]) : uint64_t(in[at]) << 8 | in[at + 1];
        };
        Bytes turned, blended = in;
        for (size_t p = count; p-- > 0;)
            turned.insert(turned.end(), in.begin() + long(p * pixel), in.begin() + long((p + 1) * pixel));
        for (size_t p = 0; p < count; ++p) {
            const size_t q = p / width * width + width - 1 - p % width;
            const uint64_t a1 = channels == 2 ? sample(p, 1) : 1, a2 = channels == 2 ? sample(q, 1) : 1;
            for (size_t c = 0; c < size_t(channels); ++c) {
                const uint64_t value = c == 1         ? (a1 + a2) / 2
                                       : a1 + a2 == 0 ? 0
                                                      : (sample(p, c) * a1 + sample(q, c) * a2) / (a1 + a2);
                for (size_t k = 0; k < bytes; ++k)
                    blended[p * pixel + c * bytes + k] = uint8_t(value >> (8 * (bytes - 1 - k)));
            }
        }
        EXPECT_EQ(Convert(TemplateModule::ConvertPixels, width, height, in, 1, channels, depth), turned);
        EXPECT_EQ(Convert(AmbrelModule::ConvertPixels, width, height, in, 1, channels, depth), blended);
    }
}

}  // namespace
