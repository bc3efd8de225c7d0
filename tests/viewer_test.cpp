// The example viewer, headless on SDL's dummy video driver: it runs its frames and ends, and
// the frame it shows is the scene as libkiv draws it, through the archive's palette.
#include <gtest/gtest.h>

#include "scene.h"
#include "support/test_support.h"

using namespace kivtest;

TEST(Viewer, AFrameOnTheScreenIsTheLibrarysDrawing) {
    ScopedTempDir dir;
    copySourceFolder("examples/project", "p");
    for (const char* job : {"art.scp", "letters.scp", "tables.scp", "game.lnk"}) {
        ASSERT_EQ(runKiv({"-q", job}, "p").status, 0) << job;
    }
    const auto [status, said] =
        shellOutput(VIEWER_BINARY " p/game.kiv --frames 6 --dump 4 frame.rgba 2>&1");
    ASSERT_EQ(status, 0) << said;
    const Bytes shown = readFile("frame.rgba");
    kiv_status opened;
    kiv_archive* archive = kiv_open_file("p/game.kiv", &opened);
    ASSERT_NE(archive, nullptr) << opened.message;
    static scene world;
    ASSERT_EQ(scene_load(&world, archive, &opened), KIV_OK) << opened.message;
    // The example has every kind the scene draws.
    EXPECT_GE(world.sprite_count, 3);
    EXPECT_GE(world.texture_count, 1);
    EXPECT_TRUE(world.has_font && world.has_shade && world.has_blend);
    Bytes pixels(SCENE_WIDTH * SCENE_HEIGHT), rgba(SCENE_WIDTH * SCENE_HEIGHT * 4);
    const kiv_surface s = kiv_surface_of(pixels.data(), SCENE_WIDTH, SCENE_HEIGHT, SCENE_WIDTH);
    scene_draw(&world, &s, 4);
    kiv_to_rgba(&s, &world.palette, rgba.data(), SCENE_WIDTH * 4);
    EXPECT_EQ(shown, rgba);
    // Another frame differs: the sprites walk.
    Bytes other = pixels;
    scene_draw(&world, &s, 5);
    EXPECT_NE(pixels, other);
    kiv_close(archive);
    // A file that is no archive is said, with status 1.
    writeText("none.kiv", "no archive at all, only words");
    const auto [refused, why] = shellOutput(VIEWER_BINARY " none.kiv --frames 1 2>&1");
    EXPECT_EQ(refused, 1);
    EXPECT_NE(why.find("not a KIV2.0 archive"), std::string::npos) << why;
}
