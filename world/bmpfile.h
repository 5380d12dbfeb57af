// The world's bitmaps (the height map, the tree map) are Windows BMP files
// and nothing else. Their headers are read and checked before a pixel is
// decoded, so a file that claims to be huge, or is another format under a
// .bmp name, is refused for what it is instead of being decoded whole.
#pragma once

#include <QImage>

#include <cstdint>
#include <string>

namespace bmpfile {

// What the headers say.
struct TBmpHeader {
    int32_t Width = 0;
    int32_t Height = 0;  // rows, whichever way up they are stored
    int BitsPerPixel = 0;
};

// Neither side of a world bitmap may be longer: the largest the game reads
// is 256 pixels.
constexpr int32_t MaxSide = 4096;

// Reads and checks path's file and info headers: the "BM" magic, an info
// header of at least 40 bytes, one plane, a bit depth of 1, 4, 8, 16, 24 or
// 32, sides of 1 to MaxSide pixels, and (uncompressed) pixel rows that fit
// the file. False with the reason in error ("not a BMP file", the figures).
bool ReadHeader(const std::string& path, TBmpHeader& header, std::string& error);

// Decodes path as BMP, whatever its content says it is; call ReadHeader
// first. A null image with the reason in error when decoding fails.
QImage Decode(const std::string& path, std::string& error);

}  // namespace bmpfile
