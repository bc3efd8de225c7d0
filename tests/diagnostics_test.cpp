// What kiv says on standard error, and that standard output stays what the original tool printed;
// the command line's options; dependency files and incremental builds of the example project.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "support/pcx_writer.h"
#include "support/test_support.h"

using namespace kivtest;

namespace {

// A 16 × 16 picture, a font sheet of two glyphs, a text and a file that is no picture.
void writePictures() {
    PcxPicture p = blankPicture(16, 16, 3);
    writePcx("pic.pcx", p);
    PcxPicture font = blankPicture(12, 6);
    font.at(0, 0) = 255;
    font.at(0, 3) = 255;
    font.at(2, 1) = 7;
    font.at(5, 2) = 7;
    writePcx("font.pcx", font);
    writeText("notes.txt", "notes");
    writeText("text.pcx", std::string(300, 't'));
}

int64_t modified(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return -1;
    return static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

}  // namespace

TEST(Diagnostics, WarningsLeaveOutputAndStatusAlone) {
    struct Case {
        const char* what;
        std::string script;   // job.scp, or job.lnk when it starts with "LNK "
        std::string warning;  // "" for none at all
        std::string name;     // the kind's name
    } cases[] = {
        {"misspelt PACKED", "LOADPCX pic.pcx\nPAKCED hero 0 0 1 1\n",
         "job.scp:2: warning: PAKCED is no command and the line is skipped; did you mean PACKED? "
         "[-Wmisspelt-command]",
         "misspelt-command"},
        {"misspelt PALETTE", "PALLETE pal\n", "job.scp:1: warning: PALLETE is no command",
         "misspelt-command"},
        {"misspelt TEXTURE", "LOADPCX pic.pcx\ntextur t 0 0 1 1\n", "did you mean TEXTURE?",
         "misspelt-command"},
        {"comments", "; sprites\n# sprites\n// sprites\nrem sprites\nhello world\nPALETTE p\n",
         "job.scp:6: warning: PALETTE p comes before any picture of the script", "before-picture"},
        {"a FONT short of cells", "LOADPCX font.pcx\nFONT f 65 70\n",
         "job.scp:2: warning: FONT f: codes 67 to 70 got no glyph", "missing-glyphs"},
        {"a rectangle into the next row", "LOADPCX pic.pcx\nRAW r 1 0 2 1\n",
         "job.scp:2: warning: RAW r: rectangle x 8 y 0 w 16 h 8 runs past the right edge",
         "row-wrap"},
        {"an item without a name", "LOADPCX pic.pcx\nPALETTE\n",
         "job.scp:2: warning: PALETTE item without a name", "unnamed-item"},
        {"a long name", "LOADPCX pic.pcx\nPALETTE a_name_of_sixteen\n",
         "job.scp:2: warning: PALETTE item name a_name_of_sixteen is longer than 15", "long-name"},
        {"two items of one name", "LOADPCX pic.pcx\nPALETTE p\nPALETTE p\n",
         "job.scp:3: warning: job.kiv holds two items named p (entries 1 and 2)", "duplicate-name"},
        {"a failed load after a good one", "LOADPCX pic.pcx\nLOADPCX gone.pcx\nPALETTE p\n",
         "job.scp:2: warning: the commands after this line use the earlier picture (16 x 16)",
         "earlier-picture"},
        {"a link line without item name", "LNK notes.txt\n",
         "job.lnk:1: warning: notes.txt is not stored: a file line needs an item name",
         "unstored-file"},
        {"a last link line without line end", "LNK LABEL:\nnotes.txt NOTES",
         "job.lnk:2: warning: the last line has no line end and is not handled", "unended-line"},
        {"a byte-order mark", "\xEF\xBB\xBFLOADPCX pic.pcx\nPALETTE p\n",
         "job.scp:1: warning: the script begins with a UTF-8 byte-order mark (EF BB BF), so the "
         "first word of this line is no command; save the script as UTF-8 without BOM",
         "byte-order-mark"},
        {"a byte-order mark in a link script", "LNK \xEF\xBB\xBFLABEL:\n",
         "job.lnk:1: warning: the script begins with a UTF-8 byte-order mark", "byte-order-mark"},
        {"a digit after a command", "LOADPCX pic.pcx\nPACKED1 hero 0 0 1 1\n",
         "job.scp:2: warning: PACKED1 is no command and the line is skipped; did you mean PACKED?",
         "misspelt-command"},
        {"an underscore inside", "LOAD_PCX pic.pcx\n", "did you mean LOADPCX?", "misspelt-command"},
        {"an underscore after", "LOADPCX pic.pcx\nRAW_ r 0 0 1 1\n", "did you mean RAW?",
         "misspelt-command"},
        {"two letters swapped", "LOADPCX font.pcx\nFNOT f 65 66\n", "did you mean FONT?",
         "misspelt-command"},
        {"a font of codes upside down", "LOADPCX font.pcx\nFONT f 72 65\n",
         "job.scp:2: warning: FONT f: the first code 72 is above the last 65, so the font has no "
         "glyphs",
         "empty-font"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedTempDir dir;
        writePictures();
        const bool link = c.script.rfind("LNK ", 0) == 0;
        const std::string script = link ? "job.lnk" : "job.scp";
        writeText(script, link ? c.script.substr(4) : c.script);
        RunResult quiet = runKiv({"-q", script});
        RunResult plain = runKiv({script});
        const Bytes archive = readFile("job.kiv");
        EXPECT_EQ(plain.output, quiet.output) << "warnings never reach standard output";
        EXPECT_EQ(quiet.errors.find("warning"), std::string::npos) << quiet.errors;
        const bool failedLoad = c.script.find("gone.pcx") != std::string::npos;
        EXPECT_EQ(plain.status, failedLoad ? 1 : 0);
        EXPECT_NE(plain.errors.find(c.warning), std::string::npos) << plain.errors;
        EXPECT_NE(plain.errors.find(" [-W" + c.name + "]\n"), std::string::npos) << plain.errors;
        // Off by name: no warning of the kind; an error by name, or all of them with --strict.
        RunResult off = runKiv({"-Wno-" + c.name, script});
        EXPECT_EQ(off.errors.find("[-W" + c.name + "]"), std::string::npos) << off.errors;
        EXPECT_EQ(off.status, plain.status);
        const std::string other = c.name == "row-wrap" ? "long-name" : "row-wrap";
        EXPECT_EQ(runKiv({"-Werror=" + other, script}).status, plain.status);
        for (const std::string& asErrors : {std::string("--strict"), "-Werror=" + c.name}) {
            RunResult strict = runKiv({asErrors, script});
            EXPECT_EQ(strict.status, 1) << asErrors << " makes warnings errors";
            EXPECT_EQ(strict.output, plain.output);
            EXPECT_EQ(readFile("job.kiv"), archive) << "the archive is the same";
            std::string asError = c.warning;
            const size_t mark = asError.find("warning: ");
            if (mark != std::string::npos) asError.replace(mark, 9, "error: ");
            EXPECT_NE(strict.errors.find(asError), std::string::npos) << strict.errors;
        }
    }
    const RunResult unknown = runKiv({"-Werror=misspelled-command", "job.scp"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.errors,
              "kiv: no warning is named misspelled-command (kiv --help lists them)\n"
              "try 'kiv --help'\n");
}

TEST(Diagnostics, NotesSayWhyAJobDidNotDoWhatWasMeant) {
    ScopedTempDir dir;
    writePictures();
    PcxPicture white = blankPicture(16, 16);
    white.palette.fill(255);
    writePcx("white.pcx", white);
    ASSERT_EQ(mkdir("sub", 0755), 0);
    writePcx("sub/near.pcx", blankPicture(4, 4));
    writeFile("bad.kiv", bytesOf("notes, not an archive\n"));
    struct Case {
        std::string script, says;
    } cases[] = {
        {"sub/job.scp=LOADPCX near.pcx\n",
         "sub/job.scp:1: note: pictures are read from the current folder, not the script's; "
         "sub/near.pcx is there: run kiv -C sub"},
        {"job.scp=LOADPCX white.pcx\nCOLORMAP shades\n",
         "job.scp:2: note: COLORMAP shades came out flat (every shade is the entry itself): no "
         "entry lies on a shade ramp"},
        {"job.scp=LOADPCX white.pcx\nTRANSPARENT glass 1\n",
         "job.scp:2: note: TRANSPARENT glass came out flat (every cell is entry 245): blends are "
         "looked for among entries 10 to 245 only, and those hold one colour"},
        {"job.lnk=bad.kiv\n",
         "job.lnk:1: error: bad.kiv is not an archive that can be taken over: not a KIV2.0 "
         "archive (it does not begin with KIV2.0)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        const size_t equals = c.script.find('=');
        writeText(c.script.substr(0, equals), c.script.substr(equals + 1));
        const RunResult r = runKiv({c.script.substr(0, equals)});
        EXPECT_NE(r.errors.find(c.says + (c.says.back() == ')' ? "\n" : "")), std::string::npos)
            << r.errors;
    }
    // Tables with ramps and colours to blend draw no note.
    copySourceFolder("examples/project/sheet.pcx", "sheet.pcx");
    writeText("fine.scp", "LOADPCX sheet.pcx\nCOLORMAP shades\nTRANSPARENT glass 1\n");
    EXPECT_EQ(runKiv({"fine.scp"}).errors.find("note:"), std::string::npos);
}

TEST(Diagnostics, OriginalMessagesStayAndGainTheirLine) {
    ScopedTempDir dir;
    writePictures();
    writeText("job.scp", "PALETTE p\n\nLOADPCX gone.pcx\nLOADPCX text.pcx\n");
    RunResult r = runKiv({"job.scp"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output,
              "Error Opening gone.pcx\nNot a 256 Color PCX File\n\n\nUpdating keyfile \n"
              "Adding Data..\n");
    EXPECT_NE(r.errors.find("job.scp:3: error: LOADPCX gone.pcx: No such file or directory\n"),
              std::string::npos)
        << r.errors;
    EXPECT_NE(r.errors.find("job.scp:4: error: LOADPCX text.pcx: not a 256-colour PCX picture "
                            "(it begins 116 116, not 10 5)"),
              std::string::npos);
    writeText("bad.lnk", "GROUP:\nmissing.bin NAME\n");
    r = runKiv({"bad.lnk"});
    EXPECT_NE(r.output.find("File not found error !!! (missing.bin)11\n"), std::string::npos);
    EXPECT_NE(r.errors.find("bad.lnk:2: error: missing.bin: No such file or directory"),
              std::string::npos);
}

TEST(CommandLine, Options) {
    ScopedTempDir dir;
    writePictures();
    ASSERT_EQ(mkdir("sub", 0755), 0);
    writeText("sub/s.scp", "PALETTE p\n");
    writeText("-odd.scp", "PALETTE p\n");
    RunResult r = runKiv({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* option : {"-C DIR", "--depfile FILE", "--strict", "--quiet", "--verbose",
                               "--version", "/k", "Exit status"}) {
        EXPECT_NE(r.output.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(runKiv({"-h"}).output, r.output);
    r = runKiv({"--version"});
    EXPECT_EQ(r.output, "kiv 1.1\n");
    EXPECT_EQ(r.status, 0);
    // Wrong words: one line and where the help is, nothing run.
    const std::pair<std::vector<std::string>, std::string> wrong[] = {
        {{"--bogus", "sub/s.scp"}, "unknown option --bogus"},
        {{"-x"}, "unknown option -x"},
        {{"--pallete", "p.pcx", "sub/s.scp"}, "unknown option --pallete; did you mean --palette?"},
        {{"--wacth", "sub/s.scp"}, "unknown option --wacth; did you mean --watch?"},
        {{"-C"}, "-C needs a value"},
        {{"-v"}, "a script is needed"},
        {{"--watch", "--depfile", "x.d", "sub/s.scp"},
         "--watch writes no dependency file: leave out --depfile"},
        {{"--dither", "none", "sub/s.scp"},
         "the options of true-colour pictures need --palette SOURCE"},
    };
    for (const auto& [words, says] : wrong) {
        SCOPED_TRACE(words[0]);
        r = runKiv(words);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.output, "");
        EXPECT_EQ(r.errors, "kiv: " + says + "\ntry 'kiv --help'\n");
        EXPECT_FALSE(fileExists("sub/s.kiv"));
    }
    // "--" ends the options; -C changes the folder first; -v sums up.
    EXPECT_EQ(runKiv({"--", "-odd.scp"}).status, 0);
    EXPECT_TRUE(fileExists("-odd.kiv"));
    r = runKiv({"-C", "sub", "-v", "s.scp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(
        r.errors.ends_with("kiv: wrote s.kiv: 1 entries, 808 bytes; 0 errors, 1 warnings\n"))
        << r.errors;
    EXPECT_TRUE(fileExists("sub/s.kiv"));
    EXPECT_FALSE(fileExists("sub/datatemp.dat"));
    // The original form and its output are untouched.
    r = runKiv({"sub/s.scp", "/k"});
    EXPECT_EQ(r.output, "\nKey Pause Active !!!!\n\n\nUpdating keyfile \nAdding Data..\n");
    r = runKiv({});
    EXPECT_EQ(r.output,
              "\nUSAGE: kiv <Script Filename>\n\nScript extention .LNK is used to Identify Link "
              "Files\n\n");
}

TEST(CommandLine, ScriptNamesInAnyLetterCase) {
    ScopedTempDir dir;
    writePictures();
    writeText("art.scp", "LOADPCX pic.pcx\nPALETTE p\n");
    writeText("win.lnk", "notes.txt NOTES\n");
    EXPECT_EQ(runKiv({"ART.SCP"}).status, 0);
    EXPECT_EQ(parseArchive("ART.kiv").header.count, 1) << "named as given, beside the script";
    RunResult r = runKiv({"WIN.LNK"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Script      = (WIN.lnk)"), std::string::npos);
    EXPECT_EQ(parseArchive("WIN.kiv").name(0), "NOTES");
    writeText("Win.lnk", "notes.txt OTHER\n");
    EXPECT_EQ(runKiv({"WIN.LNK"}).status, 255) << "two names match: neither is taken";
}

TEST(CommandLine, DependencyFiles) {
    ScopedTempDir dir;
    writePictures();
    writeText("job.scp", "LOADPCX pic.pcx\nLOADPCX font.pcx\nLOADPCX pic.pcx\nPALETTE p\n");
    ASSERT_EQ(runKiv({"--depfile", "job.d", "job.scp"}).status, 0);
    EXPECT_EQ(readFile("job.d"), bytesOf("job.kiv: \\\n  job.scp \\\n  pic.pcx \\\n  font.pcx\n"
                                         "\npic.pcx:\n\nfont.pcx:\n"));
    writeFile("other.kiv", readFile("job.kiv"));
    writeText("game.lnk", "GROUP:\nnotes.txt NOTES\nother.kiv\n");
    ASSERT_EQ(runKiv({"--depfile", "game.d", "game.lnk"}).status, 0);
    EXPECT_EQ(readFile("game.d"),
              bytesOf("game.kiv: \\\n  game.lnk \\\n  notes.txt \\\n  other.kiv\n"
                      "\nnotes.txt:\n\nother.kiv:\n"));
    // Names are escaped for Make.
    writePcx("sheet$1#.pcx", blankPicture(8, 8, 2));
    writeText("odd.scp", "LOADPCX sheet$1#.pcx\n");
    ASSERT_EQ(runKiv({"--depfile", "odd.d", "odd.scp"}).status, 0);
    EXPECT_EQ(readFile("odd.d"),
              bytesOf("odd.kiv: \\\n  odd.scp \\\n  sheet$$1\\#.pcx\n\nsheet$$1\\#.pcx:\n"));
    // A picture or file the job could not read is named too (the job reruns once it is
    // there), and Make does not stop when an input is gone.
    writeText("gone.scp", "LOADPCX pic.pcx\nLOADPCX missing.pcx\nPALETTE p\n");
    EXPECT_EQ(runKiv({"--depfile", "gone.d", "gone.scp"}).status, 1);
    EXPECT_EQ(readFile("gone.d"),
              bytesOf("gone.kiv: \\\n  gone.scp \\\n  pic.pcx \\\n  missing.pcx\n"
                      "\npic.pcx:\n\nmissing.pcx:\n"));
    writeText("gone.lnk", "notes.txt NOTES\nabsent.bin ABSENT\n");
    EXPECT_EQ(runKiv({"--depfile", "gone.d", "gone.lnk"}).status, 1);
    const Bytes gone = readFile("gone.d");
    EXPECT_NE(std::string(gone.begin(), gone.end()).find("\nabsent.bin:\n"), std::string::npos);
    writeText("Makefile", "job.kiv: job.scp\n\ttouch job.kiv\n-include job.d\n");
    ASSERT_EQ(std::remove("font.pcx"), 0);
    EXPECT_EQ(std::system("make -s job.kiv > /dev/null 2>&1"), 0) << "no rule for font.pcx";
    // A file that cannot be written is an error; a job that does not finish its archive writes
    // none.
    EXPECT_EQ(runKiv({"--depfile", "no/such/game.d", "game.lnk"}).status, 1);
    writeText("late.scp", "PALETTE p\n");
    ASSERT_EQ(mkdir("datatemp.dat", 0755), 0);
    EXPECT_EQ(runKiv({"--depfile", "late.d", "late.scp"}).status, 255);
    EXPECT_FALSE(fileExists("late.d"));
}

TEST(Pipelines, ExampleBuildsAgainOnlyWhatChanged) {
    ScopedTempDir dir;
    copySourceFolder("examples/project", "project");
    copySourceFolder("examples/pipeline", "pipeline");
    const std::string kiv = KIV_BINARY_PATH;
    struct Build {
        const char* name;
        std::string first, again;  // commands, run in the folder "out-NAME"
    } builds[] = {
        {"ninja",
         "cmake -S ../pipeline -B . -G Ninja -DKIV=" + kiv + " > log 2>&1 && ninja >> log 2>&1",
         "ninja >> log 2>&1"},
        {"make", "make -f ../pipeline/Makefile KIV=" + kiv + " > log 2>&1",
         "make -f ../pipeline/Makefile KIV=" + kiv + " >> log 2>&1"},
    };
    for (const Build& b : builds) {
        SCOPED_TRACE(b.name);
        const std::string out = std::string("out-") + b.name;
        ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
        auto inOut = [&](const std::string& command) {
            return std::system(("cd " + out + " && " + command).c_str());
        };
        ASSERT_EQ(inOut(b.first), 0) << readFile(out + "/log").size();
        const char* archives[] = {"art.kiv", "letters.kiv", "tables.kiv", "game.kiv"};
        std::map<std::string, int64_t> before;
        for (const char* a : archives) before[a] = modified(out + "/" + a);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(inOut(b.again), 0);
        for (const char* a : archives)
            EXPECT_EQ(modified(out + "/" + a), before[a]) << "nothing to do: " << a;
        // The sheet is read by art.scp and tables.scp; the font only by letters.scp.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(std::system("touch project/sheet.pcx"), 0);
        ASSERT_EQ(inOut(b.again), 0);
        EXPECT_NE(modified(out + "/art.kiv"), before["art.kiv"]);
        EXPECT_NE(modified(out + "/tables.kiv"), before["tables.kiv"]);
        EXPECT_NE(modified(out + "/game.kiv"), before["game.kiv"]) << "and the final link";
        EXPECT_EQ(modified(out + "/letters.kiv"), before["letters.kiv"]);
        // A picture the script names that is missing fails the build, every time, until it is
        // there; a picture renamed in the script and on disk builds.
        writeText("project/art.scp", "LOADPCX sheet.pcx\nRAW r 1000 1000 1 1\n");
        EXPECT_NE(inOut(b.again), 0);
        EXPECT_NE(inOut(b.again), 0) << "a failed job never looks up to date";
        writeText("project/art.scp", "LOADPCX " + std::string(b.name) + ".pcx\nPALETTE p\n");
        EXPECT_NE(inOut(b.again), 0);
        EXPECT_NE(inOut(b.again), 0) << "nor does one that missed a picture";
        ASSERT_EQ(
            std::system(("cp project/sheet.pcx project/" + std::string(b.name) + ".pcx").c_str()),
            0);
        EXPECT_EQ(inOut(b.again), 0);
        EXPECT_EQ(parseArchive(out + "/art.kiv").entries.size(), 1u);
        ASSERT_EQ(std::rename("project/font.pcx",
                              ("project/font-" + std::string(b.name) + ".pcx").c_str()),
                  0);
        writeText("project/letters.scp",
                  "LOADPCX font-" + std::string(b.name) + ".pcx\nFONT letters 65 72\n");
        EXPECT_EQ(inOut(b.again), 0);
        ASSERT_EQ(std::rename(("project/font-" + std::string(b.name) + ".pcx").c_str(),
                              "project/font.pcx"),
                  0);
        ASSERT_EQ(std::remove(("project/" + std::string(b.name) + ".pcx").c_str()), 0);
        copySourceFolder("examples/project/art.scp", "project/art.scp");
        copySourceFolder("examples/project/letters.scp", "project/letters.scp");
    }
    // The same inputs give the same bytes, whichever folder and build made them.
    for (const char* a : {"art.kiv", "letters.kiv", "tables.kiv", "game.kiv"}) {
        EXPECT_EQ(readFile(std::string("out-ninja/") + a), readFile(std::string("out-make/") + a))
            << a;
    }
}
