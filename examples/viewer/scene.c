#include "scene.h"

#include <string.h>

int scene_load(scene* s, const kiv_archive* archive, kiv_status* status) {
    int i;
    memset(s, 0, sizeof *s);
    for (i = 0; i < kiv_count(archive); ++i) {
        kiv_sprite sprite;
        kiv_picture texture;
        if (kiv_sprite_view(archive, i, &sprite, NULL) == KIV_OK) {
            if (sprite.height > 0 && s->sprite_count < 16) s->sprites[s->sprite_count++] = sprite;
        } else if (kiv_texture_view(archive, i, &texture, NULL) == KIV_OK) {
            if (s->texture_count < 8) s->textures[s->texture_count++] = texture;
        } else if (!s->has_font && kiv_font_view(archive, i, &s->font, NULL) == KIV_OK) {
            s->has_font = 1;
        } else if (!s->has_palette && kiv_palette_view(archive, i, &s->palette, NULL) == KIV_OK) {
            s->has_palette = 1;
        } else if (!s->has_shade && kiv_shade_view(archive, i, &s->shade, NULL) == KIV_OK) {
            s->has_shade = 1;
        } else if (!s->has_blend && kiv_blend_view(archive, i, &s->blend, NULL) == KIV_OK) {
            s->has_blend = 1;
        }
    }
    if (!s->has_palette) {
        status->code = KIV_ERROR_KIND;
        strcpy(status->message, "the archive holds no palette item");
        return status->code;
    }
    status->code = KIV_OK;
    status->message[0] = '\0';
    return KIV_OK;
}

void scene_draw(const scene* s, const kiv_surface* surface, int frame) {
    int i, x, y;
    memset(surface->pixels, 0, (size_t)surface->pitch * (size_t)surface->height);
    /* The floor: the textures tiled in the lower half. */
    for (i = 0; s->texture_count > 0 && i < 64; ++i) {
        const kiv_picture* t = &s->textures[i % s->texture_count];
        x = (i % 8) * 40 - (frame % 40);
        y = 100 + (i / 8) * 32;
        kiv_draw_picture(surface, t, x, y);
    }
    /* Sprites walking across, the odd ones back the other way, mirrored. */
    for (i = 0; i < s->sprite_count; ++i) {
        const int span = SCENE_WIDTH + 64, step = frame * (2 + i % 3) + i * 37;
        x = step % span - 32;
        y = 20 + (i * 23) % 120;
        if (i % 2) {
            kiv_draw_sprite_mirrored(surface, &s->sprites[i], SCENE_WIDTH - x - s->sprites[i].width,
                                     y);
        } else {
            kiv_draw_sprite(surface, &s->sprites[i], x, y);
        }
    }
    /* A translucent sprite over them, and the shades of one sprite in a row. */
    if (s->sprite_count > 0 && s->has_blend) {
        kiv_draw_sprite_blended(surface, &s->sprites[0], 140 + frame % 20, 60,
                                kiv_blend_level(&s->blend, 0));
    }
    for (i = 0; s->sprite_count > 0 && s->has_shade && i < 8; ++i) {
        kiv_draw_sprite_lit(surface, &s->sprites[s->sprite_count - 1], i * 40, 160, s->shade.levels,
                            i * 4);
    }
    if (s->has_font) kiv_draw_text(surface, &s->font, 4, 4, "KIV VIEWER\nA GAME'S FIRST FRAME");
}
