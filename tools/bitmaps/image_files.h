// Palette reduction and the two file formats the resource script takes: an 8-bit BMP
// with a 256-entry palette and a one-image 16-colour ICO with its AND mask.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Rgb8 {
    uint8_t r, g, b;
};

inline bool operator==(Rgb8 a, Rgb8 b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

// A picture after rendering: one colour per pixel, rows top to bottom. `opaque` is empty
// for pictures without transparency.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<Rgb8> pixels;
    std::vector<bool> opaque;
};

struct IndexedImage {
    int width = 0;
    int height = 0;
    std::vector<Rgb8> palette;
    std::vector<uint8_t> indices;
};

// Builds a palette of `size` entries that starts with the `reserved` colours, exactly,
// followed by a median cut of the other colours in the picture, and maps every pixel to
// its nearest entry. Integer arithmetic only, so the result never depends on the host.
IndexedImage ReducePalette(const RgbImage& image, int size, const std::vector<Rgb8>& reserved);

bool WriteBmp8(const std::string& path, const IndexedImage& image);

// `image` has 16 palette entries; `transparent` marks the pixels that the AND mask hides.
bool WriteIco4(const std::string& path, const IndexedImage& image, const std::vector<bool>& transparent);
