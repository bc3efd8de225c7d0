// The link script processor: builds an archive from labels, whole files and the entries of
// other archives, listed in a link script.
#pragma once

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

void addLabel(ArchiveWriter& writer, const char* name);
// False, after an error line, when the file cannot be read; nothing is added then.
bool addFile(ArchiveWriter& writer, const char* path, const char* itemName);
// False, after an error line, when the source is not an archive that can be taken over whole;
// nothing of it is added then.
bool mergeArchive(ArchiveWriter& writer, const char* path);

}  // namespace kiv
