// kiv --watch: which jobs run again after a save, in which order, and how it ends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

#include "app/watch.h"
#include "support/pcx_writer.h"
#include "support/test_support.h"

using namespace kivtest;

namespace {

// Saves a picture as editors do: a temporary file, renamed over the old one.
void savePicture(const std::string& path, uint8_t fill) {
    writePcx(".save.tmp", blankPicture(16, 8, fill));
    ASSERT_EQ(std::rename(".save.tmp", path.c_str()), 0);
}

void pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The archive's first entry's first byte: the picture's top-left pixel.
uint8_t firstPixel(const std::string& archive) {
    return parseArchive(archive).data(0).at(0);
}

// The watch's own lines (a job's summary, "kiv: ..."), without the jobs' diagnostics.
std::vector<std::string> summaries(const WatchingKiv& kiv) {
    std::vector<std::string> out;
    const std::regex own(R"(kiv: watch.*|[a-z]+\.kiv: .*)");
    for (const std::string& line : kiv.lines()) {
        if (std::regex_match(line, own)) out.push_back(line);
    }
    return out;
}

// Waits for this many summary lines; false when they do not come.
bool waitForSummaries(WatchingKiv& kiv, size_t count) {
    return kiv.waitUntil([&] { return summaries(kiv).size() >= count; });
}

std::string joined(const std::vector<std::string>& lines, size_t from = 0) {
    std::string text;
    for (size_t i = from; i < lines.size(); ++i) text += lines[i] + "\n";
    return text;
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
    ASSERT_TRUE(waitForSummaries(kiv, 4)) << kiv.linesFrom(0);
    const std::regex done(R"(([a-z]+\.kiv): (\d+) entr(y|ies), [\d,]+ bytes, \d+ ms)");
    const char* const first[] = {"a.kiv", "b.kiv", "game.kiv"};
    std::vector<std::string> lines = summaries(kiv);
    for (size_t i = 0; i < 3; ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, done)) << lines[i];
        EXPECT_EQ(m[1], first[i]);
    }
    EXPECT_EQ(lines[3], "kiv: watching 7 files of 3 jobs; Ctrl-C ends");

    savePicture("a.pcx", 7);
    ASSERT_TRUE(waitForSummaries(kiv, 6)) << kiv.linesFrom(0);
    pause(400);
    lines = summaries(kiv);
    ASSERT_EQ(lines.size(), 6u) << joined(lines, 4);
    EXPECT_EQ(lines[4].substr(0, 7), "a.kiv: ");
    EXPECT_EQ(lines[5].substr(0, 10), "game.kiv: ");
    EXPECT_EQ(firstPixel("a.kiv"), 7);
    EXPECT_EQ(parseArchive("game.kiv").data(0).at(0), 7);

    // An unrelated file, and a picture saved again with the same bytes: nothing runs.
    writeText("notes.txt", "unrelated\n");
    savePicture("b.pcx", 2);
    pause(400);
    EXPECT_EQ(summaries(kiv).size(), 6u) << joined(summaries(kiv), 6);

    // A burst of saves is one run, of the last picture.
    for (uint8_t fill = 20; fill < 25; ++fill) {
        savePicture("a.pcx", fill);
        pause(2);
    }
    ASSERT_TRUE(waitForSummaries(kiv, 8)) << kiv.linesFrom(6);
    pause(400);
    EXPECT_EQ(summaries(kiv).size(), 8u) << joined(summaries(kiv), 6);
    EXPECT_EQ(firstPixel("a.kiv"), 24);

    EXPECT_EQ(kiv.interrupt(), 0);
    EXPECT_EQ(kiv.lines().back(), "kiv: watch ended");
    // Standard output holds what the jobs print when run one by one, run after run.
    const std::string output = kiv.output();
    const RunResult a = runKiv({"a.scp"}), b = runKiv({"b.scp"}), game = runKiv({"game.lnk"});
    EXPECT_EQ(output, a.output + b.output + game.output + a.output + game.output + a.output +
                          game.output);
}

TEST_F(WatchTest, AFailingJobKeepsWatchingAndWhatAppearsStartsIt) {
    writeText("a.scp", "LOADPCX art/new.pcx\nRAW pa 0 0 1 1\n");
    WatchingKiv kiv({"a.scp", "c.scp"});  // c.scp is not there yet
    ASSERT_TRUE(waitForSummaries(kiv, 3)) << kiv.linesFrom(0);
    EXPECT_NE(summaries(kiv)[0].find(" ms (with errors)"), std::string::npos) << kiv.linesFrom(0);
    EXPECT_EQ(summaries(kiv)[1].substr(0, 34), "c.kiv: not written (exit status 1)");
    EXPECT_NE(kiv.linesFrom(0).find("a.scp:1: error:"), std::string::npos) << kiv.linesFrom(0);

    // The folder the picture was looked for in comes, then the picture; then the script.
    ASSERT_EQ(mkdir("art", 0755), 0);
    pause(300);
    EXPECT_EQ(summaries(kiv).size(), 3u);
    writePcx("art/new.pcx", blankPicture(16, 8, 9));
    ASSERT_TRUE(waitForSummaries(kiv, 4)) << kiv.linesFrom(0);
    EXPECT_EQ(summaries(kiv)[3].substr(0, 14), "a.kiv: 1 entry") << kiv.linesFrom(0);
    EXPECT_EQ(firstPixel("a.kiv"), 9);
    writeText("c.scp", "LOADPCX b.pcx\nRAW pc 0 0 1 1\n");
    ASSERT_TRUE(waitForSummaries(kiv, 5)) << kiv.linesFrom(0);
    EXPECT_EQ(summaries(kiv)[4].substr(0, 14), "c.kiv: 1 entry") << kiv.linesFrom(0);

    // The script broken, then mended.
    writeText("a.scp", "LOADPCX art/gone.pcx\n");
    ASSERT_TRUE(waitForSummaries(kiv, 6)) << kiv.linesFrom(0);
    EXPECT_NE(summaries(kiv)[5].find("(with errors)"), std::string::npos) << kiv.linesFrom(0);
    writeText("a.scp", "LOADPCX a.pcx\nRAW pa 0 0 1 1\n");
    ASSERT_TRUE(waitForSummaries(kiv, 7)) << kiv.linesFrom(0);
    EXPECT_EQ(firstPixel("a.kiv"), 1);
    EXPECT_EQ(kiv.interrupt(), 0);
    EXPECT_EQ(summaries(kiv).size(), 8u) << kiv.linesFrom(0);
    // Nothing temporary is left behind.
    EXPECT_EQ(folderEntries(), (std::vector<std::string>{"a.kiv", "a.pcx", "a.scp", "art",
                                                          "b.pcx", "b.scp", "c.kiv", "c.scp",
                                                          "game.lnk"}));
}

TEST(WatchOrder, JobsRunAfterTheJobsWhoseArchivesTheyRead) {
    using kiv::WatchedScript;
    const std::vector<WatchedScript> jobs = {
        {"all.lnk", true}, {"a.scp", false}, {"part.lnk", true}, {"b.scp", false}};
    const std::vector<std::string> outputs = {"/all.kiv", "/a.kiv", "/part.kiv", "/b.kiv"};
    struct Case {
        const char* what;
        std::vector<std::vector<std::string>> inputs;
        std::vector<size_t> order;
    };
    const Case cases[] = {
        {"nothing known: link jobs last", {{}, {}, {}, {}}, {1, 3, 0, 2}},
        {"all.lnk merges part.kiv, which merges b.kiv",
         {{"/part.kiv", "/a.kiv"}, {"/x.pcx"}, {"/b.kiv"}, {"/y.pcx"}},
         {1, 3, 2, 0}},
        {"a.scp reads part.kiv's palette",
         {{"/x"}, {"/part.kiv"}, {"/y"}, {}},
         {0, 2, 1, 3}},
        {"a job's own archive is no dependency", {{"/all.kiv"}, {"/a.kiv"}, {"/z"}, {}},
         {0, 1, 2, 3}},
        {"two archives that read each other: the given order",
         {{"/a.kiv"}, {"/all.kiv"}, {"/q"}, {}},
         {2, 3, 0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(kiv::jobOrder(jobs, c.inputs, outputs), c.order);
    }
}

TEST(WatchOptions, DepfileDoesNotGoWithWatch) {
    ScopedTempDir dir;
    const RunResult run = runKiv({"--watch", "--depfile", "x.d", "a.scp"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.errors.find("--watch writes no dependency file"), std::string::npos);
}

}  // namespace
