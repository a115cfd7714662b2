#include "CliFrontEnd.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>

#include "CliWindow.h"
#include "core/Services.h"
#include "core/StatusReporting.h"
#include "core/WindowProcedure.h"
#include "platform/InstanceLock.h"

namespace ui_cli {

namespace {

std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int) {
    interrupted = true;
    // A second Ctrl+C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
}

void catchInterrupt() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a read waiting for an answer returns
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int runCliFrontEnd(const core::FrontEndContext& context) {
    if (context.lock && !context.lock->acquire(context.lockName)) {
        std::cout << "[" << core::kAlreadyRunningCaption << "]\n"
                  << core::kAlreadyRunningText << "\n";
        return core::kExitOk;
    }
    catchInterrupt();
    core::installReportCallbacks();
    int code = core::kExitFailure;
    {
        CliWindow window(context, std::cin, std::cout, std::cerr, &interrupted, !::isatty(0),
                         ::isatty(1) != 0);
        core::services().window = &window;
        core::startRunLog();
        code = window.run();
        core::services().window = nullptr;
    }
    if (context.lock) context.lock->release();
    return code;
}

int runScanOnceFrontEnd(const core::FrontEndContext& context) {
    return runScanOnce(context, std::cout);
}

}  // namespace ui_cli
