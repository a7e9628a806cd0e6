#include "tools/bitmaps/image_files.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace {

struct ColourCount {
    Rgb8 colour;
    uint32_t count;
};

int Channel(Rgb8 c, int axis) { return axis == 0 ? c.r : axis == 1 ? c.g : c.b; }

struct Box {
    std::vector<ColourCount> colours;
    int longest_axis = 0;
    int range = 0;
};

void Measure(Box& box) {
    box.range = 0;
    for (int axis = 0; axis < 3; ++axis) {
        int lo = 255, hi = 0;
        for (const ColourCount& cc : box.colours) {
            lo = std::min(lo, Channel(cc.colour, axis));
            hi = std::max(hi, Channel(cc.colour, axis));
        }
        if (hi - lo > box.range) {
            box.range = hi - lo;
            box.longest_axis = axis;
        }
    }
}

Rgb8 Mean(const Box& box) {
    uint64_t r = 0, g = 0, b = 0, n = 0;
    for (const ColourCount& cc : box.colours) {
        r += uint64_t(cc.colour.r) * cc.count;
        g += uint64_t(cc.colour.g) * cc.count;
        b += uint64_t(cc.colour.b) * cc.count;
        n += cc.count;
    }
    return Rgb8{uint8_t((r + n / 2) / n), uint8_t((g + n / 2) / n), uint8_t((b + n / 2) / n)};
}

uint32_t Distance(Rgb8 a, Rgb8 b) {
    // Green weighs most for the eye; the weights only need to be fixed, not exact.
    const int dr = a.r - b.r, dg = a.g - b.g, db = a.b - b.b;
    return uint32_t(3 * dr * dr + 4 * dg * dg + 2 * db * db);
}

void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(uint8_t(v >> shift));
}

// BITMAPINFOHEADER, 40 bytes; the height of an icon image counts its mask too.
void PutInfoHeader(std::vector<uint8_t>& out, int width, int height, int bit_count,
                   uint32_t image_size, uint32_t colours_used) {
    const size_t start = out.size();
    Put32(out, 40);
    Put32(out, uint32_t(width));
    Put32(out, uint32_t(height));
    Put16(out, 1);
    Put16(out, uint32_t(bit_count));
    Put32(out, 0);  // BI_RGB
    Put32(out, image_size);
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, colours_used);
    Put32(out, 0);
    if (out.size() - start != 40) std::fprintf(stderr, "bitmap_generator: header size\n");
}

void PutPalette(std::vector<uint8_t>& out, const std::vector<Rgb8>& palette) {
    for (Rgb8 c : palette) {
        out.push_back(c.b);
        out.push_back(c.g);
        out.push_back(c.r);
        out.push_back(0);
    }
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return (std::fclose(f) == 0) && ok;
}

uint32_t RowBytes(int width, int bit_count) { return uint32_t((width * bit_count + 31) / 32 * 4); }

}  // namespace

IndexedImage ReducePalette(const RgbImage& image, int size, const std::vector<Rgb8>& reserved) {
    IndexedImage out;
    out.width = image.width;
    out.height = image.height;
    out.palette = reserved;

    std::map<uint32_t, uint32_t> histogram;
    for (size_t i = 0; i < image.pixels.size(); ++i) {
        if (!image.opaque.empty() && !image.opaque[i]) continue;
        const Rgb8 c = image.pixels[i];
        if (std::find(reserved.begin(), reserved.end(), c) != reserved.end()) continue;
        ++histogram[uint32_t(c.r) << 16 | uint32_t(c.g) << 8 | c.b];
    }

    std::vector<Box> boxes;
    if (!histogram.empty()) {
        Box all;
        for (const auto& [key, count] : histogram)
            all.colours.push_back({Rgb8{uint8_t(key >> 16), uint8_t(key >> 8), uint8_t(key)}, count});
        Measure(all);
        boxes.push_back(std::move(all));
    }
    const size_t wanted = size_t(size) - std::min(reserved.size(), size_t(size));
    while (boxes.size() < wanted) {
        size_t pick = boxes.size();
        for (size_t i = 0; i < boxes.size(); ++i)
            if (boxes[i].colours.size() > 1 && (pick == boxes.size() || boxes[i].range > boxes[pick].range))
                pick = i;
        if (pick == boxes.size()) break;
        Box& box = boxes[pick];
        const int axis = box.longest_axis;
        std::sort(box.colours.begin(), box.colours.end(), [axis](const ColourCount& a, const ColourCount& b) {
            const int ka = Channel(a.colour, axis), kb = Channel(b.colour, axis);
            if (ka != kb) return ka < kb;
            const uint32_t fa = uint32_t(a.colour.r) << 16 | uint32_t(a.colour.g) << 8 | a.colour.b;
            const uint32_t fb = uint32_t(b.colour.r) << 16 | uint32_t(b.colour.g) << 8 | b.colour.b;
            return fa < fb;
        });
        uint64_t total = 0;
        for (const ColourCount& cc : box.colours) total += cc.count;
        uint64_t running = 0;
        size_t split = 1;
        for (size_t i = 0; i + 1 < box.colours.size(); ++i) {
            running += box.colours[i].count;
            split = i + 1;
            if (running * 2 >= total) break;
        }
        Box upper;
        upper.colours.assign(box.colours.begin() + long(split), box.colours.end());
        box.colours.resize(split);
        Measure(box);
        Measure(upper);
        boxes.push_back(std::move(upper));
    }
    for (const Box& box : boxes) out.palette.push_back(Mean(box));
    const size_t used = out.palette.size();
    out.palette.resize(size_t(size), Rgb8{0, 0, 0});

    out.indices.resize(image.pixels.size());
    for (size_t i = 0; i < image.pixels.size(); ++i) {
        size_t best = 0;
        uint32_t best_distance = UINT32_MAX;
        for (size_t p = 0; p < used; ++p) {
            const uint32_t d = Distance(image.pixels[i], out.palette[p]);
            if (d < best_distance) {
                best_distance = d;
                best = p;
            }
        }
        out.indices[i] = uint8_t(best);
    }
    return out;
}

bool WriteBmp8(const std::string& path, const IndexedImage& image) {
    const uint32_t row = RowBytes(image.width, 8);
    const uint32_t bits_size = row * uint32_t(image.height);
    const uint32_t bits_offset = 14 + 40 + 256 * 4;
    std::vector<uint8_t> out;
    out.push_back('B');
    out.push_back('M');
    Put32(out, bits_offset + bits_size);
    Put16(out, 0);
    Put16(out, 0);
    Put32(out, bits_offset);
    PutInfoHeader(out, image.width, image.height, 8, bits_size, 256);
    PutPalette(out, image.palette);
    for (int y = image.height - 1; y >= 0; --y) {
        for (int x = 0; x < image.width; ++x) out.push_back(image.indices[size_t(y * image.width + x)]);
        for (uint32_t pad = uint32_t(image.width); pad < row; ++pad) out.push_back(0);
    }
    if (out.size() != bits_offset + bits_size) return false;
    return WriteFile(path, out);
}

bool WriteIco4(const std::string& path, const IndexedImage& image, const std::vector<bool>& transparent) {
    const uint32_t xor_row = RowBytes(image.width, 4);
    const uint32_t and_row = RowBytes(image.width, 1);
    const uint32_t image_bytes = 40 + 16 * 4 + (xor_row + and_row) * uint32_t(image.height);
    std::vector<uint8_t> out;
    Put16(out, 0);  // reserved
    Put16(out, 1);  // icon
    Put16(out, 1);  // one image
    out.push_back(uint8_t(image.width));
    out.push_back(uint8_t(image.height));
    out.push_back(16);
    out.push_back(0);
    Put16(out, 1);  // planes
    Put16(out, 4);  // bits per pixel
    Put32(out, image_bytes);
    Put32(out, 6 + 16);
    PutInfoHeader(out, image.width, image.height * 2, 4, (xor_row + and_row) * uint32_t(image.height), 16);
    PutPalette(out, image.palette);
    for (int y = image.height - 1; y >= 0; --y) {
        std::vector<uint8_t> row(xor_row, 0);
        for (int x = 0; x < image.width; ++x) {
            const size_t i = size_t(y * image.width + x);
            // Hidden pixels carry black so that the XOR step leaves the screen as it was.
            const uint8_t index = transparent[i] ? 0 : uint8_t(image.indices[i] & 0x0F);
            row[size_t(x / 2)] |= (x % 2 == 0) ? uint8_t(index << 4) : index;
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    for (int y = image.height - 1; y >= 0; --y) {
        std::vector<uint8_t> row(and_row, 0);
        for (int x = 0; x < image.width; ++x)
            if (transparent[size_t(y * image.width + x)]) row[size_t(x / 8)] |= uint8_t(0x80 >> (x % 8));
        out.insert(out.end(), row.begin(), row.end());
    }
    if (out.size() != 6 + 16 + image_bytes) return false;
    return WriteFile(path, out);
}
