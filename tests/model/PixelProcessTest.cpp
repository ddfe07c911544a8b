// RunPixelProcess: call sequences by process type, refusal of small depths, pixel addresses.
#include <gtest/gtest.h>

#include <string>

#include "PixelProcess.h"

namespace {

// Records every call as one letter; pixel calls add x, y and the byte offset from PixelStore.
class Recorder : public FCSinglePixelProcessBase {
  public:
    explicit Recorder(int32_t type = ProcessPixelType) : type_(type) {}
    bool ValidateImage(FCObjImage& image) override {
        calls += "V";
        return FCSinglePixelProcessBase::ValidateImage(image);
    }
    int32_t QueryProcessType() override { return calls += "Q", type_; }
    void OnEnterProcess(FCObjImage&) override { calls += "E"; }
    void ProcessPixel(FCObjImage& image, int32_t x, int32_t y, uint8_t* pixel) override {
        calls += " P" + std::to_string(x) + std::to_string(y) + "@" +
                 std::to_string(pixel - image.PixelStore) + " ";
    }
    void ProcessWholeImage(FCObjImage&, void* param) override { calls += param ? "w" : "W"; }
    void OnLeaveProcess(FCObjImage&) override { calls += "L"; }

    std::string calls;

  private:
    int32_t type_;
};

std::string Trace(FCObjImage& image, int32_t type = ProcessPixelType) {
    Recorder recorder(type);
    RunPixelProcess(image, recorder);
    return recorder.calls;
}

}  // namespace

TEST(RunPixelProcess, CallSequenceByProcessType) {
    FCObjImage image;
    ASSERT_TRUE(image.Create(2, 2, 24));
    EXPECT_EQ(Trace(image), "VEQ P00@8  P10@11  P01@0  P11@3 L");
    EXPECT_EQ(Trace(image, ProcessWholeImageType), "VEQWL");
    EXPECT_EQ(Trace(image, 2), "VEQL");
    ASSERT_TRUE(image.Create(2, 1, 32));
    EXPECT_EQ(Trace(image), "VEQ P00@0  P10@4 L");
}

TEST(RunPixelProcess, RefusedImagesGetNoFurtherCalls) {
    FCObjImage image;
    for (uint16_t bpp : {1, 4, 8, 16}) {
        ASSERT_TRUE(image.Create(2, 2, bpp));
        EXPECT_EQ(Trace(image), "V") << bpp;
    }
    image.ReleaseStorage();
    image.InfoHeader.biBitCount = 24;
    image.InfoHeader.biWidth = image.InfoHeader.biHeight = 2;
    EXPECT_EQ(Trace(image), "V");
}

// A processor that shrinks the image mid-walk: the walk must follow the new size.
TEST(RunPixelProcess, FollowsTheImageCurrentState) {
    struct Shrinker : FCSinglePixelProcessBase {
        int32_t pixels = 0;
        void ProcessPixel(FCObjImage& image, int32_t, int32_t, uint8_t*) override {
            ++pixels;
            image.Create(1, 1, 24);
        }
    } shrinker;
    FCObjImage image;
    ASSERT_TRUE(image.Create(3, 3, 24));
    RunPixelProcess(image, shrinker);
    EXPECT_EQ(shrinker.pixels, 1);
}
