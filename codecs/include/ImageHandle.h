// Codec framework: file type by extension, the codec interface and its owning image list,
// and the process-wide factory that maps a type to a codec.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "ImageFormats.h"
#include "LoadResult.h"
#include "ObjImage.h"
#include "Picture.h"
#include "PictureMetadata.h"
#include "RowSink.h"
#include "SampleImage.h"

class ByteSource;

// Everything after the last "." of the whole path; empty for null or no dot.
std::string GetFileExtension(const char* path);

// An owning list: held objects are deleted with the list, the last appended first.
template <class T>
class PCL_Interface_Composite {
  public:
    PCL_Interface_Composite() = default;
    PCL_Interface_Composite(const PCL_Interface_Composite&) = delete;
    PCL_Interface_Composite& operator=(const PCL_Interface_Composite&) = delete;
    // Last first, which the deque's own destruction does not promise.
    virtual ~PCL_Interface_Composite() {
        while (!ObjectList.empty()) ObjectList.pop_back();
    }
    // The list owns object from here on, even when there is no room to hold it (it is deleted).
    void PushObject(T* object) {
        std::unique_ptr<T> owned(object);
        ObjectList.push_back(std::move(owned));
    }

  protected:
    std::deque<std::unique_ptr<T>> ObjectList;
};

// How a codec takes the file it reads, and what is refused before it reads a byte.
struct FileIntake {
    // Piecewise, through a window on the file; otherwise the whole file is read into memory first.
    bool Windowed = false;
    // A file of no more bytes than this is refused as damaged, for ShortReason.
    uint32_t FewestBytes = 0;
    const char* ShortReason = "the file is empty";
};

class FCImageHandleBase {
  public:
    virtual ~FCImageHandleBase() = default;
    // Opens path once (a regular file; a link is followed) and reads it through LoadOpenFile.
    virtual bool LoadFile(const char* path);
    // Reads the file behind an open descriptor, whose length was size when it was opened; the
    // descriptor stays the caller's. The file goes to LoadSource as the codec's intake says; the
    // refusals every codec shares are made here: a file too short, one over 2 GB, and a file to be
    // read whole that memory cannot hold.
    bool LoadOpenFile(int descriptor, uint64_t size);
    // Reads a whole file held in memory through LoadSource.
    bool LoadMemory(const uint8_t* data, int32_t length);
    // The codec's one reader, over the source LoadOpenFile or LoadMemory made of a file that
    // passed their refusals (the tests and fuzz targets hand the windowed ones sources of their own).
    virtual bool LoadSource(ByteSource& in) = 0;
    // Hands the picture to save (SaveSamples, else the first of SaveList) to WritePicture in one of
    // the layouts the table declares for WrittenType; a codec that writes otherwise overrides it.
    virtual bool SaveFile(const char* path, int32_t flag);
    virtual void GetImageList(std::deque<FCObjImage*>& list, bool detach) = 0;

    // Images to write; never owned by the codec.
    std::deque<const FCObjImage*> SaveList;
    // The image SaveFile writes: the first of SaveList, or null when there is none with pixels.
    const FCObjImage* ImageToSave() const;
    // What the load is asked to respect (the pixel limit); set before LoadFile or LoadMemory.
    LoadOptions Options;
    // What the last load came to: a refusal's status and reason, or the warnings of a picture that
    // loaded (rows a damaged file left black among them). A codec sets it only to say why it
    // refused; the framework marks a load that gave a picture.
    LoadResult Result;
    // Where a reader puts the rows it decodes, taken into the form the load holds the picture in
    // (readers of palettes and 16-bit depths decode into the image list instead); the framework
    // hands it over.
    RowSink Rows;
    // What the loaded picture carries besides pixels, as the file holds it, for the codecs whose
    // format has it; the framework's metadata intake checks it.
    PictureMetadata Metadata;
    // What SaveFile writes beside the pixels where its format carries it; null writes none.
    const PictureMetadata* SaveMetadata = nullptr;
    // A picture of alpha or 16-bit samples that SaveFile writes instead of SaveList's, set only for
    // the formats whose written form keeps one of them (ItemTransparency, ItemDeepSamples).
    const FCSampleImage* SaveSamples = nullptr;
    // A picture of several frames that SaveFile writes instead, set only for the formats whose
    // written form keeps them (ItemFrames): its first frame is SaveView, the others WritePicture
    // takes from here in the same layout, with the timing.
    const Picture* SaveFrames = nullptr;

  protected:
    explicit FCImageHandleBase(const FileIntake& intake = FileIntake()) : Intake(intake) {}
    // For a codec that decodes from one block: the rest of in in one piece, which a source over
    // memory always gives. False, the refusal noted, where a file source's window cannot hold it.
    bool TakeWholeFile(ByteSource& in, const uint8_t*& data, size_t& length);

    // The type of the files this codec writes; its row declares the layouts WritePicture takes.
    virtual ImageType WrittenType() const { return ImageTypeUnknown; }
    // Writes SaveView, in SaveLayout, to path; set by SaveFile for the call alone.
    virtual bool WritePicture(const char* path, int32_t flag);
    PictureView SaveView;
    PixelLayout SaveLayout;

  private:
    const FileIntake Intake;
};

class FCImageHandle : public FCImageHandleBase, public PCL_Interface_Composite<FCObjImage> {
  public:
    void GetImageList(std::deque<FCObjImage*>& list, bool detach) override;

  protected:
    using FCImageHandleBase::FCImageHandleBase;
};

class FCImageHandleFactory {
  public:
    virtual ~FCImageHandleFactory() = default;
    virtual ImageType GetImageType(const char* path) const;
    virtual std::unique_ptr<FCImageHandleBase> CreateImageHandle(ImageType type) const = 0;
};

class FCImageHandleFactory_IPicture : public FCImageHandleFactory {
  public:
    std::unique_ptr<FCImageHandleBase> CreateImageHandle(ImageType type) const override;
};

// Loads the picture from a file the caller has opened (descriptor, length size) and names path,
// whose extension chooses the codec. On success image holds the picture at 24 bits or less (samples
// above 8 bits narrowed) and metadata, when given, what it carries besides pixels, checked; on
// failure both are as they were.
LoadResult LoadPictureFile(int descriptor, uint64_t size, const char* path, FCObjImage& image,
                           PictureMetadata* metadata = nullptr, const LoadOptions& options = LoadOptions());
// For a run that carries transparency or 16-bit samples: the picture as samples of channels (3 or
// 4) and maxValue (255 or 65535), its own samples kept at that precision (alpha opaque where the
// file has none; options.KeepAlpha asks the reader for the file's own). What the form leaves out
// is not said here: the result's Transparent and SourceBits tell it.
LoadResult LoadPictureSamples(int descriptor, uint64_t size, const char* path, FCSampleImage& samples,
                              PictureMetadata* metadata, const LoadOptions& options, uint32_t channels,
                              uint32_t maxValue);
// Either load into a run's picture, every frame of it where options.AllFrames asks and the reader
// has them (GIF, WebP, TIFF pages): with channels 0 as LoadPictureFile holds it, else as
// LoadPictureSamples does. The frames' timing comes with them.
LoadResult LoadPictureFrames(int descriptor, uint64_t size, const char* path, Picture& picture,
                             PictureMetadata* metadata, const LoadOptions& options, uint32_t channels,
                             uint32_t maxValue);
// What a codec's successful load hands out: the decoded picture taken over into image (samples
// above 8 bits narrowed, and said in the result's warnings) and its metadata checked into metadata.
// False, with the result's status set, when nothing usable was decoded or memory ran out.
bool TakeDecodedPicture(FCImageHandleBase& codec, FCObjImage& image, PictureMetadata* metadata);
// Saves image as path's extension names, with metadata where the format carries it.
bool SavePictureFile(const FCObjImage& image, const char* path, int32_t flag,
                     const PictureMetadata* metadata = nullptr);
// The same in the format of type, whatever path's extension (a link's target may have another).
// When it fails, error (where given) becomes the errno of the write that failed, or 0 when the
// writer failed otherwise.
bool SavePictureFile(const FCObjImage& image, ImageType type, const char* path, int32_t flag,
                     const PictureMetadata* metadata, int* error = nullptr);
// Saves samples in the format of type: alpha where the format holds it and samples has four
// channels (two for grey), grey as grey where it holds grey, 16 bits where it holds them and samples has
// them; what it cannot hold is narrowed or left out (the caller says so). False when nothing could be
// written.
bool SaveSamplesFile(const FCSampleImage& samples, ImageType type, const char* path, int32_t flag,
                     const PictureMetadata* metadata, int* error = nullptr);

// Saves every frame of picture in the format of type, where it keeps them (ItemFrames) and there are
// several, with their timing: milliseconds as they are, 100 a frame where the picture has none
// (pages). Otherwise its first frame, as SaveSamplesFile or SavePictureFile saves it.
bool SavePictureFrames(const Picture& picture, ImageType type, const char* path, int32_t flag,
                       const PictureMetadata* metadata, int* error = nullptr);

// Made on first use, lives until the process ends.
FCImageHandleFactory* GetImageHandleFactory();
