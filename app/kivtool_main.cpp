// kivtool: see app/toolkit.h.
#include <clocale>
#include <csignal>

#include "app/kivtool/kivtool.h"

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    // A file-size limit makes writes fail and be reported instead of killing the program.
    std::signal(SIGXFSZ, SIG_IGN);
    return kiv::kivtoolMain(argc, argv);
}
