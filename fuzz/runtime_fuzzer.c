/* libFuzzer entry for libkiv: the first eight bytes choose positions and a clip rectangle, the
 * rest is opened as an archive. Every item is viewed as every kind and drawn in every way; a
 * draw may change only the pixels inside the clip rectangle of a surface that lies in a larger
 * buffer, so a write between rows or past the surface is caught too. */
#include <stdlib.h>
#include <string.h>

#include "kiv/kiv.h"

enum { WIDTH = 24, HEIGHT = 20, PITCH = 32, GUARD = 2 };

static unsigned char buffer[PITCH * (HEIGHT + 2 * GUARD)];
static unsigned char before[sizeof buffer];
static unsigned char table[65536];

/* Everything outside the clip rectangle is as it was. */
static void check(const kiv_surface* s) {
    int i;
    for (i = 0; i < (int)sizeof buffer; ++i) {
        const int row = i / PITCH - GUARD, col = i % PITCH;
        const int inside = row >= s->clip_top && row < s->clip_bottom && col >= s->clip_left &&
                           col < s->clip_right && row >= 0 && row < HEIGHT && col < WIDTH;
        if (!inside && buffer[i] != before[i]) abort();
    }
}

static int position(unsigned char byte) {
    /* Mostly near the surface, sometimes far off either way. */
    return byte >= 250 ? (byte & 1 ? 2000000000 : -2000000000) : (int)byte - 60;
}

int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    kiv_archive* archive;
    kiv_surface s;
    int i;
    if (size < 8) return 0;
    archive = kiv_open_memory(data + 8, size - 8, NULL);
    if (archive == NULL) return 0;
    for (i = 0; i < (int)sizeof table; ++i) table[i] = (unsigned char)(i * 31 + (i >> 8));
    memset(buffer, 0xA5, sizeof buffer);
    s = kiv_surface_of(buffer + GUARD * PITCH, WIDTH, HEIGHT, PITCH);
    s.clip_left = (signed char)data[2] / 4;
    s.clip_top = (signed char)data[3] / 4;
    s.clip_right = data[4] / 8;
    s.clip_bottom = data[5] / 8;
    memcpy(before, buffer, sizeof buffer);
    for (i = 0; i < kiv_count(archive); ++i) {
        const int x = position(data[0]) + i, y = position(data[1]) - i;
        kiv_sprite sprite;
        kiv_picture picture;
        kiv_font font;
        kiv_palette palette;
        kiv_shade shade;
        kiv_blend blend;
        size_t n;
        (void)kiv_item(archive, i, &n);
        (void)kiv_is_label(archive, i);
        if (kiv_sprite_view(archive, i, &sprite, NULL) == KIV_OK) {
            kiv_draw_sprite(&s, &sprite, x, y);
            kiv_draw_sprite_mirrored(&s, &sprite, y, x);
            kiv_draw_sprite_translated(&s, &sprite, x, x, table);
            kiv_draw_sprite_blended(&s, &sprite, y, y, table);
            kiv_draw_sprite_lit(&s, &sprite, x + 3, y, table, data[6] % 33);
        }
        if (kiv_texture_view(archive, i, &picture, NULL) == KIV_OK)
            kiv_draw_picture(&s, &picture, x, y);
        if (kiv_raw_view(archive, i, 1 + data[7] % 40, &picture, NULL) == KIV_OK) {
            kiv_draw_picture(&s, &picture, y, x);
        }
        if (kiv_font_view(archive, i, &font, NULL) == KIV_OK) {
            char text[64];
            int k;
            for (k = 0; k < 63; ++k) text[k] = (char)(data[k % 8] + k * 7);
            text[63] = '\0';
            (void)kiv_text_width(&font, text);
            kiv_draw_text(&s, &font, x, y, text);
        }
        (void)kiv_palette_view(archive, i, &palette, NULL);
        (void)kiv_shade_view(archive, i, &shade, NULL);
        if (kiv_blend_view(archive, i, &blend, NULL) == KIV_OK) (void)kiv_blend_level(&blend, 0);
    }
    check(&s);
    (void)kiv_find(archive, "hero");
    (void)kiv_group(archive, "LEVEL1:", &i);
    kiv_close(archive);
    return 0;
}
