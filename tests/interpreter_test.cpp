#include "grab/interpreter.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/console.h"
#include "common/transfer_buffer.h"
#include "grab/commands.h"
#include "support/test_support.h"

using namespace kiv;
using namespace kivtest;

namespace {

struct Parsed {
    const char* keyword = nullptr;
    std::vector<std::string> text;
    std::array<int32_t, 5> num{};
};

Parsed parse(const std::string& line) {
    GrabContext ctx;
    char buffer[kScriptLineBytes] = {};
    std::strncpy(buffer, line.c_str(), kScriptLineChars);
    Parsed p;
    const GrabCommand* row = parseGrabLine(ctx, buffer);
    if (row == nullptr) return p;
    p.keyword = row->keyword;
    for (const char* t : ctx.textArgs) p.text.push_back(t ? t : "<none>");
    p.num = ctx.numArgs;
    return p;
}

// Runs a grab script in the current folder; returns the archive.
ParsedArchive grab(const std::string& script, GrabContext& ctx) {
    writeText("job.scp", script);
    ScriptReader reader;
    EXPECT_TRUE(openGrabScript(reader, "job.scp"));
    ArchiveWriter writer;
    beginArchive(writer, "job.scp");
    runGrabScript(ctx, writer, reader);
    finishArchive(writer);
    return parseArchive("job.kiv");
}

class GrabScriptTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(createTransferBuffer());
        beginJobLog();
    }
    ScopedTempDir dir;
    CapturedChannels channels;
    GrabContext ctx;
};

}  // namespace

TEST(GrabLine, WordsAndArguments) {
    Parsed raw = parse("RAW wall 1 2 3 4");
    EXPECT_STREQ(raw.keyword, "RAW");
    EXPECT_EQ(raw.text, (std::vector<std::string>{"wall", "1", "2", "3", "4"}));
    EXPECT_EQ(raw.num, (std::array<int32_t, 5>{0, 8, 16, 24, 32}));

    Parsed font = parse("FONT wall 1 2 3 4");
    EXPECT_EQ(font.num, (std::array<int32_t, 5>{0, 1, 2, 3, 4}));

    Parsed commas = parse(" \t,Raw wall,1,2,3,4");
    EXPECT_STREQ(commas.keyword, "RAW");
    EXPECT_EQ(commas.num, raw.num);

    Parsed odd = parse("raw a 12px -1 x12 5 6 7");
    EXPECT_EQ(odd.num, (std::array<int32_t, 5>{0, 96, -8, 0, 40}));
    EXPECT_EQ(odd.text[4], "5") << "tokens after the sixth are ignored";

    Parsed few = parse("PACKEDC hero 1");
    EXPECT_STREQ(few.keyword, "PACKEDC");
    EXPECT_EQ(few.text, (std::vector<std::string>{"hero", "1", "<none>", "<none>", "<none>"}));
    EXPECT_EQ(few.num, (std::array<int32_t, 5>{0, 8, 0, 0, 0}));

    // Every command word, in any case; positions and sizes of the rectangle commands in units
    // of 8 pixels, the other numbers as they stand.
    const std::pair<const char*, bool> commands[] = {
        {"LOADPCX", false}, {"RAW", true},       {"PACKEDC", true},
        {"PACKED", true},   {"TEXTURE", true},   {"FONT", false},
        {"PALETTE", false}, {"COLORMAP", false}, {"TRANSPARENT", false}};
    for (const auto& [word, scaled] : commands) {
        SCOPED_TRACE(word);
        const Parsed p = parse(std::string(word) + " n 1 2 3 4");
        EXPECT_STREQ(p.keyword, word);
        EXPECT_EQ(p.num, scaled ? raw.num : font.num);
    }
    EXPECT_STREQ(parse("loadpcx pic.pcx").keyword, "LOADPCX");
    EXPECT_STREQ(parse("packed a").keyword, "PACKED");
    EXPECT_EQ(parse("PACKEDX a").keyword, nullptr);
    EXPECT_EQ(parse("; sprites").keyword, nullptr);
    EXPECT_EQ(parse("rem sprites").keyword, nullptr);
    EXPECT_EQ(parse("PALLETE pal").keyword, nullptr);
    EXPECT_EQ(parse(" ,\t").keyword, nullptr);
}

TEST_F(GrabScriptTest, PaletteItemsBeforeAnyPicture) {
    ParsedArchive a = grab("PALETTE pal\nPALETTE\npalette pal\n; PALETTE x\nLOADPCX\n", ctx);
    ASSERT_EQ(a.header.count, 3);
    EXPECT_EQ(a.name(0), "pal");
    EXPECT_EQ(a.data(0), Bytes(768, 0));
    EXPECT_EQ(a.entries[1].name, (std::array<char, 16>{})) << "PALETTE alone has no name";
    EXPECT_EQ(a.name(2), "pal");
    EXPECT_TRUE(ctx.itemBuffer.empty() && ctx.picture.empty() && ctx.preview.empty());
}

TEST_F(GrabScriptTest, LastLineWithoutLineEndIsInterpreted) {
    EXPECT_EQ(grab("PALETTE a\nPALETTE b", ctx).header.count, 2);
    EXPECT_EQ(grab("PALETTE a\r\nPALETTE b\r\n", ctx).header.count, 2);
}

TEST_F(GrabScriptTest, LongLineIsReadInPieces) {
    std::string first = "PALETTE first " + std::string(263 - 14, 'z');
    ParsedArchive a = grab(first + "PALETTE second\n", ctx);
    ASSERT_EQ(a.header.count, 2);
    EXPECT_EQ(a.name(1), "second");
}

TEST_F(GrabScriptTest, LongItemNamesAreShortenedWithAWarningNamingTheCommand) {
    ParsedArchive a = grab("PALETTE the_game_palette_of_level_one\n", ctx);
    EXPECT_EQ(a.name(0), "the_game_palett");
    EXPECT_NE(channels.diagnostics().find(
                  ":1: warning: PALETTE item name the_game_palette_of_level_one is longer than 15 "
                  "characters; stored as the_game_palett [-Wlong-name]\n"),
              std::string::npos)
        << channels.diagnostics();
}

TEST_F(GrabScriptTest, EmptyScriptGivesAnEmptyArchive) {
    ParsedArchive a = grab("", ctx);
    EXPECT_EQ(a.header.count, 0);
    EXPECT_EQ(channels.text(), "\n\nUpdating keyfile \nAdding Data.\n");
}

TEST_F(GrabScriptTest, PaletteKeepsItsValuesAcrossRuns) {
    for (int i = 0; i < 768; ++i) ctx.palette[i] = static_cast<uint8_t>(i % 64);
    ParsedArchive a = grab("PALETTE p\n", ctx);
    EXPECT_EQ(a.data(0), Bytes(ctx.palette.begin(), ctx.palette.end()));
}

TEST(ConsoleEncoding, ChineseTextInGbkWhereTheConsoleUsesIt) {
    const std::string gbk = "\xCE\xC4\xBC\xFE\xCE\xB4\xB7\xA2\xCF\xD6!!! (x)";
    for (const char* codeset : {"GBK", "gbk", "CP936", "GB18030"}) {
        EXPECT_EQ(toConsoleEncoding("文件未发现!!! (x)", codeset), gbk) << codeset;
    }
    for (const char* codeset : {"UTF-8", "ANSI_X3.4-1968"}) {
        EXPECT_EQ(toConsoleEncoding("文件未发现!!! (x)", codeset), "文件未发现!!! (x)") << codeset;
    }
}

TEST_F(GrabScriptTest, MissingScriptSaysSoInTheConsoleEncoding) {
    ScriptReader reader;
    EXPECT_FALSE(openGrabScript(reader, "nothere.scp"));
    EXPECT_EQ(channels.text(), "\n文件未发现!!! (nothere.scp)");
    EXPECT_TRUE(jobFailed());
}
