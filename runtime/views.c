/* Item views: each item is checked once against its bytes, with the rules kiv's own readers
 * apply, so that drawing needs no check but the clip rectangle. */
#include <stdio.h>
#include <string.h>

#include "internal.h"

const unsigned char* kiv_entry_bytes(const kiv_archive* archive, int index, size_t* size,
                                     kiv_status* status);

#define FONT_HEADER 1284
#define SHADE_BYTES (32 * 256)
#define BLEND_LEVEL 65536L
#define LIMIT (1L << 24) /* no width or height of an item comes near this */

/* The entry's bytes, with "entry N (name): " before any reason a check gives. */
#define ENTRY_OR_FAIL(bytes, size)                                               \
    size_t size = 0;                                                             \
    const unsigned char* bytes = kiv_entry_bytes(archive, index, &size, status); \
    if (bytes == NULL) return status != NULL ? status->code : KIV_ERROR_ARGUMENT

static int entry_fail(const kiv_archive* archive, int index, kiv_status* status, int code,
                      const char* what) {
    return kiv_fail(status, code, "entry %d (%s): %s", index + 1, kiv_name(archive, index), what);
}
static int name_failure(const kiv_archive* archive, int index, kiv_status* status, int code) {
    /* A reason already in the status gets the entry in front of it. */
    char reason[sizeof status->message];
    if (status == NULL) return code;
    memcpy(reason, status->message, sizeof reason);
    return entry_fail(archive, index, status, code, reason);
}

int kiv_palette_from_bytes(const unsigned char* bytes, size_t size, kiv_palette* palette,
                           kiv_status* status) {
    size_t i;
    if (bytes == NULL || palette == NULL) {
        return kiv_fail(status, KIV_ERROR_ARGUMENT, "no bytes or no palette given");
    }
    if (size != 768) {
        return kiv_fail(status, KIV_ERROR_KIND,
                        "not a palette item (768 bytes of values up to 63)");
    }
    for (i = 0; i < 768; ++i) {
        if (bytes[i] > 63)
            return kiv_fail(status, KIV_ERROR_KIND, "not a palette item: a value above 63");
        palette->colours6[i] = bytes[i];
        palette->colours8[i] = (unsigned char)(bytes[i] * 4 + bytes[i] / 16);
    }
    return kiv_succeed(status);
}

int kiv_sprite_from_bytes(const unsigned char* bytes, size_t size, kiv_sprite* sprite,
                          kiv_status* status) {
    long width, height, kind, row = -1, previous_y = -1, previous_end = 0;
    size_t at, index_end;
    if (bytes == NULL || sprite == NULL) {
        return kiv_fail(status, KIV_ERROR_ARGUMENT, "no bytes or no sprite given");
    }
    if (size < KIV_SPRITE_HEADER) {
        return kiv_fail(status, KIV_ERROR_KIND, "%lu bytes: shorter than a sprite's header",
                        (unsigned long)size);
    }
    width = kiv_le32(bytes);
    height = kiv_le32(bytes + 4);
    kind = kiv_le32(bytes + 8);
    if (kind != 0) return kiv_fail(status, KIV_ERROR_KIND, "not a sprite (kind %ld)", kind);
    if (width < 0 || width > LIMIT || height < 0 || height > LIMIT) {
        return kiv_fail(status, KIV_ERROR_FORMAT, "a sprite of %ld x %ld", width, height);
    }
    sprite->width = (int)width;
    sprite->height = (int)height;
    sprite->bytes = bytes;
    sprite->size = size;
    if (height == 0) return kiv_succeed(status); /* no runs: nothing to draw */
    if ((size_t)height > (size - KIV_SPRITE_HEADER) / 4) {
        return kiv_fail(status, KIV_ERROR_FORMAT, "the row index of %ld rows passes the end",
                        height);
    }
    index_end = KIV_SPRITE_HEADER + 4 * (size_t)height;
    /* The records: each inside the bytes and the box, rows in order, runs of a row left to
     * right; each row index entry the offset of its row's first record, or 0 for a row
     * without one. Every record takes at least 12 bytes, so the walk ends. */
    for (at = index_end;;) {
        long x, y, length;
        if (size - at < KIV_RECORD) {
            return kiv_fail(status, KIV_ERROR_FORMAT, "a span record at %lu passes the end",
                            (unsigned long)at);
        }
        x = kiv_le32(bytes + at);
        y = kiv_le32(bytes + at + 4);
        length = kiv_le32(bytes + at + 8);
        if (y == KIV_END_ROW) {
            if (x != 0 || (length != 0 && length != -1)) {
                return kiv_fail(status, KIV_ERROR_FORMAT, "a bad end record at %lu",
                                (unsigned long)at);
            }
            sprite->size = at + KIV_RECORD;
            break;
        }
        if (length < 1 || x < 0 || y < 0 || y >= height || x > width - length) {
            return kiv_fail(status, KIV_ERROR_FORMAT,
                            "the span at %lu (x %ld, y %ld, length %ld) leaves the %ld x %ld box",
                            (unsigned long)at, x, y, length, width, height);
        }
        if ((size_t)length > size - at - KIV_RECORD) {
            return kiv_fail(status, KIV_ERROR_FORMAT, "the span at %lu passes the end",
                            (unsigned long)at);
        }
        if (y < previous_y || (y == previous_y && x < previous_end)) {
            return kiv_fail(status, KIV_ERROR_FORMAT, "the span at %lu is out of order",
                            (unsigned long)at);
        }
        if (y != previous_y) {
            /* Rows between the last one with runs and this one have none. */
            for (++row; row <= y; ++row) {
                const long entry = kiv_le32(bytes + KIV_SPRITE_HEADER + 4 * (size_t)row);
                if (entry != (row == y ? (long)at : 0)) {
                    return kiv_fail(status, KIV_ERROR_FORMAT, "row index entry %ld is %ld, not %ld",
                                    row, entry, row == y ? (long)at : 0L);
                }
            }
            row = y;
        }
        previous_y = y;
        previous_end = x + length;
        at += KIV_RECORD + (size_t)length;
    }
    for (++row; row < height; ++row) {
        if (kiv_le32(bytes + KIV_SPRITE_HEADER + 4 * (size_t)row) != 0) {
            return kiv_fail(status, KIV_ERROR_FORMAT, "row index entry %ld points at no run", row);
        }
    }
    if (previous_y < 0) sprite->height = 0; /* rows, but not one run */
    return kiv_succeed(status);
}

int kiv_sprite_runs(const kiv_sprite* sprite, int* cropped) {
    size_t at;
    int runs = 0;
    if (cropped != NULL) *cropped = 0;
    if (sprite == NULL || sprite->bytes == NULL || sprite->height <= 0) return 0;
    /* Checked when the view was made: the records end in the end record. */
    for (at = KIV_SPRITE_HEADER + 4 * (size_t)sprite->height;
         kiv_le32(sprite->bytes + at + 4) != KIV_END_ROW;
         at += KIV_RECORD + (size_t)kiv_le32(sprite->bytes + at + 8)) {
        ++runs;
    }
    if (cropped != NULL) *cropped = kiv_le32(sprite->bytes + at + 8) == 0;
    return runs;
}

int kiv_texture_from_bytes(const unsigned char* bytes, size_t size, kiv_picture* texture,
                           kiv_status* status) {
    long width, height;
    if (bytes == NULL || texture == NULL) {
        return kiv_fail(status, KIV_ERROR_ARGUMENT, "no bytes or no texture given");
    }
    if (size < 12 || kiv_le32(bytes + 8) != 1)
        return kiv_fail(status, KIV_ERROR_KIND, "not a texture");
    width = kiv_le32(bytes);
    height = kiv_le32(bytes + 4);
    if (width < 1 || height < 1 || width > LIMIT || height > LIMIT ||
        (size - 12) / (size_t)width < (size_t)height ||
        (size - 12) != (size_t)width * (size_t)height) {
        return kiv_fail(status, KIV_ERROR_FORMAT,
                        "a texture whose size is not its width times its height");
    }
    texture->width = (int)width;
    texture->height = (int)height;
    texture->pixels = bytes + 12;
    return kiv_succeed(status);
}

int kiv_raw_view(const kiv_archive* archive, int index, int width, kiv_picture* raw,
                 kiv_status* status) {
    ENTRY_OR_FAIL(bytes, size);
    if (raw == NULL || width < 1) {
        return kiv_fail(status, KIV_ERROR_ARGUMENT, "a width of at least 1 is needed");
    }
    if (size / (size_t)width < 1 || size / (size_t)width > (size_t)LIMIT) {
        return entry_fail(archive, index, status, KIV_ERROR_FORMAT,
                          "fewer bytes than one row, or too many rows");
    }
    raw->width = width;
    raw->height = (int)(size / (size_t)width);
    raw->pixels = bytes;
    return kiv_succeed(status);
}

int kiv_font_from_bytes(const unsigned char* bytes, size_t size, kiv_font* font,
                        kiv_status* status) {
    long height;
    int code;
    if (bytes == NULL || font == NULL) {
        return kiv_fail(status, KIV_ERROR_ARGUMENT, "no bytes or no font given");
    }
    if (size < FONT_HEADER) {
        return kiv_fail(status, KIV_ERROR_KIND, "not a font (shorter than its 1,284-byte header)");
    }
    height = kiv_le32(bytes);
    if (height < 0 || height > LIMIT) {
        return kiv_fail(status, KIV_ERROR_FORMAT, "a glyph height of %ld", height);
    }
    for (code = 0; code < 256; ++code) {
        const long offset = kiv_le32(bytes + 4 + 4 * code);
        const int width = bytes[1028 + code];
        kiv_sprite glyph;
        if (offset == -1) continue;
        if (offset < 0 || (size_t)offset >= size - FONT_HEADER ||
            kiv_sprite_from_bytes(bytes + FONT_HEADER + offset, size - FONT_HEADER - (size_t)offset,
                                  &glyph, NULL) != KIV_OK ||
            glyph.width != width || (glyph.height != 0 && glyph.height != height)) {
            return kiv_fail(status, KIV_ERROR_FORMAT,
                            "the glyph of code %d at %ld is not a sprite %d wide and %ld high",
                            code, offset, width, height);
        }
    }
    font->height = (int)height;
    font->bytes = bytes;
    font->size = size;
    return kiv_succeed(status);
}

int kiv_glyph(const kiv_font* font, unsigned char code, kiv_sprite* glyph) {
    long offset;
    if (font == NULL || font->bytes == NULL || glyph == NULL) return 0;
    offset = kiv_le32(font->bytes + 4 + 4 * code);
    if (offset == -1) return 0;
    /* Checked when the font was viewed. */
    return kiv_sprite_from_bytes(font->bytes + FONT_HEADER + offset,
                                 font->size - FONT_HEADER - (size_t)offset, glyph, NULL) == KIV_OK;
}

int kiv_glyph_width(const kiv_font* font, unsigned char code) {
    if (font == NULL || font->bytes == NULL) return 0;
    return kiv_le32(font->bytes + 4 + 4 * code) == -1 ? 0 : font->bytes[1028 + code];
}

int kiv_shade_from_bytes(const unsigned char* bytes, size_t size, kiv_shade* shade,
                         kiv_status* status) {
    if (bytes == NULL || shade == NULL) {
        return kiv_fail(status, KIV_ERROR_ARGUMENT, "no bytes or no shade table given");
    }
    if (size != SHADE_BYTES) {
        return kiv_fail(status, KIV_ERROR_KIND, "not a shading table (32 x 256 bytes)");
    }
    shade->levels = bytes;
    return kiv_succeed(status);
}

int kiv_blend_from_bytes(const unsigned char* bytes, size_t size, kiv_blend* blend,
                         kiv_status* status) {
    if (bytes == NULL || blend == NULL) {
        return kiv_fail(status, KIV_ERROR_ARGUMENT, "no bytes or no blend view given");
    }
    if (size == 0 || size % BLEND_LEVEL != 0 || size / BLEND_LEVEL > 0x7FFF) {
        return kiv_fail(status, KIV_ERROR_KIND,
                        "not blend tables (a whole number of 65,536-byte levels)");
    }
    blend->levels = (int)(size / BLEND_LEVEL);
    blend->tables = bytes;
    return kiv_succeed(status);
}

const unsigned char* kiv_blend_level(const kiv_blend* blend, int level) {
    if (blend == NULL || level < 0 || level >= blend->levels) return NULL;
    return blend->tables + (size_t)level * BLEND_LEVEL;
}

/* The view of an archive's entry: its bytes through the _from_bytes check, the entry named in
 * front of any reason. */
#define ARCHIVE_VIEW(kind, type)                                                                   \
    int kiv_##kind##_view(const kiv_archive* archive, int index, type* view, kiv_status* status) { \
        int code;                                                                                  \
        ENTRY_OR_FAIL(bytes, size);                                                                \
        code = kiv_##kind##_from_bytes(bytes, size, view, status);                                 \
        return code == KIV_OK ? code : name_failure(archive, index, status, code);                 \
    }

ARCHIVE_VIEW(palette, kiv_palette)
ARCHIVE_VIEW(sprite, kiv_sprite)
ARCHIVE_VIEW(texture, kiv_picture)
ARCHIVE_VIEW(font, kiv_font)
ARCHIVE_VIEW(shade, kiv_shade)
ARCHIVE_VIEW(blend, kiv_blend)
