// Command lines read from a table of options: each option is declared once, with its names, its
// value and its help line, and both the parser and the help text come from that table.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kiv {

struct OptionEntry {
    // Every name the option answers to, ", " between them ("-q, --quiet"). A name that ends in
    // NAME takes its value joined to it ("-Wno-NAME" takes -Wno-row-wrap).
    const char* names;
    const char* value;  // what the value is called ("DIR"), or nullptr for a flag
    const char* help;   // the help line; "\n" starts another, set under the first
};

// An option's first name: what a command line records it by.
std::string_view firstName(const OptionEntry& option);
// Whether a recorded name is this option's.
bool isOption(std::string_view given, const OptionEntry& option);

// Options are looked up by their rows, named in the code (constexpr OptionEntry kJson{...}):
// a misspelt name does not build, where a misspelt string would read as never given.
struct CommandLine {
    // The options given, in order: the option's first name and its value ("" for a flag).
    std::vector<std::pair<std::string, std::string>> given;
    std::vector<std::string> operands;  // every other word; all words after "--"
    std::string error;                  // the first wrong word, said; "" when none
    bool help = false;                  // -h or --help, when the table has them
    bool has(const OptionEntry& option) const;
    std::string value(const OptionEntry& option) const;  // the last value given, or ""
};

// Reads argv[from] on: options anywhere, "--" ends them, "-" alone is an operand.
CommandLine parseCommandLine(int argc, char** argv, int from, std::span<const OptionEntry> table);

// The options part of a help text: one entry per option, its help lines set in one column.
std::string optionsHelp(std::span<const OptionEntry> table);

// Every name of every option of the table.
std::vector<std::string> optionNames(std::span<const OptionEntry> table);

}  // namespace kiv
