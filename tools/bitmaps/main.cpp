// Writes the dialog bitmaps and the program icon into the folder given on the command
// line (the project's res/). The output is the same on every run.
#include <cstdio>
#include <string>

#include "tools/bitmaps/image_files.h"
#include "tools/bitmaps/pictures.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const std::vector<Rgb8> card = {kCardColour, kFrameColour};
    bool ok = true;

    ok &= WriteBmp8(folder + "/controller.bmp", ReducePalette(DrawController(96, 116, false), 256, card));
    ok &= WriteBmp8(folder + "/controller_crossed.bmp", ReducePalette(DrawController(96, 116, true), 256, card));
    ok &= WriteBmp8(folder + "/emblem.bmp", ReducePalette(DrawEmblem(64, 45, false), 256, card));

    const RgbImage icon = DrawEmblem(32, 32, true);
    std::vector<bool> hidden(icon.opaque.size());
    for (size_t i = 0; i < hidden.size(); ++i) hidden[i] = !icon.opaque[i];
    ok &= WriteIco4(folder + "/emblem.ico", ReducePalette(icon, 16, {Rgb8{0, 0, 0}}), hidden);

    if (!ok) {
        std::fprintf(stderr, "%s: could not write every file into %s\n", argv[0], folder.c_str());
        return 1;
    }
    return 0;
}
