// Runs of the built command-line tool in temporary folders.
#include <gtest/gtest.h>

#include <csignal>

#include "app/jobs.h"
#include "common/console.h"
#include "common/transfer_buffer.h"
#include "support/test_support.h"

using namespace kivtest;

namespace {
const std::string kFinishNoData = "\n\nUpdating keyfile \nAdding Data.\n";
const std::string kFinishPalette = "\n\nUpdating keyfile \nAdding Data..\n";
}  // namespace

TEST(CommandLine, GrabJob) {
    ScopedTempDir dir;
    writeText("pal.scp", "PALETTE pal\n");
    RunResult r = runKiv({"pal.scp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, kFinishPalette);
    ParsedArchive a = parseArchive("pal.kiv");
    ASSERT_EQ(a.header.count, 1);
    EXPECT_EQ(a.data(0), Bytes(768, 0));
    EXPECT_FALSE(fileExists("datatemp.dat"));
}

TEST(CommandLine, KeyPauseLinePerSwitch) {
    ScopedTempDir dir;
    writeText("g.scp", "");
    RunResult r = runKiv({"g.scp", "/k", "/K"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "\nKey Pause Active !!!!\n\nKey Pause Active !!!!\n" + kFinishNoData);
    // The switch does not start a link job nor change the grab job.
    EXPECT_EQ(parseArchive("g.kiv").header.count, 0);
}

TEST(CommandLine, MissingGrabScriptFailsWithoutLeavingFiles) {
    ScopedTempDir dir;
    Bytes old = patternBytes(50, 1);
    writeFile("nothere.kiv", old);
    RunResult r = runKiv({"nothere.scp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "\n文件未发现!!! (nothere.scp)");
    EXPECT_EQ(readFile("nothere.kiv"), old);
    EXPECT_FALSE(fileExists("datatemp.dat"));
}

TEST(CommandLine, LinkJobsAreKnownByTheirLastThreeLetters) {
    for (const char* name : {"pack.lnk", "PACK.LNK", "packLNK", "pack.Lnk"}) {
        ScopedTempDir dir;
        std::string base = std::string(name).substr(0, std::string(name).find('.'));
        if (base == name) base = name;
        writeText(base + ".lnk", "GROUP:\n");
        RunResult r = runKiv({name});
        EXPECT_EQ(r.status, 0) << name;
        EXPECT_EQ(r.output.rfind("\n\nKiv ver 1.1 Link\n\n", 0), 0u) << name;
        EXPECT_EQ(parseArchive(base + ".kiv").name(0), "GROUP:") << name;
    }
    ScopedTempDir dir;
    writeText("pack.scp", "PALETTE p\n");
    RunResult r = runKiv({"pack.scp"});
    EXPECT_EQ(r.output, kFinishPalette);
}

TEST(CommandLine, LinkRunOutputAndStatus) {
    ScopedTempDir dir;
    writeFile("a.bin", patternBytes(20, 1));
    writeText("pack.lnk", "a.bin ALPHA\nmissing.bin X\n");
    RunResult r = runKiv({"pack.lnk"});
    EXPECT_EQ(r.status, 1) << "a run that stopped on a bad line (its output: link-stops.case)";
    EXPECT_EQ(parseArchive("pack.kiv").header.count, 1);

    writeText("pack.lnk", "a.bin ALPHA\n");
    EXPECT_EQ(runKiv({"pack.lnk"}).status, 0);

    RunResult missing = runKiv({"none.lnk"});
    EXPECT_EQ(missing.status, 255);
    EXPECT_TRUE(missing.output.ends_with("\nError File Not Found\n"));
}

TEST(CommandLine, DotFoldersAreNoCutPoints) {
    ScopedTempDir dir;
    ASSERT_EQ(system("mkdir -p art sub"), 0);
    writeText("art/sprites.scp", "PALETTE p\n");
    EXPECT_EQ(runKiv({"./sprites.scp"}, "art").status, 0);
    EXPECT_TRUE(fileExists("art/sprites.kiv"));
    EXPECT_EQ(runKiv({"../art/sprites.scp"}, "sub").status, 0);
    EXPECT_FALSE(fileExists(".kiv"));
    EXPECT_FALSE(fileExists("sub/.kiv"));
    EXPECT_EQ(parseArchive("art/sprites.kiv").header.count, 1);
}

TEST(CommandLine, OverlongScriptNameIsRefused) {
    ScopedTempDir dir;
    std::string name = std::string(260, 'n') + ".scp";
    RunResult r = runKiv({name});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.errors.find("kiv: error: script name too long (264 characters, at most 263)"),
              std::string::npos);
    EXPECT_EQ(r.output, "");
    EXPECT_FALSE(fileExists("datatemp.dat"));
}

TEST(CommandLine, ArchiveThatCannotBeCreatedEndsWithStatus255) {
    ScopedTempDir dir;
    ASSERT_EQ(system("mkdir -p ro && touch ro/x.scp && chmod 555 ro"), 0);
    writeText("ro2.scp", "PALETTE p\n");
    ASSERT_EQ(system("mkdir datatemp.dat"), 0);  // the temporary file cannot be created
    RunResult r = runKiv({"ro2.scp"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.output, "\nError File Not Found\n");
    EXPECT_EQ(r.errors, "kiv: error: cannot create datatemp.dat: Is a directory\n");
    EXPECT_FALSE(fileExists("ro2.kiv"));
}

#if !defined(__SANITIZE_ADDRESS__)
// Short of memory, the tool says so and ends with a status; it never crashes.
TEST(CommandLine, ShortOfMemoryEndsCleanly) {
    ScopedTempDir dir;
    writeText("pal.scp", "PALETTE pal\n");
    bool transferRefused = false, buffersRefused = false, ran = false;
    for (uint64_t kb = 6000; kb <= 40000; kb += 256) {
        RunResult r = runKiv({"pal.scp"}, ".", kb * 1024);
        EXPECT_EQ(r.output.find("terminate called"), std::string::npos) << kb;
        EXPECT_NE(r.status, 128 + SIGABRT) << kb;
        if (r.errors.find("not enough memory for the 2098176-byte transfer buffer") !=
            std::string::npos) {
            EXPECT_EQ(r.status, 255) << kb;
            transferRefused = true;
        }
        if (r.errors.find("not enough memory for the grab buffers (3993600 bytes)") !=
            std::string::npos) {
            EXPECT_EQ(r.status, 1) << kb;
            EXPECT_FALSE(fileExists("pal.kiv")) << kb;
            EXPECT_FALSE(fileExists("datatemp.dat")) << kb;
            buffersRefused = true;
        }
        if (r.status == 0) {
            ran = true;
            break;
        }
    }
    EXPECT_TRUE(transferRefused);
    EXPECT_TRUE(buffersRefused);
    EXPECT_TRUE(ran);
}
#endif

// kiv -o: the archive where the build wants it, its temporary data beside it, nothing in the
// script's or the current folder; the same bytes and output as beside the script.
TEST(CommandLine, OutputWhereTheBuildWantsIt) {
    ScopedTempDir dir;
    copySourceFolder("examples/project", "p");
    ASSERT_EQ(mkdir("out", 0755), 0);
    const std::vector<std::string> before = folderEntries("p");
    const RunResult there =
        runKiv({"-o", "../out/art.kiv", "--depfile", "../out/art.d", "art.scp"}, "p");
    EXPECT_EQ(there.status, 0) << there.errors;
    EXPECT_EQ(folderEntries("p"), before);
    EXPECT_EQ(folderEntries("out"), (std::vector<std::string>{"art.d", "art.kiv"}));
    const Bytes rule = readFile("out/art.d");
    EXPECT_EQ(std::string(rule.begin(), rule.end()).rfind("../out/art.kiv: \\\n  art.scp", 0), 0u);
    const RunResult beside = runKiv({"art.scp"}, "p");
    EXPECT_EQ(there.output, beside.output);
    EXPECT_EQ(readFile("out/art.kiv"), readFile("p/art.kiv"));
    const RunResult link = runKiv({"-o", "../out/game.kiv", "game.lnk"}, "p");
    EXPECT_NE(
        link.output.find("Output File = (../out/game.kiv)\nTemp File   = (../out/datatemp.dat)"),
        std::string::npos)
        << link.output;
    EXPECT_EQ(runKiv({"-o", "x.kiv", "--watch", "art.scp"}, "p").status, 2);
}

// kiv -j: the same output, diagnostics and archives as the jobs one after another, whatever
// order they end in; the link job after the grab jobs merges their new archives; a failed job
// makes the status 1; no temporary data file is left.
TEST(CommandLine, ManyJobsAtOnce) {
    ScopedTempDir dir;
    copySourceFolder("examples/project", "seq");
    writeText("seq/bad.scp", "LOADPCX nowhere.pcx\nRAW x 0 0 1 1\n");
    writeText("seq/bad2.scp", "LOADPCX sheet.pcx\nRAW big 0 0 99 99\n");
    copySourceFolder("examples/project", "par");
    writeText("par/bad.scp", "LOADPCX nowhere.pcx\nRAW x 0 0 1 1\n");
    writeText("par/bad2.scp", "LOADPCX sheet.pcx\nRAW big 0 0 99 99\n");
    const std::vector<std::string> scripts = {"bad.scp",  "art.scp",    "letters.scp",
                                              "bad2.scp", "tables.scp", "game.lnk"};
    std::string output, errors;
    for (const std::string& script : scripts) {
        const RunResult one = runKiv({script}, "seq");
        output += one.output;
        errors += one.errors;
    }
    std::vector<std::string> args = {"-j", "3"};
    args.insert(args.end(), scripts.begin(), scripts.end());
    const RunResult all = runKiv(args, "par");
    EXPECT_EQ(all.status, 1);
    EXPECT_EQ(all.output, output);
    EXPECT_EQ(all.errors, errors);
    EXPECT_EQ(folderEntries("par"), folderEntries("seq"));
    for (const char* archive : {"art.kiv", "letters.kiv", "tables.kiv", "game.kiv"}) {
        EXPECT_EQ(readFile(std::string("par/") + archive), readFile(std::string("seq/") + archive))
            << archive;
    }
    for (const char* n : {"0", "65", "x", ""})
        EXPECT_EQ(runKiv({"-j", n, "art.scp"}, "par").status, 2) << n;
    for (const char* n : {"1", "64"}) EXPECT_EQ(runKiv({"-j", n, "art.scp"}, "par").status, 0) << n;
    EXPECT_EQ(runKiv({"-j", "2", "-o", "a.kiv", "art.scp"}, "par").status, 2);
}

// A job in a session whose folder is elsewhere: its script, pictures, linked files and merged
// archives are read there and its archive and temporary data written there, nothing in the
// current folder; its output goes to the session's channels.
TEST(Jobs, ASessionsFolderIsWhereTheJobWorks) {
    ScopedTempDir dir;
    copySourceFolder("examples/project", "p");
    ASSERT_EQ(mkdir("here", 0755), 0);
    std::string output;
    kiv::JobSession session;
    session.console = session.output = [&output](std::string_view text) { output += text; };
    kiv::SessionScope scope(session);
    ASSERT_TRUE(kiv::createTransferBuffer());
    for (const char* script : {"art.scp", "letters.scp", "tables.scp", "game.lnk"}) {
        kiv::JobRequest request;
        request.script = script;
        request.folder = "p";
        const kiv::JobReport report = kiv::runJob(request);
        EXPECT_EQ(report.status, 0) << script << " " << output;
        EXPECT_TRUE(report.finished) << script;
    }
    EXPECT_EQ(folderEntries("."), (std::vector<std::string>{"here", "p"}));
    EXPECT_NE(output.find("Unpacking KIV (art.kiv)"), std::string::npos);
    ScopedTempDir other;
    copySourceFolder("examples/project", "q");
    const RunResult built = runKiv({"game.lnk"}, "q");
    for (const char* s : {"art.scp", "letters.scp", "tables.scp"}) runKiv({s}, "q");
    runKiv({"game.lnk"}, "q");
    EXPECT_EQ(built.status, 1);  // the archives it merges were not there yet
    EXPECT_EQ(readFile(dir.path() + "/p/game.kiv"), readFile("q/game.kiv"));
}

// verify --rebuild runs the project's jobs in its own process: a kivtool with no kiv beside it
// and none on the PATH rebuilds the example's archives.
TEST(Jobs, RebuildNeedsNoKivProgram) {
    ScopedTempDir dir;
    copySourceFolder("examples/project", "p");
    runKiv({"art.scp"}, "p");
    ASSERT_EQ(mkdir("alone", 0755), 0);
    ASSERT_EQ(shellOutput("cp '" KIVTOOL_BINARY_PATH "' alone/kivtool").first, 0);
    const auto [status, text] =
        shellOutput("cd p && PATH=/nonexistent ../alone/kivtool verify --rebuild art.kiv 2>&1");
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("art.kiv: rebuilt byte for byte"), std::string::npos) << text;
}

// Entries collect in memory and go to the archive together: 3,000 of them (more than one batch
// of 64 KiB) come out in order, each with its own data.
TEST(Jobs, ManyEntriesWrittenTogether) {
    ScopedTempDir dir;
    std::string script;
    for (int i = 0; i < 3000; ++i) {
        std::string name = "file";  // a link line's path has at least four characters
        name += std::to_string(i);
        writeText(name,
                  std::string(static_cast<size_t>(i % 7 + 1), static_cast<char>('a' + i % 26)));
        script += name + " " + name + "\n";
    }
    writeText("many.lnk", script);
    ASSERT_EQ(runKiv({"many.lnk"}).status, 0);
    const RunResult list = runKivtool({"list", "many.kiv"});
    ASSERT_EQ(list.status, 0);
    EXPECT_EQ(list.output.rfind("many.kiv: 3000 entries", 0), 0u) << list.output.substr(0, 80);
    const RunResult out =
        runKivtool({"extract", "many.kiv", "file0", "file2341", "file2999", "-o", "x"});
    EXPECT_EQ(out.status, 0) << out.errors;
    for (const char* name : {"file0", "file2341", "file2999"})
        EXPECT_EQ(readFile(std::string("x/") + name), readFile(name)) << name;
    EXPECT_EQ(runKivtool({"verify", "--strict", "many.kiv"}).status, 0);
}
