// kivtool and kiv --depfile on archives of many entries, against what users would use instead on
// the same data: tar xf for extract and unpack, the job without --depfile, reading both files
// for diff. Each
// side runs the same number of times; the median and the minimum of both are printed.
//   kiv_scale_bench [N]   N entries for extract, unpack, --depfile and diff (default 100000)
//   kiv_scale_bench N --diff   diff alone at 10,000, 100,000 and 1,000,000 entries, of two
//                              disjoint archives and of two that differ in one byte
//   kiv_scale_bench N --jobs   200 grab scripts: kiv -j 2 against a loop of kiv and make -j 2
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "archive/archive_format.h"
#include "common/byte_order.h"

extern char** environ;

namespace {

std::string folder;

struct Measure {
    double seconds = 0;
    long maxKiB = 0;  // the largest resident size of the program (and what it waited for)
    int status = -1;
};

// Runs a shell command line in the work folder, its output thrown away.
Measure run(const std::string& command) {
    const std::string line = "cd '" + folder + "' && (" + command + ") > /dev/null 2>&1";
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                    const_cast<char*>(line.c_str()), nullptr};
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    Measure m;
    if (posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, environ) != 0) return m;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.maxKiB = usage.ru_maxrss;
    m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return m;
}

struct Timing {
    double median = 0, minimum = 0;
    long maxKiB = 0;
};

// runs times: prepare (untimed), then command (timed).
Timing timed(const std::string& prepare, const std::string& command, int runs) {
    std::vector<double> seconds;
    Timing t;
    for (int i = 0; i < runs; ++i) {
        if (!prepare.empty()) run(prepare);
        run("sync");
        const Measure m = run(command);
        seconds.push_back(m.seconds);
        t.maxKiB = std::max(t.maxKiB, m.maxKiB);
    }
    std::sort(seconds.begin(), seconds.end());
    t.median = seconds[seconds.size() / 2];
    t.minimum = seconds.front();
    return t;
}

void side(const char* what, const Timing& ours, const char* other, const Timing& theirs) {
    std::printf("  %s: median %.3f s (min %.3f), %s median %.3f s (min %.3f): %.2f times\n", what,
                ours.median, ours.minimum, other, theirs.median, theirs.minimum,
                ours.median / theirs.median);
}

// An archive of count items of size bytes each, written as kiv writes it; names from prefix.
void writeArchive(const std::string& path, int count, size_t size, const char* prefix,
                  uint32_t seed) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::exit(1);
    kiv::ArchiveHeader header;
    std::memcpy(header.magic.data(), kiv::kArchiveMagic, 6);
    header.count = count;
    const auto h = header.bytes();
    std::fwrite(h.data(), 1, h.size(), f);
    int64_t offset = static_cast<int64_t>(kiv::kHeaderBytes + kiv::kEntryBytes * size_t(count));
    for (int i = 0; i < count; ++i) {
        kiv::ArchiveEntry e;
        e.offset = static_cast<int32_t>(offset);
        e.length = static_cast<int32_t>(size);
        std::snprintf(reinterpret_cast<char*>(e.name.data()), e.name.size(), "%s%07d", prefix, i);
        const auto b = e.bytes();
        std::fwrite(b.data(), 1, b.size(), f);
        offset += static_cast<int64_t>(size);
    }
    std::vector<uint8_t> data(size);
    uint32_t x = seed;
    for (int i = 0; i < count; ++i) {
        for (auto& v : data) {
            x = x * 1103515245u + 12345u;
            v = static_cast<uint8_t>(x >> 24);
        }
        std::fwrite(data.data(), 1, data.size(), f);
    }
    if (std::fclose(f) != 0) std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 100000;
    char tmpl[] = "/tmp/kiv-scale-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    folder = tmpl;
    const std::string kivtool = KIVTOOL_BINARY, kiv = KIV_BINARY;
    std::printf("kivtool and --depfile at scale (%d entries of 16 bytes)\n", n);
    // 200 grab scripts (each the example's art.scp under its own name), three ways: kiv -j 2,
    // a loop of kiv processes, make -j 2 running one kiv a script.
    if (argc > 2 && std::string(argv[2]) == "--jobs") {
        run(std::string("cp ") + KIV_SOURCE_DIR + "/examples/project/sheet.pcx .");
        std::string names, makefile = "all:";
        for (int i = 0; i < 200; ++i) {
            std::string name = "s";
            name += std::to_string(i);
            run(std::string("cp ") + KIV_SOURCE_DIR + "/examples/project/art.scp " + name + ".scp");
            names += ' ';
            names += name;
            names += ".scp";
            makefile += ' ';
            makefile += name;
            makefile += ".kiv";
        }
        makefile += "\n%.kiv: %.scp\n\t" + kiv + " -q $< > /dev/null\n";
        std::FILE* mk = std::fopen((folder + "/Makefile").c_str(), "w");
        if (mk == nullptr) return 1;
        std::fputs(makefile.c_str(), mk);
        std::fclose(mk);
        std::string together2 = kiv;
        together2 += " -q -j 2";
        together2 += names;
        const Timing together = timed("rm -f s*.kiv", together2, 5);
        std::string each = "for s in";  // piece by piece: GCC 12 at -O3 warns of "lit" + text
        each += names;
        each += "; do ";
        each += kiv;
        each += " -q $s; done";
        const Timing loop = timed("rm -f s*.kiv", each, 5);
        const Timing make = timed("rm -f s*.kiv", "make -s -j 2", 5);
        side("200 grab scripts: kiv -j 2", together, "a loop of kiv processes", loop);
        side("200 grab scripts: kiv -j 2", together, "make -j 2", make);
        return 0;
    }
    // --diff: diff alone at 10,000, 100,000 and 1,000,000 entries, whose cost must grow linearly.
    if (argc > 2 && std::string(argv[2]) == "--diff") {
        for (const int size : {10000, 100000, 1000000}) {
            writeArchive(folder + "/a.kiv", size, 16, "a", 2);
            writeArchive(folder + "/b.kiv", size, 16, "b", 3);
            const Timing diff = timed("", kivtool + " diff a.kiv b.kiv", 3);
            const Timing both = timed("", "cat a.kiv b.kiv > /dev/null", 3);
            const std::string what = "diff of " + std::to_string(size) + " entries, none in common";
            side(what.c_str(), diff, "reading both files", both);
            // The same archive with the last byte of its last item changed.
            run("cp a.kiv c.kiv && printf x | dd of=c.kiv bs=1 seek=$(($(stat -c %s a.kiv) - 1)) "
                "conv=notrunc");
            const Timing one = timed("", kivtool + " diff a.kiv c.kiv", 3);
            const std::string changed = "diff of " + std::to_string(size) + " entries, one changed";
            side(changed.c_str(), one, "reading both files", both);
        }
        return 0;
    }

    writeArchive(folder + "/many.kiv", n, 16, "e", 1);
    run(kivtool + " extract many.kiv -o files && tar cf many.tar -C files .");
    const Timing extract = timed("rm -rf x", kivtool + " extract many.kiv -o x", 3);
    const Timing tar = timed("rm -rf t && mkdir t", "tar xf many.tar -C t", 3);
    side("extract", extract, "tar xf", tar);
    const Timing unpack = timed("rm -rf u", kivtool + " unpack many.kiv u", 3);
    side("unpack", unpack, "tar xf", tar);

    // A link job of n files, with and without the dependency file.
    std::string script;
    for (int i = 0; i < n; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "files/e%07d e%07d\n", i, i);
        script += line;
    }
    std::FILE* f = std::fopen((folder + "/big.lnk").c_str(), "w");
    if (f == nullptr) return 1;
    std::fwrite(script.data(), 1, script.size(), f);
    std::fclose(f);
    const Timing plain = timed("", kiv + " -q big.lnk", 3);
    const Timing depfile = timed("", kiv + " -q --depfile big.d big.lnk", 3);
    std::printf(
        "  link job of %d files: median %.3f s (min %.3f), with --depfile median %.3f s "
        "(min %.3f): --depfile costs %.0f %%\n",
        n, plain.median, plain.minimum, depfile.median, depfile.minimum,
        (depfile.median / plain.median - 1) * 100);
    // What reading the same files costs on its own: cat of every one, in the link job's order.
    const Timing cat = timed("", "cut -d' ' -f1 big.lnk | xargs cat > /dev/null", 3);
    side("link job", plain, "cat of the same files", cat);

    // Two archives of n entries with nothing in common.
    writeArchive(folder + "/a.kiv", n, 16, "a", 2);
    writeArchive(folder + "/b.kiv", n, 16, "b", 3);
    const Timing diff = timed("", kivtool + " diff a.kiv b.kiv", 3);
    // Reading both files whole (cmp would stop at the first byte that differs).
    const Timing both = timed("", "cat a.kiv b.kiv > /dev/null", 3);
    const std::string what = "diff of " + std::to_string(n) + " entries with none in common";
    side(what.c_str(), diff, "reading both files", both);

    // verify --rebuild of 1 GiB: 512 items of 2 MiB. Memory of kivtool and the jobs it runs.
    writeArchive(folder + "/huge.kiv", 512, 2 << 20, "h", 4);
    const Timing rebuild = timed("", kivtool + " verify --rebuild huge.kiv", 1);
    std::printf("  verify --rebuild of a 1 GiB archive: %.1f s, at most %.1f MiB resident\n",
                rebuild.median, static_cast<double>(rebuild.maxKiB) / 1024);

    const std::string cleanup = "rm -rf " + folder;
    return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
