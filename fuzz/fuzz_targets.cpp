#include "fuzz/fuzz_targets.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/jobs.h"
#include "common/console.h"
#include "common/transfer_buffer.h"

namespace kivfuzz {
namespace {

// A folder of its own, made once, that is the current folder while a target runs.
struct Workspace {
    std::string folder;
    Workspace() {
        kiv::createTransferBuffer();
        kiv::setConsoleWrite({});
        kiv::setStandardOutput({});
        char tmpl[] = "/tmp/kiv-fuzz-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) std::abort();
        folder = tmpl;
        if (chdir(folder.c_str()) != 0) std::abort();
    }
    ~Workspace() {
        std::error_code ignored;
        std::filesystem::current_path("/", ignored);
        std::filesystem::remove_all(folder, ignored);
    }
};

void enter() {
    static Workspace workspace;
    if (chdir(workspace.folder.c_str()) != 0) std::abort();
}

void write(const char* name, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(name, "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

void writeText(const char* name, const std::string& text) {
    write(name, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// A picture with every command's rectangles inside it: 64 × 48, a run of each value.
void writeSmallPicture() {
    std::string pcx(128, '\0');
    pcx[0] = 10;
    pcx[1] = 5;
    pcx[2] = 1;
    pcx[3] = 8;
    pcx[8] = 63;   // xMax
    pcx[10] = 47;  // yMax
    pcx[65] = 1;
    pcx[66] = 64;  // bytes per line
    for (int y = 0; y < 48; ++y) {
        for (int x = 0; x < 64; ++x) {
            int v = (x * 7 + y * 13) % 256;
            if (x % 9 == 0) v = 0;
            if (x == 0 && (y == 0 || y == 9)) v = 255;  // font markers
            pcx += static_cast<char>(0xC1);
            pcx += static_cast<char>(v);
        }
    }
    pcx += static_cast<char>(12);
    for (int i = 0; i < 768; ++i) pcx += static_cast<char>((i * 37) % 256);
    writeText("pic.pcx", pcx);
}

}  // namespace

int fuzzPcx(const uint8_t* data, size_t size) {
    enter();
    write("in.pcx", data, size);
    writeText("pcx.scp",
              "LOADPCX in.pcx\nRAW r 0 0 2 2\nTEXTURE t 1 1 2 1\nPACKED p 0 0 4 4\n"
              "PACKEDC c 1 0 3 3\nFONT f 32 127\nPALETTE pal\nCOLORMAP shades\n");
    kiv::GrabContext ctx;
    kiv::runGrabJob(ctx, "pcx.scp");
    return 0;
}

int fuzzGrabScript(const uint8_t* data, size_t size) {
    enter();
    writeSmallPicture();
    write("job.scp", data, size);
    kiv::GrabContext ctx;
    kiv::runGrabJob(ctx, "job.scp");
    return 0;
}

int fuzzLink(const uint8_t* data, size_t size) {
    enter();
    write("source.kiv", data, size);
    write("data.bin", data, size / 2);
    writeText("merge.lnk", "FIRST:\ndata.bin DATA\nsource.kiv\nLAST:\n");
    kiv::runLinkJob("merge.lnk");
    write("script.lnk", data, size);
    kiv::runLinkJob("script.lnk");
    return 0;
}

}  // namespace kivfuzz
