// Codec framework: file type by extension, the factory that picks a codec, whole-file reading,
// and the load and save entry points of FCObjImage.
#include "ImageHandle.h"

#include <unistd.h>

#include <cstring>
#include <limits>
#include <new>

#include "ImageHandle_Bmp.h"
#include "ImageHandle_Heif.h"
#include "ImageHandle_IPicture.h"
#include "ImageHandle_Jpeg.h"
#include "ImageHandle_Png.h"
#include "ImageHandle_Pnm.h"
#include "ImageHandle_Tga.h"
#include "ImageHandle_Tiff.h"
#include "ImageHandle_Webp.h"
#include "PixelBlockAlloc.h"
#include "RegularFile.h"

namespace {

struct ExtensionRow {
    const char* extension;
    ImageType type;
};

// Searched in this order; the first equal row wins.
constexpr ExtensionRow kExtensionTable[] = {
    {"jpg", ImageTypeJpeg},  {"jpeg", ImageTypeJpeg}, {"gif", ImageTypeGif},   {"png", ImageTypePng},
    {"bmp", ImageTypeBmp},   {"pcx", ImageTypePcx},   {"tif", ImageTypeTiff},  {"tiff", ImageTypeTiff},
    {"tga", ImageTypeTga},   {"ico", ImageTypeIcon},  {"psd", ImageTypePsd},   {"xpm", ImageTypeXpm},
    {"kvr", ImageTypeKvr},   {"pbm", ImageTypePbm},   {"pgm", ImageTypePgm},   {"ppm", ImageTypePpm},
    {"pnm", ImageTypePnm},   {"pam", ImageTypePam},   {"webp", ImageTypeWebp}, {"heic", ImageTypeHeif},
    {"heif", ImageTypeHeif}, {"avif", ImageTypeHeif},
};

// Only ASCII letters fold, whatever the locale: bytes of 128 and above stay as they are.
char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// Closes the descriptor it was given when it goes.
class DescriptorCloser {
  public:
    explicit DescriptorCloser(int descriptor) : Descriptor(descriptor) {}
    DescriptorCloser(const DescriptorCloser&) = delete;
    DescriptorCloser& operator=(const DescriptorCloser&) = delete;
    ~DescriptorCloser() {
        if (Descriptor >= 0) close(Descriptor);
    }

  private:
    int Descriptor;
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
        case ImageTypePbm:
        case ImageTypePgm:
            return std::make_unique<FCImageHandle_Pnm>();
        case ImageTypePpm:
        case ImageTypePnm:
            return std::make_unique<FCImageHandle_Pnm>(FCImageHandle_Pnm::Form::Ppm);
        case ImageTypePam:
            return std::make_unique<FCImageHandle_Pnm>(FCImageHandle_Pnm::Form::Pam);
        case ImageTypeTiff:
            return std::make_unique<FCImageHandle_Tiff>();
        case ImageTypeWebp:
            return std::make_unique<FCImageHandle_Webp>();
        case ImageTypeHeif:
            return std::make_unique<FCImageHandle_Heif>();
        default:
            return nullptr;
    }
}

bool CanSaveImageType(ImageType type) {
    return type == ImageTypeBmp || type == ImageTypeTga || type == ImageTypePng || type == ImageTypeJpeg ||
           type == ImageTypePpm || type == ImageTypePnm || type == ImageTypePam || type == ImageTypeTiff ||
           type == ImageTypeWebp;
}

int32_t MaxSavedSide(ImageType type) {
    return type == ImageTypeWebp ? FCImageHandle_Webp::kMaxSide : 0;
}

FCImageHandleFactory* GetImageHandleFactory() {
    static const std::unique_ptr<FCImageHandleFactory> factory =
        std::make_unique<FCImageHandleFactory_IPicture>();
    return factory.get();
}

bool FCImageHandleBase::LoadFile(const char* path) {
    uint64_t size = 0;
    bool notRegular = false;
    const int descriptor = OpenRegularFile(path, LinkPolicy::Follow, size, &notRegular);
    if (descriptor < 0) {
        Result.Status = notRegular ? LoadStatus::NotRegularFile : LoadStatus::CannotOpen;
        return false;
    }
    const DescriptorCloser closer(descriptor);
    return LoadOpenFile(descriptor, size);
}

bool FCImageHandleBase::LoadOpenFile(int descriptor, uint64_t size) {
    // Block lengths are signed 32-bit counts: larger files are refused rather than cut.
    if (size == 0 || size > uint64_t(std::numeric_limits<int32_t>::max())) return false;
    // The page allocator: no exception when memory is short, and no clearing pass of our own.
    const PixelBlockPtr block(AllocPixelBlock(size_t(size)));
    if (!block) {
        Result.Status = LoadStatus::OutOfMemory;
        return false;
    }
    // A file that shrank meanwhile hands over only the bytes actually read.
    const int64_t got = ReadFully(descriptor, block.get(), size_t(size));
    if (got <= 0) return false;
    return LoadMemory(block.get(), int32_t(got));
}

bool FCImageHandleBase::LoadMemory(const uint8_t*, int32_t) {
    return false;
}

bool FCImageHandleBase::SaveFile(const char*, int32_t) {
    return false;
}

const FCObjImage* FCImageHandleBase::ImageToSave() const {
    const FCObjImage* image = SaveList.empty() ? nullptr : SaveList.front();
    return image != nullptr && image->IsValid() ? image : nullptr;
}

void FCImageHandle::GetImageList(std::deque<FCObjImage*>& list, bool detach) {
    list.assign(ObjectList.begin(), ObjectList.end());
    if (detach) ObjectList.clear();
}

namespace {

// The codec's verdict made whole: a refusal without a reason of its own is damage.
LoadResult Settle(FCImageHandleBase& handle, bool loaded, FCObjImage& image, PictureMetadata* metadata) {
    LoadResult result = std::move(handle.Result);
    std::deque<FCObjImage*> images;
    if (loaded) handle.GetImageList(images, false);
    if (!loaded || images.empty() || !images.front()->IsValid()) {
        if (result.Status == LoadStatus::Loaded) result.Status = LoadStatus::Damaged;
        result.Warnings.clear();
        return result;
    }
    // The decoded picture is taken over, not copied: the codec leaves with the old content and
    // deletes it. The graph words arrive as a copy would bring them.
    FCObjImage& decoded = *images.front();
    image.SwapStorage(decoded);
    image.GraphWord0 = decoded.GraphWord0;
    image.GraphWord1 = decoded.GraphWord1;
    if (metadata != nullptr) *metadata = std::move(handle.Metadata);
    result.Status = LoadStatus::Loaded;
    return result;
}

LoadResult LoadWith(ImageType type, int descriptor, uint64_t size, FCObjImage& image,
                    PictureMetadata* metadata) {
    const std::unique_ptr<FCImageHandleBase> handle = GetImageHandleFactory()->CreateImageHandle(type);
    if (!handle) {
        LoadResult result;
        result.Status = LoadStatus::UnknownType;
        return result;
    }
    handle->Result = LoadResult{};
    handle->Result.Status = LoadStatus::Loaded;
    try {
        const bool loaded = handle->LoadOpenFile(descriptor, size);
        return Settle(*handle, loaded, image, metadata);
    } catch (const std::bad_alloc&) {
        LoadResult result;
        result.Status = LoadStatus::OutOfMemory;
        return result;
    }
}

constexpr size_t kSignatureBytes = 12;

bool StartsWith(const uint8_t* bytes, size_t count, const char* signature, size_t length, size_t at = 0) {
    return count >= at + length && std::memcmp(bytes + at, signature, length) == 0;
}

// The format whose signature the first bytes carry, among those read; TGA has none.
ImageType SniffImageType(const uint8_t* b, size_t n) {
    if (StartsWith(b, n, "\x89PNG\r\n\x1a\n", 8)) return ImageTypePng;
    if (StartsWith(b, n, "\xff\xd8\xff", 3)) return ImageTypeJpeg;
    if (StartsWith(b, n, "GIF87a", 6) || StartsWith(b, n, "GIF89a", 6)) return ImageTypeGif;
    if (StartsWith(b, n, "II*\0", 4) || StartsWith(b, n, "MM\0*", 4) || StartsWith(b, n, "II+\0", 4) ||
        StartsWith(b, n, "MM\0+", 4))
        return ImageTypeTiff;
    if (StartsWith(b, n, "RIFF", 4) && StartsWith(b, n, "WEBP", 4, 8)) return ImageTypeWebp;
    if (StartsWith(b, n, "ftyp", 4, 4)) return ImageTypeHeif;
    if (StartsWith(b, n, "BM", 2)) return ImageTypeBmp;
    // "P1" to "P7" and a blank: every netpbm form, which the one PNM reader takes.
    if (n >= 3 && b[0] == 'P' && b[1] >= '1' && b[1] <= '7' &&
        (b[2] == ' ' || b[2] == '\t' || b[2] == '\n' || b[2] == '\r'))
        return ImageTypePnm;
    return ImageTypeUnknown;
}

// The first bytes of the file, from its start, whatever has been read from it before.
ImageType SniffFile(int descriptor) {
    uint8_t start[kSignatureBytes] = {};
    const ssize_t got = pread(descriptor, start, sizeof start, 0);
    return got > 0 ? SniffImageType(start, size_t(got)) : ImageTypeUnknown;
}

}  // namespace

const char* ImageTypeName(ImageType type) {
    switch (type) {
        case ImageTypeBmp:
            return "BMP";
        case ImageTypeJpeg:
            return "JPEG";
        case ImageTypeGif:
            return "GIF";
        case ImageTypeTga:
            return "TGA";
        case ImageTypeTiff:
            return "TIFF";
        case ImageTypePng:
            return "PNG";
        case ImageTypeWebp:
            return "WebP";
        case ImageTypeHeif:
            return "HEIF";
        case ImageTypePbm:
            return "PBM";
        case ImageTypePgm:
            return "PGM";
        case ImageTypePpm:
            return "PPM";
        case ImageTypePnm:
            return "PNM";
        case ImageTypePam:
            return "PAM";
        default:
            return "unknown";
    }
}

const char* ReadFormatNames() {
    return "BMP, TGA, PNG, JPEG, GIF, TIFF, WebP, HEIC, HEIF, AVIF and PNM (PBM, PGM, PPM, PAM)";
}

// Decision: a file its extension's codec refuses is tried once more by the codec its signature
// names (downloads are often saved under the wrong extension), and the picture says so.
LoadResult LoadPictureFile(int descriptor, uint64_t size, const char* path, FCObjImage& image,
                           PictureMetadata* metadata) {
    const ImageType named = GetImageHandleFactory()->GetImageType(path);
    LoadResult result = LoadWith(named, descriptor, size, image, metadata);
    if (result.Status != LoadStatus::Damaged && result.Status != LoadStatus::Unsupported) return result;
    const ImageType sniffed = SniffFile(descriptor);
    if (sniffed == ImageTypeUnknown || sniffed == named || lseek(descriptor, 0, SEEK_SET) != 0) return result;
    LoadResult second = LoadWith(sniffed, descriptor, size, image, metadata);
    if (!second.Ok()) return result;
    second.Warnings.insert(second.Warnings.begin(), std::string("is a ") + ImageTypeName(sniffed) +
                                                        " file; read as " + ImageTypeName(sniffed));
    return second;
}

bool FCObjImage::LoadFromFile(const char* path) {
    uint64_t size = 0;
    const int descriptor = OpenRegularFile(path, LinkPolicy::Follow, size);
    if (descriptor < 0) return false;
    const DescriptorCloser closer(descriptor);
    return LoadPictureFile(descriptor, size, path, *this).Ok();
}

bool SavePictureFile(const FCObjImage& image, const char* path, int32_t flag,
                     const PictureMetadata* metadata) {
    if (!image.IsValid() || path == nullptr) return false;
    const std::unique_ptr<FCImageHandleBase> handle = CreateHandleFor(path);
    if (!handle) return false;
    handle->SaveList.push_back(&image);
    handle->SaveMetadata = metadata;
    return handle->SaveFile(path, flag);
}

bool FCObjImage::SaveToFile(const char* path, int32_t flag) const {
    return SavePictureFile(*this, path, flag);
}
