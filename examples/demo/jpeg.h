// JPEG pictures through libjpeg(-turbo): the cameras encode, the motion
// detector decodes at an eighth of the size (the library scales while it
// decodes, so a comparison costs little).
#pragma once

#include <cstddef>
#include <vector>

namespace demo {

/// Encodes width * height RGB pixels into `out` (replaced). False on a libjpeg error.
bool encodeJpeg(unsigned char const* rgb, unsigned width, unsigned height, int quality, std::vector<char>& out);

/// A decoded picture, one byte of luma a pixel.
struct GreyPicture {
    unsigned width = 0, height = 0;
    std::vector<unsigned char> luma;
};

/// Decodes a JPEG at 1/8 of its size into grey. False when it is not a JPEG
/// the library can decode; `out` is then empty.
bool decodeJpegEighth(char const* data, size_t size, GreyPicture& out);

} // namespace demo
