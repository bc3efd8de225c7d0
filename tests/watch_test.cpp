// kiv --watch: which jobs run again after a save, in which order, and how it ends.
#include "app/watch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <regex>
#include <thread>

#include "common/transfer_buffer.h"
#include "support/pcx_writer.h"
#include "support/png_writer.h"
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
        "a.kiv: not written (exit status 1), T ms\n"
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
    EXPECT_EQ(settle(kiv, 6, 5, 0),
              "a.kiv: kept the last good archive: the job ended with errors (exit status 1), T "
              "ms\n");
    EXPECT_EQ(firstPixel("a.kiv"), 9);
    writeText("a.scp", "LOADPCX a.pcx\nRAW pa 0 0 1 1\n");
    EXPECT_EQ(settle(kiv, 7, 6), "a.kiv: 1 entry, B bytes, T ms\n");
    EXPECT_EQ(firstPixel("a.kiv"), 1);
    EXPECT_EQ(kiv.interrupt(), 0);
    // Nothing temporary is left behind.
    EXPECT_EQ(folderEntries(), (std::vector<std::string>{"a.kiv", "a.pcx", "a.scp", "art", "b.pcx",
                                                         "b.scp", "c.kiv", "c.scp", "game.lnk"}));
}

TEST_F(WatchTest, AFailedJobKeepsTheLastGoodArchiveAndItsMergesWait) {
    // b.pcx is a link into another folder: a save there is seen too.
    ASSERT_EQ(mkdir("art", 0755), 0);
    ASSERT_EQ(std::rename("b.pcx", "art/b.pcx"), 0);
    ASSERT_EQ(symlink("art/b.pcx", "b.pcx"), 0);
    WatchingKiv kiv({"a.scp", "b.scp", "game.lnk"});
    settle(kiv, 4, 0, 0);
    const kivtest::Bytes good = readFile("a.kiv");
    // The picture gone and the link script saved in one burst: both jobs are due.
    ASSERT_EQ(unlink("a.pcx"), 0);
    writeText("game.lnk", "a.kiv\nb.kiv\n\n");
    EXPECT_EQ(settle(kiv, 6, 4),
              "a.kiv: kept the last good archive: the job ended with errors (exit status 1), T "
              "ms\ngame.kiv: not run: a.kiv, which it merges, failed\n");
    EXPECT_EQ(readFile("a.kiv"), good);
    EXPECT_EQ(firstPixel("game.kiv"), 1);
    savePicture("a.pcx", 5);
    EXPECT_EQ(settle(kiv, 8, 6),
              "a.kiv: 1 entry, B bytes, T ms\ngame.kiv: 2 entries, B bytes, T ms\n");
    EXPECT_EQ(firstPixel("game.kiv"), 5);
    savePicture("art/b.pcx", 6);
    EXPECT_EQ(settle(kiv, 10, 8),
              "b.kiv: 1 entry, B bytes, T ms\ngame.kiv: 2 entries, B bytes, T ms\n");
    EXPECT_EQ(parseArchive("game.kiv").data(1).at(0), 6);
    EXPECT_EQ(kiv.interrupt(), 0);
}

TEST_F(WatchTest, ThePaletteOfAnArchiveIsReadAgainWhenItsJobRebuildsIt) {
    // The palette item is linked from a raw 6-bit palette: red at entry 4.
    Bytes colours(768, 0);
    colours[3 * 4] = 63;
    writeFile("pal.raw", colours);
    writeText("pal.lnk", "pal.raw pal\n");
    TestPng red;
    red.width = red.height = 8, red.kind = TestPng::Rgb;
    for (int i = 0; i < 64; ++i) red.rgba.insert(red.rgba.end(), {255, 0, 0, 255});
    writeFile("t.png", encodePng(red));
    writeText("x.scp", "LOADPCX t.png\nTEXTURE r 0 0 1 1\n");
    ASSERT_EQ(runKiv({"pal.lnk"}).status, 0);
    WatchingKiv kiv({"--palette", "pal.kiv:pal", "pal.lnk", "x.scp"});
    settle(kiv, 3, 0, 0);
    EXPECT_EQ(parseArchive("x.kiv").data(0).back(), 4);
    colours[3 * 4] = 0, colours[3 * 9] = 63;  // red moves to entry 9
    writeFile(".p.tmp", colours);
    ASSERT_EQ(std::rename(".p.tmp", "pal.raw"), 0);
    EXPECT_EQ(settle(kiv, 5, 3),
              "pal.kiv: 1 entry, B bytes, T ms\nx.kiv: 1 entry, B bytes, T ms\n");
    EXPECT_EQ(parseArchive("x.kiv").data(0).back(), 9);
    EXPECT_EQ(kiv.interrupt(), 0);
}

// In process: what a job does while it runs is under the test's control.
TEST(WatchRuns, ASaveDuringARunAndASecondCtrlC) {
    ScopedTempDir dir;
    ASSERT_TRUE(kiv::createTransferBuffer());
    writeText("pic", "old");
    writeText("big", std::string(1 << 20, 'x'));
    // Only files whose status moved are read again.
    kiv::JobInputs inputs;
    inputs.record({dir.path() + "/pic", dir.path() + "/big"});
    const size_t hashed = inputs.hashed();
    writeText("pic", "new");
    EXPECT_EQ(inputs.changed().size(), 1u);
    EXPECT_EQ(inputs.hashed(), hashed + 1);

    // A file saved while the job that read it runs (its first run) starts another run.
    int runs = 0;
    std::atomic<bool> done{false};
    std::thread failsafe([&] {
        for (int i = 0; i < 500 && !done; ++i) usleep(10000);
        if (!done) kill(getpid(), SIGINT);
    });
    kiv::watchJobs({{"a.scp", false}},
                   [&](const kiv::WatchedScript&, const kiv::JobHooks&, kiv::JobResult& result) {
                       result.script = "a.scp";
                       result.inputs = {"pic"};
                       if (++runs == 1) {
                           usleep(20000);  // past the clock's tick
                           writeText("pic", "saved while running");
                       } else {
                           raise(SIGINT);
                       }
                       return 0;
                   });
    done = true;
    failsafe.join();
    EXPECT_EQ(runs, 2);

    // A second Ctrl-C ends the running job at once: no partial archive, no datatemp.dat, the
    // old archive as it was.
    PcxPicture picture = blankPicture(16, 8, 3);
    writePcx("p.pcx", picture);
    writeText("g.scp", "LOADPCX p.pcx\nRAW r 0 0 1 1\n");
    writeText("g.kiv", "old archive");
    kiv::watchJobs({{"g.scp", false}}, [&](const kiv::WatchedScript& job,
                                           const kiv::JobHooks& hooks, kiv::JobResult& result) {
        raise(SIGINT);
        raise(SIGINT);
        kiv::GrabContext ctx;
        return kiv::runGrabJob(ctx, job.script, hooks, &result);
    });
    EXPECT_EQ(folderEntries(), (std::vector<std::string>{"big", "g.kiv", "g.scp", "p.pcx", "pic"}));
    EXPECT_EQ(readFile("g.kiv"), bytesOf("old archive"));
    kiv::releaseTransferBuffer();
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
