#include "app/jobs.h"

#include <new>

#include "archive/link_processor.h"
#include "common/console.h"
#include "common/script_text.h"
#include "common/transfer_buffer.h"
#include "grab/interpreter.h"

namespace kiv {
namespace {

bool nameFits(const std::string& scriptPath) {
    if (scriptPath.size() <= kScriptNameChars) return true;
    outputError("\nScript name too long (%zu characters, at most %zu): %s\n", scriptPath.size(),
                kScriptNameChars, scriptPath.c_str());
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
    outputError("\nNot enough memory to run the job\n");
    return kJobError;
}

}  // namespace

bool isLinkScriptName(const std::string& scriptPath) {
    return endsWithIgnoreCase(scriptPath, "LNK");
}

int runGrabJob(GrabContext& ctx, const std::string& scriptPath, const JobHooks& hooks) {
    beginJobLog();
    if (!nameFits(scriptPath)) return kJobError;
    if (!haveTransferBuffer()) return kStartupFailure;
    // The script is opened before the archive is begun, so a missing script leaves no files.
    ScriptReader script;
    if (!openGrabScript(script, scriptPath)) return kJobError;
    ArchiveWriter writer;
    ConsoleScope console{hooks};
    try {
        beginArchive(writer, scriptPath);
        runGrabScript(ctx, writer, script);
        console.show();
        finishArchive(writer);
    } catch (const JobExit& exit) {
        abandonArchive(writer);
        return exit.status();
    } catch (const std::bad_alloc&) {
        return outOfMemory(writer);
    }
    return finalStatus();
}

int runLinkJob(const std::string& scriptPath, const JobHooks& hooks) {
    beginJobLog();
    if (!nameFits(scriptPath)) return kJobError;
    if (!haveTransferBuffer()) return kStartupFailure;
    ArchiveWriter writer;
    ConsoleScope console{hooks};
    console.show();
    try {
        runLinkScript(writer, scriptPath);
    } catch (const JobExit& exit) {
        abandonArchive(writer);
        return exit.status();
    } catch (const std::bad_alloc&) {
        return outOfMemory(writer);
    }
    return finalStatus();
}

}  // namespace kiv
