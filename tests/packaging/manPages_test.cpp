// The manual pages render without a single warning from groff, and each one
// documents every option its program takes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runCommand.h"

namespace {

using packagingtest::findOnPath;
using packagingtest::runCommand;
using packagingtest::shellQuote;
using packagingtest::sourceDir;

// The page as text, with groff's warnings after it; skips without groff.
#define RENDER(page, out)                                                                          \
    do {                                                                                           \
        if (findOnPath("groff").empty())                                                           \
            GTEST_SKIP() << "groff is not installed (Debian package groff-base)";                  \
        auto path = sourceDir() / "packaging/linux" / (page);                                      \
        auto warnings = runCommand("LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z " + shellQuote(path)); \
        EXPECT_EQ(warnings.exitCode, 0) << warnings.output;                                        \
        EXPECT_EQ(warnings.output, "") << (page);                                                  \
        auto rendered_ =                                                                           \
            runCommand("LC_ALL=C.UTF-8 groff -man -Tascii -P-cbou " + shellQuote(path));           \
        ASSERT_EQ(rendered_.exitCode, 0) << rendered_.output;                                      \
        (out) = rendered_.output;                                                                  \
    } while (0)

void expectEvery(const std::string& text, const std::vector<std::string>& words) {
    for (const std::string& w : words) EXPECT_NE(text.find(w), std::string::npos) << w;
}

TEST(ManPages, UpdaterPageRendersCleanAndListsEveryOption) {
    std::string text;
    RENDER("quorta-updater.1", text);
    expectEvery(text, {"NAME",
                       "SYNOPSIS",
                       "OPTIONS",
                       "EXIT STATUS",
                       "--cli",
                       "--yes",
                       "--update",
                       "--force-update",
                       "--factory-reset",
                       "--erase-keys",
                       "--language-packs",
                       "--about",
                       "--show-log",
                       "--simulate=TYPE",
                       "--simulate-radio=BUILD",
                       "--simulate-drive=DIR",
                       "--simulate-fault=NAME",
                       "--simulate-replug=SECONDS",
                       "Trying the recovery road",
                       "Trying faults",
                       "--time-scale=F",
                       "--scan-once",
                       "--log-file PATH",
                       "--record-trace FILE",
                       "--replay-trace FILE",
                       "--version",
                       "--help",
                       "70-quorta-gps.rules",
                       "~/.local/state/quorta-updater/"});
}

TEST(ManPages, BootloaderToolPageRendersCleanAndListsEveryOption) {
    std::string text;
    RENDER("quorta-bl.1", text);
    expectEvery(text, {"NAME",
                       "SYNOPSIS",
                       "COMMANDS",
                       "EXIT STATUS",
                       "--usb VID,PID",
                       "--simulate[=MODEL]",
                       "--simulate-fault=LIST",
                       "--port NAME,BAUD",
                       "--bridge",
                       "--ping",
                       "--json",
                       "-vv",
                       "--timeout MS",
                       "--time-scale=F",
                       "--record-trace FILE",
                       "--replay-trace FILE",
                       "--simulate-serial",
                       "get-property",
                       "write-memory",
                       "flash-security-disable",
                       "configure-quadspi"});
}

}  // namespace
