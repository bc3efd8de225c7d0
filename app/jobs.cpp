#include "app/jobs.h"

#include <algorithm>
#include <new>
#include <unordered_set>
#include <vector>

#include "archive/link_processor.h"
#include "common/console.h"
#include "common/script_text.h"
#include "common/transfer_buffer.h"
#include "grab/interpreter.h"
#include "grab/picture_mapping.h"

namespace kiv {
namespace {

bool nameFits(const std::string& scriptPath) {
    if (scriptPath.size() <= kScriptNameChars) return true;
    diagnose(Severity::Error, "script name too long (%zu characters, at most %zu): %s",
             scriptPath.size(), kScriptNameChars, scriptPath.c_str());
    return false;
}

// Closes the job console when the job ends, whichever way.
struct ConsoleScope {
    const JobHooks& hooks;
    bool open = false;
    void show() {
        if (!open && hooks.openConsole) hooks.openConsole();
        open = true;
    }
    ~ConsoleScope() {
        if (open && hooks.closeConsole) hooks.closeConsole();
    }
};

// No job runs without the transfer buffer.
bool haveTransferBuffer() {
    if (!transferBuffer().empty()) return true;
    diagnose(Severity::Error, "no job can run: the %zu-byte transfer buffer could not be had",
             kTransferBufferBytes);
    return false;
}

int finalStatus() {
    return jobFailed() ? kJobError : 0;
}

// A job that cannot get the memory it needs ends with a message, never a crash.
int outOfMemory(ArchiveWriter& writer) {
    abandonArchive(writer);
    diagnose(Severity::Error, "not enough memory to run the job");
    return kJobError;
}

}  // namespace

bool isLinkScriptName(const std::string& scriptPath) {
    return endsWithIgnoreCase(scriptPath, "LNK");
}

namespace {

// The job's location in its script ends with the job, however it ends.
struct LocationScope {
    ~LocationScope() { clearDiagnosticLocation(); }
};

void recordResult(JobResult* result, const ArchiveWriter& writer, const std::string& script,
                  std::vector<std::string> inputs) {
    if (result == nullptr) return;
    result->finished = writer.archiveFile < 0 && writer.partialName.empty() &&
                       !writer.archiveName.empty() && !writer.withheld;
    result->archive = writer.archiveName;
    result->script = script;
    result->withheld = writer.withheld;
    result->entries = writer.header.count;
    result->bytes = static_cast<int64_t>(kHeaderBytes) +
                    static_cast<int64_t>(writer.header.count) * kEntryBytes + writer.dataOffset;
    result->inputs = std::move(inputs);
}

// A job that ended without its archive still names the files it read or looked for, so that a
// watcher knows what to wait on.
void recordFailure(JobResult* result, const std::string& archive, const std::string& script,
                   std::vector<std::string> inputs) {
    if (result == nullptr) return;
    *result = JobResult{};
    result->archive = archive;
    result->script = script;
    result->inputs = std::move(inputs);
}

}  // namespace

int runGrabJob(GrabContext& ctx, const std::string& scriptPath, const JobHooks& hooks,
               JobResult* result) {
    beginJobLog();
    LocationScope location;
    if (result != nullptr) *result = JobResult{};
    if (!nameFits(scriptPath)) return kJobError;
    if (!haveTransferBuffer()) return kStartupFailure;
    // The script is opened before the archive is begun, so a missing script leaves no files.
    ScriptReader script;
    if (!openGrabScript(script, scriptPath)) {
        recordFailure(result,
                      hooks.archive.empty() ? scriptBase(scriptPath) + ".kiv" : hooks.archive,
                      resolveScriptPath(scriptPath), {});
        return kJobError;
    }
    const std::string scriptFile = script.path();
    ArchiveWriter writer;
    writer.keepOnErrors = hooks.keepLastGood;
    writer.cancel = hooks.cancel;
    writer.output = hooks.archive;
    writer.tempPath = hooks.tempFile;
    ConsoleScope console{hooks};
    try {
        beginArchive(writer, scriptPath);
        runGrabScript(ctx, writer, script);
        const std::vector<std::string> inputs = ctx.inputs;
        console.show();
        finishArchive(writer);
        recordResult(result, writer, scriptFile, inputs);
    } catch (const JobExit& exit) {
        abandonArchive(writer);
        recordFailure(result, writer.archiveName, scriptFile, ctx.inputs);
        return exit.status();
    } catch (const std::bad_alloc&) {
        return outOfMemory(writer);
    }
    return finalStatus();
}

int runLinkJob(const std::string& scriptPath, const JobHooks& hooks, JobResult* result) {
    beginJobLog();
    LocationScope location;
    if (result != nullptr) *result = JobResult{};
    if (!nameFits(scriptPath)) return kJobError;
    if (!haveTransferBuffer()) return kStartupFailure;
    ArchiveWriter writer;
    writer.keepOnErrors = hooks.keepLastGood;
    writer.cancel = hooks.cancel;
    writer.output = hooks.archive;
    writer.tempPath = hooks.tempFile;
    ConsoleScope console{hooks};
    console.show();
    const std::string scriptFile = resolveScriptPath(scriptBase(scriptPath) + ".lnk");
    try {
        runLinkScript(writer, scriptPath);
        recordResult(result, writer, scriptFile, writer.inputs);
    } catch (const JobExit& exit) {
        abandonArchive(writer);
        recordFailure(
            result,
            writer.archiveName.empty() ? scriptBase(scriptPath) + ".kiv" : writer.archiveName,
            scriptFile, writer.inputs);
        return exit.status();
    } catch (const std::bad_alloc&) {
        return outOfMemory(writer);
    }
    return finalStatus();
}

JobReport runJob(const JobRequest& request) {
    JobSession& session = currentSession();
    struct FolderScope {
        JobSession& session;
        std::string before;
        ~FolderScope() { session.folder = before; }
    } folder{session, session.folder};
    session.folder = request.folder;
    JobReport report;
    if (isLinkScriptName(request.script)) {
        report.status = runLinkJob(request.script, request.hooks, &report);
    } else {
        for (int i = 0; i < request.keyPauses; ++i) outputPrint("\nKey Pause Active !!!!\n");
        GrabContext fresh;
        GrabContext& ctx = request.context != nullptr ? *request.context : fresh;
        ctx.trueColour = request.trueColour;
        ctx.noteMappings = request.noteMappings;
        report.status = runGrabJob(ctx, request.script, request.hooks, &report);
        // The palette is an input of the job like its pictures.
        if (request.trueColour != nullptr) report.inputs.push_back(request.trueColour->palette().file);
    }
    report.errors = jobErrors();
    report.diagnostics = jobDiagnostics();
    report.warnings = jobWarningCount();
    return report;
}

int JobReport::errorCount() const {
    return static_cast<int>(errors.size()) +
           static_cast<int>(std::count_if(diagnostics.begin(), diagnostics.end(),
                                          [](const std::string& line) {
                                              return line.find(": error: ") != std::string::npos;
                                          }));
}

namespace {

// A path as Make reads it in a rule: blanks, '#', ':' and '\' before them escaped, '$' doubled.
std::string makeEscaped(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '$') {
            out += "$$";
        } else if (c == ' ' || c == '#' || c == '\t' || c == ':' || c == '\\') {
            out += '\\';
            out += c;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string dependencyRule(const JobResult& result) {
    std::string rule = makeEscaped(result.archive) + ":";
    std::vector<std::string> files{result.script};
    files.insert(files.end(), result.inputs.begin(), result.inputs.end());
    std::unordered_set<std::string> seen;
    std::string phony;
    for (const std::string& file : files) {
        if (file.empty() || !seen.insert(file).second) continue;
        const std::string escaped = makeEscaped(file);
        rule += " \\\n  ";
        rule += escaped;
        // Each input but the script is also a target without a recipe, so that a build tool
        // does not stop when a picture the script no longer uses is deleted. (Appended piece by
        // piece: GCC 12 at -O3 sees overlapping copies in "\n" + text.)
        if (&file != &files.front()) {
            phony += '\n';
            phony += escaped;
            phony += ":\n";
        }
    }
    return rule + "\n" + phony;
}

}  // namespace kiv
