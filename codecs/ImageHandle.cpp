// Codec framework: file type by extension, the factory that picks a codec, whole-file reading,
// and the load and save entry points of FCObjImage.
#include "ImageHandle.h"

#include <cstdio>
#include <limits>

#include "ImageHandle_Bmp.h"
#include "ImageHandle_IPicture.h"
#include "ImageHandle_Jpeg.h"
#include "ImageHandle_Png.h"
#include "ImageHandle_Tga.h"
#include "PageAlloc.h"

namespace {

struct ExtensionRow {
    const char* extension;
    ImageType type;
};

// Searched in this order; the first equal row wins.
constexpr ExtensionRow kExtensionTable[] = {
    {"jpg", ImageTypeJpeg}, {"jpeg", ImageTypeJpeg}, {"gif", ImageTypeGif},  {"png", ImageTypePng},
    {"bmp", ImageTypeBmp},  {"pcx", ImageTypePcx},   {"tif", ImageTypeTiff}, {"tiff", ImageTypeTiff},
    {"tga", ImageTypeTga},  {"ico", ImageTypeIcon},  {"psd", ImageTypePsd},  {"xpm", ImageTypeXpm},
    {"kvr", ImageTypeKvr},
};

// Only ASCII letters fold, whatever the locale: bytes of 128 and above stay as they are.
char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};

std::unique_ptr<FCImageHandleBase> CreateHandleFor(const char* path) {
    FCImageHandleFactory* factory = GetImageHandleFactory();
    return factory->CreateImageHandle(factory->GetImageType(path));
}

}  // namespace

std::string GetFileExtension(const char* path) {
    if (path == nullptr) return std::string();
    const std::string whole(path);
    const size_t dot = whole.rfind('.');
    return dot == std::string::npos ? std::string() : whole.substr(dot + 1);
}

ImageType FCImageHandleFactory::GetImageType(const char* path) const {
    if (path == nullptr) return ImageTypeUnknown;
    std::string extension = GetFileExtension(path);
    for (char& c : extension) c = FoldAscii(c);
    for (const ExtensionRow& row : kExtensionTable) {
        if (extension == row.extension) return row.type;
    }
    return ImageTypeUnknown;
}

std::unique_ptr<FCImageHandleBase> FCImageHandleFactory_IPicture::CreateImageHandle(ImageType type) const {
    switch (type) {
        case ImageTypeBmp:
            return std::make_unique<FCImageHandle_Bmp>();
        case ImageTypeJpeg:
            return std::make_unique<FCImageHandle_Jpeg>();
        case ImageTypeGif:
            return std::make_unique<FCImageHandle_IPicture>();
        case ImageTypePng:
            return std::make_unique<FCImageHandle_Png>();
        case ImageTypeTga:
            return std::make_unique<FCImageHandle_Tga>();
        default:
            return nullptr;
    }
}

bool CanSaveImageType(ImageType type) {
    return type == ImageTypeBmp || type == ImageTypeTga || type == ImageTypePng || type == ImageTypeJpeg;
}

FCImageHandleFactory* GetImageHandleFactory() {
    static const std::unique_ptr<FCImageHandleFactory> factory =
        std::make_unique<FCImageHandleFactory_IPicture>();
    return factory.get();
}

bool FCImageHandleBase::LoadFile(const char* path) {
    if (path == nullptr) return false;
    std::unique_ptr<FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) return false;
    const long size = std::ftell(file.get());
    // Block lengths are signed 32-bit counts: larger files are refused rather than cut.
    if (size <= 0 || size > long(std::numeric_limits<int32_t>::max())) return false;
    if (std::fseek(file.get(), 0, SEEK_SET) != 0) return false;
    // The page allocator: no exception when memory is short, and no clearing pass of our own.
    const PixelBlockPtr block(AllocZeroedPixels(size_t(size)));
    if (!block) return false;
    // A file that shrank meanwhile hands over only the bytes actually read.
    const size_t got = std::fread(block.get(), 1, size_t(size), file.get());
    if (got == 0) return false;
    return LoadMemory(block.get(), int32_t(got));
}

bool FCImageHandleBase::LoadMemory(const uint8_t*, int32_t) {
    return false;
}

bool FCImageHandleBase::SaveFile(const char*, int32_t) {
    return false;
}

void FCImageHandle::GetImageList(std::deque<FCObjImage*>& list, bool detach) {
    list.assign(ObjectList.begin(), ObjectList.end());
    if (detach) ObjectList.clear();
}

bool FCObjImage::LoadFromFile(const char* path, uint32_t* incompleteRows) {
    const std::unique_ptr<FCImageHandleBase> handle = CreateHandleFor(path);
    if (!handle || !handle->LoadFile(path)) return false;
    if (incompleteRows != nullptr) *incompleteRows = handle->IncompleteRows;
    std::deque<FCObjImage*> images;
    handle->GetImageList(images, false);
    if (images.empty() || !images.front()->IsValid()) return false;
    // The decoded picture is taken over, not copied: the codec leaves with the old content and
    // deletes it. The graph words arrive as a copy would bring them.
    FCObjImage& decoded = *images.front();
    SwapStorage(decoded);
    GraphWord0 = decoded.GraphWord0;
    GraphWord1 = decoded.GraphWord1;
    return true;
}

bool FCObjImage::SaveToFile(const char* path, int32_t flag) const {
    if (!IsValid() || path == nullptr) return false;
    const std::unique_ptr<FCImageHandleBase> handle = CreateHandleFor(path);
    if (!handle) return false;
    handle->SaveList.push_back(this);
    return handle->SaveFile(path, flag);
}
