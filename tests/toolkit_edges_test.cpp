// kivtool at its edges: one table per subcommand of odd archives, each with the status and the
// line a user or a CI job relies on.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "common/byte_order.h"
#include "grab/item_formats.h"
#include "picture/png_picture.h"
#include "support/grab_harness.h"
#include "support/sprite_decoder.h"
#include "support/test_support.h"

using namespace kiv;
using namespace kivtest;

namespace {

// Where the fields of directory entry i lie.
size_t flagsAt(size_t i) {
    return 12 + 28 * i;
}
size_t offsetAt(size_t i) {
    return 12 + 28 * i + 4;
}

Bytes with(Bytes bytes, size_t at, int32_t value) {
    storeLE32(bytes.data() + at, value);
    return bytes;
}
Bytes plus(Bytes bytes, const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return bytes;
}
Bytes cut(Bytes bytes, size_t n) {
    bytes.resize(bytes.size() - n);
    return bytes;
}

// prefix and k as one name (piece by piece: GCC 12 at -O3 warns of "lit" + text).
std::string numbered(const char* prefix, int k) {
    std::string name = prefix;
    name += std::to_string(k);
    return name;
}

constexpr int32_t kHighFlag = INT32_MIN;  // 0x80000000

const Bytes kTwo = buildArchive({{"one", patternBytes(10, 1)}, {"two", patternBytes(5, 2)}});

struct Case {
    const char* what;
    Bytes archive;
    std::vector<std::string> args;  // after the archive
    int status;
    std::vector<std::string> says;     // each somewhere on standard output or error
    std::vector<std::string> saysNot;  // none of these anywhere
};

void runTable(const char* command, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedTempDir dir;
        writeFile("t.kiv", c.archive);
        std::vector<std::string> args = {command, "t.kiv"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = runKivtool(args);
        const std::string all = r.output + r.errors;
        EXPECT_EQ(r.status, c.status) << all;
        for (const std::string& text : c.says)
            EXPECT_NE(all.find(text), std::string::npos) << text << "\n" << all;
        for (const std::string& text : c.saysNot)
            EXPECT_EQ(all.find(text), std::string::npos) << text << "\n" << all;
    }
}

GrabHarness& sheet() {
    static GrabHarness h;
    static bool ready = false;
    if (!ready) {
        Bytes pixels(128 * 24, 0);
        for (int y = 8; y < 24; ++y) {
            for (int x = 0; x < 128; ++x) {
                if ((x * 3 + y) % 7 != 0)
                    pixels[static_cast<size_t>(y * 128 + x)] = uint8_t(x + y + 1);
            }
        }
        pixels[0] = 255;  // a font band: markers at rows 0 and 4, glyphs from column 1
        pixels[4 * 128] = 255;
        for (int x = 1; x < 128; ++x) {
            pixels[static_cast<size_t>(128 + x)] = uint8_t(x % 3 == 0 ? 0 : 10 + x);
        }
        h.setPicture(128, 24, pixels);
        for (int i = 0; i < 768; ++i) h.ctx.palette[static_cast<size_t>(i)] = uint8_t((i * 5) % 64);
        ready = true;
    }
    return h;
}

}  // namespace

TEST(ToolkitEdges, Verify) {
    const Bytes one = buildArchive({{"one", patternBytes(10, 1)}});
    // One entry more than the directory holds: the third "entry" lies in the first item's bytes.
    const Bytes counted =
        with(buildArchive({{"one", patternBytes(40, 1)}, {"two", patternBytes(5, 2)}}), 8, 3);
    Bytes overlap = with(kTwo, offsetAt(1), 12 + 56 + 9);  // one byte shared
    Bytes gap = with(plus(kTwo, {0}), offsetAt(1), 12 + 56 + 11);
    runTable("verify",
             {
                 {"flags 0x80000000 are kiv's",
                  buildArchive({{"one", patternBytes(4, 1), kHighFlag}}),
                  {},
                  0,
                  {"ok, 1 entries"},
                  {"flags"}},
                 {"count raised by one",
                  counted,
                  {},
                  1,
                  {"entry 1 (one): its data starts at 68, inside the header and directory, which "
                   "end at 96"},
                  {"ok,"}},
                 {"an item inside the directory",
                  with(kTwo, offsetAt(0), 60),
                  {},
                  1,
                  {"entry 1 (one): its data starts at 60, inside"},
                  {"ok,"}},
                 {"a 1-byte item inside the directory",
                  with(buildArchive({{"one", Bytes(1, 1)}, {"two", patternBytes(40, 2)}}),
                       offsetAt(0), 67),
                  {},
                  1,
                  {"entry 1 (one): its data starts at 67, inside"},
                  {"ok,"}},
                 {"an item right behind the directory", one, {}, 0, {"ok, 1 entries"}, {"note"}},
                 {"magic byte 6", with(kTwo, 4, 0x0001302e), {}, 1, {"not a KIV2.0 archive"}, {}},
                 {"magic byte 7", with(kTwo, 4, 0x0100302e), {}, 1, {"not a KIV2.0 archive"}, {}},
                 {"one byte after the last item",
                  plus(kTwo, {1}),
                  {},
                  0,
                  {"note: 1 bytes after the last item's data (from offset 83)",
                   "ok, 2 entries (1 notes)"},
                  {}},
                 {"bytes after the last item, strict",
                  plus(kTwo, {1, 2, 3}),
                  {"--strict"},
                  1,
                  {"error: 3 bytes after"},
                  {"ok,"}},
                 {"overlapping items",
                  overlap,
                  {},
                  0,
                  {"note: entry 2 (two): its data overlaps that of entry 1 (one)"},
                  {}},
                 {"overlapping items, strict", overlap, {"--strict"}, 1, {"overlaps"}, {"ok,"}},
                 {"a gap between items", gap, {}, 0, {"note: 1 bytes at 78 belong to no item"}, {}},
                 {"a zero-length entry past the end",
                  with(buildArchive({{"x:", {}}}), offsetAt(0), 41),
                  {},
                  1,
                  {"entry 1 (x:): a zero-length entry at offset 41, outside the 40-byte file"},
                  {}},
                 {"a zero-length entry before the file",
                  with(buildArchive({{"x:", {}}}), offsetAt(0), -1),
                  {},
                  1,
                  {"entry 1 (x:): a zero-length entry at offset -1"},
                  {}},
                 {"a zero-length entry at the end",
                  with(buildArchive({{"x:", {}}}), offsetAt(0), 40),
                  {},
                  0,
                  {"ok, 1 entries"},
                  {}},
                 {"a name with an escape sequence",
                  buildArchive({{"a\x1b[2Jb", patternBytes(3, 1)}}),
                  {},
                  0,
                  {},
                  {"\x1b"}},
                 {"a broken name is shown escaped",
                  with(buildArchive({{"a\x1b[2J", patternBytes(3, 1)}}), 8 + 12, -1),
                  {},
                  1,
                  {"entry 1 (a\\x1b[2J): negative length"},
                  {"\x1b"}},
             });
}

TEST(ToolkitEdges, VerifyPassesWhatKivWritesWithAnyFlags) {
    ScopedTempDir dir;
    writeFile("src.kiv", buildArchive({{"hi", patternBytes(6, 1), kHighFlag},
                                       {"LBL:", {}, 7},
                                       {"lo", patternBytes(3, 2), -1}}));
    writeFile("file.bin", patternBytes(9, 3));
    writeText("all.lnk", "GROUP:\nfile.bin item\nsrc.kiv\n");
    ASSERT_EQ(runKiv({"all.lnk"}).status, 0);
    const RunResult r = runKivtool({"verify", "--strict", "all.kiv"});
    EXPECT_EQ(r.status, 0) << r.output << r.errors;
    EXPECT_NE(r.output.find("all.kiv: ok, 5 entries\n"), std::string::npos) << r.output;
    const RunResult listed = runKivtool({"list", "all.kiv"});
    EXPECT_NE(listed.output.find("    3 80000000 "), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("    5 ffffffff "), std::string::npos) << listed.output;
}

TEST(ToolkitEdges, List) {
    const Bytes names = buildArchive(
        {{"q\"b\\s", patternBytes(2, 1), kHighFlag}, {"e\x1b\x01\xe9\x7f", patternBytes(2, 2), 1}});
    runTable(
        "list",
        {
            {"flags as 8 hex digits",
             names,
             {},
             0,
             {"    1 80000000         68          2  raw          q\"b\\\\s", "    2 00000001 "},
             {"\x1b"}},
            {"names escaped", names, {}, 0, {"e\\x1b\\x01\\xe9\\x7f"}, {}},
            {"json: unsigned flags, escaped names",
             names,
             {"--json"},
             0,
             {"\"name\": \"q\\\"b\\\\s\", \"flags\": 2147483648,",
              "\"name\": \"e\\u001b\\u0001\\u00e9\\u007f\", \"flags\": 1,"},
             {"\x1b", "-2147483648"}},
        });
}

TEST(ToolkitEdges, Extract) {
    const Bytes three = buildArchive(
        {{"a", patternBytes(3, 1)}, {"b", patternBytes(4, 2)}, {"c", patternBytes(5, 3)}});
    std::vector<EntrySpec> many;  // 20 names, then a numbered name taken before its repeat
    for (int k = 0; k < 20; ++k) many.push_back({numbered("n", k), Bytes(1, 1)});
    many.push_back({"n3-entry-22", Bytes(1, 2)});
    many.push_back({"n3", Bytes(1, 3)});
    runTable(
        "extract",
        {
            {"#3 of three entries is the last",
             three,
             {"#3", "-o", "x"},
             0,
             {"x/c\n"},
             {"no entry"}},
            {"#4 of three entries", three, {"#4"}, 2, {"no entry numbered #4"}, {}},
            {"a repeat whose numbered name is taken",
             buildArchive({{"a", Bytes(1, 1)}, {"a-entry-3", Bytes(1, 2)}, {"a", Bytes(1, 3)}}),
             {"-o", "x"},
             0,
             {"x/a\nx/a-entry-3\nx/a-entry-3-2\n"},
             {}},
            {"a repeat after many names",
             buildArchive(many),
             {"-o", "x"},
             0,
             {"x/n19\nx/n3-entry-22\nx/n3-entry-22-2\n"},
             {"x/n3-entry-22\nx/n3-entry-22\n"}},
            {"#0", three, {"#0"}, 2, {"no entry numbered #0"}, {}},
            {"a number too large for any count",
             three,
             {"#99999999999999999999999"},
             2,
             {"no entry"},
             {}},
            {"an entry whose data is outside the file",
             cut(kTwo, 3),
             {"-o", "x"},
             1,
             {"x/one\n", "entry 2 (two): not written: its data lies outside the file"},
             {"x/two"}},
            {"an unknown name is shown escaped",
             three,
             {"\x1b[2J"},
             2,
             {"no entry named \\x1b[2J"},
             {"\x1b"}},
        });
    ScopedTempDir dir;
    writeFile("t.kiv", cut(kTwo, 3));
    runKivtool({"extract", "t.kiv", "-o", "x"});
    EXPECT_EQ(folderEntries("x"), std::vector<std::string>{"one"});
}

TEST(ToolkitEdges, Render) {
    GrabHarness& h = sheet();
    const Bytes pal = h.run("PALETTE pal");
    const Bytes sprite = h.run("PACKED s 0 1 2 2");
    Bytes damaged = with(sprite, 12 + 4 * 16 + 4, 16);  // a span on the row past the height
    const Bytes palCut = buildArchive({{"s", sprite}, {"pal", pal}});
    runTable("render",
             {
                 {"all written",
                  buildArchive({{"pal", pal}, {"s", sprite}}),
                  {"-o", "o"},
                  0,
                  {"o/s.png"},
                  {"not written"}},
                 {"a damaged sprite named",
                  buildArchive({{"pal", pal}, {"s", damaged}}),
                  {"s", "-o", "o"},
                  1,
                  {"entry 2 (s): not written: a raw item of "},
                  {}},
                 {"a raw item named without --width",
                  buildArchive({{"r", patternBytes(12, 1)}}),
                  {"r"},
                  1,
                  {"entry 1 (r): not written: a raw item of 12 bytes: give --width W"},
                  {}},
                 {"a raw item drawn with --width",
                  buildArchive({{"r", patternBytes(12, 1)}}),
                  {"r", "--width", "4", "-o", "o"},
                  0,
                  {"o/r.png"},
                  {}},
                 {"raw items are no graphic items",
                  buildArchive({{"r", patternBytes(12, 1)}, {"L:", {}}}),
                  {},
                  0,
                  {},
                  {"not written"}},
                 {"a label named",
                  buildArchive({{"L:", {}}}),
                  {"L:"},
                  1,
                  {"a label has no picture"},
                  {}},
                 {"data outside the file",
                  cut(kTwo, 3),
                  {},
                  1,
                  {"entry 2 (two): not written: its data lies outside the file"},
                  {}},
                 {"a palette cut short",
                  cut(palCut, 100),
                  {"-o", "o"},
                  1,
                  {"entry 2 (pal): a palette item whose data lies outside the file"},
                  {"no palette item"}},
                 {"no palette at all",
                  buildArchive({{"s", sprite}}),
                  {"-o", "o"},
                  0,
                  {"has no palette item"},
                  {}},
                 {"--palette naming a raw item",
                  buildArchive({{"s", sprite}, {"r", patternBytes(12, 1)}}),
                  {"--palette", "r"},
                  1,
                  {"entry 2 (r): not a palette item"},
                  {}},
                 {"--width 0", kTwo, {"--width", "0"}, 2, {"--width takes a whole number"}, {}},
                 {"--scale 17",
                  kTwo,
                  {"--scale", "17"},
                  2,
                  {"--scale takes a whole number from 1 to 16"},
                  {}},
                 {"--scale 2x", kTwo, {"--scale", "2x"}, 2, {"--scale takes"}, {}},
             });
}

// Fonts of every band count: the sheet has one row of cells per 16 glyphs.
TEST(ToolkitEdges, RenderedFontsOfAnyGlyphCount) {
    GrabHarness& h = sheet();
    for (int glyphs : {1, 3, 15, 16, 17, 33}) {
        SCOPED_TRACE(glyphs);
        ScopedTempDir dir;
        const Bytes font = h.run("FONT f 32 " + std::to_string(32 + glyphs - 1));
        writeFile("f.kiv", buildArchive({{"f", font}}));
        const RunResult r = runKivtool({"render", "f.kiv"});
        ASSERT_EQ(r.status, 0) << r.errors;
        PngPicture png;
        ASSERT_TRUE(readIndexedPng(readFile("f.png"), 1 << 22, png, nullptr));
        // Each glyph, decoded by the test's own reader, stands in its cell of the grid.
        int cellWidth = 1;
        for (int k = 0; k < glyphs; ++k) cellWidth = std::max(cellWidth, int(font[1028 + 32 + k]));
        ASSERT_EQ(png.width, std::min(glyphs, 16) * (cellWidth + 1));
        ASSERT_EQ(png.height, (glyphs + 15) / 16 * 4);
        for (int k = 0; k < glyphs; ++k) {
            const int32_t offset = loadLE32(font.data() + 4 + 4 * (32 + k));
            const int width = font[1028 + 32 + k];
            const DecodedSprite g = decodeSprite(font, 1284 + size_t(offset), false);
            ASSERT_EQ(g.error, "");
            ASSERT_EQ(g.width, width);
            const int x0 = k % 16 * (cellWidth + 1), y0 = k / 16 * 4;
            for (int y = 0; y < 3; ++y) {
                for (int x = 0; x < width; ++x) {
                    ASSERT_EQ(png.pixels[size_t((y0 + y) * png.width + x0 + x)],
                              g.pixels[size_t(y * width + x)]);
                }
            }
        }
    }
}

TEST(ToolkitEdges, Diff) {
    const Bytes base = buildArchive({{"a", patternBytes(6, 1)}, {"b", patternBytes(4, 2)}});
    Bytes byte = base;
    byte[12 + 56 + 2] ^= 1;
    Bytes nameTail = base;
    nameTail[12 + 12 + 5] = 'z';  // after the name's zero
    struct Pair {
        const char* what;
        Bytes b;
        int status;
        std::vector<std::string> says;
    } pairs[] = {
        {"the same", base, 0, {}},
        {"only flags",
         with(base, flagsAt(1), kHighFlag),
         1,
         {"changed  b: flags 00000000 -> 80000000"}},
        {"one byte under the same names",
         byte,
         1,
         {"changed  a: raw of 6 bytes -> raw of 6 bytes, 1 of 6 cells differ"}},
        {"garbage after the last item",
         plus(base, {9, 9}),
         1,
         {"outside  after the last item: 0 bytes -> 2 bytes"}},
        {"bytes after a name's end", nameTail, 1, {"changed  a: the bytes after the name differ"}},
        {"data outside the file",
         cut(base, 2),
         1,
         {"changed  b: raw of 4 bytes -> data outside the file"}},

        {"renamed",
         buildArchive({{"a", patternBytes(6, 1)}, {"c", patternBytes(4, 2)}}),
         1,
         {"renamed  b -> c (entry 2 -> 2)"}},
        {"moved",
         buildArchive({{"b", patternBytes(4, 2)}, {"a", patternBytes(6, 1)}}),
         1,
         {"moved    "}},
    };
    for (const Pair& p : pairs) {
        SCOPED_TRACE(p.what);
        ScopedTempDir dir;
        writeFile("a.kiv", base);
        writeFile("b.kiv", p.b);
        const RunResult r = runKivtool({"diff", "a.kiv", "b.kiv"});
        EXPECT_EQ(r.status, p.status) << r.output << r.errors;
        for (const std::string& text : p.says)
            EXPECT_NE(r.output.find(text), std::string::npos) << text << "\n" << r.output;
        if (p.status == 0) {
            EXPECT_EQ(r.output, "");
        }
        EXPECT_EQ(r.output.find("empty of 0 bytes"), std::string::npos);
    }
    {
        // A file that is no archive is trouble, not a difference.
        ScopedTempDir dir;
        writeFile("a.kiv", base);
        writeFile("b.kiv", with(base, 4, 0x0100302e));
        const RunResult r = runKivtool({"diff", "a.kiv", "b.kiv"});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.errors.find("b.kiv: not a KIV2.0 archive"), std::string::npos) << r.errors;
        // Tails of one length that differ.
        writeFile("a.kiv", plus(base, {1, 2}));
        writeFile("b.kiv", plus(base, {1, 3}));
        const RunResult tails = runKivtool({"diff", "a.kiv", "b.kiv"});
        EXPECT_EQ(tails.status, 1);
        EXPECT_EQ(tails.output, "outside  the 2 bytes after the last item differ\n");
    }
    // Tables say how many cells differ.
    GrabHarness& h = sheet();
    const Bytes glass = h.run("TRANSPARENT g 1");
    Bytes other = glass;
    other[5] = other[5] == 200 ? 201 : 200;
    other[700] = other[700] == 200 ? 201 : 200;
    ScopedTempDir dir;
    writeFile("a.kiv", buildArchive({{"g", glass}}));
    writeFile("b.kiv", buildArchive({{"g", other}}));
    const RunResult r = runKivtool({"diff", "a.kiv", "b.kiv"});
    EXPECT_NE(r.output.find("2 of 65536 cells differ"), std::string::npos) << r.output;
}

// The archive with its items' data laid out last item first.
Bytes dataLastFirst(const std::vector<EntrySpec>& entries) {
    Bytes out = buildArchive(entries);
    out.resize(12 + 28 * entries.size());
    for (size_t k = entries.size(); k-- > 0;) {
        storeLE32(out.data() + offsetAt(k), static_cast<int32_t>(out.size()));
        out.insert(out.end(), entries[k].data.begin(), entries[k].data.end());
    }
    return out;
}

// How diff pairs entries: equal names in their order (also past a first name that differs),
// renames of equal bytes in order, data laid out in any order, items larger than what is read
// at once.
TEST(ToolkitEdges, DiffPairing) {
    const Bytes big = patternBytes(1536 * 1024, 7);
    Bytes bigChanged = big;
    bigChanged[900000] ^= 0x10;
    const std::vector<EntrySpec> three = {
        {"a", bytesOf("one")}, {"b", bytesOf("two")}, {"c", bytesOf("six")}};
    struct Pair {
        const char* what;
        Bytes a, b;
        std::string says;
    } pairs[] = {
        {"equal names in their order",
         buildArchive({{"a", bytesOf("AAA")}, {"x", bytesOf("11")}, {"x", bytesOf("22")}}),
         buildArchive({{"b", bytesOf("AAA")}, {"x", bytesOf("11")}, {"x", bytesOf("23")}}),
         "renamed  a -> b (entry 1 -> 1)\n"
         "changed  x: raw of 2 bytes -> raw of 2 bytes, 1 of 2 cells differ\n"},
        {"a name again after the same start",
         buildArchive({{"x", bytesOf("1")}, {"y", bytesOf("2")}, {"x", bytesOf("3")}}),
         buildArchive({{"x", bytesOf("1")}, {"x", bytesOf("3")}, {"y", bytesOf("2")}}),
         "moved    y (entry 2 -> 3)\n"},
        {"renames of equal bytes", buildArchive({{"p", bytesOf("same")}, {"q", bytesOf("same")}}),
         buildArchive({{"s", bytesOf("same")}, {"t", bytesOf("same")}}),
         "renamed  p -> s (entry 1 -> 1)\nrenamed  q -> t (entry 2 -> 2)\n"},
        {"data laid out last first", dataLastFirst(three),
         dataLastFirst({{"a", bytesOf("one")}, {"b", bytesOf("twO")}, {"d", bytesOf("six")}}),
         "renamed  c -> d (entry 3 -> 3)\n"
         "changed  b: raw of 3 bytes -> raw of 3 bytes, 1 of 3 cells differ\n"},
        {"renames, data laid out last first", dataLastFirst(three),
         dataLastFirst({{"x", bytesOf("one")}, {"y", bytesOf("two")}, {"z", bytesOf("six")}}),
         "renamed  a -> x (entry 1 -> 1)\nrenamed  b -> y (entry 2 -> 2)\n"
         "renamed  c -> z (entry 3 -> 3)\n"},
        {"the same items laid out otherwise", buildArchive(three), dataLastFirst(three),
         "outside  the files differ outside the entries (105 -> 105 bytes)\n"},
        {"an item larger than a read", buildArchive({{"s", bytesOf("1")}, {"big", big}}),
         buildArchive({{"s", bytesOf("1")}, {"big", bigChanged}}),
         "changed  big: raw of 1572864 bytes -> raw of 1572864 bytes, 1 of 1572864 cells differ\n"},
    };
    for (const Pair& p : pairs) {
        SCOPED_TRACE(p.what);
        ScopedTempDir dir;
        writeFile("a.kiv", p.a);
        writeFile("b.kiv", p.b);
        const RunResult r = runKivtool({"diff", "a.kiv", "b.kiv"});
        EXPECT_EQ(r.status, 1) << r.errors;
        EXPECT_EQ(r.output, p.says);
    }
    // Many entries: 500 renamed, and 500 names in the opposite order (one stays in order).
    std::vector<EntrySpec> named, renamed, reversed;
    for (int k = 0; k < 500; ++k) {
        const Bytes data = patternBytes(8, static_cast<uint32_t>(k) + 1);
        named.push_back({numbered("n", k), data});
        renamed.push_back({numbered("r", k), data});
        reversed.insert(reversed.begin(), named.back());
    }
    auto count = [](const std::string& text, const std::string& start) {
        size_t n = 0;
        for (size_t at = 0; (at = text.find(start, at)) != std::string::npos; ++at)
            n += at == 0 || text[at - 1] == '\n';
        return n;
    };
    ScopedTempDir dir;
    writeFile("a.kiv", buildArchive(named));
    writeFile("b.kiv", buildArchive(renamed));
    writeFile("c.kiv", buildArchive(reversed));
    const std::string toRenamed = runKivtool({"diff", "a.kiv", "b.kiv"}).output;
    EXPECT_EQ(count(toRenamed, "renamed  n"), 500u);
    EXPECT_NE(toRenamed.find("renamed  n499 -> r499 (entry 500 -> 500)\n"), std::string::npos);
    const std::string toReversed = runKivtool({"diff", "a.kiv", "c.kiv"}).output;
    EXPECT_EQ(count(toReversed, "moved    n"), 499u);
    EXPECT_EQ(std::count(toReversed.begin(), toReversed.end(), '\n'), 499);  // nothing else
}

TEST(ToolkitEdges, UnpackAndRebuild) {
    GrabHarness& h = sheet();
    const Bytes sprite = h.run("PACKED s 0 1 2 2");
    const Bytes labelAtZero =
        with(buildArchive({{"one", patternBytes(4, 1)}, {"ab:", {}}}), offsetAt(1), 0);
    struct Row {
        const char* what;
        std::string file;
        Bytes archive;
        int unpack;        // unpack's status
        int rebuild;       // verify --rebuild's
        std::string says;  // by unpack
    } rows[] = {
        {"flags 0x80000000 come back", "flags.kiv",
         buildArchive({{"s", sprite, kHighFlag}, {"r", patternBytes(5, 1), 3}}), 0, 0,
         "from a helper archive"},
        {"a name that is shell code", "a$(touch PWNED).kiv", buildArchive({{"s", sprite}}), 0, 0,
         "s: sprite from pictures/s.png"},
        {"a name with a blank", "my game.kiv",
         buildArchive({{"s", sprite}, {"x", patternBytes(3, 1)}}), 0, 0,
         "x: raw, from items/x.bin"},
        {"a name with a quote", "it's.kiv", buildArchive({{"s", sprite}}), 0, 0, ""},
        {"named like the grab scripts", "grab01.kiv",
         buildArchive({{"s", sprite}, {"x", patternBytes(3, 1)}, {"t", sprite}}), 0, 0,
         "t: sprite"},
        {"a 3-character label first", "short.kiv",
         buildArchive({{"ab:", {}}, {"one", patternBytes(4, 1)}}), 0, 0, ""},
        {"a 3-character label at 0 after data", "short.kiv", labelAtZero, 1, 1,
         "entry 2 (ab:): a label of fewer than 4 characters at offset 0"},
        {"an empty entry with flags after data", "flagged.kiv",
         buildArchive({{"one", patternBytes(4, 1)}, {"e", {}, 3}}), 0, 0,
         "entry 2 (e): empty, from a helper archive"},
        {"a label at 0 after data", "label.kiv",
         with(buildArchive({{"one", patternBytes(4, 1)}, {"abc:", {}}}), offsetAt(1), 0), 0, 0,
         "abc: label"},
        {"an empty entry neither at 0 nor at its data position", "astray.kiv",
         with(buildArchive({{"one", patternBytes(4, 1)}, {"e", {}}}), offsetAt(1), 3), 1, 1,
         "entry 2 (e): a zero-length entry at offset 3, which is neither 0 for a label nor its "
         "data position 4"},
        {"bytes after the last item", "tail.kiv",
         plus(buildArchive({{"one", patternBytes(4, 1)}}), {7}), 1, 1,
         "1 bytes lie after the last item's data"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ScopedTempDir dir;
        writeFile(row.file, row.archive);
        const RunResult unpacked = runKivtool({"unpack", row.file, "project"});
        EXPECT_EQ(unpacked.status, row.unpack) << unpacked.output << unpacked.errors;
        EXPECT_NE((unpacked.output + unpacked.errors).find(row.says), std::string::npos)
            << unpacked.output << unpacked.errors;
        const RunResult rebuilt = runKivtool({"verify", "--rebuild", row.file});
        EXPECT_EQ(rebuilt.status, row.rebuild) << rebuilt.output << rebuilt.errors;
        if (row.rebuild == 0) {
            EXPECT_NE(rebuilt.output.find("rebuilt byte for byte"), std::string::npos);
        }
        // An archive that cannot come back leaves none of its items in the project.
        if (row.unpack != 0) {
            EXPECT_TRUE(folderEntries("project/items").empty());
        }
        // The listed jobs, run by a shell from another folder, rebuild it too.
        if (row.unpack == 0) {
            const std::string command = std::string("cd / && KIV='") + KIV_BINARY_PATH + "' sh '" +
                                        dir.path() + "/project/build.sh'";
            EXPECT_EQ(std::system(command.c_str()), 0);
            const std::string name = row.file.substr(0, row.file.find('.'));
            EXPECT_EQ(readFile("project/" + name + ".kiv"), row.archive);
        }
        EXPECT_FALSE(fileExists("PWNED"));
        EXPECT_FALSE(fileExists("project/PWNED"));
    }
}

TEST(ToolkitEdges, UnpackRefusesAFolderWithFilesAndSaysWhatCannotBeWritten) {
    GrabHarness& h = sheet();
    ScopedTempDir dir;
    writeFile("a.kiv",
              buildArchive({{"s", h.run("PACKED s 0 1 2 2")}, {"big", patternBytes(9000, 1)}}));
    std::filesystem::create_directories("mine/pictures");
    writeText("mine/pictures/s.png", "edited");
    RunResult r = runKivtool({"unpack", "a.kiv", "mine"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.errors.find("mine is not empty: nothing written"), std::string::npos) << r.errors;
    EXPECT_EQ(folderEntries("mine"), std::vector<std::string>{"pictures"});
    EXPECT_EQ(readFile("mine/pictures/s.png"), bytesOf("edited"));
    r = runKivtool({"unpack", "a.kiv", "mine", "--force"});
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_NE(readFile("mine/pictures/s.png"), bytesOf("edited"));
    // A write that fails (here: over a file-size limit) is said, and the unpack fails.
    RunOptions limited;
    limited.fileSizeLimit = 4096;
    r = runKivtoolWith({"unpack", "a.kiv", "full"}, ".", limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.errors.find("cannot write full/items/big.bin: File too large"), std::string::npos)
        << r.errors;
    EXPECT_EQ(r.output.find("build.sh rebuilds"), std::string::npos) << r.output;
    for (const std::string& name : folderEntries("full/items"))
        EXPECT_EQ(name.find(".part-"), std::string::npos);
}
