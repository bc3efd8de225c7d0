/* Drawing checked views into 8-bit surfaces, clipped exactly. Positions are worked out in long
 * long, so that no x or y, however far off, overflows. */
#include <string.h>

#include "internal.h"

kiv_surface kiv_surface_of(unsigned char* pixels, int width, int height, int pitch) {
    kiv_surface s;
    s.pixels = pixels;
    s.width = width;
    s.height = height;
    s.pitch = pitch;
    s.clip_left = 0;
    s.clip_top = 0;
    s.clip_right = width;
    s.clip_bottom = height;
    return s;
}

/* The clip rectangle cut to the surface; false when nothing can be drawn. */
typedef struct clip {
    long long left, top, right, bottom;
} clip;

static int clip_of(const kiv_surface* s, clip* c) {
    if (s == NULL || s->pixels == NULL || s->width <= 0 || s->height <= 0) return 0;
    c->left = s->clip_left > 0 ? s->clip_left : 0;
    c->top = s->clip_top > 0 ? s->clip_top : 0;
    c->right = s->clip_right < s->width ? s->clip_right : s->width;
    c->bottom = s->clip_bottom < s->height ? s->clip_bottom : s->height;
    return c->left < c->right && c->top < c->bottom;
}

enum mode { PLAIN, MIRRORED, TRANSLATED, BLENDED, LIT };

/* One visible piece of a run: n pixels from src to dst (dst's columns left to right). The
 * pointers never overlap: the sprite, the table and the surface are distinct memory. */
static void put_run(enum mode mode, unsigned char* restrict dst, const unsigned char* restrict src,
                    long long n, const unsigned char* restrict table) {
    long long i = 0;
    switch (mode) {
        case PLAIN:
            memcpy(dst, src, (size_t)n);
            break;
        case MIRRORED: /* src runs right to left */
            for (; i < n; ++i) dst[i] = src[-i];
            break;
        case TRANSLATED:
        case LIT: /* the table is the 256 entries of one translation or shade level */
            for (; i + 4 <= n; i += 4) {
                const unsigned char a = table[src[i]], b = table[src[i + 1]];
                const unsigned char c = table[src[i + 2]], d = table[src[i + 3]];
                dst[i] = a, dst[i + 1] = b, dst[i + 2] = c, dst[i + 3] = d;
            }
            for (; i < n; ++i) dst[i] = table[src[i]];
            break;
        case BLENDED:
            for (; i + 4 <= n; i += 4) {
                const unsigned char a = table[((size_t)src[i] << 8) | dst[i]];
                const unsigned char b = table[((size_t)src[i + 1] << 8) | dst[i + 1]];
                const unsigned char c = table[((size_t)src[i + 2] << 8) | dst[i + 2]];
                const unsigned char d = table[((size_t)src[i + 3] << 8) | dst[i + 3]];
                dst[i] = a, dst[i + 1] = b, dst[i + 2] = c, dst[i + 3] = d;
            }
            for (; i < n; ++i) dst[i] = table[((size_t)src[i] << 8) | dst[i]];
            break;
    }
}

static void draw_sprite(const kiv_surface* surface, const kiv_sprite* sprite, long long x,
                        long long y, enum mode mode, const unsigned char* table) {
    clip c;
    long long first_row, end_row, row;
    size_t at = 0;
    const unsigned char* b;
    if (sprite == NULL || sprite->bytes == NULL || sprite->height <= 0 || !clip_of(surface, &c)) {
        return;
    }
    if ((mode != PLAIN && mode != MIRRORED) && table == NULL) return;
    b = sprite->bytes;
    first_row = c.top - y > 0 ? c.top - y : 0;
    end_row = c.bottom - y < sprite->height ? c.bottom - y : sprite->height;
    if (first_row >= end_row || x >= c.right || x + sprite->width <= c.left) return;
    /* The first row that has runs from the first visible one on. */
    for (row = first_row; row < end_row && at == 0; ++row) {
        at = (size_t)kiv_le32(b + KIV_SPRITE_HEADER + 4 * (size_t)row);
    }
    if (at == 0) return;
    for (;;) {
        const long rx = kiv_le32(b + at), ry = kiv_le32(b + at + 4), length = kiv_le32(b + at + 8);
        const unsigned char* pixels = b + at + KIV_RECORD;
        long long left, right, from, to;
        if (ry >= end_row) break; /* the end record's row 0x8000 too */
        /* The run's columns on the surface, mirrored within the box when asked. */
        left = mode == MIRRORED ? x + sprite->width - rx - length : x + rx;
        right = left + length;
        from = left > c.left ? left : c.left;
        to = right < c.right ? right : c.right;
        if (from < to) {
            unsigned char* dst = surface->pixels + (size_t)((y + ry) * surface->pitch) + from;
            const unsigned char* src =
                mode == MIRRORED ? pixels + (right - 1 - from) : pixels + (from - left);
            put_run(mode, dst, src, to - from, table);
        }
        at += KIV_RECORD + (size_t)length;
    }
}

void kiv_draw_sprite(const kiv_surface* surface, const kiv_sprite* sprite, int x, int y) {
    draw_sprite(surface, sprite, x, y, PLAIN, NULL);
}

void kiv_draw_sprite_mirrored(const kiv_surface* surface, const kiv_sprite* sprite, int x, int y) {
    draw_sprite(surface, sprite, x, y, MIRRORED, NULL);
}

void kiv_draw_sprite_translated(const kiv_surface* surface, const kiv_sprite* sprite, int x, int y,
                                const unsigned char* translation) {
    draw_sprite(surface, sprite, x, y, TRANSLATED, translation);
}

void kiv_draw_sprite_blended(const kiv_surface* surface, const kiv_sprite* sprite, int x, int y,
                             const unsigned char* table) {
    draw_sprite(surface, sprite, x, y, BLENDED, table);
}

void kiv_draw_sprite_lit(const kiv_surface* surface, const kiv_sprite* sprite, int x, int y,
                         const unsigned char* shade, int level) {
    if (shade == NULL || level < 0 || level >= 32) return;
    draw_sprite(surface, sprite, x, y, LIT, shade + (size_t)level * 256);
}

void kiv_draw_picture(const kiv_surface* surface, const kiv_picture* picture, int x, int y) {
    clip c;
    long long from_x, to_x, from_y, to_y, row;
    if (picture == NULL || picture->pixels == NULL || !clip_of(surface, &c)) return;
    from_x = (long long)x > c.left ? x : c.left;
    to_x = (long long)x + picture->width < c.right ? (long long)x + picture->width : c.right;
    from_y = (long long)y > c.top ? y : c.top;
    to_y = (long long)y + picture->height < c.bottom ? (long long)y + picture->height : c.bottom;
    if (from_x >= to_x) return;
    for (row = from_y; row < to_y; ++row) {
        memcpy(surface->pixels + (size_t)(row * surface->pitch) + from_x,
               picture->pixels + (size_t)((row - y) * picture->width + (from_x - x)),
               (size_t)(to_x - from_x));
    }
}

/* The glyph of a code, from a checked font: false for a code without one. */
static int glyph_of(const kiv_font* font, unsigned char code, kiv_sprite* glyph) {
    const long offset = kiv_le32(font->bytes + 4 + 4 * code);
    const unsigned char* at;
    if (offset == -1) return 0;
    at = font->bytes + 1284 + offset;
    glyph->width = (int)kiv_le32(at);
    glyph->height = (int)kiv_le32(at + 4);
    glyph->bytes = at;
    glyph->size = font->size - 1284 - (size_t)offset;
    return 1;
}

static int run_text(const kiv_surface* surface, const kiv_font* font, long long x, long long y,
                    const char* text) {
    long long pen = x, widest = 0;
    const unsigned char* p;
    if (font == NULL || font->bytes == NULL || text == NULL) return 0;
    for (p = (const unsigned char*)text; *p != '\0'; ++p) {
        kiv_sprite glyph;
        if (*p == '\n') {
            if (pen - x > widest) widest = pen - x;
            pen = x;
            y += font->height;
            continue;
        }
        if (!glyph_of(font, *p, &glyph)) continue;
        if (surface != NULL) draw_sprite(surface, &glyph, pen, y, PLAIN, NULL);
        pen += font->bytes[1028 + *p];
    }
    if (pen - x > widest) widest = pen - x;
    return widest > 0x7FFFFFFFLL ? 0x7FFFFFFF : (int)widest;
}

int kiv_draw_text(const kiv_surface* surface, const kiv_font* font, int x, int y,
                  const char* text) {
    return run_text(surface, font, x, y, text);
}

int kiv_text_width(const kiv_font* font, const char* text) {
    return run_text(NULL, font, 0, 0, text);
}

void kiv_to_rgba(const kiv_surface* surface, const kiv_palette* palette, unsigned char* rgba,
                 int rgba_pitch) {
    int row, col;
    if (surface == NULL || surface->pixels == NULL || palette == NULL || rgba == NULL) return;
    for (row = 0; row < surface->height; ++row) {
        const unsigned char* src = surface->pixels + (size_t)row * (size_t)surface->pitch;
        unsigned char* out = rgba + (size_t)row * (size_t)rgba_pitch;
        for (col = 0; col < surface->width; ++col) {
            const unsigned char* colour = palette->colours8 + 3 * (size_t)src[col];
            out[4 * col] = colour[0];
            out[4 * col + 1] = colour[1];
            out[4 * col + 2] = colour[2];
            out[4 * col + 3] = 255;
        }
    }
}
