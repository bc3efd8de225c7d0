// The link script processor: builds an archive from labels, whole files and the entries of
// other archives, listed in a link script.
#pragma once

#include <functional>

#include <string>
#include <string_view>

#include "archive/archive_writer.h"

namespace kiv {

// The line that names the tool, between the blank lines of a link run's banner.
inline constexpr const char* kLinkBanner = "Kiv ver 1.1 Link";
// Longest label or item name a link script may give (a label's colon counted).
inline constexpr size_t kLinkNameChars = 14;

// Runs the whole link job of the script base + ".lnk" and writes the archive base + ".kiv".
// Ends the job (JobExit, start-up status) when the script, the archive or the temporary file
// cannot be opened; a bad line stops the run with an error and the archive is still finished.
void runLinkScript(ArchiveWriter& writer, std::string_view scriptPath);

// What a link script line is, by the tests of the line kinds in their order.
enum class LinkLineKind {
    Ignored,          // no token, or a first token of fewer than 4 characters
    Comment,          // the first token begins with ';'
    Label,            // ends with ':'
    LabelTooLong,     // a label of 15 characters or more
    MissingPath,      // no file or folder of that path exists
    Archive,          // ends in KIV (any case): merged
    FileWithoutName,  // a file without an item name: ignored
    NameTooLong,      // an item name of 15 characters or more
    File,
};
struct LinkLine {
    LinkLineKind kind = LinkLineKind::Ignored;
    char* token = nullptr;     // the first token
    char* itemName = nullptr;  // the second, on a file line
};
// Splits and classifies a line (writing terminators into it); exists tells whether a path
// names a file or folder.
LinkLine classifyLinkLine(char* line, const std::function<bool(const char*)>& exists);

void addLabel(ArchiveWriter& writer, const char* name);
// False, after an error line, when the file cannot be read; nothing is added then.
bool addFile(ArchiveWriter& writer, const char* path, const char* itemName);
// False, after an error line, when the source is not an archive that can be taken over whole;
// nothing of it is added then.
bool mergeArchive(ArchiveWriter& writer, const char* path);

}  // namespace kiv
