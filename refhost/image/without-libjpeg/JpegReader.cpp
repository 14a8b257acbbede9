// JPEG in a build without libjpeg-turbo (the Windows build: the library is
// not packaged for MinGW). A JPEG file is still recognised, and refused with
// a message that says why, rather than handed to a decoder that does not know it.
#include "refhost/image/JpegReader.h"

namespace refhost {

bool looksLikeJpeg(const uint8_t* head, std::size_t size) {
    return size >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
}

bool readJpeg(const JpegInput&, const std::string& name, const ImageLimits&, Image&, std::string& error) {
    error = name + ": a JPEG file, which this build of refhost cannot read; give a PNG, BMP or TGA file";
    return false;
}

} // namespace refhost
