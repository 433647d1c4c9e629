#pragma once

// Small previews of imported images: the first picture of a PNG, JPEG, GIF or WebP file,
// scaled down to fit a square, decoded and encoded with FFmpeg's libraries.

#include <optional>
#include <string>
#include <string_view>

namespace quorvale::server {

enum class ImageFormat { Png, Jpeg, Gif, Webp };

// The format the content starts with, whatever the file is called.
std::optional<ImageFormat> sniffImage(std::string_view bytes);

struct ImagePreview
{
    std::string bytes;
    std::string contentType; // "image/png" or "image/jpeg"
    int width = 0;
    int height = 0;
};

// Fits the image into maxSide × maxSide, never enlarging it, turned upright as its EXIF
// orientation says. A JPEG gives a JPEG; the others
// a PNG, which keeps their transparency. Nothing when the bytes are not one of the four
// formats, do not decode, or would decode to more than maxPixels. Safe from many threads.
std::optional<ImagePreview> makeImagePreview(std::string_view bytes, int maxSide = 960,
                                             long long maxPixels = 50'000'000);

} // namespace quorvale::server
