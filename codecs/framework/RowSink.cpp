// Rows taken into the held form as they arrive, and the one test of transparency.
#include "RowSink.h"

#include <algorithm>
#include <cstring>

#include "PictureWarnings.h"

void RowSink::HoldAs(Form form, uint32_t channels, uint32_t maxValue) {
    form_ = form;
    heldChannels_ = channels;
    heldMaxValue_ = maxValue;
}

bool RowSink::Begin(int32_t width, int32_t height, uint32_t channels, uint32_t maxValue) {
    if (began_ || width <= 0 || height <= 0 || (channels != 3 && channels != 4) || maxValue == 0 ||
        maxValue > 65535)
        return false;
    // A codec used on its own keeps 8-bit colour in the 24-bit image, as its image list hands it out.
    if (form_ == Form::AsDecoded && channels == 3 && maxValue == 255) form_ = Form::Image24;
    direct_ = form_ == Form::AsDecoded ||
              (form_ == Form::Samples && heldChannels_ == channels && heldMaxValue_ == maxValue);
    bool made = false;
    if (form_ == Form::Image24) {
        made = Image.Create(width, height, 24);
    } else if (direct_) {
        made = Samples.Create(width, height, channels, maxValue);
    } else {
        made = Samples.Create(width, height, heldChannels_, heldMaxValue_);
    }
    if (!made) return false;
    width_ = width;
    height_ = height;
    channels_ = channels;
    maxValue_ = maxValue;
    rowBytes_ = size_t(width) * channels * (maxValue > 255 ? 2 : 1);
    if (!direct_) {
        const PixelLayout held =
            form_ == Form::Image24 ? kImage24Layout : PixelLayout{heldChannels_, heldMaxValue_, false};
        conversion_ = LayoutConversion(PixelLayout{channels, maxValue, false}, held);
        // A held pixel of the reader's size takes the row in place: it is converted where it lies.
        if (held.PixelBytes() != PixelLayout{channels, maxValue, false}.PixelBytes())
            row_.assign(rowBytes_, 0);
    }
    began_ = true;
    return true;
}

uint8_t* RowSink::HeldRow(int32_t y) {
    return form_ == Form::Image24 ? Image.RowTable[y] : Samples.Row(y);
}

uint8_t* RowSink::Row(int32_t y) {
    return direct_ || row_.empty() ? HeldRow(y) : row_.data();
}

void RowSink::PutRow(int32_t y, const uint8_t* row) {
    uint8_t* to = Row(y);
    if (to != row) std::memcpy(to, row, rowBytes_);
    Put(y);
}

void RowSink::Put(int32_t y, uint32_t first, uint32_t step, uint32_t end) {
    if (!began_ || y < 0 || y >= height_ || step == 0) return;
    end = std::min(end, uint32_t(width_));
    const uint8_t* in = Row(y);
    const uint32_t most = maxValue_;
    const uint32_t from = channels_;
    WithSampleWidth(maxValue_ > 255, [&](auto wideIn) {
        if (from == 4) {
            for (uint32_t x = first; x < end; x += step) {
                const uint32_t a = std::min(GetSample<wideIn>(in, size_t(x) * 4 + 3), most);
                alphaBelowMax_ |= a < most;
                alphaAboveZero_ |= a > 0;
            }
        }
    });
    if (!direct_) conversion_.Convert(in, HeldRow(y), first, step, end);
    if (put_.empty()) put_.assign(size_t(height_), false);
    put_[size_t(y)] = true;
}

void RowSink::Finish(const LoadOptions& options, LoadResult& result) {
    if (!began_ || finished_) return;
    finished_ = true;
    const bool noAlpha = ZeroAlphaIsNone && !alphaAboveZero_;
    transparent_ = alphaBelowMax_ && !noAlpha;
    if (noAlpha && channels_ == 4 && form_ == Form::AsDecoded) {
        ConvertSamples(Samples, 3, Samples.MaxValue);
    } else if (noAlpha && channels_ == 4 && Samples.IsValid() && Samples.Channels == 4) {
        // Only the rows the file gave: the others were never touched and stay so.
        const uint32_t opaque = Samples.MaxValue;
        WithSampleWidth(Samples.BytesPerSample() == 2, [&](auto wide) {
            for (int32_t y = 0; y < height_; ++y) {
                if (put_.empty() || !put_[size_t(y)]) continue;
                uint8_t* row = Samples.Row(y);
                for (size_t x = 0; x < size_t(width_); ++x) PutSample<wide>(row, x * 4 + 3, opaque);
            }
        });
    }
    result.Transparent = transparent_;
    result.SourceBits = SignificantBitsOf(maxValue_);
    if (transparent_ && !options.KeepAlpha) {
        // Before the frames: the picture's own loss first, as the readers say it.
        auto at = std::find(result.Warnings.begin(), result.Warnings.end(), warning::kFrames);
        result.Warnings.insert(at, warning::kTransparency);
    }
    if (form_ == Form::Image24 && maxValue_ > 255)
        result.Warnings.push_back(warning::NarrowedSamples(SignificantBitsOf(maxValue_)));
}
