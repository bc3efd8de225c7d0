/* The viewer's scene, drawn by libkiv alone: the archive's textures as a floor, its sprites
 * walking across them (one mirrored on its way back), a line of text in its font, a
 * translucent sprite through its blend table and a row of sprites lit through its shades.
 * The same frame number always draws the same picture. */
#ifndef KIV_VIEWER_SCENE_H
#define KIV_VIEWER_SCENE_H

#include <kiv/kiv.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SCENE_WIDTH 320
#define SCENE_HEIGHT 200

typedef struct scene {
    kiv_palette palette;
    int has_palette;
    kiv_sprite sprites[16];
    int sprite_count;
    kiv_picture textures[8];
    int texture_count;
    kiv_font font;
    int has_font;
    kiv_blend blend;
    int has_blend;
    kiv_shade shade;
    int has_shade;
} scene;

/* Takes every item of the archive that a view accepts; 0, or a status code with the reason. */
int scene_load(scene* s, const kiv_archive* archive, kiv_status* status);
/* Draws frame number frame into an 8-bit surface of SCENE_WIDTH x SCENE_HEIGHT. */
void scene_draw(const scene* s, const kiv_surface* surface, int frame);

#ifdef __cplusplus
}
#endif

#endif
