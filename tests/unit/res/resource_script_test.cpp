// Takes the compiled resource script apart and compares it with the dialogs, pictures and
// records that the installer is meant to carry. Every expected number is written out here.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Window and control styles, as the platform defines them.
constexpr uint32_t kWS_POPUP = 0x80000000;
constexpr uint32_t kWS_CHILD = 0x40000000;
constexpr uint32_t kWS_VISIBLE = 0x10000000;
constexpr uint32_t kWS_CAPTION = 0x00C00000;
constexpr uint32_t kWS_VSCROLL = 0x00200000;
constexpr uint32_t kWS_SYSMENU = 0x00080000;
constexpr uint32_t kWS_GROUP = 0x00020000;
constexpr uint32_t kWS_TABSTOP = 0x00010000;
constexpr uint32_t kDS_MODALFRAME = 0x80;
constexpr uint32_t kDS_SETFONT = 0x40;
constexpr uint32_t kBS_DEFPUSHBUTTON = 0x1;
constexpr uint32_t kBS_GROUPBOX = 0x7;
constexpr uint32_t kCBS_DROPDOWN = 0x2;
constexpr uint32_t kCBS_SORT = 0x100;
constexpr uint32_t kSS_LEFT = 0x0;
constexpr uint32_t kSS_BITMAP = 0xE;

// Predefined control classes, stored as ordinals.
constexpr uint16_t kButton = 0x0080;
constexpr uint16_t kStatic = 0x0082;
constexpr uint16_t kComboBox = 0x0085;

// Resource types.
constexpr uint16_t kRT_ICON = 3;
constexpr uint16_t kRT_BITMAP = 2;
constexpr uint16_t kRT_DIALOG = 5;
constexpr uint16_t kRT_GROUP_ICON = 14;
constexpr uint16_t kRT_VERSION = 16;
constexpr uint16_t kRT_DLGINIT = 240;

// A name in a resource file or dialog template: an ordinal or a UTF-16 string (kept here
// narrowed, as all of ours are ASCII).
struct NameOrOrdinal {
    bool is_ordinal = false;
    uint16_t ordinal = 0;
    std::string text;

    static NameOrOrdinal Ordinal(uint16_t n) { return {true, n, {}}; }
    static NameOrOrdinal Text(std::string s) { return {false, 0, std::move(s)}; }
    bool operator==(const NameOrOrdinal&) const = default;
};

std::ostream& operator<<(std::ostream& os, const NameOrOrdinal& n) {
    if (n.is_ordinal) return os << "#" << n.ordinal;
    return os << '"' << n.text << '"';
}

// Reads little-endian fields from a byte range; any read past the end marks it failed
// and yields zeros, so a short or damaged record fails the test instead of crashing it.
class Reader {
  public:
    Reader(const std::vector<uint8_t>& bytes, size_t begin, size_t end) : bytes_(bytes), pos_(begin), end_(end) {}

    uint16_t U16() {
        if (!Has(2)) return 0;
        const uint16_t v = uint16_t(bytes_[pos_] | bytes_[pos_ + 1] << 8);
        pos_ += 2;
        return v;
    }
    uint32_t U32() {
        const uint32_t lo = U16();
        return lo | uint32_t(U16()) << 16;
    }
    uint8_t U8() {
        if (!Has(1)) return 0;
        return bytes_[pos_++];
    }
    NameOrOrdinal Name() {
        if (Has(2) && bytes_[pos_] == 0xFF && bytes_[pos_ + 1] == 0xFF) {
            pos_ += 2;
            return NameOrOrdinal::Ordinal(U16());
        }
        std::string s;
        for (uint16_t c = U16(); c != 0 && ok_; c = U16()) s.push_back(c < 0x80 ? char(c) : '?');
        return NameOrOrdinal::Text(s);
    }
    void AlignTo4(size_t origin) {
        while ((pos_ - origin) % 4 != 0 && pos_ < end_) ++pos_;
    }
    size_t Position() const { return pos_; }
    bool Ok() const { return ok_; }

  private:
    bool Has(size_t n) {
        if (pos_ + n > end_) ok_ = false;
        return ok_;
    }
    const std::vector<uint8_t>& bytes_;
    size_t pos_;
    size_t end_;
    bool ok_ = true;
};

struct Resource {
    NameOrOrdinal type;
    NameOrOrdinal name;
    std::vector<uint8_t> data;
};

// A .res file: 32-bit entries, each a header (sizes, type, name, flags) and its data,
// both padded to four bytes; the first entry is an empty marker.
std::vector<Resource> ReadResFile(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return {};
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Resource> out;
    size_t pos = 0;
    while (pos + 8 <= bytes.size()) {
        Reader header(bytes, pos, bytes.size());
        const uint32_t data_size = header.U32();
        const uint32_t header_size = header.U32();
        Resource r;
        r.type = header.Name();
        r.name = header.Name();
        const size_t data_begin = pos + header_size;
        if (!header.Ok() || header_size < 32 || data_begin + data_size > bytes.size()) {
            error = "damaged entry at offset " + std::to_string(pos);
            return {};
        }
        r.data.assign(bytes.begin() + long(data_begin), bytes.begin() + long(data_begin + data_size));
        if (data_size != 0) out.push_back(std::move(r));
        pos = (data_begin + data_size + 3) & ~size_t(3);
    }
    return out;
}

class CompiledResources : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { resources_ = ReadResFile(GYR_COMPILED_RES, error_); }

    const Resource* Find(uint16_t type, uint16_t name) const {
        for (const Resource& r : resources_)
            if (r.type == NameOrOrdinal::Ordinal(type) && r.name == NameOrOrdinal::Ordinal(name)) return &r;
        return nullptr;
    }

    static std::vector<Resource> resources_;
    static std::string error_;
};

std::vector<Resource> CompiledResources::resources_;
std::string CompiledResources::error_;

TEST_F(CompiledResources, FileReadsAsWholeEntries) {
    EXPECT_EQ(error_, "");
    EXPECT_FALSE(resources_.empty());
}

struct ExpectedControl {
    uint16_t class_ordinal;
    uint16_t id;
    NameOrOrdinal text;
    uint32_t style;
    int16_t x, y, w, h;
};

struct ExpectedDialog {
    uint16_t id;
    uint32_t style;
    std::string title;
    int16_t w, h;
    std::vector<ExpectedControl> controls;
};

const std::vector<ExpectedDialog> kDialogs = {
    {101,
     kWS_VISIBLE | kWS_CAPTION | kDS_MODALFRAME | kDS_SETFONT,
     "Com Port Configuration",
     238,
     138,
     {
         {kButton, 1, NameOrOrdinal::Text("OK"), kWS_CHILD | kWS_VISIBLE | kWS_TABSTOP | kBS_DEFPUSHBUTTON, 169,
          108, 50, 14},
         {kButton, 0xFFFF, NameOrOrdinal::Text("Com Port"), kWS_CHILD | kWS_VISIBLE | kBS_GROUPBOX, 82, 100, 59,
          26},
         {kComboBox, 1014, NameOrOrdinal::Text(""),
          kWS_CHILD | kWS_VISIBLE | kWS_VSCROLL | kWS_TABSTOP | kCBS_SORT | kCBS_DROPDOWN, 88, 109, 50, 65},
         {kStatic, 0xFFFF, NameOrOrdinal::Text("Gyrelle not detected. Please select a COM port."),
          kWS_CHILD | kWS_VISIBLE | kWS_GROUP | kSS_LEFT, 33, 84, 191, 8},
         {kStatic, 0xFFFF, NameOrOrdinal::Ordinal(136), kWS_CHILD | kWS_VISIBLE | kSS_BITMAP, 86, 7, 64, 71},
         {kStatic, 0xFFFF, NameOrOrdinal::Ordinal(140), kWS_CHILD | kWS_VISIBLE | kSS_BITMAP, 5, 102, 43, 28},
     }},
    {111,
     kWS_POPUP | kWS_VISIBLE | kWS_CAPTION | kWS_SYSMENU | kDS_MODALFRAME | kDS_SETFONT,
     "Gyrelle Detection",
     234,
     142,
     {
         {kButton, 1, NameOrOrdinal::Text("OK"), kWS_CHILD | kWS_VISIBLE | kWS_TABSTOP | kBS_DEFPUSHBUTTON, 95, 112,
          50, 14},
         {kStatic, 0xFFFF, NameOrOrdinal::Text("Gyrelle detected and installed"),
          kWS_CHILD | kWS_VISIBLE | kWS_GROUP | kSS_LEFT, 55, 90, 123, 8},
         {kStatic, 0xFFFF, NameOrOrdinal::Ordinal(141), kWS_CHILD | kWS_VISIBLE | kSS_BITMAP, 84, 7, 64, 71},
         {kStatic, 0xFFFF, NameOrOrdinal::Ordinal(140), kWS_CHILD | kWS_VISIBLE | kSS_BITMAP, 0, 112, 43, 28},
     }},
};

TEST_F(CompiledResources, DialogTemplatesMatchTheirLayout) {
    for (const ExpectedDialog& want : kDialogs) {
        SCOPED_TRACE("dialog " + std::to_string(want.id));
        const Resource* res = Find(kRT_DIALOG, want.id);
        ASSERT_NE(res, nullptr);
        Reader r(res->data, 0, res->data.size());
        EXPECT_EQ(r.U32(), want.style);
        EXPECT_EQ(r.U32(), 0u) << "extended style";
        const uint16_t count = r.U16();
        EXPECT_EQ(int16_t(r.U16()), 0) << "x";
        EXPECT_EQ(int16_t(r.U16()), 0) << "y";
        EXPECT_EQ(int16_t(r.U16()), want.w);
        EXPECT_EQ(int16_t(r.U16()), want.h);
        EXPECT_EQ(r.Name(), NameOrOrdinal::Text("")) << "menu";
        EXPECT_EQ(r.Name(), NameOrOrdinal::Text("")) << "class";
        EXPECT_EQ(r.Name(), NameOrOrdinal::Text(want.title));
        EXPECT_EQ(r.U16(), 8) << "font size";
        EXPECT_EQ(r.Name(), NameOrOrdinal::Text("MS Sans Serif"));
        ASSERT_EQ(count, want.controls.size());
        for (size_t i = 0; i < want.controls.size(); ++i) {
            SCOPED_TRACE("control " + std::to_string(i));
            const ExpectedControl& c = want.controls[i];
            r.AlignTo4(0);
            EXPECT_EQ(r.U32(), c.style);
            EXPECT_EQ(r.U32(), 0u) << "extended style";
            EXPECT_EQ(int16_t(r.U16()), c.x);
            EXPECT_EQ(int16_t(r.U16()), c.y);
            EXPECT_EQ(int16_t(r.U16()), c.w);
            EXPECT_EQ(int16_t(r.U16()), c.h);
            EXPECT_EQ(r.U16(), c.id);
            EXPECT_EQ(r.Name(), NameOrOrdinal::Ordinal(c.class_ordinal));
            EXPECT_EQ(r.Name(), c.text);
            EXPECT_EQ(r.U16(), 0) << "creation data";
        }
        EXPECT_TRUE(r.Ok()) << "template shorter than its controls";
        EXPECT_LE(res->data.size() - r.Position(), 3u) << "bytes after the last control";
    }
}

// The header of a device-independent bitmap, as a bitmap or icon resource starts.
struct BitmapHeader {
    uint32_t size;
    int32_t width, height;
    uint16_t planes, bit_count;
    uint32_t compression;
    uint32_t colours_used;

    uint32_t PaletteEntries() const { return colours_used ? colours_used : (bit_count <= 8 ? 1u << bit_count : 0u); }
    size_t RowBytes() const { return size_t((uint32_t(width) * bit_count + 31) / 32 * 4); }
};

BitmapHeader ReadBitmapHeader(const std::vector<uint8_t>& data) {
    Reader r(data, 0, data.size());
    BitmapHeader h{};
    h.size = r.U32();
    h.width = int32_t(r.U32());
    h.height = int32_t(r.U32());
    h.planes = r.U16();
    h.bit_count = r.U16();
    h.compression = r.U32();
    r.U32();  // image size
    r.U32();
    r.U32();
    h.colours_used = r.U32();
    return h;
}

struct Rgb {
    uint8_t r, g, b;
};

// Pixel colours of an 8-bit bitmap resource (rows in any order; only counted here).
std::vector<Rgb> PixelColours(const std::vector<uint8_t>& data, const BitmapHeader& h) {
    std::vector<Rgb> out;
    const size_t palette = h.size;
    const size_t bits = palette + h.PaletteEntries() * 4;
    for (int32_t y = 0; y < h.height; ++y) {
        for (int32_t x = 0; x < h.width; ++x) {
            const size_t at = bits + size_t(y) * h.RowBytes() + size_t(x);
            if (at >= data.size()) return out;
            const size_t entry = palette + size_t(data[at]) * 4;
            if (entry + 2 >= data.size()) return out;
            out.push_back({data[entry + 2], data[entry + 1], data[entry]});
        }
    }
    return out;
}

double ShareOf(const std::vector<Rgb>& pixels, bool (*pick)(Rgb)) {
    size_t n = 0;
    for (Rgb p : pixels) n += pick(p) ? 1 : 0;
    return pixels.empty() ? 0.0 : double(n) / double(pixels.size());
}

bool StrongRed(Rgb p) { return p.r > 180 && p.g < 90 && p.b < 90; }
bool StrongBlue(Rgb p) { return p.b > 150 && p.b > p.r + 60; }

TEST_F(CompiledResources, BitmapsAreUncompressed8BitWithFullPalette) {
    struct Case {
        uint16_t id;
        int32_t width, height;
    };
    for (const Case& c : {Case{136, 96, 116}, Case{141, 96, 116}, Case{140, 64, 45}}) {
        SCOPED_TRACE("bitmap " + std::to_string(c.id));
        const Resource* res = Find(kRT_BITMAP, c.id);
        ASSERT_NE(res, nullptr);
        const BitmapHeader h = ReadBitmapHeader(res->data);
        EXPECT_EQ(h.size, 40u);
        EXPECT_EQ(h.width, c.width);
        EXPECT_EQ(h.height, c.height) << "bottom-up rows, the form every version of the platform reads";
        EXPECT_EQ(h.planes, 1);
        EXPECT_EQ(h.bit_count, 8);
        EXPECT_EQ(h.compression, 0u) << "BI_RGB";
        EXPECT_EQ(h.PaletteEntries(), 256u);
        EXPECT_EQ(res->data.size(), 40 + 256 * 4 + h.RowBytes() * size_t(c.height));
    }
}

// The pictures' subjects, in the one way a test can see them: the crossed-out controller
// is the only one with a large red X, and the emblem is blue.
TEST_F(CompiledResources, PicturesShowTheirSubjects) {
    const Resource* crossed = Find(kRT_BITMAP, 136);
    const Resource* found = Find(kRT_BITMAP, 141);
    const Resource* emblem = Find(kRT_BITMAP, 140);
    ASSERT_TRUE(crossed && found && emblem);
    EXPECT_GT(ShareOf(PixelColours(crossed->data, ReadBitmapHeader(crossed->data)), StrongRed), 0.10);
    EXPECT_EQ(ShareOf(PixelColours(found->data, ReadBitmapHeader(found->data)), StrongRed), 0.0);
    EXPECT_GT(ShareOf(PixelColours(emblem->data, ReadBitmapHeader(emblem->data)), StrongBlue), 0.15);
}

TEST_F(CompiledResources, IconGroupHoldsOne32By32SixteenColourImage) {
    const Resource* group = Find(kRT_GROUP_ICON, 118);
    ASSERT_NE(group, nullptr);
    ASSERT_EQ(group->data.size(), 6u + 14u);
    Reader r(group->data, 0, group->data.size());
    EXPECT_EQ(r.U16(), 0) << "reserved";
    EXPECT_EQ(r.U16(), 1) << "icon, not cursor";
    EXPECT_EQ(r.U16(), 1) << "images";
    EXPECT_EQ(r.U8(), 32) << "width";
    EXPECT_EQ(r.U8(), 32) << "height";
    EXPECT_EQ(r.U8(), 16) << "colours";
    EXPECT_EQ(r.U8(), 0) << "reserved";
    EXPECT_EQ(r.U16(), 1) << "planes";
    EXPECT_EQ(r.U16(), 4) << "bits per pixel";
    const uint32_t image_size = r.U32();
    const uint16_t image_id = r.U16();

    const Resource* image = Find(kRT_ICON, image_id);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->data.size(), image_size);
    const BitmapHeader h = ReadBitmapHeader(image->data);
    EXPECT_EQ(h.width, 32);
    EXPECT_EQ(h.height, 64) << "colour image and AND mask";
    EXPECT_EQ(h.bit_count, 4);
    EXPECT_EQ(h.compression, 0u);
    EXPECT_EQ(h.PaletteEntries(), 16u);
    // Header, palette, 32 rows of 16 colour bytes and 32 rows of 4 mask bytes.
    EXPECT_EQ(image_size, 40u + 64u + 512u + 128u);
}

TEST_F(CompiledResources, PortListInitialisationRecordHoldsCom1AndCom2) {
    const Resource* init = Find(kRT_DLGINIT, 101);
    ASSERT_NE(init, nullptr);
    const std::vector<uint8_t> want = {
        0xF6, 0x03, 0x03, 0x04, 0x05, 0x00, 0x00, 0x00, 0x43, 0x4F, 0x4D, 0x31, 0x00,  // 1014, 0x0403, 5, "COM1"
        0xF6, 0x03, 0x03, 0x04, 0x05, 0x00, 0x00, 0x00, 0x43, 0x4F, 0x4D, 0x32, 0x00,  // 1014, 0x0403, 5, "COM2"
        0x00, 0x00,                                                                    // end
    };
    EXPECT_EQ(init->data, want);
}

TEST_F(CompiledResources, VersionResourceSaysVersion1) {
    const Resource* version = Find(kRT_VERSION, 1);
    ASSERT_NE(version, nullptr);
    Reader r(version->data, 0, version->data.size());
    EXPECT_EQ(r.U16(), version->data.size()) << "length";
    EXPECT_EQ(r.U16(), 52) << "fixed part length";
    EXPECT_EQ(r.U16(), 0) << "binary";
    EXPECT_EQ(r.Name(), NameOrOrdinal::Text("VS_VERSION_INFO"));
    r.AlignTo4(0);
    EXPECT_EQ(r.U32(), 0xFEEF04BDu) << "signature";
    r.U32();                          // structure version
    EXPECT_EQ(r.U32(), 0x00010000u);  // file version 1.0
    EXPECT_EQ(r.U32(), 0x00000000u);  // .0.0
    EXPECT_EQ(r.U32(), 0x00010000u);  // product version 1.0
    EXPECT_EQ(r.U32(), 0x00000000u);  // .0.0
    EXPECT_TRUE(r.Ok());
}

}  // namespace
