// Files and numbers that kiv must not trust: what lies in the job's folder, what a script names,
// how a job can be cut short, and the limits the formats set. Each case checks what is left on
// disk, not only the exit status.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <functional>
#include <thread>

#include "archive/archive_reader.h"
#include "archive/archive_writer.h"
#include "archive/link_processor.h"
#include "common/console.h"
#include "common/script_text.h"
#include "common/transfer_buffer.h"
#include "grab/commands.h"
#include "grab/packed_sprite.h"
#include "support/grab_harness.h"
#include "support/pcx_writer.h"
#include "support/test_support.h"

using namespace kiv;
using namespace kivtest;

namespace {

// The partial files of an archive in a folder (".NAME.kiv.XXXXXX").
std::vector<std::string> partials(const std::string& folder, const std::string& archive) {
    std::vector<std::string> found;
    for (const std::string& name : folderEntries(folder)) {
        if (name.rfind("." + archive + ".", 0) == 0) found.push_back(name);
    }
    return found;
}

bool waitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 20000; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// A well-formed archive whose every entry's data lies inside it.
void expectWellFormed(const std::string& path) {
    ReadableFile file;
    ASSERT_TRUE(file.open(path)) << path;
    const ArchiveDirectory dir = readArchiveDirectory(file, kStrictRules);
    EXPECT_TRUE(dir.usable()) << path << ": " << dir.problems.front().describe();
}

// A grab job long enough to be caught running: each line writes 1.5 MB of blend tables.
std::string longScript(int lines) {
    std::string script;
    for (int i = 0; i < lines; ++i) script += "TRANSPARENT t 23\n";
    return script;
}

}  // namespace

TEST(Hardening, TemporaryFileThatIsNotThisJobsOwnIsRefused) {
    ScopedTempDir dir;
    ASSERT_EQ(mkdir("work", 0755), 0);
    writeText("work/job.scp", "PALETTE pal\n");
    struct Case {
        const char* what;
        std::function<bool()> plant;  // false: cannot be set up here
    } cases[] = {
        {"a link to a file outside the folder",
         [] { return symlink("../victim", "work/datatemp.dat") == 0; }},
        {"a dangling link", [] { return symlink("../created", "work/datatemp.dat") == 0; }},
        {"a FIFO", [] { return mkfifo("work/datatemp.dat", 0644) == 0; }},
        {"a hard link to another file", [] { return link("victim", "work/datatemp.dat") == 0; }},
        {"another user's file",
         [] {
             writeText("work/datatemp.dat", "theirs");
             return geteuid() == 0 && chown("work/datatemp.dat", 65534, 65534) == 0;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeText("victim", "precious");
        unlink("work/datatemp.dat");
        if (!c.plant()) {
            std::printf("skipped here: %s\n", c.what);
            continue;
        }
        struct stat before {};
        lstat("work/datatemp.dat", &before);
        RunOptions options;
        options.timeoutSeconds = 20;
        RunResult r = runKivWith({"job.scp"}, "work", options);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.output, "\nError File Not Found\n");
        EXPECT_NE(r.errors.find("datatemp.dat"), std::string::npos) << r.errors;
        EXPECT_EQ(readFile("victim"), bytesOf("precious"));
        EXPECT_FALSE(fileExists("created"));
        EXPECT_EQ(folderEntries("work"), (std::vector<std::string>{"datatemp.dat", "job.scp"}))
            << "no archive and no partial file";
        struct stat after {};
        lstat("work/datatemp.dat", &after);
        EXPECT_EQ(after.st_size, before.st_size) << "the planted file is not emptied";
    }
}

TEST(Hardening, NonRegularFilesAreRefusedNotWaitedFor) {
    ScopedTempDir dir;
    for (const char* name : {"fifo.pcx", "fifo.bin", "fifo.kiv", "fifo.scp"}) {
        ASSERT_EQ(mkfifo(name, 0644), 0);
    }
    writeText("pic.scp", "LOADPCX fifo.pcx\nPALETTE pal\n");
    writeText("file.lnk", "fifo.bin NAME\n");
    writeText("merge.lnk", "fifo.kiv\n");
    struct Case {
        std::string script;
        std::string output;   // a part of standard output
        std::string errors;   // a part of standard error
        std::string archive;  // "" when none may be written
    } cases[] = {
        {"pic.scp", "Error Opening fifo.pcx\n",
         "pic.scp:1: error: LOADPCX fifo.pcx: not a regular file", "pic.kiv"},
        {"file.lnk", "", "file.lnk:1: error: cannot read fifo.bin: not a regular file", "file.kiv"},
        {"merge.lnk", "Unpacking KIV (fifo.kiv)",
         "merge.lnk:1: error: cannot read fifo.kiv: not a regular file", "merge.kiv"},
        {"fifo.scp", "(fifo.scp)", "cannot read the grab script fifo.scp: not a regular file", ""},
        {"/dev/zero", "(/dev/zero)", "cannot read the grab script /dev/zero: not a regular file",
         ""},
    };
    RunOptions options;
    options.timeoutSeconds = 20;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        RunResult r = runKivWith({c.script}, ".", options);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find(c.output), std::string::npos) << r.output;
        EXPECT_NE(r.errors.find(c.errors), std::string::npos) << r.errors;
        if (!c.archive.empty()) expectWellFormed(c.archive);
        EXPECT_TRUE(partials(".", "fifo.kiv").empty());
    }
    EXPECT_FALSE(fileExists("/dev/zero.kiv"));
    EXPECT_TRUE(partials("/dev", "zero.kiv").empty());
}

TEST(Hardening, ReplacedArchiveKeepsItsMode) {
    ScopedTempDir dir;
    writeText("job.scp", "PALETTE pal\n");
    for (mode_t mode : {0600, 0640, 0604}) {
        SCOPED_TRACE(mode);
        writeText("job.kiv", "old");
        ASSERT_EQ(chmod("job.kiv", mode), 0);
        ASSERT_EQ(runKiv({"job.scp"}).status, 0);
        struct stat info {};
        ASSERT_EQ(stat("job.kiv", &info), 0);
        EXPECT_EQ(info.st_mode & 07777, mode);
        EXPECT_EQ(info.st_size, 12 + 28 + 768);
    }
    unlink("job.kiv");
    const mode_t mask = umask(022);
    ASSERT_EQ(runKiv({"job.scp"}).status, 0);
    umask(mask);
    struct stat info {};
    ASSERT_EQ(stat("job.kiv", &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u) << "a new archive: 0666 less the umask";
}

TEST(Hardening, KilledJobsLeaveNoPartialFilesForLong) {
    ScopedTempDir dir;
    writeText("job.kiv", "old");
    for (int kill = 0; kill < 3; ++kill) {
        writeText("job.scp", longScript(200));
        pid_t pid = startKiv({"job.scp"});
        ASSERT_TRUE(waitFor([] { return !partials(".", "job.kiv").empty(); }));
        ::kill(pid, SIGKILL);
        EXPECT_EQ(waitStatus(pid), 128 + SIGKILL);
    }
    EXPECT_EQ(partials(".", "job.kiv").size(), 1u)
        << "each job removes what the killed ones left; the last kill's remains";
    EXPECT_EQ(readFile("job.kiv"), bytesOf("old")) << "the old archive stands";
    writeText("job.scp", "PALETTE pal\n");
    ASSERT_EQ(runKiv({"job.scp"}).status, 0);
    EXPECT_EQ(folderEntries(), (std::vector<std::string>{"job.kiv", "job.scp"}));
    expectWellFormed("job.kiv");
}

TEST(Hardening, RunningJobsKeepTheirPartialFiles) {
    ScopedTempDir dir;
    ASSERT_EQ(mkdir("one", 0755), 0);
    ASSERT_EQ(mkdir("two", 0755), 0);
    ASSERT_EQ(mkdir("shared", 0755), 0);
    // The same archive from two folders: two temporary files, so the jobs do not take turns.
    writeText("shared/job.scp", longScript(20));
    pid_t first = startKiv({"../shared/job.scp"}, "one");
    // Its first item is in the temporary file: the partial archive is made and locked by then.
    ASSERT_TRUE(waitFor([] {
        struct stat info {};
        return stat("one/datatemp.dat", &info) == 0 && info.st_size > 0;
    }));
    ::kill(first, SIGSTOP);
    const std::vector<std::string> held = partials("shared", "job.kiv");
    ASSERT_EQ(runKiv({"../shared/job.scp"}, "two").status, 0);
    for (const std::string& name : held) {
        EXPECT_TRUE(fileExists("shared/" + name)) << "a running job's partial file stays";
    }
    ::kill(first, SIGCONT);
    EXPECT_EQ(waitStatus(first), 0);
    EXPECT_TRUE(partials("shared", "job.kiv").empty());
    expectWellFormed("shared/job.kiv");
}

TEST(Hardening, FileSizeLimitIsAReportedFailure) {
    ScopedTempDir dir;
    std::string script;
    for (int i = 0; i < 10; ++i) script += "PALETTE p" + std::to_string(i) + "\n";
    writeText("job.scp", script);
    writeText("job.kiv", "old");
    writeFile("big.bin", patternBytes(8000, 3));
    writeText("link.lnk", "big.bin BIG\n");
    writeText("link.kiv", "old");
    for (const char* job : {"job.scp", "link.lnk"}) {
        SCOPED_TRACE(job);
        RunOptions options;
        options.fileSizeLimit = 4096;
        RunResult r = runKivWith({job}, ".", options);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.errors.find("File too large"), std::string::npos) << r.errors;
        EXPECT_EQ(readFile("job.kiv"), bytesOf("old"));
        EXPECT_EQ(readFile("link.kiv"), bytesOf("old"));
        EXPECT_TRUE(partials(".", "job.kiv").empty());
        EXPECT_TRUE(partials(".", "link.kiv").empty());
        EXPECT_FALSE(fileExists("datatemp.dat"));
    }
}

TEST(Hardening, NumbersFromScriptsBoundTheWork) {
    // Rectangles without columns end at once, whatever their height; the ×8 scale saturates.
    GrabHarness h;
    h.setPicture(16, 8, Bytes(128, 5));
    EXPECT_TRUE(h.run("RAW r 0 0 0 268435456").empty());
    Bytes texture = h.run("TEXTURE t 0 0 0 268435456");
    ASSERT_EQ(texture.size(), 12u);
    EXPECT_EQ(loadLE32(texture.data() + 4), INT32_MAX);
    EXPECT_TRUE(h.run("RAW r 300000000 0 1 1").empty());
    EXPECT_NE(h.channels.diagnostics().find("x 2147483647"), std::string::npos);
    EXPECT_TRUE(h.run("PACKED p -300000000 0 1 1").empty());
    EXPECT_NE(h.channels.diagnostics().find("x -2147483648"), std::string::npos);
}

TEST(Hardening, ItemBufferCapacityIsExact) {
    GrabHarness h;
    h.setPicture(8, 4, Bytes(32, 7));
    h.ctx.cursor = 0;
    EXPECT_TRUE(fitsItemBuffer(h.ctx, kItemBufferBytes));
    EXPECT_FALSE(fitsItemBuffer(h.ctx, kItemBufferBytes + 1));
    // A sprite that ends exactly at the buffer's end fits; one byte later it does not.
    const int64_t size = packedSpriteSize(pictureWindow(h.ctx, 0, 0, 8, 4), false);
    h.ctx.cursor = kItemBufferBytes - static_cast<size_t>(size);
    EXPECT_TRUE(encodePackedSprite(h.ctx, 0, 0, 8, 4, false));
    EXPECT_EQ(h.ctx.cursor, kItemBufferBytes);
    h.ctx.cursor = kItemBufferBytes - static_cast<size_t>(size) + 1;
    int64_t needed = 0;
    EXPECT_FALSE(encodePackedSprite(h.ctx, 0, 0, 8, 4, false, &needed));
    EXPECT_EQ(needed, size);
}

TEST(Hardening, SpritesAndFontsReadZeroBelowAShortPicture) {
    GrabHarness h;
    // The buffer beyond the 6 × 4 picture holds stale bytes; they must never reach an item.
    std::fill(h.ctx.picture.begin(), h.ctx.picture.end(), 99);
    Bytes sheet(24, 0);
    sheet[0] = 255;        // top marker at row 0
    sheet[2 * 6] = 255;    // bottom marker at row 2: h = 1, bands at rows 1, 3, 5 …
    sheet[3 * 6 + 2] = 7;  // a glyph in the band at row 3; the band at row 5 lies below
    h.ctx.width = 6;
    h.ctx.height = 4;
    std::copy(sheet.begin(), sheet.end(), h.ctx.picture.begin());
    h.ctx.preview = h.ctx.picture;
    h.ctx.pictureLoaded = true;
    Bytes font = h.call(grabFont, "FONT", "f", {0, 65, 70, 0, 0});
    const FontHeader header = FontHeader::load(font.data());
    EXPECT_EQ(header.height, 1);
    EXPECT_EQ(header.glyphWidth[65], 1) << "the glyph at row 3";
    EXPECT_EQ(header.glyphOffset[66], -1) << "no cell below the picture";
    for (size_t i = FontHeader::kBytes; i < font.size(); ++i) EXPECT_NE(font[i], 99) << i;
}

TEST(Hardening, ScriptReaderDropsCarriageReturnsAcrossItsBufferEdge) {
    ScopedTempDir dir;
    std::string text(16383, 'x');
    for (size_t i = 99; i < text.size(); i += 100) text[i] = '\n';
    text += "\r\nlast\r\n";  // the '\r' is the buffer's last byte, its '\n' the next buffer's first
    writeText("s.scp", text);
    ScriptReader reader;
    ASSERT_TRUE(reader.open("s.scp"));
    char line[kScriptLineBytes];
    std::string all;
    while (!reader.atEnd()) {
        reader.readLine(line, kScriptLineChars);
        all += line;
    }
    EXPECT_EQ(all.find('\r'), std::string::npos);
    EXPECT_TRUE(all.ends_with("x\nlast\n"));
}

TEST(Hardening, OffsetsPast2GiBAreRefusedAtTheLimit) {
    ScopedTempDir dir;
    ASSERT_TRUE(createTransferBuffer());
    CapturedChannels channels;
    ArchiveWriter writer;
    beginArchive(writer, "big.scp");
    // As if 2 GiB less a little had been written (the temporary file is sparse).
    writer.dataOffset = INT32_MAX - 12 - 28 - 10;
    EXPECT_TRUE(hasDataRoom(writer, 1, 10));
    EXPECT_FALSE(hasDataRoom(writer, 1, 11));
    EXPECT_FALSE(hasDataRoom(writer, 2, 0));
    const Bytes ten = patternBytes(10, 1);
    addItem(writer, "fits", ten.data(), 10);
    EXPECT_EQ(writer.header.count, 1);
    try {
        addItem(writer, "over", ten.data(), 1);
        FAIL() << "the job must end";
    } catch (const JobExit& e) {
        EXPECT_EQ(e.status(), kJobError);
    }
    EXPECT_NE(channels.diagnostics().find("2 GiB"), std::string::npos);
    EXPECT_TRUE(folderEntries().empty()) << "partial archive and temporary file removed";
}

TEST(Hardening, MergingThisRunsOwnPartialArchiveIsRefused) {
    ScopedTempDir dir;
    ASSERT_TRUE(createTransferBuffer());
    CapturedChannels channels;
    ArchiveWriter writer;
    beginArchive(writer, "job.scp");
    const Bytes a = patternBytes(5, 1);
    addItem(writer, "a", a.data(), 5);
    EXPECT_FALSE(mergeArchive(writer, writer.partialName.c_str()));
    EXPECT_NE(channels.diagnostics().find("it is the archive this run writes"), std::string::npos);
    EXPECT_EQ(writer.header.count, 1);
}

TEST(Hardening, OffsetFixUpOfMoreEntriesThanOneSliceHolds) {
    ScopedTempDir dir;
    ASSERT_TRUE(createTransferBuffer());
    CapturedChannels channels;
    const size_t perSlice = kTransferBufferBytes / kEntryBytes;
    std::vector<EntrySpec> entries(perSlice + 40);
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].data = Bytes{static_cast<uint8_t>(i)};
    }
    writeFile("many.kiv", buildArchive(entries));
    writeText("job.lnk", "many.kiv\n");
    ArchiveWriter writer;
    runLinkScript(writer, "job.lnk");
    ParsedArchive a = parseArchive("job.kiv");
    ASSERT_EQ(a.entries.size(), entries.size());
    for (size_t i : {size_t{0}, perSlice - 1, perSlice, entries.size() - 1}) {
        SCOPED_TRACE(i);
        EXPECT_EQ(a.entries[i].offset, static_cast<int32_t>(12 + 28 * entries.size() + i));
        EXPECT_EQ(a.data(i), Bytes{static_cast<uint8_t>(i)});
    }
}

// A directory longer than one read of the reader (4,096 entries) is read whole: every entry, and
// a problem in the second block named by its own number.
TEST(Hardening, DirectoriesLongerThanOneReadAreReadWhole) {
    std::vector<EntrySpec> entries;
    for (int k = 0; k < 9000; ++k) {
        std::string name = "e";  // piece by piece: GCC 12 at -O3 warns of "lit" + text
        name += std::to_string(k);
        entries.push_back({name, Bytes(1, 7)});
    }
    Bytes bytes = buildArchive(entries);
    storeLE32(bytes.data() + 12 + 28 * 4096 + 8, -1);  // entry 4097: a negative length
    ScopedTempDir dir;
    writeFile("many.kiv", bytes);
    ReadableFile file;
    ASSERT_TRUE(file.open("many.kiv"));
    const ArchiveDirectory read = readArchiveDirectory(file, kStrictRules);
    ASSERT_EQ(read.entries.size(), 9000u);
    EXPECT_EQ(entryName(read.entries[8999]), "e8999");
    EXPECT_EQ(read.entries[4095].length, 1);
    ASSERT_EQ(read.problems.size(), 1u);
    EXPECT_EQ(read.problems[0].describe(), "entry 4097 (e4096): negative length -1");
    const ArchiveDirectory parsed =
        parseArchiveDirectory(bytes, static_cast<int64_t>(bytes.size()), kStrictRules);
    for (size_t k = 0; k < parsed.entries.size(); ++k)
        ASSERT_EQ(read.entries[k].bytes(), parsed.entries[k].bytes()) << k;
}

TEST(Hardening, TransparentShowsEveryLevelAsItIsDone) {
    GrabHarness h;
    h.display.keepFrames = true;
    std::array<uint8_t, 768> colours{};
    for (int i = 0; i < 768; ++i) colours[i] = static_cast<uint8_t>(i % 256);
    ASSERT_TRUE(h.preview.beginPicture(256, 256, colours.data()));
    h.setPicture(256, 256, Bytes(65536, 1));
    for (int i = 0; i < 768; ++i) h.ctx.palette[i] = static_cast<uint8_t>(colours[i] >> 2);
    Bytes tables = h.run("TRANSPARENT glass 3");
    ASSERT_EQ(h.display.frames.size(), 3u) << "one refresh per level";
    for (int level = 0; level < 3; ++level) {
        SCOPED_TRACE(level);
        // The bitmap is bottom-up: its last row is the table's row 0.
        const Bytes& frame = h.display.frames[static_cast<size_t>(level)];
        EXPECT_TRUE(std::equal(frame.end() - 256, frame.end(), tables.begin() + level * 65536));
        EXPECT_TRUE(std::equal(frame.begin(), frame.begin() + 256,
                               tables.begin() + level * 65536 + 255 * 256));
    }
}
