// Codec framework: file types by extension, the factory, ownership of decoded and saved images,
// and the load and save entry points of FCObjImage.
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <typeindex>

#include "CodecTestSupport.h"
#include "ImageHandle_Bmp.h"
#include "ImageHandle_Tga.h"

using namespace codectest;

namespace {

ImageType TypeOf(const char* path) {
    return GetImageHandleFactory()->GetImageType(path);
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Records the order in which images are destroyed.
std::vector<int>* gDestroyed = nullptr;
struct TracedImage : FCObjImage {
    explicit TracedImage(int id) : id(id) {}
    ~TracedImage() override { gDestroyed->push_back(id); }
    int id;
};

}  // namespace

TEST(FileType, ExtensionIsWhateverFollowsTheLastDotOfTheWholePath) {
    EXPECT_EQ(GetFileExtension("a.b.tga"), "tga");
    EXPECT_EQ(GetFileExtension("photos.old/image"), "old/image");
    EXPECT_EQ(GetFileExtension("image."), "");
    EXPECT_EQ(GetFileExtension("image"), "");
    EXPECT_EQ(GetFileExtension(nullptr), "");
    EXPECT_EQ(GetFileExtension("photo.JPG"), "JPG");
}

TEST(FileType, TableIsSearchedCaseFoldedAndWholeWord) {
    const std::pair<const char*, ImageType> cases[] = {
        {"photo.JPG", ImageTypeJpeg},   {"photo.Jpeg", ImageTypeJpeg},
        {"x.gif", ImageTypeGif},        {"x.png", ImageTypePng},
        {"IMAGE.BMP", ImageTypeBmp},    {"x.pcx", ImageTypeUnknown},
        {"scan.tif", ImageTypeTiff},    {"scan.tiff", ImageTypeTiff},
        {"a.b.tga", ImageTypeTga},      {"x.ico", ImageTypeUnknown},
        {"x.psd", ImageTypeUnknown},    {"x.xpm", ImageTypeUnknown},
        {"x.kvr", ImageTypeUnknown},    {"x.jpe", ImageTypeUnknown},
        {"x.bmp2", ImageTypeUnknown},   {"photos.old/image", ImageTypeUnknown},
        {"image.", ImageTypeUnknown},   {"image", ImageTypeUnknown},
        {"x.\xC2MP", ImageTypeUnknown},
    };
    for (const auto& [path, type] : cases) EXPECT_EQ(TypeOf(path), type) << path;
    EXPECT_EQ(TypeOf(nullptr), ImageTypeUnknown);
}

// Every type of the format table gets a codec, one class a format and no two formats the same,
// which reads one of the format's own test pictures (tests/data/KEY); a value no row names gets
// none.
TEST(Factory, MakesTheCodecOfEachReadableTypeAndNothingElse) {
    FCImageHandleFactory* factory = GetImageHandleFactory();
    EXPECT_EQ(factory, GetImageHandleFactory());
    std::set<int> types;
    std::vector<std::type_index> classes;
    for (const ImageFormat* format = ImageFormats(); format->Name != nullptr; ++format) {
        for (size_t i = 0; i < format->ExtensionCount; ++i) {
            const FormatExtension& e = format->Extensions[i];
            types.insert(e.Type);
            const std::unique_ptr<FCImageHandleBase> codec = factory->CreateImageHandle(e.Type);
            ASSERT_NE(codec, nullptr) << e.Extension;
            const std::type_index made = typeid(*codec);
            if (i == 0) {
                EXPECT_EQ(std::count(classes.begin(), classes.end(), made), 0) << format->Name;
                classes.push_back(made);
            }
            EXPECT_EQ(made, classes.back()) << e.Extension;
        }
        bool read = false;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(DataPath(format->Key))) {
            const ImageType type = TypeOf(entry.path().c_str());
            if (!entry.is_regular_file() || FindImageFormat(type) != format) continue;
            read = factory->CreateImageHandle(type)->LoadFile(entry.path().c_str());
            if (read) break;
        }
        EXPECT_TRUE(read) << format->Name;
    }
    for (int type = -1; type < 100; ++type) {
        if (types.count(type) == 0) {
            EXPECT_EQ(factory->CreateImageHandle(ImageType(type)), nullptr) << type;
        }
    }
}

TEST(Ownership, DecodedImagesDieWithTheCodecLastFirstAndSaveListImagesNever) {
    std::vector<int> destroyed;
    gDestroyed = &destroyed;
    TracedImage kept(99);
    {
        FCImageHandle_Bmp codec;
        codec.PushObject(new TracedImage(1));
        codec.PushObject(new TracedImage(2));
        codec.SaveList.push_back(&kept);
        std::deque<FCObjImage*> list;
        codec.GetImageList(list, false);
        EXPECT_EQ(list.size(), 2u);
    }
    EXPECT_EQ(destroyed, (std::vector<int>{2, 1}));
    {
        FCImageHandle_Tga codec;
        codec.PushObject(new TracedImage(3));
        std::deque<FCObjImage*> list;
        codec.GetImageList(list, true);
        ASSERT_EQ(list.size(), 1u);
        std::deque<FCObjImage*> again;
        codec.GetImageList(again, false);
        EXPECT_TRUE(again.empty());
        delete list.front();
    }
    EXPECT_EQ(destroyed, (std::vector<int>{2, 1, 3}));
    destroyed.clear();
}

TEST(LoadAndSave, SaveByExtensionAndLoadReplacesTheTargetWhole) {
    ScratchDir dir;
    FCObjImage image;
    ASSERT_TRUE(image.Create(3, 2, 24));
    image.RowTable[0][0] = 7;
    ASSERT_TRUE(image.SaveToFile((dir / "out.BMP").c_str()));
    ASSERT_TRUE(image.SaveToFile((dir / "out.tga").c_str()));
    ASSERT_TRUE(image.SaveToFile((dir / "out.Png").c_str()));
    for (const char* name : {"out.BMP", "out.tga", "out.Png"}) {
        FCObjImage loaded;
        ASSERT_TRUE(loaded.Create(50, 40, 8));
        loaded.GraphWord0 = 9;  // replaced as a copy of the decoded image would replace it
        ASSERT_TRUE(loaded.LoadFromFile((dir / name).c_str())) << name;
        EXPECT_EQ(loaded.GraphWord0, 0u);
        EXPECT_EQ(loaded.InfoHeader.biWidth, 3);
        EXPECT_EQ(loaded.InfoHeader.biHeight, 2);
        EXPECT_EQ(loaded.InfoHeader.biBitCount, 24);
        EXPECT_EQ(loaded.RowTable[0][0], 7);
    }
}

TEST(LoadAndSave, RefusalsCreateNoFileAndLeaveTheTargetAlone) {
    ScratchDir dir;
    FCObjImage image, empty;
    ASSERT_TRUE(image.Create(2, 2, 24));
    for (const char* name : {"out.pbm", "out", "out."})
        EXPECT_FALSE(image.SaveToFile((dir / name).c_str())) << name;
    EXPECT_FALSE(empty.SaveToFile((dir / "empty.bmp").c_str()));
    EXPECT_FALSE(image.SaveToFile(nullptr));
    EXPECT_EQ(dir.EntryCount(), 0u);

    WriteFile(dir / "keep.pbm", {1, 2, 3});
    EXPECT_FALSE(image.SaveToFile((dir / "keep.pbm").c_str()));
    EXPECT_EQ(ReadFile(dir / "keep.pbm"), (std::vector<uint8_t>{1, 2, 3}));

    ASSERT_TRUE(image.SaveToFile((dir / "real.bmp").c_str()));
    std::filesystem::create_directory(dir / "folder.bmp");
    WriteFile(dir / "zero.bmp", {});
    std::vector<uint8_t> bytes = ReadFile(dir / "real.bmp");
    WriteFile(dir / "cut.bmp", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 40));
    bytes[28] = 2;  // a depth the image model refuses, found by the file reader's own head
    WriteFile(dir / "deep.bmp", bytes);
    ASSERT_TRUE(image.SaveToFile((dir / "real.tga").c_str()));
    // A folder's dot gives no extension, and a TGA has no signature to be read by instead (a BMP
    // there is read by its own: a name that gives no format is read by the content).
    std::filesystem::create_directory(dir / "photos.tga");
    std::filesystem::copy_file(dir / "real.tga", dir / "photos.tga/image");
    bytes = ReadFile(dir / "real.tga");
    WriteFile(dir / "cut.tga", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 20));
    bytes[16] = 64;
    WriteFile(dir / "deep.tga", bytes);
    // The extension picks the codec; the codec the signature names gets a second try, and refuses
    // a damaged file too.
    bytes = ReadFile(DataPath("png/pngsuite/basn2c08.png"));
    WriteFile(dir / "png.bmp", std::vector<uint8_t>(bytes.begin(), bytes.begin() + 60));
    WriteFile(dir / "bmp.png", ReadFile(dir / "cut.bmp"));
    FCObjImage target;
    ASSERT_TRUE(target.Create(5, 1, 8));
    target.RowTable[0][2] = 9;
    const uint8_t* pixels = target.PixelStore;
    for (const char* name : {"photos.tga/image", "zero.bmp", "missing.bmp", "folder.bmp", "keep.pbm",
                             "cut.bmp", "deep.bmp", "cut.tga", "deep.tga", "png.bmp", "bmp.png"})
        EXPECT_FALSE(target.LoadFromFile((dir / name).c_str())) << name;
    EXPECT_FALSE(target.LoadFromFile(nullptr));
    EXPECT_EQ(target.InfoHeader.biWidth, 5);
    EXPECT_EQ(target.InfoHeader.biBitCount, 8);
    EXPECT_EQ(target.PixelStore, pixels);
    EXPECT_EQ(target.RowTable[0][2], 9);
    EXPECT_FALSE(Exists(dir / "missing.bmp"));
}
