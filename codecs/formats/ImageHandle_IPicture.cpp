// JPEG and GIF reader: hands the bytes to the decoder of the format its type names.
#include "ImageHandle_IPicture.h"

#include "PictureDecoders.h"

bool FCImageHandle_IPicture::LoadSource(ByteSource& in) {
    const uint8_t* data = nullptr;
    size_t length = 0;
    if (!TakeWholeFile(in, data, length)) return false;
    return format_ == Format::Jpeg ? DecodeJpegPicture(data, size_t(length), Options, Rows, Result, Metadata)
                                   : DecodeGifPicture(data, size_t(length), Options, Rows, Result);
}
