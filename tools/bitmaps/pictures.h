// The pictures of the installer's dialogs and its icon, drawn from simple shapes and
// supersampled so that their edges come out smooth at the small sizes they are shown at.
#pragma once

#include "tools/bitmaps/image_files.h"

// Dialog pictures sit on a white card with a grey frame, which reads as deliberate on
// both the classic grey dialog face and the lighter one of newer systems.
constexpr Rgb8 kCardColour{255, 255, 255};
constexpr Rgb8 kFrameColour{128, 128, 128};

// The controller: a ball resting in the cup of its base, buttons along the base.
RgbImage DrawController(int width, int height, bool crossed_out);

// The emblem: a blue sphere with swept bands and a swoosh around it. With
// `transparent` the background is left out (opaque marks what the emblem covers).
RgbImage DrawEmblem(int width, int height, bool transparent);
