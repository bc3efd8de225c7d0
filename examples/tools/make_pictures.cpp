// Draws the example project's pictures: make-example-pictures <folder>
//   sheet.pcx  a 320 × 200 sprite and texture sheet
//   font.pcx   a font sheet: markers in column 0, glyphs in bands
#include <cmath>
#include <cstdio>
#include <string>

#include "support/pcx_writer.h"

using kivtest::PcxPicture;

namespace {

// Fifteen colour ramps of sixteen entries, bright to dark, then a few fixed colours.
std::array<uint8_t, 768> gamePalette() {
    const int hues[15][3] = {{255, 255, 255}, {255, 64, 64},  {64, 255, 64},  {255, 220, 64},
                             {64, 128, 255},  {255, 128, 0},  {200, 64, 255}, {64, 255, 255},
                             {255, 160, 200}, {160, 110, 60}, {128, 200, 64}, {255, 255, 128},
                             {100, 100, 160}, {200, 40, 40},  {90, 160, 120}};
    std::array<uint8_t, 768> pal{};
    for (int ramp = 0; ramp < 15; ++ramp) {
        for (int j = 0; j < 16; ++j) {
            double level = (16.0 - j) / 16.0;
            if (j >= 14) level = 0.02 * (16 - j);  // the two darkest entries end the ramp
            for (int c = 0; c < 3; ++c) {
                pal[3 * (ramp * 16 + j) + c] =
                    static_cast<uint8_t>(std::lround(hues[ramp][c] * level));
            }
        }
    }
    const int fixed[16][3] = {{0, 0, 0},       {40, 40, 40},    {80, 80, 80},  {120, 120, 120},
                              {160, 160, 160}, {200, 200, 200}, {0, 0, 128},   {0, 128, 0},
                              {128, 0, 0},     {128, 128, 0},   {0, 128, 128}, {128, 0, 128},
                              {255, 0, 255},   {0, 255, 0},     {90, 90, 90},  {255, 0, 0}};
    for (int i = 0; i < 16; ++i) {
        for (int c = 0; c < 3; ++c) pal[3 * (240 + i) + c] = static_cast<uint8_t>(fixed[i][c]);
    }
    pal[0] = pal[1] = pal[2] = 0;  // index 0: transparent black
    return pal;
}

void disc(PcxPicture& p, int cx, int cy, int r, int ramp) {
    for (int y = cy - r; y <= cy + r; ++y) {
        for (int x = cx - r; x <= cx + r; ++x) {
            int d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            if (d2 <= r * r)
                p.at(x, y) = static_cast<uint8_t>(ramp * 16 + std::min(13, d2 * 13 / (r * r)));
        }
    }
}

PcxPicture sheet() {
    PcxPicture p = kivtest::blankPicture(320, 200);
    p.palette = gamePalette();
    disc(p, 15, 15, 13, 3);             // hero: cells 0,0 4×4
    p.at(10, 11) = p.at(20, 11) = 241;  // eyes
    for (int y = 0; y < 24; ++y) {      // gem: cells 4,0 4×4, drawn off-centre
        for (int x = 0; x < 24; ++x) {
            if (std::abs(x - 12) + std::abs(y - 12) <= 11) {
                p.at(36 + x, 6 + y) =
                    static_cast<uint8_t>(7 * 16 + (std::abs(x - 12) + std::abs(y - 12)) / 2);
            }
        }
    }
    for (int y = 0; y < 16; ++y) {  // ring with a hole: cells 8,0 2×2
        for (int x = 0; x < 16; ++x) {
            int d2 = (x - 8) * (x - 8) + (y - 8) * (y - 8);
            if (d2 <= 49 && d2 >= 9) p.at(64 + x, y) = static_cast<uint8_t>(16 + (x + y) % 8);
        }
    }
    for (int y = 64; y < 128; ++y) {  // brick texture: cells 0,8 8×8
        for (int x = 0; x < 64; ++x) {
            bool mortar = (y % 16 == 15) || ((x + ((y / 16) % 2) * 8) % 16 == 15);
            p.at(x, y) = static_cast<uint8_t>(mortar ? 244 : 9 * 16 + 4 + (x * 7 + y * 3) % 5);
        }
    }
    for (int y = 64; y < 128; ++y) {  // floor texture: cells 8,8 8×8
        for (int x = 64; x < 128; ++x) {
            p.at(x, y) = static_cast<uint8_t>(((x / 8 + y / 8) % 2) ? 4 * 16 + 3 : 12 * 16 + 5);
        }
    }
    for (int y = 136; y < 200; ++y) {  // sky strip: cells 0,17 40×8
        for (int x = 0; x < 320; ++x) p.at(x, y) = static_cast<uint8_t>(4 * 16 + (y - 136) / 5);
    }
    return p;
}

// Glyph shapes of a 5 × 7 font for the characters A to H and a few signs.
const char* const kGlyphs[][7] = {
    {" ### ", "#   #", "#   #", "#####", "#   #", "#   #", "#   #"},  // A
    {"#### ", "#   #", "#### ", "#   #", "#   #", "#   #", "#### "},  // B
    {" ####", "#    ", "#    ", "#    ", "#    ", "#    ", " ####"},  // C
    {"#### ", "#   #", "#   #", "#   #", "#   #", "#   #", "#### "},  // D
    {"#####", "#    ", "#### ", "#    ", "#    ", "#    ", "#####"},  // E
    {"#####", "#    ", "#### ", "#    ", "#    ", "#    ", "#    "},  // F
    {" ####", "#    ", "#  ##", "#   #", "#   #", "#   #", " ####"},  // G
    {"#   #", "#   #", "#####", "#   #", "#   #", "#   #", "#   #"},  // H
};

PcxPicture glyphSheet() {
    PcxPicture p = kivtest::blankPicture(64, 20);
    p.palette = gamePalette();
    p.at(0, 0) = 255;  // top marker
    p.at(0, 8) = 255;  // bottom marker: glyphs 7 rows high, bands at rows 1 and 9
    int x = 2, band = 1, code = 'A';
    for (const auto& glyph : kGlyphs) {
        int w = static_cast<int>(std::string(glyph[0]).size());
        if (x + w + 1 > p.width) {
            x = 2;
            band += 8;
        }
        for (int r = 0; r < 7; ++r) {
            for (int c = 0; c < w; ++c) {
                if (glyph[r][c] == '#') p.at(x + c, band + r) = static_cast<uint8_t>(16 * 5 + r);
            }
        }
        // A spacer pixel widens the C cell by one transparent column.
        if (code++ == 'C') p.at(x + w++, band + 6) = 254;
        x += w + 1;
    }
    return p;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = argc > 1 ? argv[1] : ".";
    kivtest::writePcx(folder + "/sheet.pcx", sheet());
    kivtest::writePcx(folder + "/font.pcx", glyphSheet());
    std::printf("wrote %s/sheet.pcx and %s/font.pcx\n", folder.c_str(), folder.c_str());
    return 0;
}
