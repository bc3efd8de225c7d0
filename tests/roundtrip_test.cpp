// Indexed PNG pictures as grab input, and the round trip: an archive unpacked into a project of
// scripts and pictures that rebuilds it byte for byte.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "support/pcx_writer.h"
#include "support/png_writer.h"
#include "support/sprite_decoder.h"
#include "support/test_support.h"

using namespace kivtest;

namespace {

// Every command over one picture; the picture file is the only thing that changes.
const char* const kAllCommands =
    "LOADPCX %s\nRAW r 0 0 2 1\nTEXTURE t 1 0 1 1\nPACKED p 0 0 2 2\nPACKEDC c 0 0 2 2\n"
    "PALETTE pal\nCOLORMAP shades\nTRANSPARENT glass 1\n";

std::string commandsFor(const std::string& picture) {
    char text[512];
    std::snprintf(text, sizeof text, kAllCommands, picture.c_str());
    return text;
}

std::array<uint8_t, 768> somePalette(int entries) {
    std::array<uint8_t, 768> palette{};
    for (int i = 0; i < 3 * entries; ++i)
        palette[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 37 + 11);
    return palette;
}

}  // namespace

TEST(PngInput, GivesTheArchiveOfThePcxOfTheSamePicture) {
    struct Case {
        const char* what;
        int bitDepth;
        int entries;
        bool interlaced;
    } cases[] = {{"8-bit", 8, 256, false},
                 {"4-bit, 16 colours", 4, 16, false},
                 {"8-bit, interlaced", 8, 256, true},
                 {"2-bit, interlaced", 2, 4, true},
                 {"1-bit", 1, 2, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedTempDir dir;
        PcxPicture pcx = blankPicture(24, 20);
        for (int y = 0; y < 20; ++y) {
            for (int x = 0; x < 24; ++x) {
                pcx.at(x, y) =
                    static_cast<uint8_t>(((x * 7 + y * 3) % 5 == 0 ? 0 : x + y) % c.entries);
            }
        }
        // The PNG's palette fills the first entries; the PCX's others are 0, as for the PNG.
        pcx.palette = somePalette(c.entries);
        writePcx("pic.pcx", pcx);
        TestPng png;
        png.width = 24;
        png.height = 20;
        png.pixels = pcx.pixels;
        png.palette = pcx.palette;
        png.paletteEntries = c.entries;
        png.bitDepth = c.bitDepth;
        png.interlaced = c.interlaced;
        writeFile("pic.png", encodePng(png));
        writeText("a.scp", commandsFor("pic.pcx"));
        writeText("b.scp", commandsFor("pic.png"));
        RunResult a = runKiv({"a.scp"}), b = runKiv({"b.scp"});
        ASSERT_EQ(a.status, 0) << a.errors;
        ASSERT_EQ(b.status, 0) << b.errors;
        EXPECT_EQ(a.output, b.output);
        EXPECT_EQ(readFile("a.kiv"), readFile("b.kiv"));
    }
}

TEST(PngInput, PicturesWithoutPaletteAreRefusedWithAWordOnHowToSaveThem) {
    ScopedTempDir dir;
    TestPng drawing;
    drawing.width = drawing.height = 32;
    std::mt19937 random(5);
    for (int i = 0; i < 32 * 32; ++i) drawing.pixels.push_back(static_cast<uint8_t>(random()));
    drawing.palette = somePalette(256);
    struct Case {
        const char* what;
        Bytes file;
        std::string says;
    } cases[] = {
        {"grey",
         [&] {
             TestPng s = drawing;
             s.kind = TestPng::Grey;
             return encodePng(s);
         }(),
         "a grey PNG; save it as an indexed (palette, 8-bit or fewer bits) PNG"},
        {"true colour",
         [&] {
             TestPng s = drawing;
             s.kind = TestPng::Rgb;
             return encodePng(s);
         }(),
         "a true-colour PNG; save it as an indexed"},
        {"damaged",
         [&] {
             Bytes b = encodePng(drawing);
             b.resize(b.size() - 20);
             return b;
         }(),
         "a damaged PNG file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile("x.png", c.file);
        writeText("s.scp", "LOADPCX x.png\nRAW r 0 0 1 1\n");
        RunResult r = runKiv({"s.scp"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.output, "Not a 256 Color PCX File\n\n\nUpdating keyfile \nAdding Data.\n")
            << "standard output as for any picture that is no PCX";
        EXPECT_NE(r.errors.find("s.scp:1: error: LOADPCX x.png: " + c.says), std::string::npos)
            << r.errors;
    }
}

namespace {

// Unpacks an archive, rebuilds it with the project's build.sh and says whether it came back;
// the unpack's report goes to report.
bool roundTrip(const std::string& archive, std::string& report) {
    RunResult unpacked = runKivtool({"unpack", archive, "project"});
    report = unpacked.output + unpacked.errors;
    if (unpacked.status != 0) return false;
    const std::string command = std::string("KIV='") + KIV_BINARY_PATH + "' sh project/build.sh";
    if (std::system(command.c_str()) != 0) return false;
    const std::string name = archive.substr(0, archive.find('.'));
    return readFile("project/" + name + ".kiv") == readFile(archive);
}

// The sprites and the font of a grab, read back by the test's own decoder: each PACKED item holds
// its rectangle of the sheet, each PACKEDC item decodes, and no glyph keeps a spacer (254).
void checkGrabbedSprites(const std::string& script, const PcxPicture& sheetPicture,
                         const PcxPicture& fontPicture, const ParsedArchive& archive) {
    const PcxPicture* picture = &sheetPicture;
    bool fontTaken = false;  // FONT clears the spacers it took: the picture is no longer the file
    std::istringstream lines(script);
    std::string command, name;
    size_t entry = 0;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        int x = 0, y = 0, w = 0, h = 0;
        words >> command >> name >> x >> y >> w >> h;
        if (command == "LOADPCX") {
            picture = name == "font.pcx" ? &fontPicture : &sheetPicture;
            fontTaken = false;
            continue;
        }
        ASSERT_LT(entry, archive.entries.size()) << line;
        const Bytes item = archive.data(entry++);
        SCOPED_TRACE(line);
        if (command == "PACKED" || command == "PACKEDC") {
            const DecodedSprite sprite = decodeSprite(item, 0, command == "PACKEDC");
            ASSERT_EQ(sprite.error, "");
            if (command == "PACKEDC" || fontTaken) continue;
            ASSERT_EQ(sprite.width, 8 * w);
            for (int r = 0; r < sprite.height; ++r) {
                for (int c = 0; c < sprite.width; ++c) {
                    ASSERT_EQ(sprite.pixels[size_t(r * sprite.width + c)],
                              picture->pixels[size_t((8 * y + r) * picture->width + 8 * x + c)]);
                }
            }
        } else if (command == "FONT") {
            fontTaken = true;
            for (int k = 0; k < 256; ++k) {
                const int32_t offset = kiv::loadLE32(item.data() + 4 + 4 * k);
                if (offset < 0) continue;
                const DecodedSprite glyph = decodeSprite(item, 1284 + size_t(offset), false);
                ASSERT_EQ(glyph.error, "") << "code " << k;
                for (uint8_t v : glyph.pixels) ASSERT_NE(v, 254) << "code " << k;
            }
        }
    }
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST(RoundTrip, TheExampleProjectsArchives) {
    ScopedTempDir dir;
    copySourceFolder("examples/project", "example");
    for (const char* script : {"art.scp", "letters.scp", "tables.scp", "game.lnk"}) {
        ASSERT_EQ(runKiv({"-C", "example", script}).status, 0) << script;
    }
    for (const char* archive : {"art.kiv", "letters.kiv", "tables.kiv", "game.kiv"}) {
        SCOPED_TRACE(archive);
        writeFile(archive, readFile(std::string("example/") + archive));
        std::string report;
        ASSERT_EQ(std::system("rm -rf project"), 0);
        EXPECT_TRUE(roundTrip(archive, report)) << report;
        // tables.kiv holds no palette to compute its tables from: they stay bytes there, and
        // come back as COLORMAP and TRANSPARENT lines from game.kiv, which holds the palette.
        EXPECT_EQ(count(report, "kept as bytes"), std::string(archive) == "tables.kiv" ? 2u : 0u)
            << report;
        RunResult verify = runKivtool({"verify", "--rebuild", archive});
        EXPECT_EQ(verify.status, 0);
        EXPECT_NE(verify.output.find("rebuilt byte for byte"), std::string::npos);
    }
}

// Archives made by random grab and link scripts: every command, fonts that run out of cells or
// markers, tables, merges of archives with flags, long, empty and repeated names, labels, empty
// and large files. Each comes back byte for byte, and each graphic item from a picture.
TEST(RoundTrip, RandomArchivesComeBackByteForByte) {
    std::mt19937 random(8122026);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        ScopedTempDir dir;
        // A sheet of blobs, and a font sheet.
        PcxPicture sheet = blankPicture(64, 48);
        for (int y = 0; y < 48; ++y) {
            for (int x = 0; x < 64; ++x) {
                const int cx = x % 16 - 8, cy = y % 16 - 8;
                if (cx * cx + cy * cy < 20 + pick(30))
                    sheet.at(x, y) = static_cast<uint8_t>(1 + pick(250));
            }
        }
        sheet.palette = somePalette(256);
        for (auto& v : sheet.palette) v = static_cast<uint8_t>(pick(256));
        writePcx("sheet.pcx", sheet);
        PcxPicture font = blankPicture(40, 12);
        const int h = 2 + pick(3);
        font.at(0, 0) = 255;
        if (pick(5) != 0) font.at(0, h + 1) = 255;  // now and then no bottom marker
        for (int x = 2; x < 40; ++x) {
            if (x % (3 + pick(3)) != 0)
                font.at(x, 1 + pick(h)) = static_cast<uint8_t>(pick(4) == 0 ? 254 : 9);
        }
        writePcx("font.pcx", font);
        std::string grab = "LOADPCX sheet.pcx\n";
        const char* commands[] = {"RAW", "TEXTURE", "PACKED", "PACKEDC"};
        const int items = 3 + pick(6);
        for (int i = 0; i < items; ++i) {
            const int x = pick(7), y = pick(5), w = 1 + pick(8 - x), hh = 1 + pick(6 - y);
            grab += std::string(commands[pick(4)]) + " item" + std::to_string(pick(4)) + " " +
                    std::to_string(x) + " " + std::to_string(y) + " " + std::to_string(w) + " " +
                    std::to_string(hh) + "\n";
        }
        grab += "PALETTE pal\n";
        if (pick(2) == 0) grab += "COLORMAP shades\n";
        if (pick(2) == 0) grab += "TRANSPARENT glass " + std::to_string(1 + pick(2)) + "\n";
        grab += "LOADPCX font.pcx\nFONT letters " + std::to_string(60 + pick(10)) + " " +
                std::to_string(70 + pick(30)) + "\n";
        grab += "PACKED fifteen_chars_ 0 0 1 1\n";
        writeText("grab.scp", grab);
        ASSERT_LE(runKiv({"grab.scp"}).status, 1);
        checkGrabbedSprites(grab, sheet, font, parseArchive("grab.kiv"));
        // Entries no script line makes: flags, 15-character and empty names, a name with bytes
        // after its end, zero-length entries.
        std::vector<EntrySpec> odd = {{"flagged", patternBytes(9, 1), 7},
                                      {"exactly15chars_", patternBytes(5, 2)},
                                      {"", patternBytes(3, 3)},
                                      {"ZERO", {}},
                                      {"AB:", {}},
                                      {"item1", patternBytes(4, 4)}};
        Bytes oddArchive = buildArchive(odd);
        oddArchive[12 + 28 * 5 + 12 + 6] = 'x';  // "item1\0x…"
        writeFile("odd.kiv", oddArchive);
        writeFile("empty.bin", {});
        writeFile("data.bin", patternBytes(static_cast<size_t>(1 + pick(5000)), 9));
        std::string link = "FIRST:\n";
        if (round == 0) {
            writeFile("big.bin", patternBytes(2 * 1024 * 1024 + 4097, 5));
            link += "big.bin BIG\n";
        }
        link +=
            "grab.kiv\ndata.bin DATA\nempty.bin EMPTY\nodd.kiv\nSECOND:\ndata.bin DATA\ngrab.kiv\n";
        writeText("game.lnk", link);
        ASSERT_EQ(runKiv({"game.lnk"}).status, 0);
        std::string report;
        EXPECT_TRUE(roundTrip("game.kiv", report)) << report;
        // Graphic items come from pictures: nothing kiv grabbed is kept as bytes.
        EXPECT_EQ(count(report, "kept as bytes"), 0u) << report;
        EXPECT_GE(count(report, "from pictures/"), 4u) << report;
        EXPECT_GE(count(report, "from a helper archive"), 4u) << report;
    }
}

TEST(RoundTrip, WhatCannotBeReproducedIsSaid) {
    ScopedTempDir dir;
    Bytes gap = buildArchive({{"one", patternBytes(4, 1)}, {"two", patternBytes(4, 2)}});
    kiv::storeLE32(gap.data() + 12 + 28 + 4, 12 + 56 + 5);  // two's data shifted: a gap before it
    gap.push_back(0);
    writeFile("gap.kiv", gap);
    RunResult r = runKivtool({"unpack", "gap.kiv", "project"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.errors.find("entry 2 (two): its data is not where kiv puts it"), std::string::npos)
        << r.errors;
    Bytes label = buildArchive({{"one", patternBytes(4, 1)}, {"odd", {}}});
    kiv::storeLE32(label.data() + 12 + 28 + 4, 77);
    writeFile("label.kiv", label);
    r = runKivtool({"unpack", "label.kiv", "project2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.errors.find("a zero-length entry at offset 77"), std::string::npos) << r.errors;
    EXPECT_EQ(runKivtool({"verify", "--rebuild", "gap.kiv"}).status, 1);
}
