// The .ico file format, as far as branding a launcher needs it:
//
//   offset 0   ICONDIR       reserved 0, type 1 (icon), count of images
//   offset 6   ICONDIRENTRY  16 bytes per image: width, height (0 = 256),
//                            colour count, reserved, planes, bits per pixel,
//                            size of the image data, offset of the data
//   ...        image data    each either a DIB (BITMAPINFOHEADER, colour
//                            table, XOR and AND masks, height doubled) or
//                            a PNG file, as Windows Vista and later read
//
// Nothing here touches a file: the reader takes the file's bytes.
#ifndef SFXPACK_ICON_H
#define SFXPACK_ICON_H

#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "format/resources.h"

namespace sfxpack {

struct IconImage {
    // The directory entry's fields, as an icon group repeats them; `bytes`
    // is the data's size, `id` is left for the group to assign.
    IconGroupEntry entry;
    bool png = false;
    std::vector<unsigned char> data;  // the image itself: an RT_ICON resource
};

// Reads an .ico file's images.  Refuses (with the offset of the faulty
// field) bytes that are not an icon file: bad header, no
// image, an image whose data lie outside the file, or an image whose own
// header gives other dimensions than its directory entry.  Planes and bit
// count left 0 in the directory are taken from the image, so that Windows
// can choose between the images by colour depth.
Result<std::vector<IconImage>> parseIcon(const unsigned char* data, size_t size);

}  // namespace sfxpack

#endif  // SFXPACK_ICON_H
