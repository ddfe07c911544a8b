// Codec framework: file type by extension, the factory that picks a codec, whole-file reading,
// and the load and save entry points of FCObjImage.
#include "ImageHandle.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <new>

#include "ByteBlock.h"
#include "ByteSource.h"
#include "FileWriter.h"
#include "ImageAt24Bits.h"
#include "MetadataOutput.h"
#include "PictureWarnings.h"
#include "RegularFile.h"

namespace {

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
    for (const ImageFormat* format = ImageFormats(); format->Name != nullptr; ++format) {
        for (size_t i = 0; i < format->ExtensionCount; ++i) {
            if (extension == format->Extensions[i].Extension) return format->Extensions[i].Type;
        }
    }
    return ImageTypeUnknown;
}

std::unique_ptr<FCImageHandleBase> FCImageHandleFactory_IPicture::CreateImageHandle(ImageType type) const {
    const ImageFormat* format = FindImageFormat(type);
    return format != nullptr ? format->NewCodec(type) : nullptr;
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
    if (size <= Intake.FewestBytes) return Result.Refuse(LoadStatus::Damaged, Intake.ShortReason);
    // Block lengths are signed 32-bit counts: larger files are refused rather than cut.
    if (size > uint64_t(std::numeric_limits<int32_t>::max()))
        return Result.Refuse(LoadStatus::Unsupported, "files over 2 GB are not read");
    if (Intake.Windowed) {
        ByteSource in(descriptor, size);
        // Only a descriptor it cannot use is left, and its read below says why.
        if (in.Usable()) return LoadSource(in);
    }
    // The page allocator: no exception when memory is short, and no clearing pass of our own.
    const BlockPtr block(AllocBlock(size_t(size), BlockFill::Zero));
    if (!block) return Result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    // A file that shrank meanwhile hands over only the bytes actually read.
    const int64_t got = ReadFully(descriptor, block.get(), size_t(size));
    if (got < 0) return Result.Refuse(LoadStatus::CannotOpen, std::strerror(errno));
    if (got == 0) return Result.Refuse(LoadStatus::Damaged, "the file is empty");
    return LoadMemory(block.get(), int32_t(got));
}

bool FCImageHandleBase::LoadMemory(const uint8_t* data, int32_t length) {
    if (data == nullptr || length <= 0 || uint32_t(length) <= Intake.FewestBytes)
        return Result.Refuse(LoadStatus::Damaged, Intake.ShortReason);
    ByteSource in(data, size_t(length));
    return LoadSource(in);
}

bool FCImageHandleBase::TakeWholeFile(ByteSource& in, const uint8_t*& data, size_t& length) {
    length = size_t(in.Remaining());
    return in.Take(length, data) || Result.Refuse(LoadStatus::Unsupported, "not read through a window");
}

bool FCImageHandleBase::SaveFile(const char* path, int32_t flag) {
    const LayoutList takes = WrittenLayouts(WrittenType());
    if (takes.Count == 0) return false;
    std::unique_ptr<FCObjImage> widened;
    if (SaveFrames != nullptr) {
        SaveView = SaveFrames->View();
    } else if (SaveSamples != nullptr) {
        SaveView = ViewOf(*SaveSamples);
    } else {
        const FCObjImage* image = ImageAt24Bits(ImageToSave(), widened);
        if (image == nullptr) return false;
        SaveView = ViewOf(*image);
        // The resolution is the saved image's own: a widened copy has none.
        SaveView.XPixelsPerMetre = SaveList.front()->InfoHeader.biXPelsPerMeter;
        SaveView.YPixelsPerMetre = SaveList.front()->InfoHeader.biYPelsPerMeter;
    }
    if (!SaveView.Valid()) return false;
    SaveLayout = ChooseLayout(SaveView.Layout, takes.Items, takes.Count);
    // Colour into a writer of grey alone (PGM) is refused, not made grey.
    if (!LayoutConversion(SaveView.Layout, SaveLayout).Possible()) return false;
    const bool written = WritePicture(path, flag);
    SaveView = PictureView();
    return written;
}

bool FCImageHandleBase::WritePicture(const char*, int32_t) {
    return false;
}

const FCObjImage* FCImageHandleBase::ImageToSave() const {
    const FCObjImage* image = SaveList.empty() ? nullptr : SaveList.front();
    return image != nullptr && image->IsValid() ? image : nullptr;
}

void FCImageHandle::GetImageList(std::deque<FCObjImage*>& list, bool detach) {
    // A picture the sink holds at 24 bits joins the list as if decoded into it.
    if (Rows.Image.IsValid()) {
        auto image = std::make_unique<FCObjImage>();
        image->SwapStorage(Rows.Image);
        PushObject(image.release());
    }
    list.clear();
    for (const std::unique_ptr<FCObjImage>& image : ObjectList) list.push_back(image.get());
    if (!detach) return;
    // The caller owns them from here on.
    for (std::unique_ptr<FCObjImage>& image : ObjectList) (void)image.release();
    ObjectList.clear();
}

namespace {

// The picture a codec decoded into its image list, or null (the reason noted) when there is none.
FCObjImage* FirstDecodedImage(FCImageHandleBase& codec) {
    std::deque<FCObjImage*> images;
    codec.GetImageList(images, false);
    if (images.empty() || !images.front()->IsValid()) {
        codec.Result.Refuse(LoadStatus::Damaged, "no picture in the file");
        return nullptr;
    }
    return images.front();
}

// The metadata goes through the one intake whatever form the pixels took.
bool FinishTaking(FCImageHandleBase& codec, PictureMetadata* metadata) {
    CheckPictureMetadata(codec.Metadata, codec.Result.Warnings);
    if (metadata != nullptr) *metadata = std::move(codec.Metadata);
    codec.Result.Status = LoadStatus::Loaded;
    return true;
}

}  // namespace

bool TakeDecodedPicture(FCImageHandleBase& codec, FCObjImage& image, PictureMetadata* metadata) {
    LoadResult& result = codec.Result;
    RowSink& rows = codec.Rows;
    if (rows.Began()) rows.Finish(codec.Options, result);
    if (rows.Image.IsValid()) {
        // Taken over, not copied: the codec leaves with the old content. The graph words arrive as
        // a copy would bring them.
        image.SwapStorage(rows.Image);
        image.GraphWord0 = rows.Image.GraphWord0;
        image.GraphWord1 = rows.Image.GraphWord1;
    } else if (rows.Samples.IsValid()) {
        // A codec used on its own holds the file's own samples: the one narrowing, whatever the format.
        if (!NarrowToImage(rows.Samples, image))
            return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
        if (rows.Samples.MaxValue > 255)
            result.Warnings.push_back(warning::NarrowedSamples(rows.Samples.SignificantBits()));
        rows.Samples.Release();
    } else {
        FCObjImage* decoded = FirstDecodedImage(codec);
        if (decoded == nullptr) return false;
        // The decoded picture is taken over, not copied: the codec leaves with the old content and
        // deletes it. The graph words arrive as a copy would bring them.
        image.SwapStorage(*decoded);
        image.GraphWord0 = decoded->GraphWord0;
        image.GraphWord1 = decoded->GraphWord1;
    }
    return FinishTaking(codec, metadata);
}

bool TakeDecodedSamples(FCImageHandleBase& codec, FCSampleImage& samples, PictureMetadata* metadata,
                        uint32_t channels, uint32_t maxValue) {
    LoadResult& result = codec.Result;
    RowSink& rows = codec.Rows;
    if (rows.Began()) {
        rows.Finish(codec.Options, result);
        // Grey is held in the form it goes out in already, and so are the colour pages after a grey
        // one in a run of the 24-bit form (channels 0).
        if (rows.HeldGrey() || channels == 0)
            channels = rows.Samples.Channels, maxValue = rows.Samples.MaxValue;
        if (!ConvertSamples(rows.Samples, channels, maxValue))
            return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
        samples.SwapWith(rows.Samples);
        rows.Samples.Release();
    } else {
        FCObjImage* decoded = FirstDecodedImage(codec);
        if (decoded == nullptr) return false;
        result.SourceBits = 8;
        decoded->ConvertTo24();
        if (decoded->InfoHeader.biBitCount != 24 || !WidenToSamples(*decoded, samples, channels, maxValue))
            return result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    }
    return FinishTaking(codec, metadata);
}

namespace {

using TakePicture = std::function<bool(FCImageHandleBase&)>;

// The form a load holds a deep or transparent picture in while its rows arrive.
struct HeldForm {
    RowSink::Form Form = RowSink::Form::Image24;
    uint32_t Channels = 0;
    uint32_t MaxValue = 0;
};

LoadResult LoadWith(ImageType type, int descriptor, uint64_t size, const LoadOptions& options,
                    const HeldForm& form, const TakePicture& take) {
    const std::unique_ptr<FCImageHandleBase> handle = GetImageHandleFactory()->CreateImageHandle(type);
    LoadResult result;
    if (!handle) {
        result.Refuse(LoadStatus::UnknownType, std::string());
        return result;
    }
    handle->Options = options;
    handle->Rows.HoldAs(form.Form, form.Channels, form.MaxValue);
    if (options.KeepGrey)
        handle->Rows.KeepGreyAs(form.Channels == 4 ? 2 : 1,
                                form.Form == RowSink::Form::Samples ? form.MaxValue : 255);
    try {
        if (handle->LoadOpenFile(descriptor, size)) take(*handle);
        result = std::move(handle->Result);
    } catch (const std::bad_alloc&) {
        result = LoadResult();
        result.Refuse(LoadStatus::OutOfMemory, "out of memory");
    }
    if (!result.Ok()) result.Warnings.clear();
    result.Format = ImageTypeName(type);
    return result;
}

constexpr size_t kSignatureBytes = 12;

// The format the first bytes of the file name, from its start, whatever has been read before.
ImageType SniffFile(int descriptor) {
    uint8_t start[kSignatureBytes] = {};
    const ssize_t got = pread(descriptor, start, sizeof start, 0);
    const ImageFormat* format = got > 0 ? SniffImageFormat(start, size_t(got)) : nullptr;
    return format != nullptr ? format->Extensions[0].Type : ImageTypeUnknown;
}

// Decision: a file its extension's codec refuses is tried once more by the codec its signature
// names (downloads are often saved under the wrong extension), and the picture says so. A name
// that gives no format, with no extension or one no format has, is no wrong name: the file is read
// by its signature alone, and nothing is said (a TGA, which has none, still needs its extension).
LoadResult LoadFrom(int descriptor, uint64_t size, const char* path, const LoadOptions& options,
                    const HeldForm& form, const TakePicture& take) {
    const ImageType named = GetImageHandleFactory()->GetImageType(path);
    if (named == ImageTypeUnknown)
        return LoadWith(SniffFile(descriptor), descriptor, size, options, form, take);
    LoadResult result = LoadWith(named, descriptor, size, options, form, take);
    if (result.Status != LoadStatus::Damaged && result.Status != LoadStatus::Unsupported) return result;
    const ImageType sniffed = SniffFile(descriptor);
    if (sniffed == ImageTypeUnknown || FindImageFormat(sniffed) == FindImageFormat(named) ||
        lseek(descriptor, 0, SEEK_SET) != 0)
        return result;
    LoadResult second = LoadWith(sniffed, descriptor, size, options, form, take);
    if (!second.Ok()) return result;
    const char* name = ImageTypeName(sniffed);
    second.Warnings.insert(second.Warnings.begin(), std::string("is a ") + name + " file; read as " + name);
    return second;
}

}  // namespace

LoadResult LoadPictureFile(int descriptor, uint64_t size, const char* path, FCObjImage& image,
                           PictureMetadata* metadata, const LoadOptions& options) {
    return LoadFrom(descriptor, size, path, options, HeldForm(),
                    [&](FCImageHandleBase& codec) { return TakeDecodedPicture(codec, image, metadata); });
}

LoadResult LoadPictureSamples(int descriptor, uint64_t size, const char* path, FCSampleImage& samples,
                              PictureMetadata* metadata, const LoadOptions& options, uint32_t channels,
                              uint32_t maxValue) {
    const HeldForm form{RowSink::Form::Samples, channels, maxValue};
    return LoadFrom(descriptor, size, path, options, form, [&](FCImageHandleBase& codec) {
        return TakeDecodedSamples(codec, samples, metadata, channels, maxValue);
    });
}

LoadResult LoadPictureFrames(int descriptor, uint64_t size, const char* path, Picture& picture,
                             PictureMetadata* metadata, const LoadOptions& options, uint32_t channels,
                             uint32_t maxValue) {
    const HeldForm form = channels == 0 ? HeldForm() : HeldForm{RowSink::Form::Samples, channels, maxValue};
    return LoadFrom(descriptor, size, path, options, form, [&](FCImageHandleBase& codec) {
        // The frame the rows went to last is taken as a still picture is; those before it are held
        // in the run's form already.
        auto last = std::make_unique<PictureFrame>();
        const bool taken = channels == 0 && !codec.Rows.HeldAsSamples()
                               ? TakeDecodedPicture(codec, last->Image, metadata)
                               : TakeDecodedSamples(codec, last->Samples, metadata, channels, maxValue);
        if (!taken) return false;
        picture.Frames = std::move(codec.Rows.Earlier);
        picture.Frames.push_back(std::move(last));
        picture.Timing = std::move(codec.Rows.Timing);
        return true;
    });
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
    return SavePictureFile(image, GetImageHandleFactory()->GetImageType(path), path, flag, metadata);
}

namespace {

// One save through a new codec, with the errno of the write that failed, if one did.
bool SaveThrough(ImageType type, const FCObjImage* image, const FCSampleImage* samples, const char* path,
                 int32_t flag, const PictureMetadata* metadata, int* error, const Picture* frames = nullptr) {
    // A codec writes one of its row's types; a name of another (an .avif beside HEIC) is never
    // written in it.
    if (!CanSaveImageType(type)) return false;
    const std::unique_ptr<FCImageHandleBase> handle = GetImageHandleFactory()->CreateImageHandle(type);
    if (!handle) return false;
    if (image != nullptr) handle->SaveList.push_back(image);
    handle->SaveSamples = samples;
    handle->SaveFrames = frames;
    handle->SaveMetadata = metadata;
    LastOutputError() = 0;
    const bool saved = handle->SaveFile(path, flag);
    if (error != nullptr) *error = saved ? 0 : LastOutputError();
    return saved;
}

}  // namespace

bool SavePictureFile(const FCObjImage& image, ImageType type, const char* path, int32_t flag,
                     const PictureMetadata* metadata, int* error) {
    if (error != nullptr) *error = 0;
    if (!image.IsValid() || path == nullptr) return false;
    return SaveThrough(type, &image, nullptr, path, flag, metadata, error);
}

bool SaveSamplesFile(const FCSampleImage& samples, ImageType type, const char* path, int32_t flag,
                     const PictureMetadata* metadata, int* error) {
    if (error != nullptr) *error = 0;
    if (!samples.IsValid() || path == nullptr) return false;
    const uint32_t grey = samples.Channels <= 2 ? uint32_t(ItemGrey) : 0u;
    if ((ItemsKept(type) & (ItemTransparency | ItemDeepSamples | grey)) == 0) {
        FCObjImage narrowed;
        return NarrowToImage(samples, narrowed) &&
               SavePictureFile(narrowed, type, path, flag, metadata, error);
    }
    return SaveThrough(type, nullptr, &samples, path, flag, metadata, error);
}

bool SavePictureFrames(const Picture& picture, ImageType type, const char* path, int32_t flag,
                       const PictureMetadata* metadata, int* error) {
    if (error != nullptr) *error = 0;
    const PictureFrame& first = picture.First();
    if (picture.FrameCount() > 1 && (ItemsKept(type) & ItemFrames) != 0 && first.View().Valid() &&
        path != nullptr)
        return SaveThrough(type, nullptr, nullptr, path, flag, metadata, error, &picture);
    return first.Samples.IsValid() ? SaveSamplesFile(first.Samples, type, path, flag, metadata, error)
                                   : SavePictureFile(first.Image, type, path, flag, metadata, error);
}

bool FCObjImage::SaveToFile(const char* path, int32_t flag) const {
    return SavePictureFile(*this, path, flag);
}
