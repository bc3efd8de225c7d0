// The command-line front end: kiv [OPTION]... SCRIPT [/k]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "app/jobs.h"
#include "app/kiv_options.h"
#include "app/mapping_setup.h"
#include "app/watch.h"
#include "archive/archive_writer.h"
#include "common/command_line.h"
#include "common/console.h"
#include "common/file_output.h"
#include "common/script_text.h"
#include "common/transfer_buffer.h"

namespace {

const char* const kUsage =
    "usage: kiv [OPTION]... SCRIPT [/k]\n"
    "       kiv --watch [OPTION]... SCRIPT... [/k]\n"
    "       kiv -j N [OPTION]... SCRIPT... [/k]\n"
    "Builds an archive (.kiv) from a grab script (.SCP) or a link script (a name whose last\n"
    "three letters are LNK, in any case). The archive lands beside the script, named after the\n"
    "part of its path before the first '.'; pictures and linked files are taken relative to the\n"
    "current folder.\n"
    "\n";

const char* const kHelpEnd =
    "  --                    the next word is the script, even when it begins with '-'\n"
    "  /k                    print \"Key Pause Active !!!!\" (grab jobs); nothing else changes\n"
    "\n"
    "Messages of the original tool go to standard output as they always did; kiv's own\n"
    "diagnostics go to standard error as SCRIPT:LINE: error: ... or warning: ...\n"
    "\n"
    "Exit status: 0 the job ran to its end without an error (also this text and the usage\n"
    "text); 1 the job reported an error; 2 wrong words on the command line; 255 the job could\n"
    "not start (its files cannot be created or its link script opened). --watch ends with 0\n"
    "on Ctrl-C.\n";

void printHelp() {
    std::printf(
        "%s%s%s\nTrue-colour pictures (grab jobs): without --palette they are refused as "
        "always.\n%s\nWarnings, each shown with its name as [-WNAME]:\n",
        kUsage, kiv::optionsHelp(kiv::kKivOptions).c_str(), kHelpEnd,
        kiv::optionsHelp(kiv::kMappingOptions).c_str());
    for (const kiv::WarningName& w : kiv::kWarningNames)
        std::printf("  %-18s %s\n", w.name, w.about);
}

// Wrong words: what is wrong, in one line, and where the help is.
int wrongWords(const std::string& what) {
    std::fprintf(stderr, "kiv: %s\ntry 'kiv --help'\n", what.c_str());
    return 2;
}

// One job as the command line asks for it.
kiv::JobRequest requestFor(const std::string& script, kiv::PictureMapper* mapper, bool verbose,
                           int keyPauses, const kiv::JobHooks& hooks) {
    kiv::JobRequest request;
    request.script = script;
    request.hooks = hooks;
    request.trueColour = mapper;
    request.noteMappings = verbose;
    request.keyPauses = keyPauses;
    return request;
}

// kiv --watch SCRIPT...: the palette of true-colour pictures is read again when it changed.
int watchScripts(const std::vector<std::string>& scripts, const kiv::MappingSetup& mapping,
                 kiv::PictureMapper& mapper, bool verbose, int keyPauses) {
    using namespace kiv;
    std::vector<WatchedScript> jobs;
    for (const std::string& script : scripts) jobs.push_back({script, isLinkScriptName(script)});
    // The file the palette comes from: for ARCHIVE:ITEM the archive, which a job of the watch
    // may write.
    const std::string paletteFile = mapping.palette.empty() ? "" : mapper.palette().file;
    FileState palette;
    if (!paletteFile.empty()) palette = fileStateOf(paletteFile);
    return watchJobs(jobs, [&](const WatchedScript& job, const JobHooks& hooks, JobResult& result) {
        PictureMapper* used = nullptr;
        if (!mapping.palette.empty() && !job.link) {
            const FileState now = fileStateOf(paletteFile);
            std::string why;
            if ((now.hash != palette.hash || now.exists != palette.exists) &&
                !prepareMapper(mapping, mapper, &why)) {
                std::fprintf(stderr, "kiv: --palette %s\n", why.c_str());
                result = JobResult{};
                result.script = job.script;
                result.inputs.push_back(paletteFile);
                return kJobError;
            }
            palette = now;
            used = &mapper;
        }
        const JobReport report = runJob(requestFor(job.script, used, verbose, keyPauses, hooks));
        result = report;
        return report.status;
    });
}

// kiv -j N SCRIPT...: the jobs side by side, N at a time, each in a session of its own (its
// output, diagnostics, warning policy, error record and transfer buffer) and with a temporary
// data file of its own. What each job printed comes out whole and in the order given, as from
// the same jobs one after another: a link job, which may merge archives of the jobs before it,
// starts when they have ended, and the jobs after it when it has ended. The exit status is the
// worst.
struct ParallelJob {
    std::string script;
    std::string output, diagnostics;
    int status = 0;
    bool started = false, done = false;
};

int runInParallel(const std::vector<std::string>& scripts, size_t most,
                  const kiv::MappingSetup& mapping, const kiv::PictureMapper& mapper, bool verbose,
                  int keyPauses) {
    using namespace kiv;
    std::vector<ParallelJob> jobs(scripts.size());
    for (size_t k = 0; k < scripts.size(); ++k) jobs[k].script = scripts[k];
    const JobSession& policy = currentSession();
    std::mutex lock;
    std::condition_variable changed;
    size_t running = 0, finished = 0;
    auto run = [&](size_t k) {
        ParallelJob& job = jobs[k];
        JobSession session;
        session.console = session.output = [&job](std::string_view text) { job.output += text; };
        session.diagnostics = [&job](std::string_view text) { job.diagnostics += text; };
        session.quiet = policy.quiet;
        session.strict = policy.strict;
        session.warningActions = policy.warningActions;
        SessionScope scope(session);
        JobHooks hooks;
        hooks.tempFile =
            std::string(".datatemp-") + std::to_string(getpid()) + "-" + std::to_string(k) + ".dat";
        if (!createTransferBuffer()) {
            job.diagnostics += "kiv: error: not enough memory for the transfer buffer\n";
            job.status = kStartupFailure;
        } else {
            PictureMapper own;
            PictureMapper* used = nullptr;
            if (!mapping.palette.empty() && own.setUp(mapper.palette(), mapper.options(), nullptr))
                used = &own;
            try {
                job.status = runJob(requestFor(job.script, used, verbose, keyPauses, hooks)).status;
            } catch (const std::bad_alloc&) {
                job.diagnostics += "kiv: error: not enough memory\n";
                job.status = kJobError;
            }
        }
        std::lock_guard<std::mutex> held(lock);
        job.done = true;
        --running;
        ++finished;
        changed.notify_all();
    };
    // A job may start when fewer than most run and no link job stands between it and an
    // unfinished one (a link job itself waits for every job before it).
    auto mayStart = [&](size_t k) {
        for (size_t earlier = 0; earlier < k; ++earlier) {
            if (jobs[earlier].done) continue;
            if (isLinkScriptName(jobs[k].script) || isLinkScriptName(jobs[earlier].script))
                return false;
        }
        return true;
    };
    std::vector<std::thread> threads;
    size_t printed = 0;
    int worst = 0;
    std::unique_lock<std::mutex> held(lock);
    while (printed < jobs.size()) {
        const size_t seen = finished;
        for (size_t k = printed; k < jobs.size() && running < most; ++k) {
            if (jobs[k].started || !mayStart(k)) continue;
            jobs[k].started = true;
            ++running;
            threads.emplace_back(run, k);
        }
        changed.wait(held, [&] { return jobs[printed].done || finished != seen; });
        for (; printed < jobs.size() && jobs[printed].done; ++printed) {
            std::fwrite(jobs[printed].output.data(), 1, jobs[printed].output.size(), stdout);
            std::fflush(stdout);
            std::fwrite(jobs[printed].diagnostics.data(), 1, jobs[printed].diagnostics.size(),
                        stderr);
            worst = std::max(worst, jobs[printed].status);
        }
    }
    held.unlock();
    for (std::thread& t : threads) t.join();
    return worst;
}

// Two names of one file: the same device and inode, or the same name while neither exists.
bool sameFile(const std::string& a, const std::string& b) {
    struct stat x {
    }, y{};
    const bool hasA = stat(a.c_str(), &x) == 0, hasB = stat(b.c_str(), &y) == 0;
    if (hasA && hasB) return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
    return !hasA && !hasB && kiv::watchedPath(a) == kiv::watchedPath(b);
}

// The pictures a grab script names on its LOADPCX lines, read before the job runs.
std::vector<std::string> namedPictures(const std::string& script) {
    using namespace kiv;
    std::vector<std::string> pictures;
    ScriptReader reader;
    if (!reader.open(resolveScriptPath(script))) return pictures;
    char line[kScriptLineBytes];
    for (int lines = 0; !reader.atEnd() && lines < 1000000; ++lines) {
        std::memset(line, 0, sizeof line);
        reader.readLine(line, kScriptLineChars);
        char* rest = line;
        const char* word = nextToken(rest);
        const char* name =
            word != nullptr && equalsIgnoreCase(word, "LOADPCX") ? nextToken(rest) : nullptr;
        if (name != nullptr) pictures.push_back(resolveScriptPath(name));
    }
    return pictures;
}

// The file that --depfile names must be none of the job's own: the script, the archive, the
// palette, a picture or any other file it reads.
std::string depfileClash(const std::string& depfile, const std::vector<std::string>& files) {
    for (const std::string& file : files) {
        if (!file.empty() && sameFile(depfile, file)) return file;
    }
    return {};
}

int runMain(int argc, char** argv);

}  // namespace

int main(int argc, char** argv) {
    try {
        return runMain(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("kiv: error: not enough memory\n", stderr);
        return kiv::kJobError;
    }
}

namespace {

int runMain(int argc, char** argv) {
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
    if (!createTransferBuffer()) {
        // Said without making any text: memory is too short even for that.
        std::fprintf(stderr, "kiv: error: not enough memory for the %zu-byte transfer buffer\n",
                     kTransferBufferBytes);
        return kStartupFailure;
    }
    std::vector<OptionEntry> table(kKivOptions.begin(), kKivOptions.end());
    table.insert(table.end(), kMappingOptions.begin(), kMappingOptions.end());
    const CommandLine line = parseCommandLine(argc, argv, 1, table);
    if (line.help) {
        printHelp();
        return 0;
    }
    if (line.has(kVersionOption)) {
        std::printf("kiv %s\n", KIV_VERSION);
        return 0;
    }
    if (!line.error.empty()) return wrongWords(line.error);
    // The first word that is no option is the script; further words (the "/k" switch among
    // them) are the original form's, examined below.
    if (line.operands.empty()) return wrongWords("a script is needed");
    const std::string script = line.operands.front();
    const std::string folder = line.value(kFolderOption), depfile = line.value(kDepfileOption);
    const std::string output = line.value(kOutputOption);
    const bool strict = line.has(kStrictOption), quiet = line.has(kQuietOption),
               verbose = line.has(kVerboseOption);
    MappingSetup mapping;
    bool mappingGiven = false;
    for (const auto& [name, value] : line.given) {
        std::string why;
        if (isOption(name, kNoWarningOption) || isOption(name, kWarningErrorOption)) {
            Warning kind;
            if (!warningNamed(value, kind)) {
                return wrongWords("no warning is named " + value + " (kiv --help lists them)");
            }
            setWarningAction(kind, isOption(name, kNoWarningOption) ? WarningAction::Ignore
                                                                    : WarningAction::Error);
        } else if (isMappingOption(name)) {
            if (!takeMappingOption(name, value, mapping, &why)) return wrongWords(why);
            mappingGiven = true;
        }
    }
    if (mappingGiven && mapping.palette.empty()) {
        return wrongWords("the options of true-colour pictures need --palette SOURCE");
    }
    if (line.has(kWatchOption) && !depfile.empty()) {
        return wrongWords("--watch writes no dependency file: leave out --depfile");
    }
    size_t jobsAtOnce = 0;
    if (line.has(kJobsOption)) {
        const std::string n = line.value(kJobsOption);
        char* end = nullptr;
        const long value = std::strtol(n.c_str(), &end, 10);
        if (n.empty() || *end != '\0' || value < 1 || value > 64)
            return wrongWords("-j " + n + ": a number of jobs from 1 to 64 is needed");
        if (line.has(kWatchOption) || line.has(kOutputOption) || !depfile.empty())
            return wrongWords("-j runs several jobs: leave out --watch, -o and --depfile");
        jobsAtOnce = static_cast<size_t>(value);
    }
    if (line.has(kOutputOption) && (line.has(kWatchOption) || output.empty())) {
        return wrongWords(output.empty() ? "-o needs an archive's name"
                                         : "-o names the archive of one job: leave out --watch");
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
    if (!depfile.empty()) {
        std::vector<std::string> own{script, output.empty() ? scriptBase(script) + ".kiv" : output};
        if (isLinkScriptName(script)) {
            own.push_back(resolveScriptPath(scriptBase(script) + ".lnk"));
        } else {
            own.push_back(resolveScriptPath(script));
            const std::vector<std::string> pictures = namedPictures(script);
            own.insert(own.end(), pictures.begin(), pictures.end());
        }
        if (!mapping.palette.empty()) own.push_back(mapper.palette().file);
        const std::string clash = depfileClash(depfile, own);
        if (!clash.empty()) {
            return wrongWords("--depfile " + depfile + " is " + clash +
                              ", a file of the job: name another file");
        }
    }
    int keyPauses = 0;
    for (int i = 1; i < argc; ++i) keyPauses += equalsIgnoreCase(argv[i], "/k") ? 1 : 0;
    if (jobsAtOnce > 0) {
        std::vector<std::string> scripts;
        for (const std::string& word : line.operands) {
            if (!equalsIgnoreCase(word.c_str(), "/k")) scripts.push_back(word);
        }
        const int status = runInParallel(scripts, jobsAtOnce, mapping, mapper, verbose, keyPauses);
        releaseTransferBuffer();
        return status;
    }
    if (line.has(kWatchOption)) {
        std::vector<std::string> scripts;
        for (const std::string& word : line.operands) {
            if (!equalsIgnoreCase(word.c_str(), "/k")) scripts.push_back(word);
        }
        const int status = watchScripts(scripts, mapping, mapper, verbose, keyPauses);
        releaseTransferBuffer();
        return status;
    }
    JobHooks hooks;
    hooks.archive = output;
    const JobReport result = runJob(
        requestFor(script, mapping.palette.empty() ? nullptr : &mapper, verbose, keyPauses, hooks));
    int status = result.status;
    releaseTransferBuffer();
    std::string why;
    const std::string clash =
        depfile.empty() ? std::string() : depfileClash(depfile, result.inputs);
    if (!clash.empty()) {
        std::fprintf(stderr, "kiv: --depfile %s is %s, which the job read: not written\n",
                     depfile.c_str(), clash.c_str());
        return 2;
    }
    // Make reads a rule line by line: a name with a line end in it cannot be written there.
    std::vector<std::string> named{result.archive, result.script};
    named.insert(named.end(), result.inputs.begin(), result.inputs.end());
    for (const std::string& name : named) {
        if (!result.finished || depfile.empty() || name.find_first_of("\n\r") == std::string::npos)
            continue;
        std::fprintf(stderr,
                     "kiv: error: cannot write %s: the name '%s' holds a line end, which "
                     "Make cannot read\n",
                     depfile.c_str(), name.c_str());
        return kJobError;
    }
    if (result.finished && !depfile.empty() &&
        !writeWholeFile(depfile, dependencyRule(result), &why)) {
        std::fprintf(stderr, "kiv: error: cannot write %s: %s\n", depfile.c_str(), why.c_str());
        status = status == 0 ? kJobError : status;
    }
    if (verbose) {
        if (result.finished) {
            std::fprintf(stderr, "kiv: wrote %s: %d entries, %lld bytes; %d errors, %d warnings\n",
                         result.archive.c_str(), result.entries,
                         static_cast<long long>(result.bytes), result.errorCount(),
                         result.warnings);
        } else {
            std::fprintf(stderr, "kiv: no archive written (exit status %d)\n", status);
        }
    }
    return status;
}

}  // namespace
