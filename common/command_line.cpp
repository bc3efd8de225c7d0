#include "common/command_line.h"

#include <algorithm>

#include "common/script_text.h"

namespace kiv {

namespace {

std::vector<std::string> namesOf(const OptionEntry& option) {
    std::vector<std::string> names;
    std::string_view all = option.names;
    while (!all.empty()) {
        const size_t comma = all.find(", ");
        names.emplace_back(all.substr(0, comma));
        if (comma == std::string_view::npos) break;
        all.remove_prefix(comma + 2);
    }
    return names;
}

bool joined(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, "NAME") == 0;
}

// "; did you mean --palette?" for a word one or two edits from an option's name.
std::string nearestOption(const std::string& word, std::span<const OptionEntry> table) {
    const std::string bare = word.substr(0, word.find('='));
    // A letter option is one edit from every other: only long names are guessed at.
    if (bare.size() <= 3) return {};
    std::string best;
    size_t bestDistance = bare.size() <= 4 ? 2 : 3;
    for (const OptionEntry& option : table) {
        for (const std::string& name : namesOf(option)) {
            if (joined(name)) continue;
            const size_t d = editDistance(bare, name);
            if (d < bestDistance) best = name, bestDistance = d;
        }
    }
    return best.empty() ? "" : "; did you mean " + best + "?";
}

}  // namespace

std::string_view firstName(const OptionEntry& option) {
    const std::string_view names = option.names;
    return names.substr(0, names.find(','));
}

bool isOption(std::string_view given, const OptionEntry& option) {
    return given == firstName(option);
}

bool CommandLine::has(const OptionEntry& option) const {
    return std::any_of(given.begin(), given.end(),
                       [&](const auto& g) { return isOption(g.first, option); });
}

std::string CommandLine::value(const OptionEntry& option) const {
    for (auto it = given.rbegin(); it != given.rend(); ++it) {
        if (isOption(it->first, option)) return it->second;
    }
    return {};
}

CommandLine parseCommandLine(int argc, char** argv, int from, std::span<const OptionEntry> table) {
    CommandLine line;
    bool optionsEnd = false;
    auto wrong = [&](std::string text) {
        if (line.error.empty()) line.error = std::move(text);
    };
    for (int i = from; i < argc; ++i) {
        const std::string word = argv[i];
        if (optionsEnd || word.size() < 2 || word[0] != '-') {
            line.operands.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnd = true;
            continue;
        }
        bool found = false;
        for (const OptionEntry& option : table) {
            const std::vector<std::string> names = namesOf(option);
            for (const std::string& name : names) {
                if (joined(name)) {
                    const std::string prefix = name.substr(0, name.size() - 4);
                    if (word.size() <= prefix.size() ||
                        word.compare(0, prefix.size(), prefix) != 0) {
                        continue;
                    }
                    line.given.emplace_back(names.front(), word.substr(prefix.size()));
                } else if (word == name) {
                    if (option.value == nullptr) {
                        line.given.emplace_back(names.front(), "");
                    } else if (i + 1 >= argc) {
                        wrong(word + " needs a value");
                    } else {
                        line.given.emplace_back(names.front(), argv[++i]);
                    }
                } else {
                    continue;
                }
                found = true;
                if (names.front() == "-h" || names.front() == "--help") line.help = true;
                break;
            }
            if (found) break;
        }
        if (!found) wrong("unknown option " + word + nearestOption(word, table));
    }
    return line;
}

std::string optionsHelp(std::span<const OptionEntry> table) {
    constexpr size_t kColumn = 24;
    std::string out;
    for (const OptionEntry& option : table) {
        std::string head = std::string("  ") + option.names;
        if (option.value != nullptr) head += std::string(" ") + option.value;
        std::string_view help = option.help;
        bool first = true;
        while (true) {
            const size_t end = help.find('\n');
            const std::string_view part = help.substr(0, end);
            if (first) {
                out += head;
                out += head.size() + 1 < kColumn ? std::string(kColumn - head.size(), ' ')
                                                 : "\n" + std::string(kColumn, ' ');
                first = false;
            } else {
                out += std::string(kColumn, ' ');
            }
            out += part;
            out += '\n';
            if (end == std::string_view::npos) break;
            help.remove_prefix(end + 1);
        }
    }
    return out;
}

std::vector<std::string> optionNames(std::span<const OptionEntry> table) {
    std::vector<std::string> all;
    for (const OptionEntry& option : table) {
        for (const std::string& name : namesOf(option)) all.push_back(name);
    }
    return all;
}

}  // namespace kiv
