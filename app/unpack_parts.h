// The parts of unpacking an archive into a project: how each entry comes back (the layout
// check), the project's files written one checked way, and the scripts, helper archives and
// build.sh that put the entries together again in order.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive_view.h"
#include "common/file_output.h"

namespace kiv {

// How one entry comes back.
enum class Remake { Grab, Label, File, Helper, Impossible };

struct EntryPlan {
    Remake how = Remake::Helper;
    std::string lines;   // Grab: the script lines; Label and File: the link line
    std::string report;  // what unpack says about it
};

// The name field as a script can give it: text up to the first zero, zeros after it, no
// separator and no end-of-file byte in it.
bool scriptableName(const ArchiveEntry& entry, size_t most);
bool linkLabel(const ArchiveEntry& entry);
bool linkItemName(const ArchiveEntry& entry);

// Every file of the project goes through here: a failed write is said and the unpack fails.
class ProjectFiles {
  public:
    explicit ProjectFiles(std::string folder) : folder_(std::move(folder)) {}
    void bytes(const std::string& name, std::span<const uint8_t> bytes);
    void text(const std::string& name, const std::string& text);
    void failed() { trouble_ = true; }
    bool trouble() const { return trouble_; }
    const std::string& folder() const { return folder_; }

  private:
    std::string folder_;
    bool trouble_ = false;
};

// How entries with data come back: by grab lines (true when the item comes back identical
// from them; they are in plan.lines), or as a file of the project (its name).
struct EntryMakers {
    std::function<bool(size_t, const std::vector<uint8_t>&, EntryPlan&)> grab;
    std::function<std::string(size_t, const std::vector<uint8_t>&)> file;
};

// The layout check: every entry's data where kiv puts it, zero-length entries where a label or
// an empty file leaves them, nothing after the last item. Says on standard error what cannot be
// reproduced and gives false then. Reads no item.
bool layoutReproducible(const ArchiveView& archive);

// How entry i of an archive that passed the layout check comes back; position is where its data
// lies among the items' (moved past it).
EntryPlan planEntry(const ArchiveView& archive, size_t i, int64_t& position,
                    const EntryMakers& makers);

// A text file of the project written as it is made, 64 KiB at a time; a failure is said once
// and fails the unpack.
class ProjectText {
  public:
    ProjectText(ProjectFiles& files, const std::string& name);
    void add(std::string_view text);
    void finish();

  private:
    void fail(const std::string& why);
    ProjectFiles& files_;
    std::string name_;
    OutputFile file_;
    std::string pending_;
    bool failed_ = false;
};

// The scripts, written as the entries come in order: each run of grabbed entries one grab
// script, each run of helper entries one helper archive, both merged by the link script where
// their entries stand; then build.sh. Each entry's report is said as it comes.
class ProjectScripts {
  public:
    ProjectScripts(const ArchiveView& archive, ProjectFiles& files);
    void add(size_t i, const EntryPlan& plan);
    // Ends the scripts; jobs receives them in the order they run. Returns the exit status.
    int finish(std::vector<std::string>& jobs);

  private:
    void endRun();
    const ArchiveView& archive_;
    ProjectFiles& files_;
    std::string archiveFile_, name_, prefix_, shown_;
    ProjectText link_;
    std::vector<std::string> jobs_;
    Remake run_ = Remake::Impossible;  // the kind of the run being gathered: Grab, Helper or none
    size_t runBegin_ = 0, runEnd_ = 0;
    std::string runLines_;  // a grab run's lines (its script says where it ends)
    int grabs_ = 0, helpers_ = 0;
};

// A text as one word of a POSIX shell: in single quotes, each ' as '\''.
std::string shellQuoted(const std::string& text);

}  // namespace kiv
