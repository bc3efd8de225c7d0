// kiv's options, each declared once and named in the code that reads it: the parser, the help
// text and the tests that hold the manual page and the README to them all come from these rows.
#pragma once

#include <array>

#include "common/command_line.h"

namespace kiv {

inline constexpr OptionEntry kFolderOption{
    "-C", "DIR",
    "change to DIR first, as make -C does (every other path is then\nrelative to DIR)"};
inline constexpr OptionEntry kOutputOption{
    "-o", "ARCHIVE",
    "write the archive here instead of beside the script (a build folder),\nits temporary data "
    "beside it; never anything in the current folder"};
inline constexpr OptionEntry kDepfileOption{
    "--depfile", "FILE",
    "once the archive is finished, write FILE: a Make rule naming the\narchive and every file "
    "the job read (the script, pictures, linked\nfiles, merged archives)"};
inline constexpr OptionEntry kWatchOption{
    "--watch", nullptr,
    "run each SCRIPT (several may be given), then run again each job one\nof whose files "
    "changed (its script, pictures, linked files, merged\narchives), archives before the link "
    "jobs that merge them, until\nCtrl-C; a summary line per job on standard error"};
inline constexpr OptionEntry kJobsOption{
    "-j", "N",
    "run the SCRIPTs given (several), N jobs at a time, each printing its\noutput whole in the "
    "order given, as one after another would; a link\njob waits for the jobs before it; the "
    "exit status is the worst"};
inline constexpr OptionEntry kStrictOption{"--strict, -Werror", nullptr,
                                           "warnings are errors: the exit status becomes 1"};
inline constexpr OptionEntry kNoWarningOption{"-Wno-NAME", nullptr,
                                              "no warnings of the kind NAME (the names are below)"};
inline constexpr OptionEntry kWarningErrorOption{"-Werror=NAME", nullptr,
                                                 "warnings of the kind NAME are errors"};
inline constexpr OptionEntry kQuietOption{"-q, --quiet", nullptr, "no warnings"};
inline constexpr OptionEntry kVerboseOption{
    "-v, --verbose", nullptr,
    "a summary on standard error at the end: the archive, entries, bytes"};
inline constexpr OptionEntry kHelpOption{"-h, --help", nullptr, "this text"};
inline constexpr OptionEntry kVersionOption{"--version", nullptr, "the version"};

inline constexpr std::array<OptionEntry, 12> kKivOptions = {
    kFolderOption, kOutputOption,  kDepfileOption,   kWatchOption,
    kJobsOption,   kStrictOption,  kNoWarningOption, kWarningErrorOption,
    kQuietOption,  kVerboseOption, kHelpOption,      kVersionOption};

}  // namespace kiv
