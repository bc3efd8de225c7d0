// A grab job and a link job from start to end, as both front ends run them. Each returns the
// job's exit status: 0 for a job that ran to its end without an error, 1 for one that reported
// an error, 255 for a start-up failure.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "grab/grab_context.h"

namespace kiv {

// Moments at which a front end shows and hides its job console.
struct JobHooks {
    std::function<void()> openConsole;   // grab: before finishArchive; link: at the start
    std::function<void()> closeConsole;  // at the job's end, however it ends
    // A job that reports an error does not replace the archive (watching: what merges it
    // goes on with the last good one).
    bool keepLastGood = false;
    // Set from a signal handler to end the job at once, its files removed.
    const volatile sig_atomic_t* cancel = nullptr;
    // kiv -o: the archive's path instead of beside the script (its temporary data beside it).
    std::string archive;
    // kiv -j: the temporary data's own file (messages still name datatemp.dat).
    std::string tempFile;
};

// What a job did, for summaries, dependency files and the window's status line.
struct JobResult {
    bool finished = false;  // the archive was completed and put in place
    bool withheld = false;  // completed with errors and not put in place (keepLastGood)
    std::string archive;    // its name
    std::string script;     // the script file read
    int32_t entries = 0;
    int64_t bytes = 0;                // the archive's size
    std::vector<std::string> inputs;  // pictures, linked files and merged archives read
};

// A job as a value: what to run, and where.
struct JobRequest {
    std::string script;
    // The folder its relative paths start from: the script, pictures, linked files, its archive
    // and temporary data ("": the process's current folder). Messages name paths as given.
    std::string folder;
    JobHooks hooks;
    PictureMapper* trueColour = nullptr;  // grab jobs: true-colour pictures mapped with it
    bool noteMappings = false;            // grab jobs: say how each picture was mapped
    int keyPauses = 0;                    // grab jobs: "/k" given this many times
    GrabContext* context = nullptr;       // grab jobs: the caller's (the window's, with its
                                          // preview); else a fresh one
};
// What it did: the result, its status and what it reported.
struct JobReport : JobResult {
    int status = 0;
    std::vector<std::string> errors;       // failures reported on the two message channels
    std::vector<std::string> diagnostics;  // kiv's own, as written
    int warnings = 0;
    // The errors it reported: failures on the message channels and error diagnostics.
    int errorCount() const;
};
// Runs one job in the calling thread's session (see JobSession), its folder set for the job;
// every file it read is among the report's inputs, the palette of true-colour pictures too.
JobReport runJob(const JobRequest& request);

int runGrabJob(GrabContext& ctx, const std::string& scriptPath, const JobHooks& hooks = {},
               JobResult* result = nullptr);
int runLinkJob(const std::string& scriptPath, const JobHooks& hooks = {},
               JobResult* result = nullptr);

// True when a script name starts a link job: its last three characters are LNK in any case.
bool isLinkScriptName(const std::string& scriptPath);

// A dependency file in Make's syntax: "ARCHIVE: SCRIPT INPUT…", then "INPUT:" for every input
// (as -MP does), paths escaped for Make. The inputs include files the job could not read.
std::string dependencyRule(const JobResult& result);

}  // namespace kiv
