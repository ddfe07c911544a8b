// Test pictures written and read through the imaging library.
#include "TestPictures.h"

#include "ObjImage.h"

std::ostream& operator<<(std::ostream& out, const Rgb& p) {
    return out << '(' << int(p.Red) << ',' << int(p.Green) << ',' << int(p.Blue) << ')';
}

bool SavePicture(const Picture& picture, const std::string& path) {
    FCObjImage image;
    if (!image.Create(picture.Width, picture.Height, 24)) return false;
    for (int32_t y = 0; y < picture.Height; ++y) {
        for (int32_t x = 0; x < picture.Width; ++x) {
            uint8_t* pixel = image.PixelAddress(x, y);
            const Rgb rgb = picture.At(x, y);
            pixel[0] = rgb.Blue;
            pixel[1] = rgb.Green;
            pixel[2] = rgb.Red;
        }
    }
    return image.SaveToFile(path.c_str());
}

bool LoadPicture(const std::string& path, Picture& picture) {
    FCObjImage image;
    if (!image.LoadFromFile(path.c_str())) return false;
    image.ConvertTo24();
    picture = Picture{image.InfoHeader.biWidth, image.InfoHeader.biHeight, {}};
    for (int32_t y = 0; y < picture.Height; ++y) {
        for (int32_t x = 0; x < picture.Width; ++x) {
            const uint8_t* pixel = image.PixelAddress(x, y);
            picture.Pixels.push_back({pixel[2], pixel[1], pixel[0]});
        }
    }
    return true;
}
