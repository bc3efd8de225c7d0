#include "archive/link_processor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/console.h"
#include "common/transfer_buffer.h"
#include "support/test_support.h"

using namespace kiv;
using namespace kivtest;

namespace {

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(createTransferBuffer());
        beginJobLog();
    }
    // Runs a link script and returns the status the job ended with (0 when it ran through).
    int link(const std::string& script, const std::string& path = "job.lnk",
             bool kernelCopy = true) {
        writeText(scriptFile(path), script);
        try {
            ArchiveWriter writer;
            writer.kernelCopy = kernelCopy;
            runLinkScript(writer, path);
        } catch (const JobExit& e) {
            return e.status();
        }
        return 0;
    }
    static std::string scriptFile(const std::string& path) { return scriptBase(path) + ".lnk"; }

    ScopedTempDir dir;
    CapturedChannels channels;
};

const std::string kHead =
    "\n\nKiv ver 1.1 Link\n\n\nScript      = (job.lnk)\nOutput File = (job.kiv)\n"
    "Temp File   = (datatemp.dat)\n\n";

std::string tail(size_t dots) {
    return "\n\nUpdating keyfile \nAdding Data" + std::string(dots, '.') + "\nDone\n\n";
}

}  // namespace

TEST_F(LinkTest, ConsoleOfARunWithEveryKindOfLine) {
    Bytes hero = patternBytes(300, 1);
    writeFile("hero.bin", hero);
    writeFile("common.kiv", buildArchive({{"GROUP:", {}}, {"tile", patternBytes(20, 2), 7}}));
    ASSERT_EQ(link("; level one\n;;;; level one\nAB:\nSPRITES:\nhero.bin, HERO\nhero.bin\n"
                   "common.kiv ignored\n"),
              0);
    EXPECT_EQ(channels.text(),
              kHead + "001         SPRITES:    LABEL ===============*\n" +
                  "002             HERO\n" + "Unpacking KIV (common.kiv)\nHeader numitems=2\n" +
                  "003           GROUP:\n004             tile\nDone Unpacking (common.kiv)\n" +
                  tail(2));
    ParsedArchive a = parseArchive("job.kiv");
    ASSERT_EQ(a.header.count, 4);
    EXPECT_EQ(a.name(0), "SPRITES:");
    EXPECT_EQ(a.entries[0].offset, 0);
    EXPECT_EQ(a.entries[0].length, 0);
    EXPECT_EQ(a.data(1), hero);
    EXPECT_EQ(a.entries[1].offset, 12 + 28 * 4);
    // The merged label keeps its data-relative position; the merged item its flags.
    EXPECT_EQ(a.name(2), "GROUP:");
    EXPECT_EQ(a.entries[2].offset, 300);
    EXPECT_EQ(a.entries[3].flags, 7);
    EXPECT_EQ(a.data(3), patternBytes(20, 2));
    EXPECT_EQ(a.entries[3].offset, 12 + 28 * 4 + 300);
    EXPECT_FALSE(jobFailed());
    EXPECT_FALSE(fileExists("datatemp.dat"));
}

TEST_F(LinkTest, LineKinds) {
    writeFile("data.bin", patternBytes(9, 3));
    writeFile("a.b", patternBytes(2, 3));
    writeFile("LABEL:", patternBytes(2, 3));
    writeFile("x.KiV", buildArchive({{"one", patternBytes(4, 1)}}));
    writeFile("plainkiv", buildArchive({{"two", patternBytes(4, 1)}}));
    struct Case {
        std::string line;
        std::vector<std::string> names;  // entries made
        bool stops;
    } cases[] = {
        {"", {}, false},
        {"   ,\t", {}, false},
        {"a.b ITEM", {}, false},                        // fewer than 4 characters
        {";comment: x", {}, false},                     // a comment even though it ends in ':'
        {"LABEL:", {"LABEL:"}, false},                  // a label even though a file has that name
        {"ABCDEFGHIJKLM:", {"ABCDEFGHIJKLM:"}, false},  // 14 characters
        {"ABCDEFGHIJKLMN:", {}, true},                  // 15 characters
        {"data.bin", {}, false},                        // no item name
        {"data.bin NAME_OF_14_CHR", {"NAME_OF_14_CHR"}, false},
        {"data.bin NAME_OF_15_CHRS", {}, true},
        {"data.bin A extra tokens", {"A"}, false},
        {"missing.bin", {}, true},  // existence comes before the item name
        {"x.KiV NAME", {"one"}, false},
        {"plainkiv", {"two"}, false},
    };
    for (const auto& c : cases) {
        channels.clear();
        beginJobLog();
        EXPECT_EQ(link(c.line + "\nlast.bin L\n"), 0) << c.line;
        ParsedArchive a = parseArchive("job.kiv");
        std::vector<std::string> names;
        for (size_t i = 0; i < a.entries.size(); ++i) names.push_back(a.name(i));
        if (!c.stops) {
            // The next line (a missing file) is still read and stops the run itself.
            EXPECT_NE(channels.text().find("(last.bin)8"), std::string::npos) << c.line;
        } else {
            EXPECT_EQ(channels.text().find("last.bin"), std::string::npos) << c.line;
        }
        EXPECT_EQ(names, c.names) << c.line;
        EXPECT_TRUE(jobFailed());
    }
}

TEST_F(LinkTest, ErrorMessagesAreExact) {
    struct Case {
        std::string script;
        std::string message;
    } cases[] = {
        {"LEVEL_ONE_SPRITES:\n", "\nERROR: Label Too Long (LEVEL_ONE_SPRITES:)\n\n"},
        {"nothere.bin X\n", "File not found error !!! (nothere.bin)11\n"},
        {"job.lnk ITEM_NAME_IS_LONG\n", "\nERROR: Item Name Too Long (ITEM_NAME_IS_LONG)\n\n"},
    };
    for (const auto& c : cases) {
        channels.clear();
        EXPECT_EQ(link(c.script), 0);
        EXPECT_EQ(channels.text(), kHead + c.message + tail(1)) << c.script;
    }
}

TEST_F(LinkTest, ErrorOnTheThirdLineKeepsTheFirstTwo) {
    writeFile("one.bin", patternBytes(5, 1));
    writeFile("two.bin", patternBytes(6, 2));
    EXPECT_EQ(link("one.bin ONE\ntwo.bin TWO\ngone.bin GONE\nLATER:\n"), 0);
    ParsedArchive a = parseArchive("job.kiv");
    ASSERT_EQ(a.header.count, 2);
    EXPECT_EQ(a.data(1), patternBytes(6, 2));
    EXPECT_TRUE(channels.text().ends_with("Done\n\n"));
    EXPECT_EQ(jobErrors().size(), 1u);
}

TEST_F(LinkTest, LastLineWithoutLineEndIsNotHandled) {
    EXPECT_EQ(link("FIRST:\nSECOND:"), 0);
    ParsedArchive a = parseArchive("job.kiv");
    ASSERT_EQ(a.header.count, 1);
    EXPECT_EQ(a.name(0), "FIRST:");
}

TEST_F(LinkTest, DosScriptsReadTheSame) {
    writeFile("one.bin", patternBytes(5, 1));
    EXPECT_EQ(link("GROUP:\r\none.bin,ONE\r\n\x1AREST:\r\n"), 0);
    ParsedArchive a = parseArchive("job.kiv");
    ASSERT_EQ(a.header.count, 2);
    EXPECT_EQ(a.name(1), "ONE");
}

TEST_F(LinkTest, DosPathsFindTheirFiles) {
    ASSERT_EQ(mkdir("art", 0755), 0);
    writeFile("art/hero.bin", patternBytes(9, 4));
    writeFile("art/common.kiv", buildArchive({{"tile", patternBytes(5, 6)}}));
    EXPECT_EQ(link("ART\\HERO.BIN HERO\nart\\Common.KIV\n"), 0);
    ParsedArchive a = parseArchive("job.kiv");
    ASSERT_EQ(a.header.count, 2);
    EXPECT_EQ(a.data(0), patternBytes(9, 4));
    EXPECT_EQ(a.data(1), patternBytes(5, 6));
    EXPECT_NE(channels.text().find("Unpacking KIV (art\\Common.KIV)"), std::string::npos);
    EXPECT_FALSE(jobFailed());
}

TEST_F(LinkTest, OtherExtensionReadsTheLnkOfTheSameBase) {
    writeText("pack.lnk", "FROMLNK:\n");
    writeText("pack.txt", "FROMTXT:\n");
    ArchiveWriter writer;
    runLinkScript(writer, "pack.txt");
    EXPECT_EQ(parseArchive("pack.kiv").name(0), "FROMLNK:");
    EXPECT_NE(channels.text().find("Script      = (pack.lnk)\n"), std::string::npos);
}

TEST_F(LinkTest, EmptyFileAndEmptyLinesGiveSensibleEntries) {
    writeFile("zero.bin", {});
    writeFile("four.bin", patternBytes(4, 1));
    EXPECT_EQ(link("\n\nfour.bin FOUR\nzero.bin ZERO\n;; comment\n"), 0);
    ParsedArchive a = parseArchive("job.kiv");
    ASSERT_EQ(a.header.count, 2);
    EXPECT_EQ(a.entries[1].length, 0);
    EXPECT_EQ(a.entries[1].offset, 4) << "data-relative position";
}

TEST_F(LinkTest, FilesLargerThanTheTransferBufferAreCopiedWhole) {
    Bytes big = patternBytes(kTransferBufferBytes * 2 + 12345, 5);
    writeFile("big.bin", big);
    writeFile("big2.kiv", buildArchive({{"small", patternBytes(7, 1)}, {"inner", big}}));
    for (bool kernel : {true, false}) {
        channels.clear();
        EXPECT_EQ(link("big.bin BIG\nbig2.kiv\n", "job.lnk", kernel), 0);
        ParsedArchive a = parseArchive("job.kiv");
        ASSERT_EQ(a.header.count, 3);
        EXPECT_EQ(a.data(0), big) << kernel;
        EXPECT_EQ(a.data(1), patternBytes(7, 1)) << kernel;
        EXPECT_EQ(a.data(2), big) << kernel;
        // One dot per 131,072 bytes of data, and one for the final read.
        const size_t data = 2 * big.size() + 7;
        EXPECT_NE(channels.text().find("Adding Data" +
                                       std::string((data + 131071) / 131072 + 1, '.') + "\nDone"),
                  std::string::npos)
            << kernel;
        EXPECT_FALSE(jobFailed());
    }
}

TEST_F(LinkTest, UnreadablePathStopsTheRun) {
    ASSERT_EQ(mkdir("folder.bin", 0755), 0);
    ASSERT_EQ(mkdir("folderkiv", 0755), 0);
    for (const char* line : {"folder.bin NAME\n", "folderkiv\n"}) {
        channels.clear();
        beginJobLog();
        EXPECT_EQ(link(std::string("OKAY:\n") + line + "AFTER:\n"), 0);
        EXPECT_EQ(parseArchive("job.kiv").header.count, 1) << line;
        EXPECT_NE(channels.diagnostics().find("job.lnk:2: error: cannot read folder"),
                  std::string::npos)
            << line << channels.diagnostics();
        EXPECT_TRUE(jobFailed());
    }
    // A folder named on a line without item name is not read, so nothing is wrong.
    beginJobLog();
    EXPECT_EQ(link("folder.bin\nAFTER:\n"), 0);
    EXPECT_FALSE(jobFailed());
}

TEST_F(LinkTest, BadMergeSourcesAreRefusedBeforeAnythingIsCopied) {
    Bytes good = buildArchive({{"a", patternBytes(10, 1)}, {"b", patternBytes(10, 2)}});
    Bytes negative = good;
    storeLE32(negative.data() + 8, -1);
    Bytes pastEnd = good;
    storeLE32(pastEnd.data() + 8, 1000);
    Bytes outside = good;
    storeLE32(outside.data() + 12 + 28 + 4, static_cast<int32_t>(good.size()) - 5);  // b's offset
    Bytes negativeLength = good;
    storeLE32(negativeLength.data() + 12 + 28 + 8, -3);
    Bytes negativeOffset = good;
    storeLE32(negativeOffset.data() + 12 + 28 + 4, -5);
    struct Case {
        const char* name;
        Bytes bytes;
        const char* why;
    } cases[] = {
        {"short.kiv", Bytes(11, 0), "shorter than an archive header"},
        {"negative.kiv", negative, "negative entry count"},
        {"pastend.kiv", pastEnd,
         "a directory of 1000 entries reaches past the end of the 88-byte file"},
        {"outside.kiv", outside,
         "entry 2 (b): data at 83 + 10 lies past the end of the 88-byte file"},
        {"neglen.kiv", negativeLength, "entry 2 (b): negative length -3"},
        {"negoffset.kiv", negativeOffset, "entry 2 (b): negative offset -5"},
        {"text.kiv", bytesOf("notes, not an archive\n"),
         "not a KIV2.0 archive (it does not begin with KIV2.0)"},
    };
    for (const auto& c : cases) {
        writeFile(c.name, c.bytes);
        channels.clear();
        EXPECT_EQ(link(std::string("BEFORE:\n") + c.name + "\nAFTER:\n"), 0) << c.name;
        ParsedArchive a = parseArchive("job.kiv");
        EXPECT_EQ(a.header.count, 1) << c.name;
        EXPECT_EQ(a.bytes.size(), 12u + 28u) << c.name;
        EXPECT_NE(
            channels.diagnostics().find(std::string("job.lnk:2: error: ") + c.name +
                                        " is not an archive that can be taken over: " + c.why),
            std::string::npos)
            << c.name << channels.diagnostics();
    }
}

TEST_F(LinkTest, MergingTheArchiveThisRunWritesIsRefused) {
    Bytes old = buildArchive({{"old", patternBytes(10, 1)}});
    writeFile("job.kiv", old);
    EXPECT_EQ(link("job.kiv\n"), 0);
    EXPECT_NE(channels.diagnostics().find("it is the archive this run writes"), std::string::npos);
    EXPECT_EQ(parseArchive("job.kiv").header.count, 0);
}

TEST_F(LinkTest, MagicIsNotRequired) {
    Bytes other = buildArchive({{"x", patternBytes(3, 1)}});
    std::memcpy(other.data(), "OTHER!", 6);
    writeFile("other.kiv", other);
    EXPECT_EQ(link("other.kiv\n"), 0);
    EXPECT_EQ(parseArchive("job.kiv").data(0), patternBytes(3, 1));
}

TEST_F(LinkTest, MissingScriptLeavesAnOlderArchiveAlone) {
    Bytes old = patternBytes(40, 1);
    writeFile("gone.kiv", old);
    ArchiveWriter writer;
    try {
        runLinkScript(writer, "gone.lnk");
        FAIL();
    } catch (const JobExit& e) {
        EXPECT_EQ(e.status(), kStartupFailure);
    }
    EXPECT_EQ(readFile("gone.kiv"), old);
    EXPECT_FALSE(fileExists("datatemp.dat"));
    EXPECT_TRUE(channels.text().ends_with("\nError File Not Found\n"));
}

TEST_F(LinkTest, LongPathsInMessagesAreNeverCut) {
    std::string name(250, 'p');
    EXPECT_EQ(link(name + " X\n"), 0);
    EXPECT_NE(channels.text().find("File not found error !!! (" + name + ")250\n"),
              std::string::npos);
}
