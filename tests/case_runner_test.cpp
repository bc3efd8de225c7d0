// The long expected texts (help, usage, listings, differences, reports, console output) as case
// files under tests/cases/, each run by this one runner:
//   # a comment
//   $ COMMAND        run by sh in a fresh folder holding the example project, with $KIV and
//                    $KIVTOOL naming the built programs
//   > TEXT           a line of what the command before must print on standard output (">"
//                    alone: an empty line); a command without such lines must print nothing
//   ? N              its exit status (0 when not given)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/test_support.h"

using namespace kivtest;

namespace {

struct Step {
    std::string command, output;
    int status = 0;
    int line = 0;
};

std::vector<Step> readCase(const std::string& path) {
    std::ifstream in(path);
    std::vector<Step> steps;
    std::string text;
    for (int number = 1; std::getline(in, text); ++number) {
        if (text.rfind("$ ", 0) == 0) {
            steps.push_back({text.substr(2), "", 0, number});
        } else if (!steps.empty() && (text == ">" || text.rfind("> ", 0) == 0)) {
            steps.back().output += (text.size() > 2 ? text.substr(2) : "") + "\n";
        } else if (!steps.empty() && text.rfind("? ", 0) == 0) {
            steps.back().status = std::stoi(text.substr(2));
        } else if (!text.empty() && text[0] != '#') {
            ADD_FAILURE() << path << ":" << number << ": not a case line: " << text;
        }
    }
    return steps;
}

}  // namespace

TEST(Cases, EveryCaseFilePrintsWhatItSays) {
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(KIV_SOURCE_DIR "/tests/cases")) {
        if (entry.path().extension() == ".case") files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 5u);
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        ScopedTempDir dir;
        copySourceFolder("examples/project/.", ".");
        for (const Step& step : readCase(file)) {
            SCOPED_TRACE(file + ":" + std::to_string(step.line) + ": " + step.command);
            std::string quoted;
            for (char c : step.command)
                quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
            // Standard output alone: the command's own 2>&1 decides about errors.
            const auto [status, output] =
                shellOutput("(KIV='" KIV_BINARY_PATH "' KIVTOOL='" KIVTOOL_BINARY_PATH "' sh -c '" +
                            quoted + "' 2>/dev/null)");
            EXPECT_EQ(output, step.output);
            EXPECT_EQ(status, step.status);
        }
    }
}
