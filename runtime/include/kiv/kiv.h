/* libkiv: reads kiv archives and draws their items into 8-bit surfaces.
 *
 * Everything a file says is checked once, when an archive is opened or a view is made: every
 * offset, count, row index, span and glyph against the real size of the bytes. Drawing then
 * trusts the views and checks nothing but the clip rectangle, which every drawing function
 * honours exactly at any position.
 *
 * Plain C99, the C library only. No global state: distinct objects may be used from distinct
 * threads at once; an archive and its views are read-only after opening, so one archive may be
 * read from several threads. Nothing is printed; every failure is a status with a message
 * naming the entry and the reason. Bytes are read as bytes, so big-endian hosts read the same.
 */
#ifndef KIV_KIV_H
#define KIV_KIV_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KIV_VERSION_MAJOR 1
#define KIV_VERSION_MINOR 1

/* Status codes: 0 is success. */
enum {
    KIV_OK = 0,
    KIV_ERROR_ARGUMENT = 1, /* a null pointer or a value out of range was passed */
    KIV_ERROR_FILE = 2,     /* the file cannot be opened or read */
    KIV_ERROR_MEMORY = 3,   /* not enough memory */
    KIV_ERROR_FORMAT = 4,   /* the bytes are not what they should be; message says where */
    KIV_ERROR_KIND = 5      /* the entry is a sound item of another kind */
};

typedef struct kiv_status {
    int code;
    char message[256];
} kiv_status; /* code 0: ok */

/* ---- Archives ---------------------------------------------------------------------------- */

typedef struct kiv_archive kiv_archive; /* opaque */

/* Opens an archive held in memory, without copying: the bytes must outlive the archive.
 * Refused (null, with the status) unless the header and the directory are sound: the magic
 * "KIV2.0" and two zero bytes, a count of at least 0, the directory inside the bytes, every
 * entry's length at least 0, the data of every entry with data inside the bytes and behind the
 * directory, every zero-length entry's offset inside the bytes, every name ended by a zero. */
kiv_archive* kiv_open_memory(const void* bytes, size_t size, kiv_status* status);
/* Reads a whole file into memory that the archive owns, then opens it as above. */
kiv_archive* kiv_open_file(const char* path, kiv_status* status);
/* For engines with file systems of their own: size is the archive's size; read copies length
 * bytes from offset into out and returns 0, or returns non-zero on failure. The archive reads
 * the whole file through it once, into memory it owns. */
typedef int (*kiv_read_function)(void* context, size_t offset, void* out, size_t length);
kiv_archive* kiv_open_reader(kiv_read_function read, void* context, size_t size,
                             kiv_status* status);
void kiv_close(kiv_archive* archive); /* null is fine */

int kiv_count(const kiv_archive* archive);
/* The index of the first entry whose name is exactly name (case kept, as stored), or -1. */
int kiv_find(const kiv_archive* archive, const char* name);
/* The entry's bytes and their size (null and 0 for a zero-length entry or a bad index). */
const unsigned char* kiv_item(const kiv_archive* archive, int index, size_t* size);
const char* kiv_name(const kiv_archive* archive, int index); /* "" for a bad index */
long kiv_flags(const kiv_archive* archive, int index);
/* A label is a zero-length entry whose name ends in ':'. */
int kiv_is_label(const kiv_archive* archive, int index);
/* The entries between the label named label (with its ':') and the next label: first receives
 * the index after the label, the result is how many entries follow it; -1 without the label. */
int kiv_group(const kiv_archive* archive, const char* label, int* first);

/* ---- Surfaces ---------------------------------------------------------------------------- */

typedef struct kiv_surface {
    unsigned char* pixels;
    int width, height, pitch;
    int clip_left, clip_top, clip_right, clip_bottom;
} kiv_surface; /* clip_right and clip_bottom are exclusive */

/* A surface over pixels with the clip rectangle its whole area. */
kiv_surface kiv_surface_of(unsigned char* pixels, int width, int height, int pitch);

/* ---- Item views: each checked once against its bytes ------------------------------------- */
/* Each view of an archive's entry has a _from_bytes twin over bytes of the caller's, with the
 * same checks; the bytes must outlive the view. */

/* The palette: 256 colours, 6-bit components (0 to 63), red first; colours8 holds the 8-bit
 * colours v * 4 + v / 16 that kivtool render shows. */
typedef struct kiv_palette {
    unsigned char colours6[768];
    unsigned char colours8[768];
} kiv_palette;
int kiv_palette_view(const kiv_archive* archive, int index, kiv_palette* palette,
                     kiv_status* status);
int kiv_palette_from_bytes(const unsigned char* bytes, size_t size, kiv_palette* palette,
                           kiv_status* status);

/* A packed sprite (PACKED or PACKEDC): width and height of its stored box; an empty sprite has
 * height 0 and draws nothing. */
typedef struct kiv_sprite {
    int width, height;
    const unsigned char* bytes;
    size_t size;
} kiv_sprite;
int kiv_sprite_view(const kiv_archive* archive, int index, kiv_sprite* sprite, kiv_status* status);
/* The same over bytes of the caller's (a glyph, an item from elsewhere). */
int kiv_sprite_from_bytes(const unsigned char* bytes, size_t size, kiv_sprite* sprite,
                          kiv_status* status);
/* The number of runs of a checked sprite; cropped receives 1 for a PACKEDC sprite (its end
 * record's length is 0), 0 for PACKED. */
int kiv_sprite_runs(const kiv_sprite* sprite, int* cropped);

/* A rectangle of palette indices, drawn opaque: a texture (its header gives the size) or a raw
 * item (the caller gives the width; whole rows only). */
typedef struct kiv_picture {
    int width, height;
    const unsigned char* pixels; /* width * height, row after row */
} kiv_picture;
int kiv_texture_view(const kiv_archive* archive, int index, kiv_picture* texture,
                     kiv_status* status);
int kiv_texture_from_bytes(const unsigned char* bytes, size_t size, kiv_picture* texture,
                           kiv_status* status);
int kiv_raw_view(const kiv_archive* archive, int index, int width, kiv_picture* raw,
                 kiv_status* status);

/* A proportional font: the glyph height and, per byte code, a glyph or none. */
typedef struct kiv_font {
    int height;
    const unsigned char* bytes;
    size_t size;
} kiv_font;
int kiv_font_view(const kiv_archive* archive, int index, kiv_font* font, kiv_status* status);
int kiv_font_from_bytes(const unsigned char* bytes, size_t size, kiv_font* font,
                        kiv_status* status);
/* The glyph sprite of a code: 1, or 0 for a code without glyph. */
int kiv_glyph(const kiv_font* font, unsigned char code, kiv_sprite* glyph);
/* The width of a code's glyph cell, 0 for a code without glyph. */
int kiv_glyph_width(const kiv_font* font, unsigned char code);

/* The shading table: 32 levels of 256 entries, level 0 the brightest. */
typedef struct kiv_shade {
    const unsigned char* levels; /* 32 * 256 */
} kiv_shade;
int kiv_shade_view(const kiv_archive* archive, int index, kiv_shade* shade, kiv_status* status);
int kiv_shade_from_bytes(const unsigned char* bytes, size_t size, kiv_shade* shade,
                         kiv_status* status);

/* Blend tables: levels tables of 65,536 entries, dst = table[sprite * 256 + dst]. */
typedef struct kiv_blend {
    int levels;
    const unsigned char* tables;
} kiv_blend;
int kiv_blend_view(const kiv_archive* archive, int index, kiv_blend* blend, kiv_status* status);
int kiv_blend_from_bytes(const unsigned char* bytes, size_t size, kiv_blend* blend,
                         kiv_status* status);
const unsigned char* kiv_blend_level(const kiv_blend* blend, int level); /* null if out of range */

/* ---- Drawing into 8-bit surfaces --------------------------------------------------------- */
/* A sprite or picture is drawn with the top-left corner of its stored box at x, y; index 0 of
 * a sprite is transparent. Every function draws only inside the surface's clip rectangle (itself
 * cut to the surface), at any x and y, however far off. */

void kiv_draw_sprite(const kiv_surface* surface, const kiv_sprite* sprite, int x, int y);
/* Mirrored left to right within its box. */
void kiv_draw_sprite_mirrored(const kiv_surface* surface, const kiv_sprite* sprite, int x, int y);
/* Each pixel through a 256-byte translation (palette swaps): dst = translation[sprite]. */
void kiv_draw_sprite_translated(const kiv_surface* surface, const kiv_sprite* sprite, int x, int y,
                                const unsigned char* translation);
void kiv_draw_sprite_blended(const kiv_surface* surface, const kiv_sprite* sprite, int x, int y,
                             const unsigned char* table); /* dst = table[sprite * 256 + dst] */
void kiv_draw_sprite_lit(const kiv_surface* surface, const kiv_sprite* sprite, int x, int y,
                         const unsigned char* shade, int level); /* dst = shade[level*256+sprite] */
void kiv_draw_picture(const kiv_surface* surface, const kiv_picture* picture, int x, int y);

/* Text: each byte's glyph with its cell's top-left corner at the pen, then the pen moves right
 * by the glyph's width; bytes without a glyph are skipped and move nothing; a newline starts
 * the next line at x, one glyph height lower. Both return the advance: the widest line's. */
int kiv_draw_text(const kiv_surface* surface, const kiv_font* font, int x, int y, const char* text);
int kiv_text_width(const kiv_font* font, const char* text);

/* width * height pixels of an 8-bit surface to 32-bit RGBA (bytes red, green, blue, alpha 255),
 * rgba_pitch bytes a row, through a palette's 8-bit colours. */
void kiv_to_rgba(const kiv_surface* surface, const kiv_palette* palette, unsigned char* rgba,
                 int rgba_pitch);

#ifdef __cplusplus
}
#endif

#endif /* KIV_KIV_H */
