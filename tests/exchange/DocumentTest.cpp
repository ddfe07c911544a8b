// The "image.xml" reader and writer and the flag: byte-exact output, the tolerant grammar,
// every reader message, and hostile or cut-off documents.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <tuple>

#include "ExchangeTestSupport.h"
#include "ExchangeWait.h"
#include "MalformedDocuments.h"

namespace {

const std::string kOneByOneDocument = std::string(
    "<image><header><version>1</version><width>1</width><height>1</height></header><pixels>"
    "\xFF\x00\x0A</pixels></image>",
    106);

struct ParseResult {
    bool Parsed;
    std::string Output;
};

ParseResult Parse(ExchangeState& state, const std::string& document) {
    state.DocumentBuffer.assign(document.begin(), document.end());
    CoutCapture capture;
    const bool parsed = ParseDocument(state);
    return {parsed, capture.Text()};
}

std::string Header(const std::string& width, const std::string& height) {
    return "<image><header><version>1</version><width>" + width + "</width><height>" + height +
           "</height></header><pixels>";
}

TEST(ExchangeWriter, WritesTheOneByOneDocumentByteForByte) {
    ExchangeDirectory directory;
    ExchangeState state;
    state.Width = state.Height = 1;
    state.PixelCount = 1;
    ExchangePixel pixel{0xFF, 0x00, 0x0A};
    state.OutputPixels = &pixel;
    CoutCapture capture;
    EXPECT_TRUE(WriteDocument(state));
    EXPECT_EQ(capture.Text(), "Save XML\n");
    EXPECT_EQ(ReadFile(directory.Host() / "image.xml"), kOneByOneDocument);
}

// Version 2 in each form, 2 x 1 pixels: the two tags after the height, the samples as given (16-bit
// ones most significant byte first), and read back as the same form.
TEST(ExchangeWriter, WritesEachVersionTwoFormByteForByteAndReadsItBack) {
    const std::string samples = "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10";
    for (const auto& [channels, depth] :
         {std::pair{3, 8}, {4, 8}, {3, 16}, {4, 16}, {1, 8}, {2, 8}, {1, 16}, {2, 16}}) {
        const std::string payload = samples.substr(0, size_t(2 * channels * depth / 8));
        const std::string document =
            "<image><header><version>2</version><width>2</width><height>1</height><channels>" +
            std::to_string(channels) + "</channels><depth>" + std::to_string(depth) +
            "</depth></header><pixels>" + payload + "</pixels></image>";
        ExchangeDirectory directory;
        ExchangeState state;
        state.Version = 2, state.Width = 2, state.Height = 1, state.PixelCount = 2;
        state.Channels = channels, state.Depth = depth;
        std::string bytes = payload;
        state.OutputPixels = reinterpret_cast<ExchangePixel*>(bytes.data());
        CoutCapture capture;
        ASSERT_TRUE(WriteDocument(state));
        EXPECT_EQ(ReadFile(directory.Host() / "image.xml"), document) << channels << " x " << depth;
        ExchangeState back;
        const ParseResult read = Parse(back, document);
        ASSERT_TRUE(read.Parsed) << read.Output;
        EXPECT_EQ(read.Output, "Parse XML\n");
        EXPECT_EQ(std::make_tuple(back.Version, back.Channels, back.Depth, back.PixelCount),
                  std::make_tuple(2, channels, depth, 2u));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.InputPixels), payload.size()), payload);
    }
}

// An animation's frames: a tag after the depth, the payloads back to back; the tag stands only for
// two or more, and the payload must hold every frame.
TEST(ExchangeWriter, WritesFramesAfterTheDepthAndReadsThemBack) {
    const std::string head =
        "<image><header><version>2</version><width>2</width><height>1</height><channels>3"
        "</channels><depth>8</depth><frames>3</frames></header><pixels>";
    const std::string payload = "abcdefghijklmnopqr";
    ExchangeDirectory directory;
    ExchangeState state;
    state.Version = 2, state.Width = 2, state.Height = 1, state.PixelCount = 2, state.Frames = 3;
    std::string bytes = payload;
    state.OutputPixels = reinterpret_cast<ExchangePixel*>(bytes.data());
    CoutCapture capture;
    ASSERT_TRUE(WriteDocument(state));
    EXPECT_EQ(ReadFile(directory.Host() / "image.xml"), head + payload + "</pixels></image>");
    ExchangeState back;
    const ParseResult read = Parse(back, head + payload + "</pixels></image>");
    ASSERT_TRUE(read.Parsed) << read.Output;
    EXPECT_EQ(std::make_tuple(back.Frames, back.PixelCount), std::make_tuple(3, 2u));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(back.InputPixels), payload.size()), payload);
    std::string one = head;
    one.replace(one.find("<frames>3<"), 10, "<frames>1<");
    EXPECT_EQ(Parse(back, one + payload.substr(0, 6) + "</pixels></image>").Output,
              "Parse XML\nWrong value: <frames>1</frames> must be 2 or more");
    EXPECT_EQ(Parse(back, head + payload.substr(0, 12)).Output,
              "Parse XML\nPixels expected.  The document ends early");
}

// Exchange folders are shared: a link or a device planted under an exchange name is never
// written through, and a failed write leaves neither the file nor a temporary one behind.
TEST(ExchangeWriter, ReplacesLinksButNeverWritesThroughThem) {
    ExchangeDirectory directory;
    const std::filesystem::path victim = directory.Host() / "victim.txt";
    WriteFile(victim, "precious");
    std::filesystem::create_symlink(victim, directory.Host() / "image.xml");
    std::filesystem::create_symlink(victim, directory.Host() / "go.flag");
    ExchangeState state;
    CoutCapture capture;
    EXPECT_TRUE(WriteDocument(state));
    EXPECT_TRUE(RaiseFlag("../go.flag"));
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_EQ(ReadFile(directory.Host() / "image.xml"), MakeDocument(0, 0, ""));
    EXPECT_EQ(ReadFile(directory.Host() / "go.flag"), "finished");
    EXPECT_FALSE(std::filesystem::is_symlink(directory.Host() / "go.flag"));

    ASSERT_EQ(mkfifo("go.flag", 0600), 0);
    EXPECT_FALSE(RaiseFlag("go.flag"));
    EXPECT_FALSE(RaiseFlag("no-such-folder/go.flag"));
    EXPECT_TRUE(std::filesystem::is_fifo("go.flag"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("."), {}), 1);
}

TEST(ExchangeReader, ReadsDeletesAndParsesTheOneByOneDocument) {
    ExchangeDirectory directory;
    ExchangeState state;
    CoutCapture capture;
    EXPECT_FALSE(ReadDocument(state));
    WriteFile(kDocumentFileName, kOneByOneDocument);
    ASSERT_TRUE(ReadDocument(state));
    EXPECT_EQ(capture.Text(), "Read XML\nimage.xml cannot be openedRead XML\nParse XML\n");
    EXPECT_FALSE(std::filesystem::exists(kDocumentFileName));
    EXPECT_TRUE(state.DocumentBuffer.empty());
    EXPECT_EQ(state.PixelCount, 1u);
    EXPECT_EQ(std::memcmp(state.InputPixels, "\xFF\x00\x0A", 3), 0);
}

TEST(ExchangeReader, SkipsWhitespaceAndLeadingZerosButTakesPayloadBytesAsTheyStand) {
    ExchangeState state;
    const std::string payload = "</pixels>\n<>";  // 12 bytes of markup look-alikes: 2 x 2 pixels
    const std::string document =
        "<image>\n <header>\t<version>01</version>\r\n<width>\n 2 \n</width>"
        "<height>0002</height> </header>\n<pixels>" +
        payload + " \r\n</pixels>\t</image>ignored <junk";
    const ParseResult result = Parse(state, document);
    ASSERT_TRUE(result.Parsed) << result.Output;
    EXPECT_EQ(state.Width, 2);
    EXPECT_EQ(state.Height, 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(state.InputPixels), 12), payload);
}

TEST(ExchangeReader, WarnsAboutNewerVersionsAndReadsOn) {
    ExchangeState state;
    const ParseResult warned =
        Parse(state, "<image><header><version>3</version>" + kOneByOneDocument.substr(35));
    EXPECT_TRUE(warned.Parsed);
    EXPECT_EQ(
        warned.Output,
        "Parse XML\nWarning! This is a version 1.0 module and you passed a version 3.0 image.xml file!\n");
    EXPECT_EQ(Parse(state, "<image><header><version>0</version>" + kOneByOneDocument.substr(35)).Output,
              "Parse XML\n");
}

// The shared list: each document refused with its one message, before the parse when its
// size alone is wrong. Then heads that the 64 KiB window cuts, in blanks or inside a tag: the
// document goes on, so the head is too long rather than cut short.
TEST(ExchangeReader, PrintsOneMessageForEachMalformedDocument) {
    std::vector<MalformedDocument> rows = ReadMalformedDocuments();
    for (const size_t blanks : {size_t(70000), size_t(65536 - 10)}) {
        rows.push_back(
            {false, "Header too long.  <pixels> not found in the first 64 KiB",
             "<image>" + std::string(blanks, '\n') + Header("1", "1").substr(7) + "abc</pixels></image>"});
    }
    for (const MalformedDocument& row : rows) {
        ExchangeDirectory directory;
        WriteFile(kDocumentFileName, row.Document);
        ExchangeState state;
        CoutCapture capture;
        EXPECT_FALSE(ReadDocument(state)) << row.Document;
        EXPECT_EQ(capture.Text(),
                  std::string("Read XML\n") + (row.BeforeParse ? "" : "Parse XML\n") + row.Message)
            << row.Document;
        EXPECT_FALSE(std::filesystem::exists(kDocumentFileName));
    }
}

TEST(ExchangeReader, RefusesHugeCountsBeforeAllocating) {
    ExchangeState state;
    EXPECT_EQ(Parse(state, Header("100000", "100000") + "abc</pixels></image>").Output,
              "Parse XML\nImage too large.  More than 1431655765 pixels");
    EXPECT_EQ(Parse(state, Header("1431655765", "1") + "abc</pixels></image>").Output,
              "Parse XML\nPixels expected.  The document ends early");
    EXPECT_EQ(state.InputPixels, nullptr);
    EXPECT_TRUE(Parse(state, Header("2147483647", "0") + "</pixels></image>").Parsed);
    EXPECT_EQ(state.PixelCount, 0u);
    // Grey: the same checks at one and two samples a pixel, and only in version 2.
    state = ExchangeState();
    const auto grey = [](const std::string& width, int channels, int depth) {
        return "<image><header><version>2</version><width>" + width + "</width><height>3</height><channels>" +
               std::to_string(channels) + "</channels><depth>" + std::to_string(depth) +
               "</depth></header><pixels>ab";
    };
    EXPECT_EQ(Parse(state, grey("2147483647", 1, 8)).Output,
              "Parse XML\nImage too large.  More than 4294967295 pixels");
    EXPECT_EQ(Parse(state, grey("357913942", 2, 16)).Output,
              "Parse XML\nImage too large.  More than 1073741823 pixels");
    EXPECT_EQ(Parse(state, grey("1", 2, 8)).Output, "Parse XML\nPixels expected.  The document ends early");
    EXPECT_EQ(
        Parse(state, Header("1", "1").replace(69, 0, "<channels>1</channels>") + "a</pixels></image>").Output,
        "Parse XML\nWrong Tag: <channels> found but </header> expected");
}

TEST(ExchangeReader, RefusesEveryCutOffPrefix) {
    const std::string document = MakeDocument(2, 1, "<> \t\n<");
    for (size_t length = 0; length < document.size(); ++length) {
        ExchangeState state;
        EXPECT_FALSE(Parse(state, document.substr(0, length)).Parsed) << length;
    }
}

// The wait wakes for a flag renamed into place or written in place, through the folder watch
// or through the fallback poll, and ends on a time limit or a stop request without a flag.
TEST(FlagWait, EndsForAFlagATimeLimitOrAStop) {
    for (const bool pollOnly : {false, true}) {
        for (const bool renamed : {false, true}) {
            ExchangeDirectory directory;
            CoutCapture capture;
            std::thread raiser([renamed] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                if (renamed) {
                    RaiseFlag("go.flag");
                } else {
                    WriteFile("go.flag", "");
                }
            });
            WaitControl control;
            control.PollOnly = pollOnly;
            control.TimeoutSeconds = 10;
            const auto start = std::chrono::steady_clock::now();
            EXPECT_EQ(WaitForFlagUntil(control), WaitOutcome::FlagRaised) << pollOnly << renamed;
            const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
            // The first look finds nothing, so only a live watch ends the wait before the poll.
            EXPECT_TRUE(pollOnly || waited.count() < 0.5) << waited.count() << " s, renamed " << renamed;
            raiser.join();
        }
    }
    ExchangeDirectory directory;
    WaitControl control;
    control.TimeoutSeconds = 0.05;
    EXPECT_EQ(WaitForFlagUntil(control), WaitOutcome::TimedOut);
    volatile std::sig_atomic_t stop = 1;
    control.Stop = &stop;
    EXPECT_EQ(WaitForFlagUntil(control), WaitOutcome::Stopped);
}

}  // namespace
