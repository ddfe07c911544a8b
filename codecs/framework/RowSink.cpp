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

bool RowSink::Acceptable(const PixelLayout& layout) {
    const uint32_t channels = layout.Channels;
    return channels >= 1 && channels <= 4 && layout.MaxValue != 0 && layout.MaxValue <= 65535 &&
           !(layout.BlueFirst && layout.Wide());
}

bool RowSink::Begin(int32_t width, int32_t height, PixelLayout layout) {
    if (began_ || width <= 0 || height <= 0 || !Acceptable(layout)) return false;
    if (KeepsGrey() && !layout.Colour()) {
        form_ = Form::Samples;
        heldChannels_ = greyChannels_;
        heldMaxValue_ = greyMaxValue_;
    }
    // A codec used on its own keeps 8-bit colour in the 24-bit image, as its image list hands it out.
    if (form_ == Form::AsDecoded && !layout.HasAlpha() && layout.MaxValue == 255) form_ = Form::Image24;
    PixelLayout held = kImage24Layout;
    if (form_ == Form::Samples) held = PixelLayout{heldChannels_, heldMaxValue_, false};
    if (form_ == Form::AsDecoded) held = PixelLayout{layout.HasAlpha() ? 4u : 3u, layout.MaxValue, false};
    const bool made = form_ == Form::Image24 ? Image.Create(width, height, 24)
                                             : Samples.Create(width, height, held.Channels, held.MaxValue);
    if (!made) return false;
    width_ = width;
    height_ = height;
    UseLayout(layout);
    began_ = true;
    return true;
}

void RowSink::UseLayout(PixelLayout layout) {
    const PixelLayout held = form_ == Form::Image24 ? kImage24Layout : ViewOf(Samples).Layout;
    layout_ = layout;
    rowBytes_ = layout.RowBytes(width_);
    direct_ = layout == held;
    row_.clear();
    if (!direct_) {
        conversion_ = LayoutConversion(layout, held);
        // A held pixel of the reader's size takes the row in place: it is converted where it lies.
        if (held.PixelBytes() != layout.PixelBytes()) row_.assign(rowBytes_, 0);
    }
}

bool RowSink::NextFrame(PixelLayout layout) {
    if (!began_ || !Acceptable(layout)) return false;
    if (HeldGrey() && layout.Colour()) {
        const uint32_t channels = heldChannels_ + 2;
        for (const std::unique_ptr<PictureFrame>& frame : Earlier) {
            if (!ConvertSamples(frame->Samples, channels, frame->Samples.MaxValue)) return false;
        }
        if (!ConvertSamples(Samples, channels, Samples.MaxValue)) return false;
        heldChannels_ = channels;
    }
    if (!NextFrame()) return false;
    UseLayout(layout);
    return true;
}

bool RowSink::NextFrame() {
    if (!began_) return false;
    auto frame = std::make_unique<PictureFrame>();
    bool made = false;
    if (form_ == Form::Image24) {
        frame->Image.SwapStorage(Image);
        made = Image.Create(width_, height_, 24);
        Image.InfoHeader.biXPelsPerMeter = frame->Image.InfoHeader.biXPelsPerMeter;
        Image.InfoHeader.biYPelsPerMeter = frame->Image.InfoHeader.biYPelsPerMeter;
    } else {
        frame->Samples.SwapWith(Samples);
        const FCSampleImage& was = frame->Samples;
        made = Samples.Create(width_, height_, was.Channels, was.MaxValue);
        Samples.XPixelsPerMetre = was.XPixelsPerMetre;
        Samples.YPixelsPerMetre = was.YPixelsPerMetre;
    }
    Earlier.push_back(std::move(frame));
    put_.clear();
    return made;
}

PictureView RowSink::InPlace() const {
    if (!began_ || !row_.empty()) return PictureView();
    PictureView view = form_ == Form::Image24 ? ViewOf(Image) : ViewOf(Samples);
    view.Layout = layout_;
    return view;
}

uint8_t* RowSink::HeldRow(int32_t y) {
    return form_ == Form::Image24 ? Image.RowTable[y] : Samples.Row(y);
}

uint8_t* RowSink::Row(int32_t y) {
    return direct_ || row_.empty() ? HeldRow(y) : row_.data();
}

void RowSink::PutRow(int32_t y, const uint8_t* row) {
    if (!began_ || y < 0 || y >= height_) return;
    // Converted from where it lies; only a row for the held picture itself is copied in.
    if (direct_) {
        uint8_t* to = HeldRow(y);
        if (to != row) std::memcpy(to, row, rowBytes_);
    }
    Take(y, row, 0, 1, uint32_t(width_));
}

void RowSink::Put(int32_t y, uint32_t first, uint32_t step, uint32_t end) {
    if (!began_ || y < 0 || y >= height_ || step == 0) return;
    Take(y, Row(y), first, step, std::min(end, uint32_t(width_)));
}

void RowSink::Take(int32_t y, const uint8_t* in, uint32_t first, uint32_t step, uint32_t end) {
    const uint32_t most = layout_.MaxValue;
    const size_t channels = layout_.Channels;
    WithSampleWidth(layout_.Wide(), [&](auto wideIn) {
        if (layout_.HasAlpha()) {
            for (uint32_t x = first; x < end; x += step) {
                const uint32_t a = std::min(GetSample<wideIn>(in, size_t(x) * channels + channels - 1), most);
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
    if (noAlpha && layout_.HasAlpha() && form_ == Form::AsDecoded) {
        ConvertSamples(Samples, 3, Samples.MaxValue);
    } else if (noAlpha && layout_.HasAlpha() && Samples.IsValid() &&
               (Samples.Channels == 4 || Samples.Channels == 2)) {
        // Only the rows the file gave: the others were never touched and stay so.
        const uint32_t opaque = Samples.MaxValue;
        const size_t channels = Samples.Channels;
        WithSampleWidth(Samples.BytesPerSample() == 2, [&](auto wide) {
            for (int32_t y = 0; y < height_; ++y) {
                if (put_.empty() || !put_[size_t(y)]) continue;
                uint8_t* row = Samples.Row(y);
                for (size_t x = 0; x < size_t(width_); ++x)
                    PutSample<wide>(row, x * channels + channels - 1, opaque);
            }
        });
    }
    result.Transparent = transparent_;
    result.SourceBits = SignificantBitsOf(layout_.MaxValue);
    if (transparent_ && !options.KeepAlpha) {
        // Before the frames: the picture's own loss first, as the readers say it.
        auto at = std::find(result.Warnings.begin(), result.Warnings.end(), warning::kFrames);
        result.Warnings.insert(at, warning::kTransparency);
    }
    // Grey held at 8 bits outside a version 2 run (and colour pages after it) is narrowed as the
    // 24-bit image would be, and said so.
    const bool greyNarrowed =
        KeepsGrey() && form_ == Form::Samples && heldMaxValue_ <= 255 && !options.KeepAlpha;
    if ((form_ == Form::Image24 || greyNarrowed) && layout_.Wide())
        result.Warnings.push_back(warning::NarrowedSamples(SignificantBitsOf(layout_.MaxValue)));
}
