// kiv --watch: which jobs run again after a save, in which order, and how it ends.
#include "app/watch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

#include "support/pcx_writer.h"
#include "support/test_support.h"

using namespace kivtest;

namespace {

// Saves a picture as editors do: a temporary file, renamed over the old one.
void savePicture(const std::string& path, uint8_t fill) {
    writePcx(".save.tmp", blankPicture(16, 8, fill));
    ASSERT_EQ(std::rename(".save.tmp", path.c_str()), 0);
}

uint8_t firstPixel(const std::string& archive) {
    return parseArchive(archive).data(0).at(0);
}

// The watch's own lines from the nth on (a job's summary, "kiv: watch…", not the jobs'
// diagnostics), with bytes and times as B and T.
std::string summaries(const WatchingKiv& kiv, size_t from = 0) {
    std::string out;
    for (const std::string& line : kiv.lines()) {
        if (!std::regex_match(line, std::regex(R"(kiv: watch.*|[a-z]+\.kiv: .*)"))) continue;
        if (from > 0 && from--) continue;
        out +=
            std::regex_replace(std::regex_replace(line, std::regex(R"([\d,]+ bytes)"), "B bytes"),
                               std::regex(R"(\d+ ms)"), "T ms") +
            "\n";
    }
    return out;
}

// Waits for this many summary lines, then a while for any more: the summaries from the nth on.
std::string settle(WatchingKiv& kiv, size_t count, size_t from, int quietMs = 400) {
    kiv.waitUntil([&] { return !summaries(kiv, count - 1).empty(); });
    kiv.waitUntil([] { return false; }, quietMs / 1000.0);
    return summaries(kiv, from);
}

class WatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        savePicture("a.pcx", 1);
        savePicture("b.pcx", 2);
        writeText("a.scp", "LOADPCX a.pcx\nRAW pa 0 0 1 1\n");
        writeText("b.scp", "LOADPCX b.pcx\nRAW pb 0 0 1 1\n");
        writeText("game.lnk", "a.kiv\nb.kiv\n");
    }
    ScopedTempDir dir;
};

TEST_F(WatchTest, ASaveRerunsTheJobsThatReadItThenTheLinkJobAndNothingElse) {
    // Given before the archives it merges, the link job still runs after them.
    WatchingKiv kiv({"game.lnk", "a.scp", "b.scp"});
    EXPECT_EQ(settle(kiv, 4, 0, 0),
              "a.kiv: 1 entry, B bytes, T ms\nb.kiv: 1 entry, B bytes, T ms\n"
              "game.kiv: 2 entries, B bytes, T ms\nkiv: watching 7 files of 3 jobs; Ctrl-C ends\n");
    savePicture("a.pcx", 7);
    EXPECT_EQ(settle(kiv, 6, 4),
              "a.kiv: 1 entry, B bytes, T ms\ngame.kiv: 2 entries, B bytes, T ms\n");
    EXPECT_EQ(firstPixel("a.kiv"), 7);
    EXPECT_EQ(firstPixel("game.kiv"), 7);
    // An unrelated file, and a picture saved again with the same bytes: nothing runs.
    writeText("notes.txt", "unrelated\n");
    savePicture("b.pcx", 2);
    EXPECT_EQ(settle(kiv, 6, 6), "");
    // A burst of saves is one run, of the last picture.
    for (uint8_t fill = 20; fill < 25; ++fill) {
        savePicture("a.pcx", fill);
        usleep(2000);
    }
    EXPECT_EQ(settle(kiv, 8, 6),
              "a.kiv: 1 entry, B bytes, T ms\ngame.kiv: 2 entries, B bytes, T ms\n");
    EXPECT_EQ(firstPixel("a.kiv"), 24);

    EXPECT_EQ(kiv.interrupt(), 0);
    EXPECT_EQ(summaries(kiv, 8), "kiv: watch ended\n");
    // Standard output holds what the jobs print when run one by one, run after run.
    const RunResult a = runKiv({"a.scp"}), b = runKiv({"b.scp"}), game = runKiv({"game.lnk"});
    EXPECT_EQ(kiv.output(),
              a.output + b.output + game.output + a.output + game.output + a.output + game.output);
}

TEST_F(WatchTest, AFailingJobKeepsWatchingAndWhatAppearsStartsIt) {
    writeText("a.scp", "LOADPCX art/new.pcx\nRAW pa 0 0 1 1\n");
    WatchingKiv kiv({"a.scp", "c.scp"});  // c.scp is not there yet
    EXPECT_EQ(
        settle(kiv, 3, 0, 0),
        "a.kiv: 0 entries, B bytes, T ms (with errors)\n"
        "c.kiv: not written (exit status 1), T ms\nkiv: watching 3 files of 2 jobs; Ctrl-C ends\n");
    EXPECT_EQ(kiv.lines()[0].rfind("a.scp:1: error: ", 0), 0u);
    // The folder the picture was looked for in comes, then the picture; then the script.
    ASSERT_EQ(mkdir("art", 0755), 0);
    writePcx("art/new.pcx", blankPicture(16, 8, 9));
    EXPECT_EQ(settle(kiv, 4, 3, 0), "a.kiv: 1 entry, B bytes, T ms\n");
    EXPECT_EQ(firstPixel("a.kiv"), 9);
    writeText("c.scp", "LOADPCX b.pcx\nRAW pc 0 0 1 1\n");
    EXPECT_EQ(settle(kiv, 5, 4, 0), "c.kiv: 1 entry, B bytes, T ms\n");
    // The script broken, then mended.
    writeText("a.scp", "LOADPCX art/gone.pcx\n");
    EXPECT_EQ(settle(kiv, 6, 5, 0), "a.kiv: 0 entries, B bytes, T ms (with errors)\n");
    writeText("a.scp", "LOADPCX a.pcx\nRAW pa 0 0 1 1\n");
    EXPECT_EQ(settle(kiv, 7, 6), "a.kiv: 1 entry, B bytes, T ms\n");
    EXPECT_EQ(firstPixel("a.kiv"), 1);
    EXPECT_EQ(kiv.interrupt(), 0);
    // Nothing temporary is left behind.
    EXPECT_EQ(folderEntries(), (std::vector<std::string>{"a.kiv", "a.pcx", "a.scp", "art", "b.pcx",
                                                         "b.scp", "c.kiv", "c.scp", "game.lnk"}));
}

TEST(WatchOrder, JobsRunAfterTheJobsWhoseArchivesTheyRead) {
    const std::vector<kiv::WatchedScript> jobs = {
        {"all.lnk", true}, {"a.scp", false}, {"part.lnk", true}, {"b.scp", false}};
    const std::vector<std::string> outputs = {"/all.kiv", "/a.kiv", "/part.kiv", "/b.kiv"};
    const struct {
        const char* what;
        std::vector<std::vector<std::string>> inputs;
        std::vector<size_t> order;
    } cases[] = {
        {"nothing known: link jobs last", {{}, {}, {}, {}}, {1, 3, 0, 2}},
        {"all.lnk merges part.kiv, which merges b.kiv",
         {{"/part.kiv", "/a.kiv"}, {"/x.pcx"}, {"/b.kiv"}, {"/y.pcx"}},
         {1, 3, 2, 0}},
        {"a.scp reads part.kiv's palette", {{"/x"}, {"/part.kiv"}, {"/y"}, {}}, {0, 2, 1, 3}},
        {"a job's own archive is no dependency",
         {{"/all.kiv"}, {"/a.kiv"}, {"/z"}, {}},
         {0, 1, 2, 3}},
        {"archives that read each other: after the others, in the given order",
         {{"/a.kiv"}, {"/all.kiv"}, {"/q"}, {}},
         {2, 3, 0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(kiv::jobOrder(jobs, c.inputs, outputs), c.order);
    }
}

}  // namespace
