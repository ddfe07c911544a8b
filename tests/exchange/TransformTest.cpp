// The two module transforms on small hand-made pictures.
#include <gtest/gtest.h>

#include <cstring>

#include "AmbrelTransform.h"
#include "ExchangeTestSupport.h"
#include "TemplateTransform.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Convert(void (*convertPixels)(ExchangeState&), int32_t width, int32_t height, const Bytes& in,
              int32_t frames = 1) {
    ExchangeState state;
    state.Width = width;
    state.Height = height;
    state.Frames = frames;
    state.PixelCount = uint32_t(in.size() / sizeof(ExchangePixel)) / uint32_t(frames);
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

}  // namespace
