// The command-line front end: kiv <Script Filename> [/k]
#include <clocale>
#include <csignal>
#include <string>

#include "app/jobs.h"
#include "common/console.h"
#include "common/script_text.h"
#include "common/transfer_buffer.h"

int main(int argc, char** argv) {
    using namespace kiv;
    std::setlocale(LC_CTYPE, "");
    // A file-size limit makes writes fail with "File too large", reported and cleaned up,
    // instead of killing the job half-way.
    std::signal(SIGXFSZ, SIG_IGN);
    if (argc < 2) {
        outputPrint("\nUSAGE: kiv <Script Filename>\n\n");
        outputPrint("Script extention .LNK is used to Identify Link Files\n\n");
        return 0;
    }
    if (!createTransferBuffer()) {
        outputPrint("\nNot enough memory for the %zu-byte transfer buffer\n", kTransferBufferBytes);
        return kStartupFailure;
    }
    const std::string scriptName = argv[1];
    int status;
    if (isLinkScriptName(scriptName)) {
        status = runLinkJob(scriptName);
    } else {
        for (int i = 1; i < argc; ++i) {
            if (equalsIgnoreCase(argv[i], "/k")) outputPrint("\nKey Pause Active !!!!\n");
        }
        GrabContext ctx;
        status = runGrabJob(ctx, scriptName);
    }
    releaseTransferBuffer();
    return status;
}
