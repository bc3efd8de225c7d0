// The command-line front end: kiv [OPTION]... SCRIPT [/k]
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/jobs.h"
#include "app/mapping_setup.h"
#include "common/console.h"
#include "common/file_output.h"
#include "common/script_text.h"
#include "common/transfer_buffer.h"

namespace {

const char* const kHelp =
    "usage: kiv [OPTION]... SCRIPT [/k]\n"
    "Builds an archive (.kiv) from a grab script (.SCP) or a link script (a name whose last\n"
    "three letters are LNK, in any case). The archive lands beside the script, named after the\n"
    "part of its path before the first '.'; pictures and linked files are taken relative to the\n"
    "current folder.\n"
    "\n"
    "  -C DIR           change to DIR first, as make -C does (every other path is then\n"
    "                   relative to DIR)\n"
    "  --depfile FILE   once the archive is finished, write FILE: a Make rule naming the\n"
    "                   archive and every file the job read (the script, pictures, linked\n"
    "                   files, merged archives)\n"
    "  --strict, -Werror  warnings are errors: the exit status becomes 1\n"
    "  -Wno-NAME        no warnings of the kind NAME (the names are below)\n"
    "  -Werror=NAME     warnings of the kind NAME are errors\n"
    "  -q, --quiet      no warnings\n"
    "  -v, --verbose    a summary on standard error at the end: the archive, entries, bytes\n"
    "  -h, --help       this text\n"
    "  --version        the version\n"
    "  --               the next word is the script, even when it begins with '-'\n"
    "  /k               print \"Key Pause Active !!!!\" (grab jobs); nothing else changes\n"
    "\n"
    "True-colour pictures (grab jobs): without --palette they are refused as always.\n";

const char* const kHelpEnd =
    "\n"
    "Messages of the original tool go to standard output as they always did; kiv's own\n"
    "diagnostics go to standard error as SCRIPT:LINE: error: ... or warning: ...\n"
    "\n"
    "Exit status: 0 the job ran to its end without an error (also this text and the usage\n"
    "text); 1 the job reported an error; 2 wrong words on the command line; 255 the job could\n"
    "not start (its files cannot be created or its link script opened).\n";

void printHelp() {
    std::printf("%s%s%s\nWarnings, each shown with its name as [-WNAME]:\n", kHelp,
                kiv::kMappingOptionsHelp, kHelpEnd);
    for (const kiv::WarningName& w : kiv::kWarningNames) std::printf("  %-18s %s\n", w.name, w.about);
}

// Wrong words: what is wrong, in one line, and where the help is.
int wrongWords(const std::string& what) {
    std::fprintf(stderr, "kiv: %s\ntry 'kiv --help'\n", what.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kiv;
    std::setlocale(LC_CTYPE, "");
    // A file-size limit makes writes fail with "File too large", reported and cleaned up,
    // instead of killing the job half-way.
    std::signal(SIGXFSZ, SIG_IGN);
    if (argc < 2) {
        outputPrint("\nUSAGE: kiv <Script Filename>\n\n");
        outputPrint("Script extention .LNK is used to Identify Link Files\n\n");
        return 0;
    }
    std::string script, folder, depfile;
    bool haveScript = false, strict = false, quiet = false, verbose = false, optionsEnd = false;
    MappingSetup mapping;
    bool mappingGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const bool option = !optionsEnd && word.size() > 1 && word[0] == '-';
        if (!option) {
            if (!optionsEnd && word == "--") {
                optionsEnd = true;
            } else if (!haveScript) {
                script = word;
                haveScript = true;
            }
            // Further words (the "/k" switch among them) are the original form's; they are
            // examined below.
            continue;
        }
        if (word == "--") {
            optionsEnd = true;
        } else if (word == "-h" || word == "--help") {
            printHelp();
            return 0;
        } else if (word == "--version") {
            std::printf("kiv %s\n", KIV_VERSION);
            return 0;
        } else if (word == "--strict" || word == "-Werror") {
            strict = true;
        } else if (word.rfind("-Wno-", 0) == 0 || word.rfind("-Werror=", 0) == 0) {
            const bool off = word[2] == 'n';
            const std::string name = word.substr(off ? 5 : 8);
            Warning kind;
            if (!warningNamed(name, kind)) {
                return wrongWords("no warning is named " + name + " (kiv --help lists them)");
            }
            setWarningAction(kind, off ? WarningAction::Ignore : WarningAction::Error);
        } else if (word == "-q" || word == "--quiet") {
            quiet = true;
        } else if (word == "-v" || word == "--verbose") {
            verbose = true;
        } else if (isMappingOption(word)) {
            if (i + 1 >= argc) return wrongWords(word + " needs a value");
            std::string why;
            if (!takeMappingOption(word, argv[++i], mapping, &why)) return wrongWords(why);
            mappingGiven = true;
        } else if (word == "-C" || word == "--depfile") {
            if (i + 1 >= argc) return wrongWords(word + " needs a value");
            (word == "-C" ? folder : depfile) = argv[++i];
        } else {
            return wrongWords("unknown option " + word);
        }
    }
    if (!haveScript) return wrongWords("a script is needed");
    if (mappingGiven && mapping.palette.empty()) {
        return wrongWords("the options of true-colour pictures need --palette SOURCE");
    }
    if (!folder.empty() && chdir(folder.c_str()) != 0) {
        std::fprintf(stderr, "kiv: -C %s: %s\n", folder.c_str(), std::strerror(errno));
        return 2;
    }
    setWarningMode(quiet, strict);
    // The palette is read before the job starts: a palette that cannot be used writes nothing.
    PictureMapper mapper;
    if (!mapping.palette.empty()) {
        std::string why;
        if (!prepareMapper(mapping, mapper, &why)) {
            std::fprintf(stderr, "kiv: --palette %s\n", why.c_str());
            return kJobError;
        }
        if (verbose) {
            std::fprintf(stderr, "kiv: note: true-colour pictures are mapped onto %s: %s\n",
                         mapping.palette.c_str(), mapper.palette().form.c_str());
        }
    }
    if (!createTransferBuffer()) {
        // Said without making any text: memory is too short even for that.
        std::fprintf(stderr, "kiv: error: not enough memory for the %zu-byte transfer buffer\n",
                     kTransferBufferBytes);
        return kStartupFailure;
    }
    int status;
    JobResult result;
    if (isLinkScriptName(script)) {
        status = runLinkJob(script, {}, &result);
    } else {
        for (int i = 1; i < argc; ++i) {
            if (equalsIgnoreCase(argv[i], "/k")) outputPrint("\nKey Pause Active !!!!\n");
        }
        GrabContext ctx;
        if (!mapping.palette.empty()) ctx.trueColour = &mapper;
        ctx.noteMappings = verbose;
        status = runGrabJob(ctx, script, {}, &result);
    }
    releaseTransferBuffer();
    // The palette is an input of the job like its pictures.
    if (!mapping.palette.empty() && !isLinkScriptName(script)) {
        result.inputs.push_back(mapper.palette().file);
    }
    std::string why;
    if (result.finished && !depfile.empty() &&
        !writeWholeFile(depfile, dependencyRule(result), &why)) {
        std::fprintf(stderr, "kiv: error: cannot write %s: %s\n", depfile.c_str(), why.c_str());
        status = status == 0 ? kJobError : status;
    }
    if (verbose) {
        if (result.finished) {
            std::fprintf(stderr, "kiv: wrote %s: %d entries, %lld bytes; %zu errors, %d warnings\n",
                         result.archive.c_str(), result.entries,
                         static_cast<long long>(result.bytes),
                         jobErrors().size() + (jobFailed() && jobErrors().empty() ? 1 : 0),
                         jobWarningCount());
        } else {
            std::fprintf(stderr, "kiv: no archive written (exit status %d)\n", status);
        }
    }
    return status;
}
