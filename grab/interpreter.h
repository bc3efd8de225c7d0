// The grab script interpreter.
#pragma once

#include <string>

#include "archive/archive_writer.h"
#include "common/script_text.h"
#include "grab/grab_context.h"

namespace kiv {

// Opens a grab script. When it cannot be opened, writes "\n文件未发现!!! (path)" (the Chinese
// says the file was not found) on the standard-output channel and returns false.
bool openGrabScript(ScriptReader& script, const std::string& path);

struct GrabCommand;
// Splits a script line: returns the command row its first word names, with the arguments set
// in the context, or nullptr when the line holds no command (the arguments are then untouched).
const GrabCommand* parseGrabLine(GrabContext& ctx, char* scriptLine);

// The command a line's first word was probably meant to be (one edit away for words of up to
// four letters, two for longer ones), or nullptr: for commands, comments and far words.
const char* misspeltCommand(const char* word);

// Runs one script line: the command its first word names, if any, with the cursor at the start
// of the item buffer. Returns the command's row, or nullptr for a line without a command; the
// bytes the command wrote are the item buffer up to the cursor.
const GrabCommand* runGrabLine(GrabContext& ctx, char* scriptLine);

// Runs an opened grab script: every line whose first word is a command runs that command, and
// the bytes it writes become one item, named by its first argument, in the writer's archive.
void runGrabScript(GrabContext& ctx, ArchiveWriter& writer, ScriptReader& script);

}  // namespace kiv
