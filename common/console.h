// The two message channels of a job, the job's error record and the early-end signal.
//
// The console channel (consolePrint) carries the archive writer's and the link processor's
// lines; the standard-output channel carries the grab interpreter's, the picture loader's and
// the grab commands' messages. A command line sends both to the process's standard output; the
// window sends the console channel to its job console. Every line that reports a failure is
// also recorded, so that a front end can tell the user and choose the exit status.
#pragma once

#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

using TextSink = std::function<void(std::string_view)>;

// consoleWrite is the console channel's output step, standardOutput the other channel's.
// An empty sink discards the text. Both default to the process's standard output.
void setConsoleWrite(TextSink sink);
void setStandardOutput(TextSink sink);
// Back to the process's standard output for both channels.
void resetChannels();

// Formats one message into consoleLine (widened when the message needs more than its 160
// bytes, never cut) and writes it on the console channel.
void consolePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Formatted text on the standard-output channel, unchanged ("print").
void outputPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A text followed by a line end on the standard-output channel ("put").
void outputPut(const char* text);

// The same, for a message that reports a failure: the text is written and recorded.
void consoleError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void outputError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void outputErrorLine(const char* text);  // "put" form

// kiv's own diagnostics, on their own channel (the process's standard error by default; the
// window lists them): "SCRIPT:LINE: error: text" while a script line is handled, and
// "kiv: error: text" otherwise. Errors make the job fail; warnings do not, unless strict.
enum class Severity { Error, Warning, Note };
void setDiagnosticSink(TextSink sink);
// The script line being handled; a line of 0 names the script alone, an empty script nothing.
void setDiagnosticLocation(std::string script, int line);
void clearDiagnosticLocation();
void diagnose(Severity severity, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Warnings are not written (quiet), or count as errors (strict).
void setWarningMode(bool quiet, bool strict);

// Each kind of warning has a name, shown after its text as [-WNAME], as compilers do; each can be
// turned off (-Wno-NAME) or made an error (-Werror=NAME).
enum class Warning {
    MisspeltCommand,
    NoPicture,
    MissingGlyphs,
    RowWrap,
    UnnamedItem,
    LongName,
    DuplicateName,
    EarlierPicture,
    UnstoredFile,
    UnendedLine,
    ByteOrderMark,
    EmptyFont,
    TransparentEntry,
    SurplusGlyphs,
    BadArgument,
};
struct WarningName {
    Warning kind;
    const char* name;
    const char* about;
};
inline constexpr WarningName kWarningNames[] = {
    {Warning::MisspeltCommand, "misspelt-command", "a line's first word is close to a command's"},
    {Warning::NoPicture, "before-picture", "a command that needs a picture comes before any"},
    {Warning::MissingGlyphs, "missing-glyphs", "FONT codes that the sheet has no cell for"},
    {Warning::RowWrap, "row-wrap", "a rectangle runs past the picture's right edge"},
    {Warning::UnnamedItem, "unnamed-item", "an item without a name"},
    {Warning::LongName, "long-name", "an item name longer than 15 characters is cut"},
    {Warning::DuplicateName, "duplicate-name", "two items of one name in an archive"},
    {Warning::EarlierPicture, "earlier-picture", "a failed load leaves the earlier picture"},
    {Warning::UnstoredFile, "unstored-file", "a link line with a path and no item name"},
    {Warning::UnendedLine, "unended-line", "a link script's last line without a line end"},
    {Warning::ByteOrderMark, "byte-order-mark",
     "a script that begins with a UTF-8 byte-order mark"},
    {Warning::EmptyFont, "empty-font", "a FONT whose first code is above its last"},
    {Warning::TransparentEntry, "transparent-entry",
     "an indexed PNG whose transparent entry is not 0"},
    {Warning::SurplusGlyphs, "surplus-glyphs", "a font sheet with more glyphs than FONT's codes"},
    {Warning::BadArgument, "bad-argument", "a command's number missing or not a number"},
};
// The kind of a name; false for a name that is none.
bool warningNamed(const std::string& name, Warning& kind);
enum class WarningAction { Warn, Ignore, Error };
void setWarningAction(Warning kind, WarningAction action);
// A warning of its kind: written with its name, left out or made an error as set.
void warn(Warning kind, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The error record of the running job.
void beginJobLog();
bool jobFailed();
const std::vector<std::string>& jobErrors();
// The diagnostics of the running job, as written.
const std::vector<std::string>& jobDiagnostics();
int jobWarningCount();

// Text in the console's own encoding: UTF-8 is passed on, and turned into GBK bytes when the
// locale's codeset is GBK, GB18030 or CP936.
std::string toConsoleEncoding(std::string_view utf8);
// The same for a given codeset name.
std::string toConsoleEncoding(std::string_view utf8, const char* codeset);

// What is a job's own and a front end sets up for it: its two message channels and its
// diagnostics' sink, the diagnostics' location, policy and counts, its record of errors and the
// transfer buffer through which its data moves. The functions above work on the session of the
// calling thread: one installed by a SessionScope, else the process's. A job on a thread of its
// own (kiv -j) has a session of its own, so jobs side by side share nothing.
void writeStandardOutputText(std::string_view text);
void writeStandardError(std::string_view text);
struct JobSession {
    TextSink console = writeStandardOutputText;
    TextSink output = writeStandardOutputText;
    TextSink diagnostics = writeStandardError;
    std::string script;  // where a diagnostic is: script and line (0: the script alone)
    int line = 0;
    bool quiet = false;
    bool strict = false;
    std::array<WarningAction, std::size(kWarningNames)> warningActions{};
    std::vector<std::string> errorLines;  // failures reported on the two channels
    std::vector<std::string> written;     // diagnostics as written
    int errors = 0;
    int warnings = 0;
    std::unique_ptr<uint8_t[], void (*)(void*)> transfer{nullptr, std::free};
    // The folder the job's relative paths start from (scripts, pictures, linked files, its
    // archive and temporary data); empty: the process's current folder.
    std::string folder;
};
JobSession& currentSession();
// A path as the current session reaches it: a relative one inside the session's folder.
// Messages keep naming paths as given; only the calls that reach the file system use this.
std::string inJobFolder(const std::string& path);
// Installs a session for the calling thread until the scope ends.
class SessionScope {
  public:
    explicit SessionScope(JobSession& session);
    ~SessionScope();
    SessionScope(const SessionScope&) = delete;
    SessionScope& operator=(const SessionScope&) = delete;

  private:
    JobSession* previous_;
};

// Ends a job early with an exit status; the front end decides what that means for the process.
class JobExit : public std::exception {
  public:
    explicit JobExit(int status) : status_(status) {}
    int status() const { return status_; }
    const char* what() const noexcept override { return "job ended early"; }

  private:
    int status_;
};

// Exit status of a start-up failure: the job's files could not be created or opened.
inline constexpr int kStartupFailure = 255;
// Exit status of a job that printed an error.
inline constexpr int kJobError = 1;

}  // namespace kiv
