#include "common/script_text.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>

#include "support/test_support.h"

using namespace kiv;
using namespace kivtest;

namespace {

std::vector<std::string> tokensOf(std::string text) {
    std::vector<std::string> out;
    char* rest = text.data();
    while (char* t = nextToken(rest)) out.emplace_back(t);
    return out;
}

// Every line read from a script, and whether the end was reached by that read.
std::vector<std::pair<std::string, bool>> readAll(const std::string& content,
                                                  size_t maxChars = kScriptLineChars) {
    ScopedTempDir dir;
    writeText("s.txt", content);
    ScriptReader reader;
    EXPECT_TRUE(reader.open("s.txt"));
    std::vector<std::pair<std::string, bool>> lines;
    std::vector<char> line(maxChars + 1);
    while (!reader.atEnd()) {
        size_t n = reader.readLine(line.data(), maxChars);
        lines.emplace_back(std::string(line.data(), n), reader.atEnd());
    }
    return lines;
}

}  // namespace

TEST(Tokens, BlanksTabsAndCommasSeparateAlike) {
    EXPECT_EQ(tokensOf("RAW wall,1,2,3,4"), tokensOf("RAW wall 1 2 3 4"));
    EXPECT_EQ(tokensOf(" \t,RAW\v\bwall\r\n"), (std::vector<std::string>{"RAW", "wall"}));
    EXPECT_TRUE(tokensOf(" ,\t\r\n").empty());
    EXPECT_TRUE(tokensOf("").empty());
}

TEST(Numbers, DecimalPrefixRule) {
    struct Case {
        const char* token;
        int32_t value;
    } cases[] = {{"12px", 12},
                 {"-1", -1},
                 {"x12", 0},
                 {"+7", 7},
                 {"-", 0},
                 {"+x", 0},
                 {"007", 7},
                 {"3.9", 3},
                 {"99999999999", INT32_MAX},
                 {"-99999999999", INT32_MIN},
                 {"2147483647", INT32_MAX},
                 {"2147483648", INT32_MAX},
                 {"-2147483648", INT32_MIN},
                 {"-2147483649", INT32_MIN},
                 {"123456789012345678901234567890", INT32_MAX},
                 {"-99999999999999999999999999999999999999", INT32_MIN}};
    for (const auto& c : cases) EXPECT_EQ(parseNumber(c.token), c.value) << c.token;
    EXPECT_EQ(parseNumber(nullptr), 0);
}

TEST(SubcommandLine, CaseOfAsciiLettersIgnored) {
    EXPECT_TRUE(equalsIgnoreCase("loadpcx", "LOADPCX"));
    EXPECT_FALSE(equalsIgnoreCase("PACKEDC", "PACKED"));
    EXPECT_FALSE(equalsIgnoreCase("PACKED", "PACKEDC"));
    EXPECT_TRUE(endsWithIgnoreCase("a.Lnk", "LNK"));
    EXPECT_TRUE(endsWithIgnoreCase("LNK", "LNK"));
    EXPECT_FALSE(endsWithIgnoreCase("NK", "LNK"));
}

TEST(ScriptReader, TextModeDropsCarriageReturnBeforeLineFeedOnly) {
    auto lines = readAll("a b\r\nc\rd\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].first, "a b\n");
    EXPECT_EQ(lines[1].first, "c\rd\n");
    EXPECT_EQ(lines[2].first, "");
    EXPECT_TRUE(lines[2].second);
}

TEST(ScriptReader, ByteTwentySixEndsTheFile) {
    auto lines = readAll(std::string("one\ntwo\x1Athree\n"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].first, "two");
    EXPECT_TRUE(lines[1].second);
}

TEST(ScriptReader, LastLineWithoutLineEndSetsTheEndOnItsOwnRead) {
    auto lines = readAll("first\nlast");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::make_pair(std::string("first\n"), false));
    EXPECT_EQ(lines[1], std::make_pair(std::string("last"), true));
}

TEST(ScriptReader, LongLinesComeInPieces) {
    std::string longLine(263, 'x');
    auto lines = readAll(longLine + "PALETTE p\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].first, longLine);
    EXPECT_FALSE(lines[0].second);
    EXPECT_EQ(lines[1].first, "PALETTE p\n");
    // A file that ends exactly after a full piece needs one more read to see its end.
    auto exact = readAll(longLine);
    ASSERT_EQ(exact.size(), 2u);
    EXPECT_FALSE(exact[0].second);
    EXPECT_EQ(exact[1], std::make_pair(std::string(), true));
}

TEST(ScriptReader, CarriageReturnAtAPieceBoundaryIsStillDropped) {
    std::string line(262, 'y');
    auto lines = readAll(line + "\r\nnext\n");
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].first, line + "\n");
    EXPECT_EQ(lines[1].first, "next\n");
}

TEST(ScriptReader, FolderIsNotAScript) {
    ScopedTempDir dir;
    ASSERT_EQ(mkdir("folder.scp", 0755), 0);
    ScriptReader reader;
    EXPECT_FALSE(reader.open("folder.scp"));
    EXPECT_FALSE(reader.open("missing.scp"));
}

TEST(ScriptPaths, DosSeparatorsAndLetterCase) {
    ScopedTempDir dir;
    ASSERT_EQ(mkdir("Art", 0755), 0);
    ASSERT_EQ(mkdir("Art/Tiles", 0755), 0);
    writeText("Art/Tiles/wall.pcx", "");
    writeText("same.bin", "");
    writeText("SAME.BIN", "");
    writeText("plain.txt", "");
    struct Case {
        const char* written;
        const char* found;
    } cases[] = {
        {"plain.txt", "plain.txt"},
        {"PLAIN.TXT", "plain.txt"},
        {"Art/Tiles/wall.pcx", "Art/Tiles/wall.pcx"},
        {"ART\\TILES\\WALL.PCX", "Art/Tiles/wall.pcx"},
        {"art/tiles/Wall.Pcx", "Art/Tiles/wall.pcx"},
        {"./art//tiles/WALL.pcx", "./Art/Tiles/wall.pcx"},
        {"Same.Bin", "Same.Bin"},  // two names alike: neither is taken
        {"missing.bin", "missing.bin"},
        {"ART\\missing", "ART\\missing"},
    };
    for (const auto& c : cases) EXPECT_EQ(resolveScriptPath(c.written), c.found) << c.written;
    const std::string absolute = dir.path() + "/ART/TILES/WALL.PCX";
    EXPECT_EQ(resolveScriptPath(absolute), dir.path() + "/Art/Tiles/wall.pcx");
}
