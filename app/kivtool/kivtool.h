// kivtool: sees, checks, extracts, renders and compares what is inside archives, unpacks them
// into projects that rebuild them, maps pictures onto palettes and makes colour tables. Each
// subcommand has its file here and returns the program's exit status.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "app/archive_items.h"
#include "app/tool_status.h"
#include "archive/archive_view.h"
#include "common/command_line.h"

namespace kiv {

int kivtoolMain(int argc, char** argv);

// --match METRIC, as the subcommands that make colours take it (table, palette).
inline constexpr OptionEntry kMetricOption{"--match", "METRIC", "oklab (default), rgb or ciede2000"};

// A subcommand: its name, its table of options (as its parser and help use them), its lines in
// kivtool --help, and what runs it (argv[1] is its name; the program's exit status). Each has
// its file here, which defines its row; adding one is a row there and a line in kCommands.
struct Subcommand {
    const char* name;
    std::span<const OptionEntry> options;
    const char* usage;
    int (*run)(int argc, char** argv);
};
extern const Subcommand kListCommand, kVerifyCommand, kExtractCommand, kRenderCommand, kDiffCommand,
    kUnpackCommand, kIndexCommand, kTableCommand, kPaletteCommand;
// Every subcommand, in the order kivtool --help lists them.
std::span<const Subcommand* const> subcommands();

// The command line of a subcommand: its words and options.
struct SubcommandLine {
    std::vector<std::string> operands;
    CommandLine line;  // the options given
    bool help = false;
    std::string error;  // an unknown option, or one without its value
    bool has(const OptionEntry& option) const { return line.has(option); }
    std::string value(const OptionEntry& option) const { return line.value(option); }
};
// Reads the words after the subcommand's name with the subcommand's table of options; each
// option's value is found under its first name.
SubcommandLine parseSubcommandLine(int argc, char** argv, std::span<const OptionEntry> table);
// The subcommand's help: its text, then the options from its table.
int subcommandHelp(const char* text, std::span<const OptionEntry> table);
// Wrong words: what is wrong and where the help is, on standard error; the exit status.
int usageError(const std::string& what);

// Helpers the subcommands share.
bool makeFolder(const std::string& folder);
std::string inFolder(const std::string& folder, const std::string& name);
// Opens an archive, or says why not on standard error.
bool openForReading(ArchiveView& archive, const std::string& path);
std::string jsonString(const std::string& text);
// An entry's name as a terminal may show it.
std::string shownName(const ArchiveView& archive, size_t i);
// An item that was asked for and not written, with the reason, on standard error.
void problemWith(const ArchiveView& archive, size_t i, const std::string& what);
void notWritten(const ArchiveView& archive, size_t i, const std::string& why);
// A whole number from low to high, all digits.
bool wholeNumber(const std::string& text, int low, int high, int& value);
// The colours pictures are shown in: an item of the archive, any palette source that kiv
// --palette takes, the archive's first palette item, or grey. False when the palette asked for
// cannot be had (wrongValue: the name is neither an item nor a palette source); damaged is set
// when the archive's own palette is cut short.
bool chooseColours(const ArchiveView& archive, const std::string& wanted,
                   std::array<uint8_t, 768>& colours, bool* damaged = nullptr,
                   bool* wrongValue = nullptr);

}  // namespace kiv
