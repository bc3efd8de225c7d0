/* kiv-viewer ARCHIVE [--frames N] [--dump FRAME FILE]: a game's first frame. Opens an archive
 * with libkiv, draws its sprites walking across its textures, a line of its font, a translucent
 * sprite and lit shades into an 8-bit surface, and shows it through SDL2 in the archive's
 * palette. With --frames it ends after N frames; --dump writes what the screen shows of frame
 * FRAME (read back from SDL's renderer) as RGBA bytes to FILE. */
#include <SDL.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "scene.h"

static int usage(void) {
    fprintf(stderr, "usage: kiv-viewer ARCHIVE [--frames N] [--dump FRAME FILE]\n");
    return 2;
}

int main(int argc, char** argv) {
    kiv_status status;
    kiv_archive* archive;
    static scene world;
    static unsigned char pixels[SCENE_WIDTH * SCENE_HEIGHT];
    static unsigned char rgba[SCENE_WIDTH * SCENE_HEIGHT * 4];
    static unsigned char shown[SCENE_WIDTH * SCENE_HEIGHT * 4];
    const kiv_surface screen = kiv_surface_of(pixels, SCENE_WIDTH, SCENE_HEIGHT, SCENE_WIDTH);
    long frames = -1, dumpFrame = -1;
    const char* dumpFile = NULL;
    SDL_Window* window;
    SDL_Renderer* renderer;
    SDL_Texture* texture;
    int i, running = 1, status_code = 0;
    long frame;
    if (argc < 2) return usage();
    for (i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
            frames = strtol(argv[++i], NULL, 10);
        } else if (strcmp(argv[i], "--dump") == 0 && i + 2 < argc) {
            dumpFrame = strtol(argv[++i], NULL, 10);
            dumpFile = argv[++i];
        } else {
            return usage();
        }
    }
    archive = kiv_open_file(argv[1], &status);
    if (archive == NULL || scene_load(&world, archive, &status) != KIV_OK) {
        fprintf(stderr, "kiv-viewer: %s: %s\n", argv[1], status.message);
        kiv_close(archive);
        return 1;
    }
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        fprintf(stderr, "kiv-viewer: %s\n", SDL_GetError());
        kiv_close(archive);
        return 1;
    }
    window = SDL_CreateWindow("kiv viewer", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                              SCENE_WIDTH * 2, SCENE_HEIGHT * 2, 0);
    renderer = window != NULL ? SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE) : NULL;
    texture = renderer != NULL
                  ? SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ABGR8888,
                                      SDL_TEXTUREACCESS_STREAMING, SCENE_WIDTH, SCENE_HEIGHT)
                  : NULL;
    if (texture == NULL) {
        fprintf(stderr, "kiv-viewer: %s\n", SDL_GetError());
        SDL_Quit();
        kiv_close(archive);
        return 1;
    }
    SDL_RenderSetLogicalSize(renderer, SCENE_WIDTH, SCENE_HEIGHT);
    for (frame = 0; running && (frames < 0 || frame < frames); ++frame) {
        SDL_Event event;
        while (SDL_PollEvent(&event)) {
            if (event.type == SDL_QUIT ||
                (event.type == SDL_KEYDOWN && event.key.keysym.sym == SDLK_ESCAPE)) {
                running = 0;
            }
        }
        scene_draw(&world, &screen, (int)frame);
        kiv_to_rgba(&screen, &world.palette, rgba, SCENE_WIDTH * 4);
        SDL_UpdateTexture(texture, NULL, rgba, SCENE_WIDTH * 4);
        SDL_RenderClear(renderer);
        SDL_RenderCopy(renderer, texture, NULL, NULL);
        if (frame == dumpFrame) {
            /* What the renderer shows, scaled back to one pixel each. */
            SDL_Rect all = {0, 0, SCENE_WIDTH, SCENE_HEIGHT};
            FILE* out;
            SDL_RenderSetLogicalSize(renderer, 0, 0);
            SDL_RenderClear(renderer);
            SDL_RenderCopy(renderer, texture, NULL, &all);
            if (SDL_RenderReadPixels(renderer, &all, SDL_PIXELFORMAT_ABGR8888, shown,
                                     SCENE_WIDTH * 4) != 0 ||
                (out = fopen(dumpFile, "wb")) == NULL) {
                fprintf(stderr, "kiv-viewer: frame %ld not written: %s\n", frame, SDL_GetError());
                status_code = 1;
            } else {
                if (fwrite(shown, 1, sizeof shown, out) != sizeof shown) status_code = 1;
                fclose(out);
            }
            SDL_RenderSetLogicalSize(renderer, SCENE_WIDTH, SCENE_HEIGHT);
        }
        SDL_RenderPresent(renderer);
        if (frames < 0) SDL_Delay(16);
    }
    SDL_DestroyTexture(texture);
    SDL_DestroyRenderer(renderer);
    SDL_DestroyWindow(window);
    SDL_Quit();
    kiv_close(archive);
    return status_code;
}
