// The scripts of an unpacked project: grab scripts, helper archives, the link script and
// build.sh, and the one checked way every file of the project is written.
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "app/tool_status.h"
#include "app/unpack_parts.h"
#include "archive/archive_writer.h"
#include "common/console.h"
#include "common/file_output.h"
#include "common/script_text.h"

namespace kiv {

namespace {

// A small archive of entries begin to end as they are, with their flags and name bytes: what
// the link script merges for entries no script line can make.
std::vector<uint8_t> helperArchive(const ArchiveView& archive, size_t begin, size_t end) {
    std::vector<ArchiveEntry> entries;
    std::vector<std::vector<uint8_t>> data;
    for (size_t k = begin; k < end; ++k) {
        entries.push_back(archive.entry(k));
        data.push_back(archive.item(k));
    }
    return encodeArchive(entries, data);
}

}  // namespace

void ProjectFiles::bytes(const std::string& name, std::span<const uint8_t> bytes) {
    std::string why;
    if (!writeWholeFile(folder_ + "/" + name, bytes, &why)) {
        std::fprintf(stderr, "kivtool: cannot write %s/%s: %s\n", folder_.c_str(), name.c_str(),
                     why.c_str());
        trouble_ = true;
    }
}

void ProjectFiles::text(const std::string& name, const std::string& text) {
    bytes(name,
          std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

// A text as one word of a POSIX shell: in single quotes, each ' as '\''.
std::string shellQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

int writeProjectScripts(const ArchiveView& archive, const std::vector<EntryPlan>& plans,
                        ProjectFiles& files, std::vector<std::string>& jobs) {
    // The scripts: each run of grabbed entries one grab script, each run of helper entries one
    // helper archive, both merged by the link script where their entries stand. The grab
    // scripts' archives must not be the link job's own: an archive called grabNN takes partNN.
    const std::string archiveFile = std::filesystem::path(archive.path()).filename().string();
    const std::string name = archiveFile.substr(0, archiveFile.find('.'));
    const std::string prefix =
        equalsIgnoreCase(name.substr(0, 4).c_str(), "grab") ? "part" : "grab";
    const std::string shown = printableName(name);
    std::string link = "; Rebuilds " + shown +
                       ".kiv: run kiv on every .scp of this folder, then on " + shown +
                       ".lnk (build.sh lists the jobs).\n";
    int grabs = 0, helpers = 0;
    for (size_t i = 0; i < plans.size();) {
        const Remake how = plans[i].how;
        size_t end = i + 1;
        if (how == Remake::Grab || how == Remake::Helper) {
            while (end < plans.size() && plans[end].how == how) ++end;
        }
        if (how == Remake::Grab) {
            char script[32];
            std::snprintf(script, sizeof script, "%s%02d", prefix.c_str(), ++grabs);
            std::string text = "; Grabs entries " + std::to_string(i + 1) + " to " +
                               std::to_string(end) + " of " + printableName(archiveFile) + ".\n";
            for (size_t k = i; k < end; ++k) text += plans[k].lines;
            files.text(std::string(script) + ".scp", text);
            jobs.push_back(std::string(script) + ".scp");
            link += std::string(script) + ".kiv\n";
        } else if (how == Remake::Helper) {
            char helper[40];
            std::snprintf(helper, sizeof helper, "helpers/part%02d.kiv", ++helpers);
            files.bytes(helper, helperArchive(archive, i, end));
            link += std::string(helper) + "\n";
        } else {
            link += plans[i].lines;
        }
        i = end;
    }
    files.text(name + ".lnk", link);
    jobs.push_back(name + ".lnk");
    std::string build = "#!/bin/sh\n# Rebuilds " + shown +
                        ".kiv from this project: every grab script, then the link script.\n"
                        "set -e\ncd \"$(dirname \"$0\")\"\nKIV=${KIV:-kiv}\n";
    for (const std::string& job : jobs)
        build += "\"$KIV\" -q -- " + shellQuoted(job) + " > /dev/null\n";
    files.text("build.sh", build);
    if (!files.trouble()) chmod((files.folder() + "/build.sh").c_str(), 0755);
    for (const EntryPlan& piece : plans) {
        if (!piece.report.empty()) outputPrint("%s\n", piece.report.c_str());
    }
    if (files.trouble()) {
        std::fprintf(stderr, "kivtool: %s: the project in %s is incomplete\n",
                     archive.path().c_str(), files.folder().c_str());
        return kToolProblem;
    }
    outputPrint("%s: %zu entries in %s; build.sh rebuilds %s.kiv there\n", archive.path().c_str(),
                archive.size(), files.folder().c_str(), shown.c_str());
    return kToolOk;
}

}  // namespace kiv
