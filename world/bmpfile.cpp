#include "world/bmpfile.h"

#include <QString>

#include <fstream>

namespace bmpfile {

namespace {

// BITMAPFILEHEADER (14 bytes) then BITMAPINFOHEADER, little-endian:
//   0 "BM"   2 file size   10 offset of the pixels
//  14 info header size   18 width (int32)   22 height (int32, < 0: top-down)
//  26 planes (u16)   28 bits per pixel (u16)   30 compression (u32)
constexpr size_t HeaderBytes = 54;
constexpr uint32_t Uncompressed = 0, Bitfields = 3;

uint32_t GetU32(const unsigned char* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
uint16_t GetU16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

bool ReadHeader(const std::string& path, TBmpHeader& header, std::string& error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "missing or unreadable";
        return false;
    }
    unsigned char h[HeaderBytes] = {};
    in.read(reinterpret_cast<char*>(h), sizeof h);
    const auto got = static_cast<size_t>(in.gcount());
    if (got < 2 || h[0] != 'B' || h[1] != 'M') {
        error = "not a BMP file (no \"BM\" at its start)";
        return false;
    }
    if (got < HeaderBytes) {
        error = "unreadable, its BMP headers cut short at " + std::to_string(got) + " bytes";
        return false;
    }
    in.seekg(0, std::ios::end);
    const auto fileBytes = static_cast<uint64_t>(in.tellg());
    const uint32_t infoBytes = GetU32(h + 14);
    const auto width = static_cast<int32_t>(GetU32(h + 18));
    const auto height = static_cast<int32_t>(GetU32(h + 22));
    const uint16_t planes = GetU16(h + 26);
    const uint16_t bits = GetU16(h + 28);
    const uint32_t compression = GetU32(h + 30);
    if (infoBytes < 40) {
        error = "BMP info header of " + std::to_string(infoBytes) + " bytes; at least 40 are read";
        return false;
    }
    if (planes != 1 || (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32)) {
        error = std::to_string(planes) + " planes of " + std::to_string(bits) +
                " bits per pixel; 1 plane of 1, 4, 8, 16, 24 or 32 bits is read";
        return false;
    }
    // int64: the height of a top-down bitmap is negative, and -INT32_MIN overflows.
    const int64_t rows = height < 0 ? -int64_t(height) : height;
    if (width < 1 || width > MaxSide || rows < 1 || rows > MaxSide) {
        error = std::to_string(width) + " x " + std::to_string(rows) + " pixels; each side must be 1 to " +
                std::to_string(MaxSide);
        return false;
    }
    if (compression == Uncompressed || compression == Bitfields) {
        const uint64_t rowBytes = (uint64_t(width) * bits + 31) / 32 * 4;
        const uint64_t end = uint64_t(GetU32(h + 10)) + rowBytes * uint64_t(rows);
        if (end > fileBytes) {
            error = "unreadable, " + std::to_string(width) + " x " + std::to_string(rows) + " pixels at " +
                    std::to_string(bits) + " bits need " + std::to_string(end) + " bytes; the file has " +
                    std::to_string(fileBytes);
            return false;
        }
    }
    header.Width = width;
    header.Height = static_cast<int32_t>(rows);
    header.BitsPerPixel = bits;
    return true;
}

QImage Decode(const std::string& path, std::string& error)
{
    QImage image;
    if (!image.load(QString::fromStdString(path), "BMP") || image.isNull()) {
        error = "unreadable, its BMP pixels cannot be decoded";
        return QImage();
    }
    return image;
}

}  // namespace bmpfile
