#include "common/console.h"

#include <iconv.h>
#include <langinfo.h>
#include <strings.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kiv {
namespace {

void writeStandardOutput(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// The process's session: what a job uses unless its thread installed one of its own.
JobSession& processSession() {
    static JobSession session;
    return session;
}

thread_local JobSession* installed = nullptr;

TextSink& consoleSink() {
    return currentSession().console;
}

TextSink& outputSink() {
    return currentSession().output;
}

std::vector<std::string>& errorLines() {
    return currentSession().errorLines;
}

}  // namespace

void writeStandardError(std::string_view text) {
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

void writeStandardOutputText(std::string_view text) {
    writeStandardOutput(text);
}

JobSession& currentSession() {
    return installed != nullptr ? *installed : processSession();
}

std::string inJobFolder(const std::string& path) {
    const std::string& folder = currentSession().folder;
    if (folder.empty() || path.empty() || path[0] == '/') return path;
    std::string full = folder;
    if (full.back() != '/') full += '/';
    full += path;
    return full;
}

SessionScope::SessionScope(JobSession& session) : previous_(installed) {
    installed = &session;
}

SessionScope::~SessionScope() {
    installed = previous_;
}

namespace {

JobSession& diagnostics() {
    return currentSession();
}

// The console channel's line buffer (one a thread); a longer message is formatted into a
// widened line instead, so nothing is ever cut or written past the buffer.
thread_local char consoleLine[160];

std::string formatted(const char* format, va_list args) {
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(consoleLine, sizeof consoleLine, format, args);
    std::string text;
    if (n < 0) {
        n = 0;
    } else if (static_cast<size_t>(n) < sizeof consoleLine) {
        text.assign(consoleLine, static_cast<size_t>(n));
    } else {
        text.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(n));
    }
    va_end(again);
    return text;
}

void emit(const TextSink& sink, std::string_view text) {
    if (sink) sink(text);
}

void record(std::string_view text) {
    // Keep the message itself; the blank lines around it are layout.
    size_t first = text.find_first_not_of('\n');
    if (first == std::string_view::npos) return;
    size_t last = text.find_last_not_of('\n');
    errorLines().emplace_back(text.substr(first, last - first + 1));
}

}  // namespace

void setConsoleWrite(TextSink sink) {
    consoleSink() = std::move(sink);
}
void setStandardOutput(TextSink sink) {
    outputSink() = std::move(sink);
}
void resetChannels() {
    consoleSink() = writeStandardOutput;
    outputSink() = writeStandardOutput;
    diagnostics().diagnostics = writeStandardError;
}

void consolePrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatted(format, args);
    va_end(args);
    emit(consoleSink(), text);
}

void outputPrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatted(format, args);
    va_end(args);
    emit(outputSink(), text);
}

void outputPut(const char* text) {
    std::string line(text);
    line += '\n';
    emit(outputSink(), line);
}

void consoleError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatted(format, args);
    va_end(args);
    emit(consoleSink(), text);
    record(text);
}

void outputError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatted(format, args);
    va_end(args);
    emit(outputSink(), text);
    record(text);
}

void outputErrorLine(const char* text) {
    outputPut(text);
    record(text);
}

void setDiagnosticSink(TextSink sink) {
    diagnostics().diagnostics = std::move(sink);
}

void setDiagnosticLocation(std::string script, int line) {
    diagnostics().script = std::move(script);
    diagnostics().line = line;
}

void clearDiagnosticLocation() {
    setDiagnosticLocation({}, 0);
}

void setWarningMode(bool quiet, bool strict) {
    diagnostics().quiet = quiet;
    diagnostics().strict = strict;
}

namespace {

std::array<WarningAction, std::size(kWarningNames)>& warningActions() {
    return currentSession().warningActions;
}

void report(Severity severity, std::string text);

}  // namespace

bool warningNamed(const std::string& name, Warning& kind) {
    for (const WarningName& w : kWarningNames) {
        if (name == w.name) {
            kind = w.kind;
            return true;
        }
    }
    return false;
}

void setWarningAction(Warning kind, WarningAction action) {
    warningActions()[static_cast<size_t>(kind)] = action;
}

void warn(Warning kind, const char* format, ...) {
    const WarningAction action = warningActions()[static_cast<size_t>(kind)];
    if (action == WarningAction::Ignore) return;
    va_list args;
    va_start(args, format);
    std::string text = formatted(format, args);
    va_end(args);
    text += std::string(" [-W") + kWarningNames[static_cast<size_t>(kind)].name + "]";
    report(action == WarningAction::Error ? Severity::Error : Severity::Warning, std::move(text));
}

void diagnose(Severity severity, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatted(format, args);
    va_end(args);
    report(severity, std::move(text));
}

namespace {

void report(Severity severity, std::string text) {
    JobSession& state = diagnostics();
    const bool note = severity == Severity::Note;
    const bool error =
        severity == Severity::Error || (severity == Severity::Warning && state.strict);
    if (!error && state.quiet) return;
    std::string where = "kiv";
    if (!state.script.empty()) {
        where = state.script;
        if (state.line > 0) {
            where += ':';
            where += std::to_string(state.line);
        }
    }
    std::string line = where + (error ? ": error: " : note ? ": note: " : ": warning: ") + text;
    if (line.empty() || line.back() != '\n') line += '\n';
    state.written.push_back(line.substr(0, line.size() - 1));
    if (error) {
        ++state.errors;
    } else if (!note) {
        ++state.warnings;
    }
    emit(state.diagnostics, line);
}

}  // namespace

void beginJobLog() {
    errorLines().clear();
    diagnostics().written.clear();
    diagnostics().errors = 0;
    diagnostics().warnings = 0;
}
bool jobFailed() {
    return !errorLines().empty() || diagnostics().errors > 0;
}
const std::vector<std::string>& jobErrors() {
    return errorLines();
}
const std::vector<std::string>& jobDiagnostics() {
    return diagnostics().written;
}
int jobWarningCount() {
    return diagnostics().warnings;
}

std::string toConsoleEncoding(std::string_view utf8) {
    return toConsoleEncoding(utf8, nl_langinfo(CODESET));
}

std::string toConsoleEncoding(std::string_view utf8, const char* codeset) {
    if (codeset == nullptr) return std::string(utf8);
    const char* target = nullptr;
    if (strcasecmp(codeset, "GBK") == 0 || strcasecmp(codeset, "CP936") == 0) {
        target = "GBK";
    } else if (strcasecmp(codeset, "GB18030") == 0) {
        target = "GB18030";
    }
    if (target == nullptr) return std::string(utf8);
    iconv_t cd = iconv_open(target, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(utf8);
    std::string in(utf8);
    std::string out(in.size() * 2 + 16, '\0');
    char* inPtr = in.data();
    size_t inLeft = in.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1)) return std::string(utf8);
    out.resize(out.size() - outLeft);
    return out;
}

}  // namespace kiv
