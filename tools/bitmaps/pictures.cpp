#include "tools/bitmaps/pictures.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

constexpr int kSamples = 6;  // per pixel and axis

struct Colour {
    double r, g, b;
};

Colour Mix(Colour under, Colour over, double alpha) {
    alpha = std::clamp(alpha, 0.0, 1.0);
    return {under.r + (over.r - under.r) * alpha, under.g + (over.g - under.g) * alpha,
            under.b + (over.b - under.b) * alpha};
}

Colour Scale(Colour c, double k) { return {c.r * k, c.g * k, c.b * k}; }

Colour Add(Colour a, Colour b) { return {a.r + b.r, a.g + b.g, a.b + b.b}; }

Colour FromRgb(Rgb8 c) { return {double(c.r), double(c.g), double(c.b)}; }

// What one point of a picture shows: a colour and whether anything is there at all.
struct Sample {
    Colour colour;
    bool covered;
};

using Scene = std::function<Sample(double x, double y)>;

RgbImage Render(int width, int height, const Scene& scene) {
    RgbImage image;
    image.width = width;
    image.height = height;
    image.pixels.resize(size_t(width * height));
    image.opaque.resize(size_t(width * height));
    for (int py = 0; py < height; ++py) {
        for (int px = 0; px < width; ++px) {
            Colour sum{0, 0, 0};
            int hits = 0;
            for (int sy = 0; sy < kSamples; ++sy) {
                for (int sx = 0; sx < kSamples; ++sx) {
                    const Sample s = scene(px + (sx + 0.5) / kSamples, py + (sy + 0.5) / kSamples);
                    if (!s.covered) continue;
                    sum = Add(sum, s.colour);
                    ++hits;
                }
            }
            const size_t i = size_t(py * width + px);
            const int total = kSamples * kSamples;
            image.opaque[i] = hits * 2 >= total;
            const Colour c = hits ? Scale(sum, 1.0 / hits) : Colour{0, 0, 0};
            image.pixels[i] = Rgb8{uint8_t(std::lround(std::clamp(c.r, 0.0, 255.0))),
                                   uint8_t(std::lround(std::clamp(c.g, 0.0, 255.0))),
                                   uint8_t(std::lround(std::clamp(c.b, 0.0, 255.0)))};
        }
    }
    return image;
}

void DrawFrame(RgbImage& image) {
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            if (x == 0 || y == 0 || x == image.width - 1 || y == image.height - 1)
                image.pixels[size_t(y * image.width + x)] = kFrameColour;
        }
    }
}

// Light from the upper left and a little in front, as dialogs of the era are lit.
struct Vec3 {
    double x, y, z;
};

double Dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

Vec3 Normalise(Vec3 v) {
    const double n = std::sqrt(Dot(v, v));
    return {v.x / n, v.y / n, v.z / n};
}

const Vec3 kLight = Normalise({-0.5, -0.65, 0.75});

// A lit sphere point: `n` is the unit normal, y pointing down the screen.
Colour ShadeSphere(Vec3 n, Colour base, double shininess, double gloss) {
    const double diffuse = std::max(0.0, Dot(n, kLight));
    const Vec3 half = Normalise({kLight.x, kLight.y, kLight.z + 1.0});
    const double specular = std::pow(std::max(0.0, Dot(n, half)), shininess) * gloss;
    const Colour lit = Scale(base, 0.32 + 0.78 * diffuse);
    return Mix(lit, Colour{255, 255, 255}, specular);
}

// Unit normal of a sphere at a screen point, or false outside it.
bool SphereNormal(double x, double y, double cx, double cy, double r, Vec3& n) {
    const double dx = (x - cx) / r, dy = (y - cy) / r;
    const double d2 = dx * dx + dy * dy;
    if (d2 >= 1.0) return false;
    n = {dx, dy, std::sqrt(1.0 - d2)};
    return true;
}

double EllipseDistance(double x, double y, double cx, double cy, double rx, double ry) {
    const double dx = (x - cx) / rx, dy = (y - cy) / ry;
    return dx * dx + dy * dy;
}

double SegmentDistance(double x, double y, double ax, double ay, double bx, double by) {
    const double vx = bx - ax, vy = by - ay;
    const double t = std::clamp(((x - ax) * vx + (y - ay) * vy) / (vx * vx + vy * vy), 0.0, 1.0);
    const double dx = x - (ax + t * vx), dy = y - (ay + t * vy);
    return std::sqrt(dx * dx + dy * dy);
}

// Top and bottom of a rounded rectangle's outline at column x; false outside its columns.
bool RoundedSpan(double x, double left, double top, double right, double bottom, double radius,
                 double& y_top, double& y_bottom) {
    if (x < left || x > right) return false;
    double inset = 0;
    const double from_edge = std::min(x - left, right - x);
    if (from_edge < radius) {
        const double d = radius - from_edge;
        inset = radius - std::sqrt(radius * radius - d * d);
    }
    y_top = top + inset;
    y_bottom = bottom - inset;
    return true;
}

struct ControllerLayout {
    double scale_x, scale_y;
};

Colour DrawControllerAt(double x, double y, Colour colour, double w, double h) {
    // The drawing is laid out on a 96 x 116 grid and stretched to the bitmap's size.
    x = x * 96.0 / w;
    y = y * 116.0 / h;

    // Shadow on the desk under the base.
    const double shadow = EllipseDistance(x, y, 48, 101, 44, 7.5);
    if (shadow < 1.0) colour = Mix(colour, Colour{0, 0, 0}, 0.28 * (1.0 - shadow));

    // The base: a rounded slab seen a little from above, its top face and its front.
    const double kLeft = 7, kRight = 89, kTop = 57, kBottom = 84, kRadius = 13, kThickness = 13;
    double y_top = 0, y_bottom = 0;
    if (RoundedSpan(x, kLeft, kTop, kRight, kBottom, kRadius, y_top, y_bottom)) {
        const double across = (x - 48) / 41;  // -1 .. 1 from left to right
        if (y >= y_top && y <= y_bottom) {
            const double t = (y - y_top) / std::max(1.0, y_bottom - y_top);
            colour = Mix(Colour{178, 182, 190}, Colour{146, 150, 160}, t * 0.8 + across * 0.15 + 0.1);
            if (y > y_bottom - 1.3) colour = Colour{214, 217, 224};  // the lit front edge
            if (y < y_top + 1.0) colour = Colour{120, 124, 134};
        } else if (y > y_bottom && y <= y_bottom + kThickness) {
            const double t = (y - y_bottom) / kThickness;
            // The sides turn away from the light, the left less than the right.
            const double turn = std::pow(std::abs(across), 6.0);
            Colour front = Mix(Colour{92, 96, 106}, Colour{58, 60, 68}, t);
            front = Scale(front, across < 0 ? 1.0 - 0.15 * turn : 1.0 - 0.35 * turn);
            colour = front;
            if (y > y_bottom + kThickness - 1.0) colour = Colour{40, 42, 48};

            // A row of keys along the front.
            constexpr int kKeys = 7;
            const double key_w = 7.4, gap = 2.6, first = 48 - (kKeys * key_w + (kKeys - 1) * gap) / 2;
            const double key_top = 88.5, key_bottom = 94.5;
            for (int k = 0; k < kKeys; ++k) {
                const double kx = first + k * (key_w + gap);
                double kt = 0, kb = 0;
                if (!RoundedSpan(x, kx, key_top, kx + key_w, key_bottom, 1.6, kt, kb)) continue;
                if (y < kt || y > kb) continue;
                const double kt01 = (y - kt) / (kb - kt);
                colour = Mix(Colour{236, 238, 242}, Colour{170, 174, 184}, kt01);
                if (y > kb - 1.0) colour = Colour{90, 92, 100};
            }
        }
    }

    // Two round buttons on the top face, beside the ball.
    for (double bx : {19.0, 77.0}) {
        const double d = EllipseDistance(x, y, bx, 70, 7, 4.2);
        if (d < 1.0) {
            const double rim = EllipseDistance(x, y, bx, 71.2, 7, 4.2);
            colour = rim < 1.0 ? Colour{36, 38, 44} : Colour{36, 38, 44};
            const double cap = EllipseDistance(x, y, bx, 69.2, 5.6, 3.2);
            if (cap < 1.0) {
                Vec3 n{(x - bx) / 5.6 * 0.8, (y - 69.2) / 3.2 * 0.8, 0};
                n.z = std::sqrt(std::max(0.0, 1.0 - n.x * n.x - n.y * n.y));
                colour = ShadeSphere(n, Colour{60, 120, 215}, 40, 0.6);
            }
        }
    }

    // The cup the ball rests in.
    const double cup_outer = EllipseDistance(x, y, 48, 66, 26, 8.5);
    if (cup_outer < 1.0) {
        colour = Mix(Colour{196, 200, 208}, Colour{120, 124, 134}, (y - 57.5) / 17.0);
        const double cup_inner = EllipseDistance(x, y, 48, 65.5, 23, 7);
        if (cup_inner < 1.0) colour = Mix(Colour{22, 24, 28}, Colour{60, 62, 70}, (y - 58.5) / 14.0);
    }

    // The ball, glossy, with its shadow in the cup.
    const double ball_cx = 48, ball_cy = 36, ball_r = 28;
    const double contact = EllipseDistance(x, y, ball_cx, 64.5, 18, 4.5);
    if (contact < 1.0) colour = Mix(colour, Colour{0, 0, 0}, 0.6 * (1.0 - contact));
    Vec3 n;
    if (SphereNormal(x, y, ball_cx, ball_cy, ball_r, n)) {
        colour = ShadeSphere(n, Colour{150, 166, 196}, 28, 0.75);
        // Light bounced up from the base keeps the underside from going flat black.
        colour = Add(colour, Scale(Colour{30, 30, 36}, std::max(0.0, n.y) * n.z));
    }
    return colour;
}

Colour DrawRedCross(double x, double y, Colour colour, double w, double h) {
    const double inset = 9, half_width = 6.2;
    const double d = std::min(SegmentDistance(x, y, inset, inset, w - inset, h - inset),
                              SegmentDistance(x, y, w - inset, inset, inset, h - inset));
    if (d < half_width + 1.6) colour = Mix(colour, Colour{255, 255, 255}, 0.75);
    if (d < half_width) colour = Colour{150, 0, 0};
    if (d < half_width - 1.1) colour = Mix(Colour{236, 40, 32}, Colour{196, 16, 16}, d / half_width);
    return colour;
}

// The emblem at centre (cx, cy) with sphere radius r; false where it leaves the point bare.
bool DrawEmblemAt(double x, double y, double cx, double cy, double r, Colour& colour) {
    bool covered = false;
    // The swoosh: a crescent between two ellipses, tilted; thick in front, thin at its
    // tips. The half above the centre passes behind the sphere.
    const double tilt = -0.30;
    const double ux = (x - cx) * std::cos(tilt) + (y - cy) * std::sin(tilt);
    const double uy = -(x - cx) * std::sin(tilt) + (y - cy) * std::cos(tilt);
    const double rx = r * 1.65, ry = r * 0.52;
    auto crescent = [&](double grow) {
        return EllipseDistance(ux, uy, 0, 0, rx + grow, ry + grow) < 1.0 &&
               EllipseDistance(ux, uy, 0, -ry * 0.34, rx * 0.95 - grow, ry * 0.72 - grow) >= 1.0;
    };
    const bool in_swoosh = crescent(0.0);
    auto swoosh_colour = [&] {
        const double along = std::clamp((ux / rx + 1.0) / 2.0, 0.0, 1.0);
        return Mix(Colour{16, 44, 128}, Colour{70, 150, 235}, along);
    };
    if (in_swoosh && uy < 0) {
        colour = swoosh_colour();
        covered = true;
    }

    Vec3 n;
    if (SphereNormal(x, y, cx, cy, r, n)) {
        // Bands of latitude around a tilted axis, so they sweep across the face.
        const Vec3 axis = Normalise({0.45, -1.0, 0.35});
        const double latitude = Dot(n, axis);
        Colour base{28, 92, 210};
        const bool band = (latitude > 0.12 && latitude < 0.34) || (latitude > -0.42 && latitude < -0.2);
        if (band) base = Colour{150, 200, 255};
        colour = ShadeSphere(n, base, 24, 0.7);
        covered = true;
    }

    // A pale seam where the swoosh crosses the sphere keeps the two apart.
    if (covered && !in_swoosh && uy >= 0 && crescent(r * 0.07)) colour = Mix(colour, Colour{255, 255, 255}, 0.8);
    if (in_swoosh && uy >= 0) {
        colour = swoosh_colour();
        covered = true;
    }
    return covered;
}

}  // namespace

RgbImage DrawController(int width, int height, bool crossed_out) {
    RgbImage image = Render(width, height, [=](double x, double y) {
        Colour colour = DrawControllerAt(x, y, FromRgb(kCardColour), width, height);
        if (crossed_out) colour = DrawRedCross(x, y, colour, width, height);
        return Sample{colour, true};
    });
    DrawFrame(image);
    image.opaque.clear();
    return image;
}

RgbImage DrawEmblem(int width, int height, bool transparent) {
    const double cx = width / 2.0, cy = height / 2.0;
    // Without a card around it the emblem may reach the edges.
    const double r = transparent ? std::min(width, height) / 3.4 : std::min(width / 3.9, height / 2.0 - 4.0);
    RgbImage image = Render(width, height, [=](double x, double y) {
        Colour colour = FromRgb(kCardColour);
        const bool covered = DrawEmblemAt(x, y, cx, cy, r, colour);
        return Sample{colour, covered || !transparent};
    });
    if (!transparent) {
        DrawFrame(image);
        image.opaque.clear();
    }
    return image;
}
