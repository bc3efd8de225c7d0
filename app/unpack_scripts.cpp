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

ProjectText::ProjectText(ProjectFiles& files, const std::string& name)
    : files_(files), name_(name) {
    if (!file_.open(files_.folder() + "/" + name_)) fail(file_.reason());
}

void ProjectText::fail(const std::string& why) {
    if (!failed_) {
        std::fprintf(stderr, "kivtool: cannot write %s/%s: %s\n", files_.folder().c_str(),
                     name_.c_str(), why.c_str());
        files_.failed();
    }
    failed_ = true;
    pending_.clear();
}

void ProjectText::add(std::string_view text) {
    if (failed_) return;
    pending_ += text;
    if (pending_.size() >= (size_t{1} << 16)) {
        if (!file_.write(pending_)) fail(file_.reason());
        pending_.clear();
    }
}

void ProjectText::finish() {
    if (failed_) return;
    if (!file_.write(pending_) || !file_.commit()) fail(file_.reason());
    pending_.clear();
}

// The grab scripts' archives must not be the link job's own: an archive called grabNN takes
// partNN.
ProjectScripts::ProjectScripts(const ArchiveView& archive, ProjectFiles& files)
    : archive_(archive),
      files_(files),
      archiveFile_(std::filesystem::path(archive.path()).filename().string()),
      name_(archiveFile_.substr(0, archiveFile_.find('.'))),
      prefix_(equalsIgnoreCase(name_.substr(0, 4).c_str(), "grab") ? "part" : "grab"),
      shown_(printableName(name_)),
      link_(files, name_ + ".lnk") {
    link_.add("; Rebuilds " + shown_ + ".kiv: run kiv on every .scp of this folder, then on " +
              shown_ + ".lnk (build.sh lists the jobs).\n");
}

void ProjectScripts::add(size_t i, const EntryPlan& plan) {
    if (run_ != plan.how) endRun();
    if (plan.how == Remake::Grab || plan.how == Remake::Helper) {
        if (run_ != plan.how) runBegin_ = i;
        run_ = plan.how;
        runEnd_ = i + 1;
        if (plan.how == Remake::Grab) runLines_ += plan.lines;
    } else {
        link_.add(plan.lines);
    }
    if (!plan.report.empty()) outputPrint("%s\n", plan.report.c_str());
}

void ProjectScripts::endRun() {
    if (run_ == Remake::Grab) {
        char script[32];
        std::snprintf(script, sizeof script, "%s%02d", prefix_.c_str(), ++grabs_);
        const std::string head = "; Grabs entries " + std::to_string(runBegin_ + 1) + " to " +
                                 std::to_string(runEnd_) + " of " + printableName(archiveFile_) +
                                 ".\n";
        files_.text(std::string(script) + ".scp", head + runLines_);
        jobs_.push_back(std::string(script) + ".scp");
        link_.add(std::string(script) + ".kiv\n");
    } else if (run_ == Remake::Helper) {
        char helper[40];
        std::snprintf(helper, sizeof helper, "helpers/part%02d.kiv", ++helpers_);
        files_.bytes(helper, helperArchive(archive_, runBegin_, runEnd_));
        link_.add(std::string(helper) + "\n");
    }
    run_ = Remake::Impossible;
    runLines_.clear();
}

int ProjectScripts::finish(std::vector<std::string>& jobs) {
    endRun();
    link_.finish();
    jobs_.push_back(name_ + ".lnk");
    std::string build = "#!/bin/sh\n# Rebuilds " + shown_ +
                        ".kiv from this project: every grab script, then the link script.\n"
                        "set -e\ncd \"$(dirname \"$0\")\"\nKIV=${KIV:-kiv}\n";
    for (const std::string& job : jobs_)
        build += "\"$KIV\" -q -- " + shellQuoted(job) + " > /dev/null\n";
    files_.text("build.sh", build);
    if (!files_.trouble()) chmod((files_.folder() + "/build.sh").c_str(), 0755);
    jobs = jobs_;
    if (files_.trouble()) {
        std::fprintf(stderr, "kivtool: %s: the project in %s is incomplete\n",
                     archive_.path().c_str(), files_.folder().c_str());
        return kToolProblem;
    }
    outputPrint("%s: %zu entries in %s; build.sh rebuilds %s.kiv there\n", archive_.path().c_str(),
                archive_.size(), files_.folder().c_str(), shown_.c_str());
    return kToolOk;
}

}  // namespace kiv
