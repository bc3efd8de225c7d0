// A grab job and a link job from start to end, as both front ends run them. Each returns the
// job's exit status: 0 for a job that ran to its end without an error message, 1 for one that
// printed an error, 255 for a start-up failure.
#pragma once

#include <functional>
#include <string>

#include "grab/grab_context.h"

namespace kiv {

// Moments at which a front end shows and hides its job console.
struct JobHooks {
    std::function<void()> openConsole;   // grab: before finishArchive; link: at the start
    std::function<void()> closeConsole;  // at the job's end, however it ends
};

int runGrabJob(GrabContext& ctx, const std::string& scriptPath, const JobHooks& hooks = {});
int runLinkJob(const std::string& scriptPath, const JobHooks& hooks = {});

// True when a script name starts a link job: its last three characters are LNK in any case.
bool isLinkScriptName(const std::string& scriptPath);

}  // namespace kiv
