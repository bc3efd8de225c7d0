#include "app/kiv_options.h"

namespace kiv {

const std::array<OptionEntry, 12> kKivOptions = {{
    {"-C", "DIR",
     "change to DIR first, as make -C does (every other path is then\nrelative to DIR)"},
    {"-o", "ARCHIVE",
     "write the archive here instead of beside the script (a build folder),\nits temporary data "
     "beside it; never anything in the current folder"},
    {"--depfile", "FILE",
     "once the archive is finished, write FILE: a Make rule naming the\narchive and every file "
     "the job read (the script, pictures, linked\nfiles, merged archives)"},
    {"--watch", nullptr,
     "run each SCRIPT (several may be given), then run again each job one\nof whose files "
     "changed (its script, pictures, linked files, merged\narchives), archives before the link "
     "jobs that merge them, until\nCtrl-C; a summary line per job on standard error"},
    {"-j", "N",
     "run the SCRIPTs given (several), N jobs at a time, each printing its\noutput whole in the "
     "order given, as one after another would; a link\njob waits for the jobs before it; the "
     "exit status is the worst"},
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
