// The parts of unpacking an archive into a project: how each entry comes back (the layout
// check), the project's files written one checked way, and the scripts, helper archives and
// build.sh that put the entries together again in order.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "archive/archive_view.h"

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
// reproduced and gives false then; plans receives how each entry comes back.
bool planEntries(const ArchiveView& archive, const EntryMakers& makers,
                 std::vector<EntryPlan>& plans);

// The scripts: each run of grabbed entries one grab script, each run of helper entries one
// helper archive, both merged by the link script where their entries stand; then build.sh and
// the report. jobs receives the scripts in the order they run. Returns the exit status.
int writeProjectScripts(const ArchiveView& archive, const std::vector<EntryPlan>& plans,
                        ProjectFiles& files, std::vector<std::string>& jobs);

// A text as one word of a POSIX shell: in single quotes, each ' as '\''.
std::string shellQuoted(const std::string& text);

}  // namespace kiv
