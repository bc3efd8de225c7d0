#include "archive/archive_writer.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "common/console.h"
#include "common/transfer_buffer.h"
#include "support/test_support.h"

using namespace kiv;
using namespace kivtest;

namespace {

class WriterTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(createTransferBuffer()); }
    ScopedTempDir dir;
    CapturedChannels channels;
    ArchiveWriter writer;
};

size_t dots(const std::string& text) {
    size_t at = text.find("Adding Data");
    size_t n = 0;
    for (size_t i = at + 11; i < text.size() && text[i] == '.'; ++i) ++n;
    return n;
}

}  // namespace

TEST(ScriptBase, CutAtTheFirstDotOfARealName) {
    struct Case {
        const char* path;
        const char* base;
    } cases[] = {
        {"ART/SPRITES.SCP", "ART/SPRITES"},
        {"sprites", "sprites"},
        {"art.v2/sprites.scp", "art"},
        {"./sprites.scp", "./sprites"},
        {"../art/sprites.scp", "../art/sprites"},
        {"a/./b/../c.x.y", "a/./b/../c"},
        {"..", ".."},
        {"x/.", "x/."},
        {"/abs/path/file.lnk", "/abs/path/file"},
    };
    for (const auto& c : cases) EXPECT_EQ(scriptBase(c.path), c.base) << c.path;
}

TEST_F(WriterTest, WorkedExampleTwoItems) {
    beginArchive(writer, "job.scp");
    Bytes a = patternBytes(10, 1), b = patternBytes(5, 2);
    addItem(writer, "first", a.data(), 10);
    addItem(writer, "second", b.data(), 5);
    finishArchive(writer);

    ParsedArchive archive = parseArchive("job.kiv");
    EXPECT_EQ(archive.bytes.size(), 83u);
    EXPECT_EQ(std::string(archive.header.magic.data(), 8), std::string("KIV2.0\0\0", 8));
    ASSERT_EQ(archive.header.count, 2);
    EXPECT_EQ(archive.entries[0].offset, 68);
    EXPECT_EQ(archive.entries[1].offset, 78);
    EXPECT_EQ(archive.entries[0].length, 10);
    EXPECT_EQ(archive.entries[0].flags, 0);
    EXPECT_EQ(archive.name(0), "first");
    EXPECT_EQ(archive.data(0), a);
    EXPECT_EQ(archive.data(1), b);
    EXPECT_EQ(channels.text(), "\n\nUpdating keyfile \nAdding Data..\n");
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"job.kiv"});
    EXPECT_FALSE(jobFailed());
}

TEST_F(WriterTest, EmptyRunGivesTheTwelveByteArchive) {
    beginArchive(writer, "empty");
    finishArchive(writer);
    EXPECT_EQ(readFile("empty.kiv"), Bytes({'K', 'I', 'V', '2', '.', '0', 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(dots(channels.text()), 1u);
}

TEST_F(WriterTest, OneDotPerPieceAndOneForTheFinalRead) {
    struct Case {
        size_t bytes;
        size_t dots;
    } cases[] = {{0, 1}, {1, 2}, {131072, 2}, {131073, 3}, {3 * 131072, 4}};
    for (const auto& c : cases) {
        channels.clear();
        beginArchive(writer, "dots.scp");
        Bytes data = patternBytes(c.bytes, 7);
        if (c.bytes > 0) addItem(writer, "d", data.data(), static_cast<int32_t>(c.bytes));
        finishArchive(writer);
        EXPECT_EQ(dots(channels.text()), c.dots) << c.bytes;
        if (c.bytes > 0) {
            EXPECT_EQ(parseArchive("dots.kiv").data(0), data);
        }
    }
}

TEST_F(WriterTest, NamesAndZeroLengthEntries) {
    beginArchive(writer, "names.scp");
    Bytes a = patternBytes(7, 3);
    addItem(writer, nullptr, a.data(), 7);
    addItem(writer, "empty", a.data(), 0);
    addItem(writer, "same", a.data(), 3);
    addItem(writer, "same", a.data(), 2);
    addItem(writer, "exactly15chars!", a.data(), 1);
    finishArchive(writer);
    ParsedArchive archive = parseArchive("names.kiv");
    ASSERT_EQ(archive.header.count, 5);
    EXPECT_EQ(archive.entries[0].name, (std::array<char, 16>{}));
    EXPECT_EQ(archive.entries[1].length, 0);
    EXPECT_EQ(archive.entries[1].offset, 7) << "a zero-length entry keeps its data-relative offset";
    EXPECT_EQ(archive.name(2), "same");
    EXPECT_EQ(archive.name(3), "same");
    EXPECT_EQ(archive.entries[3].offset, archive.entries[2].offset + 3);
    EXPECT_EQ(archive.name(4), "exactly15chars!");
    EXPECT_EQ(archive.entries[4].name[15], 0);
}

TEST_F(WriterTest, LongNameIsShortenedWithAWarning) {
    beginArchive(writer, "long.scp");
    Bytes a = patternBytes(4, 3);
    addItem(writer, "a_very_long_item_name", a.data(), 4);
    finishArchive(writer);
    ParsedArchive archive = parseArchive("long.kiv");
    EXPECT_EQ(archive.name(0), "a_very_long_ite");
    EXPECT_NE(
        channels.diagnostics().find("warning: item name a_very_long_item_name is longer than 15 "
                                    "characters; stored as a_very_long_ite [-Wlong-name]\n"),
        std::string::npos)
        << channels.diagnostics();
}

TEST_F(WriterTest, ExistingArchiveIsReplacedNotExtended) {
    writeFile("again.kiv", patternBytes(5000, 9));
    beginArchive(writer, "again.scp");
    Bytes a = patternBytes(3, 1);
    addItem(writer, "x", a.data(), 3);
    finishArchive(writer);
    EXPECT_EQ(readFile("again.kiv").size(), 12u + 28u + 3u);
}

TEST_F(WriterTest, ArchiveAppearsOnlyWhenComplete) {
    Bytes old = patternBytes(100, 4);
    writeFile("kept.kiv", old);
    beginArchive(writer, "kept.scp");
    Bytes a = patternBytes(3, 1);
    addItem(writer, "x", a.data(), 3);
    EXPECT_EQ(readFile("kept.kiv"), old) << "the old archive stands until the new one is done";
    EXPECT_TRUE(fileExists("datatemp.dat"));
    abandonArchive(writer);
    EXPECT_EQ(readFile("kept.kiv"), old);
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"kept.kiv"});
}

TEST_F(WriterTest, ArchiveThatCannotBeCreatedIsAStartupFailure) {
    try {
        beginArchive(writer, "no/such/folder/x.scp");
        FAIL() << "expected the job to end";
    } catch (const JobExit& e) {
        EXPECT_EQ(e.status(), kStartupFailure);
    }
    EXPECT_EQ(channels.text(), "\nError File Not Found\n");
    EXPECT_TRUE(folderEntries().empty());
}

// A write that fails part-way (here a file-size limit) is reported, and neither the incomplete
// archive nor the temporary data file stays behind; an older archive stays as it was.
TEST_F(WriterTest, WriteFailureRemovesTheIncompleteFiles) {
    Bytes old = patternBytes(64, 5);
    writeFile("full.kiv", old);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            100000, 100000
        };
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string out;
        setDiagnosticSink([&](std::string_view t) { out.append(t); });
        ArchiveWriter w;
        Bytes big = patternBytes(300000, 1);
        try {
            beginArchive(w, "full.scp");
            addItem(w, "big", big.data(), static_cast<int32_t>(big.size()));
            finishArchive(w);
        } catch (const JobExit& e) {
            bool named =
                out.find("error writing datatemp.dat: File too large") != std::string::npos;
            _exit(named ? e.status() : 42);
        }
        _exit(43);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kJobError);
    EXPECT_EQ(readFile("full.kiv"), old);
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"full.kiv"});
}

// A second job in the same folder waits for the first to release "datatemp.dat".
TEST_F(WriterTest, ParallelJobsTakeTurnsWithTheTemporaryFile) {
    int locked[2], go[2];
    ASSERT_EQ(pipe(locked), 0);
    ASSERT_EQ(pipe(go), 0);
    Bytes dataA = patternBytes(200000, 11), dataB = patternBytes(150000, 12);
    pid_t first = fork();
    if (first == 0) {
        setConsoleWrite({});
        ArchiveWriter w;
        beginArchive(w, "a.scp");
        addItem(w, "a", dataA.data(), static_cast<int32_t>(dataA.size()));
        char c = 'L';
        if (write(locked[1], &c, 1) != 1) _exit(2);
        if (read(go[0], &c, 1) != 1) _exit(3);
        addItem(w, "a2", dataA.data(), 100);
        finishArchive(w);
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(locked[0], &c, 1), 1);
    pid_t second = fork();
    if (second == 0) {
        std::string out;
        setDiagnosticSink([&](std::string_view t) { out.append(t); });
        ArchiveWriter w;
        beginArchive(w, "b.scp");
        addItem(w, "b", dataB.data(), static_cast<int32_t>(dataB.size()));
        finishArchive(w);
        _exit(out == "kiv: note: waiting for another job to release datatemp.dat\n" ? 0 : 4);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(fileExists("b.kiv")) << "the second job must wait";
    ASSERT_EQ(write(go[1], "G", 1), 1);
    int status = 0;
    waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    waitpid(second, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ParsedArchive a = parseArchive("a.kiv"), b = parseArchive("b.kiv");
    ASSERT_EQ(a.header.count, 2);
    EXPECT_EQ(a.data(0), dataA);
    ASSERT_EQ(b.header.count, 1);
    EXPECT_EQ(b.data(0), dataB);
    EXPECT_FALSE(fileExists("datatemp.dat"));
    for (int fd : {locked[0], locked[1], go[0], go[1]}) close(fd);
}
