// kivtool: see app/toolkit.h.
#include <clocale>
#include <csignal>
#include <cstdio>
#include <new>

#include "app/kivtool/kivtool.h"

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    // A file-size limit makes writes fail and be reported instead of killing the program.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return kiv::kivtoolMain(argc, argv);
    } catch (const std::bad_alloc&) {
        // Files being written are abandoned on the way out; the message needs no memory.
        std::fputs("kivtool: not enough memory\n", stderr);
        return kiv::kToolTrouble;
    }
}
