#include "scene.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace demo {
namespace {

// 5x7 glyphs, one byte a row, bit 4 the leftmost column: just the characters
// the overlay uses.
struct Glyph {
    char c;
    unsigned char rows[7];
};
constexpr Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}}, {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}}, {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}}, {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}}, {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
};

struct Canvas {
    std::vector<unsigned char>& rgb;
    unsigned width, height;
    void put(int x, int y, unsigned char r, unsigned char g, unsigned char b) {
        if (x < 0 || y < 0 || x >= static_cast<int>(width) || y >= static_cast<int>(height)) return;
        unsigned char* p = &rgb[(static_cast<size_t>(y) * width + static_cast<size_t>(x)) * 3];
        p[0] = r, p[1] = g, p[2] = b;
    }
};

void text(Canvas& c, int x, int y, unsigned scale, char const* s) {
    for (; *s; ++s, x += static_cast<int>(6 * scale)) {
        for (Glyph const& g : kFont) {
            if (g.c != *s) continue;
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (g.rows[row] & (0x10 >> col))
                        for (unsigned dy = 0; dy < scale; ++dy)
                            for (unsigned dx = 0; dx < scale; ++dx)
                                c.put(x + col * static_cast<int>(scale) + static_cast<int>(dx),
                                      y + row * static_cast<int>(scale) + static_cast<int>(dy), 255, 255, 255);
        }
    }
}

// Position along a path that goes back and forth over `span` pixels.
int bounce(uint64_t travelled, unsigned span) {
    if (span == 0) return 0;
    uint64_t const p = travelled % (2 * span);
    return static_cast<int>(p < span ? p : 2 * span - p);
}

} // namespace

void drawScene(std::vector<unsigned char>& rgb, unsigned width, unsigned height, unsigned camera, uint64_t movingMs,
               uint64_t wallMs, uint32_t frame) {
    rgb.resize(static_cast<size_t>(width) * height * 3);
    Canvas c{rgb, width, height};
    static constexpr unsigned char kBars[7][3] = {{192, 192, 192}, {192, 192, 0}, {0, 192, 192}, {0, 192, 0},
                                                  {192, 0, 192},   {192, 0, 0},   {0, 0, 192}};
    unsigned const barsEnd = height * 3 / 4;
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            if (y < kOverlayRows) {
                c.put(static_cast<int>(x), static_cast<int>(y), 16, 16, 16);
            } else if (y < barsEnd) {
                // Camera 2 shows the bars in the other order, so the two pictures differ at a glance.
                unsigned bar = x * 7 / width;
                if (camera == 2) bar = 6 - bar;
                c.put(static_cast<int>(x), static_cast<int>(y), kBars[bar][0], kBars[bar][1], kBars[bar][2]);
            } else {
                auto const v = static_cast<unsigned char>(x * 255 / (width ? width : 1));
                c.put(static_cast<int>(x), static_cast<int>(y), v, v, v);
            }
        }
    }
    // The ball: 120 px/s, camera 1 across the picture, camera 2 up and down.
    unsigned const r = height / 10 + 4;
    uint64_t const travelled = movingMs * 120 / 1000;
    int cx, cy;
    if (camera == 1) {
        cx = static_cast<int>(r) + bounce(travelled, width - 2 * r);
        cy = static_cast<int>((kOverlayRows + barsEnd) / 2);
    } else {
        cx = static_cast<int>(width / 2);
        cy = static_cast<int>(kOverlayRows + r) + bounce(travelled, height - kOverlayRows - 2 * r);
    }
    int const rr = static_cast<int>(r * r);
    for (int dy = -static_cast<int>(r); dy <= static_cast<int>(r); ++dy)
        for (int dx = -static_cast<int>(r); dx <= static_cast<int>(r); ++dx) {
            int const d = dx * dx + dy * dy;
            if (d <= rr) {
                bool const rim = d > rr - 4 * static_cast<int>(r);
                c.put(cx + dx, cy + dy, rim ? 0 : 255, rim ? 0 : 128, rim ? 0 : 0);
            }
        }

    std::time_t const seconds = static_cast<std::time_t>(wallMs / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char line[64];
    std::snprintf(line, sizeof line, "CAM %u %04d-%02d-%02d %02d:%02d:%02d.%u UTC #%u", camera, tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<unsigned>(wallMs % 1000 / 100),
                  static_cast<unsigned>(frame));
    unsigned const scale = width >= 960 ? 3 : width >= 480 ? 2 : 1;
    text(c, 8, static_cast<int>((kOverlayRows - 7 * scale) / 2), scale, line);
}

} // namespace demo
