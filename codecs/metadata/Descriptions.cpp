// Descriptions between formats: the one check of text encodings, the cap on what is kept, and the
// mapping of keywords onto what each output holds.
#include "Descriptions.h"

#include <cstring>

#include "JpegSegments.h"

namespace {

constexpr size_t kPngKeywordMax = 79;
constexpr uint8_t kFirstPrintable = 32;
constexpr uint8_t kLastAscii = 126;
constexpr uint8_t kFirstLatin1Printable = 161;

// The length of the UTF-8 sequence at p (at most end), 0 when it is not one: overlong forms,
// surrogates and code points beyond U+10FFFF are not.
size_t Utf8Sequence(const uint8_t* p, const uint8_t* end) {
    const uint8_t c = p[0];
    if (c < 0x80) return 1;
    size_t length = 0;
    uint32_t point = 0;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2, point = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3, point = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4, point = c & 0x07;
    } else {
        return 0;
    }
    if (size_t(end - p) < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        point = point << 6 | (p[i] & 0x3F);
    }
    const bool overlong = (length == 3 && point < 0x800) || (length == 4 && point < 0x10000);
    const bool surrogate = point >= 0xD800 && point <= 0xDFFF;
    return overlong || surrogate || point > 0x10FFFF ? 0 : length;
}

bool IsUtf8(const uint8_t* p, const uint8_t* end) {
    while (p < end) {
        const size_t n = Utf8Sequence(p, end);
        if (n == 0) return false;
        p += n;
    }
    return true;
}

bool Is(const PictureText& text, const char* keyword) {
    return text.Keyword == keyword;
}

}  // namespace

std::string TextFromBytes(const uint8_t* bytes, size_t size) {
    const void* zero = std::memchr(bytes, 0, size);
    if (zero != nullptr) size = size_t(static_cast<const uint8_t*>(zero) - bytes);
    if (IsUtf8(bytes, bytes + size)) return std::string(reinterpret_cast<const char*>(bytes), size);
    return Latin1ToUtf8(bytes, size);
}

std::string Latin1ToUtf8(const uint8_t* bytes, size_t size) {
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        const uint8_t c = bytes[i];
        if (c < 0x80) {
            text += char(c);
        } else {
            text += char(0xC0 | c >> 6);
            text += char(0x80 | (c & 0x3F));
        }
    }
    return text;
}

bool ToLatin1(const std::string& utf8, std::string& latin1) {
    latin1.clear();
    const uint8_t* p = reinterpret_cast<const uint8_t*>(utf8.data());
    const uint8_t* end = p + utf8.size();
    while (p < end) {
        const size_t n = Utf8Sequence(p, end);
        if (n == 1) {
            latin1 += char(*p);
        } else if (n == 2 && p[0] <= 0xC3) {
            latin1 += char((p[0] & 0x03) << 6 | (p[1] & 0x3F));
        } else {
            return false;
        }
        p += n;
    }
    return true;
}

bool IsPngKeyword(const std::string& latin1) {
    if (latin1.empty() || latin1.size() > kPngKeywordMax || latin1.front() == ' ' || latin1.back() == ' ' ||
        latin1.find("  ") != std::string::npos)
        return false;
    for (const char ch : latin1) {
        const uint8_t c = uint8_t(ch);
        if (!((c >= kFirstPrintable && c <= kLastAscii) || c >= kFirstLatin1Printable)) return false;
    }
    return true;
}

size_t CapDescriptions(std::vector<PictureText>& descriptions) {
    size_t total = 0;
    for (size_t i = 0; i < descriptions.size(); ++i) {
        total += DescriptionBytes(descriptions[i]);
        if (total > kKeptDescriptionsMax) {
            const size_t dropped = descriptions.size() - i;
            descriptions.resize(i);
            return dropped;
        }
    }
    return 0;
}

void SettleDescriptions(std::vector<PictureText>& descriptions, ImageType output,
                        std::vector<std::string>& dropped, std::vector<size_t>& tooLarge) {
    if (output != ImageTypeTiff && output != ImageTypeJpeg) return;
    const size_t most = output == ImageTypeJpeg ? kJpegSegmentBodyMax : 0;
    bool description = false;
    for (const PictureText& text : descriptions) description = description || Is(text, keyword::kDescription);
    std::vector<PictureText> kept;
    for (PictureText& text : descriptions) {
        bool keep = false;
        if (output == ImageTypeJpeg) {
            keep = Is(text, keyword::kDescription) || Is(text, keyword::kComment);
        } else {
            // A comment stands for the description only where none came.
            if (!description && Is(text, keyword::kComment)) {
                text.Keyword = keyword::kDescription;
                description = true;
            }
            keep = Is(text, keyword::kDescription) || Is(text, keyword::kAuthor) ||
                   Is(text, keyword::kCopyright) || Is(text, keyword::kSoftware);
            for (const PictureText& before : kept) keep = keep && before.Keyword != text.Keyword;
        }
        if (keep && most != 0 && text.Text.size() > most) {
            tooLarge.push_back(text.Text.size());
        } else if (keep) {
            kept.push_back(std::move(text));
        } else {
            dropped.push_back(text.Keyword);
        }
    }
    descriptions = std::move(kept);
}
