// kivtool: see app/toolkit.h.
#include <clocale>

#include "app/toolkit.h"

int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "");
    return kiv::kivtoolMain(argc, argv);
}
