#include "app/kiv_options.h"

namespace kiv {

const std::array<OptionEntry, 9> kKivOptions = {{
    {"-C", "DIR",
     "change to DIR first, as make -C does (every other path is then\nrelative to DIR)"},
    {"--depfile", "FILE",
     "once the archive is finished, write FILE: a Make rule naming the\narchive and every file "
     "the job read (the script, pictures, linked\nfiles, merged archives)"},
    {"--strict, -Werror", nullptr, "warnings are errors: the exit status becomes 1"},
    {"-Wno-NAME", nullptr, "no warnings of the kind NAME (the names are below)"},
    {"-Werror=NAME", nullptr, "warnings of the kind NAME are errors"},
    {"-q, --quiet", nullptr, "no warnings"},
    {"-v, --verbose", nullptr,
     "a summary on standard error at the end: the archive, entries, bytes"},
    {"-h, --help", nullptr, "this text"},
    {"--version", nullptr, "the version"},
}};

}  // namespace kiv
