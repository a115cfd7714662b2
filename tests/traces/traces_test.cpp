// The golden device traces replayed against the programs, a replay that
// meets a changed report, and traces that cannot be replayed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "RunProgram.h"
#include "crc/crc32.h"
#include "trace/TraceFile.h"

namespace {

using cli_testing::ProgramRun;

const std::string kTracesDir = QUORTA_TRACES_DIR;
constexpr const char* kReplayScale = "--time-scale=0.02";

struct Golden {
    std::string name;
    std::string program;
    std::vector<std::string> options;  // the program's own, as when recorded
    std::string input;
};

std::string trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t");
    const size_t b = s.find_last_not_of(" \t");
    return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// goldens.txt, the list `make traces` records from.
std::vector<Golden> goldens() {
    std::vector<Golden> list;
    std::ifstream in(kTracesDir + "/goldens.txt");
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> fields;
        for (size_t at = 0;;) {
            const size_t bar = line.find(" | ", at);
            fields.push_back(trim(line.substr(at, bar == std::string::npos ? bar : bar - at)));
            if (bar == std::string::npos) break;
            at = bar + 3;
        }
        if (fields.size() != 5) continue;
        Golden g{fields[0], fields[1], words(fields[3]), fields[4] == "-" ? "" : fields[4]};
        for (size_t at; (at = g.input.find("\\n")) != std::string::npos;) {
            g.input.replace(at, 2, "\n");
        }
        list.push_back(g);
    }
    return list;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string programPath(const std::string& program) {
    return program == "quorta-bl" ? QUORTA_BL_PATH : QUORTA_UPDATER_PATH;
}

ProgramRun replay(cli_testing::ProgramRunner& runner, const Golden& g, const std::string& trace,
                  int timeoutSeconds = 120) {
    std::vector<std::string> args = {"--replay-trace", trace, kReplayScale};
    args.insert(args.end(), g.options.begin(), g.options.end());
    return runner.runProgram(programPath(g.program), args, g.input, timeoutSeconds);
}

class GoldenTrace : public ::testing::TestWithParam<Golden> {};

TEST_P(GoldenTrace, ReplaysAsRecorded) {
    const Golden& g = GetParam();
    const std::string path = kTracesDir + "/" + g.name + ".jsonl";
    std::string error;
    const std::optional<trace::Trace> recorded = trace::readTraceFile(path, &error);
    ASSERT_TRUE(recorded) << path << ": " << error << " (make traces records it)";
    ASSERT_TRUE(recorded->complete);
    cli_testing::ProgramRunner runner;
    const ProgramRun r = replay(runner, g, path);
    // Every line met, and the run ended as it did when recorded.
    EXPECT_EQ(r.exitCode, recorded->entries.back().more().outcome.exitCode) << r.err << r.out;
    EXPECT_EQ(r.err.find("trace differs"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Golden, GoldenTrace, ::testing::ValuesIn(goldens()),
                         [](const ::testing::TestParamInfo<Golden>& info) {
                             std::string name = info.param.name;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

// One byte of one recorded report changed: the replay stops there with 3.
TEST(TraceReplay, AWriteThatDiffersStopsAtItsLine) {
    const std::vector<Golden> list = goldens();
    const Golden& g = list.front();
    std::istringstream in(slurp(kTracesDir + "/" + g.name + ".jsonl"));
    std::ostringstream changed;
    size_t lineNumber = 0, changedLine = 0, writes = 0;
    for (std::string line; std::getline(in, line);) {
        ++lineNumber;
        // The hundredth report written: one in the middle of the firmware.
        if (line.find("\"op\":\"write\"") != std::string::npos && ++writes == 100) {
            const size_t hex = line.find("\"hex\":\"") + 7;
            line[hex + 9] = line[hex + 9] == '0' ? '1' : '0';
            changedLine = lineNumber;
        }
        changed << line << "\n";
    }
    ASSERT_GT(changedLine, 0u);
    cli_testing::ProgramRunner runner;
    const std::string path = runner.runtimeDir() + "/changed.jsonl";
    std::ofstream(path) << changed.str();
    const ProgramRun r = replay(runner, g, path);
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("trace differs at line " + std::to_string(changedLine) + ": wrote "),
              std::string::npos)
        << r.err;
}

// The trace at `name` with `edit` applied to each line (its number from 1);
// a line it empties is left out.
std::string editedGolden(const std::string& name,
                         const std::function<void(size_t, std::string&)>& edit) {
    std::istringstream in(slurp(kTracesDir + "/" + name + ".jsonl"));
    std::ostringstream out;
    size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        edit(++number, line);
        if (!line.empty()) out << line << "\n";
    }
    return out.str();
}

// A reply of the GPS's command link as a 64-byte report, in hex: SOH, the
// payload and its CRC-16 (polynomial 0x1021, from 0, low byte first) with
// control bytes escaped by DLE, EOT, then 0xff.
std::string linkReply(const std::vector<uint8_t>& payload) {
    uint16_t crc = 0;
    for (uint8_t b : payload) {
        crc ^= static_cast<uint16_t>(b << 8);
        for (int i = 0; i < 8; ++i) {
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    std::vector<uint8_t> body = payload;
    body.push_back(static_cast<uint8_t>(crc & 0xff));
    body.push_back(static_cast<uint8_t>(crc >> 8));
    std::vector<uint8_t> report = {0x01};
    for (uint8_t b : body) {
        if (b == 0x01 || b == 0x04 || b == 0x10) report.push_back(0x10);
        report.push_back(b);
    }
    report.push_back(0x04);
    report.resize(64, 0xff);
    return trace::toHex(report.data(), report.size());
}

// How the run ended is part of the trace: a changed ending fails with its
// line; a device answer changed by hand is judged by an expect line.
TEST(TraceReplay, TheEndingIsJudged) {
    const Golden g = [] {
        for (const Golden& g : goldens()) {
            if (g.name == "erase-keys") return g;
        }
        return Golden{};
    }();
    ASSERT_FALSE(g.name.empty());
    cli_testing::ProgramRunner runner;
    const std::string path = runner.runtimeDir() + "/edited.jsonl";
    size_t endLine = 0;
    std::ofstream(path) << editedGolden(g.name, [&](size_t n, std::string& line) {
        if (line.find("\"op\":\"end\"") == std::string::npos) return;
        endLine = n;
        line.replace(line.find("\"exit\":0"), 8, "\"exit\":1");
    });
    ProgramRun r = replay(runner, g, path);
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("trace ended differently: recorded exit status 1, now exit status 0\n"
                         "  the ending is line " +
                         std::to_string(endLine)),
              std::string::npos)
        << r.err;

    // The GPS says it has firmware 14.52 (newer than the 14.51 carried), in
    // its device information: model byte 0x49 (type 13, Japanese), 14, 52.
    auto withExpectation = [&](const std::string& expect) {
        std::ofstream(path) << editedGolden(g.name, [&](size_t, std::string& line) {
            const size_t at = line.find("\"hex\":\"0106490e33");
            if (at != std::string::npos)
                line.replace(at + 7, 128, linkReply({6, 0x49, 14, 52, 0, 0}));
            if (line.find("\"op\":\"end\"") != std::string::npos) line = expect;
        });
        return replay(runner, g, path);
    };
    r = withExpectation(
        R"({"op":"expect","exit":1,"title":"Osprey Max connected\nVer: 14.52-1333026\nJapanese"})");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.out.find("Button: [Update to 14.51]"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("trace"), std::string::npos) << r.err;
    r = withExpectation(R"({"op":"expect","exit":0})");
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("trace ended differently: recorded exit status 0, now exit status 1"),
              std::string::npos)
        << r.err;

    // Without its second look at the GPS (lines 13 to 17: the device list,
    // and the device information asked again), the run is answered from the
    // first look when judged by an expectation.
    std::ofstream(path) << editedGolden(g.name, [&](size_t n, std::string& line) {
        if (n >= 13 && n <= 17) line.clear();
        if (line.find("\"op\":\"end\"") != std::string::npos) {
            line = R"({"op":"expect","exit":0,"detail":"Latest software is installed on device"})";
        }
    });
    r = replay(runner, g, path);
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

// A named pipe given as the trace: refused at once, never waited on.
TEST(TraceReplay, AFifoIsRefusedAtOnce) {
    cli_testing::ProgramRunner runner;
    const std::string path = runner.runtimeDir() + "/fifo.jsonl";
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const ProgramRun bl = runner.runProgram(
        QUORTA_BL_PATH, {"--replay-trace", path, "--usb", "0x2b29,0x05", "get-property", "1"}, "",
        20);
    const ProgramRun updater =
        runner.runProgram(QUORTA_UPDATER_PATH, {"--replay-trace", path, "--cli", "--yes"}, "", 20);
    for (const ProgramRun* r : {&bl, &updater}) {
        EXPECT_EQ(r->exitCode, 1) << r->err;
        EXPECT_NE(r->err.find("cannot replay " + path + ": not a regular file"), std::string::npos)
            << r->err;
    }
}

// Traces that cannot be replayed, and a recording that cannot be written:
// a clear error, exit 1, before any device work, never a crash or a hang.
TEST(TraceReplay, BadTracesGiveAClearError) {
    const std::string header =
        "{\"about\":\"Quorta GPS device trace\",\"format\":1,\"program\":\"quorta-bl\"}\n";
    const std::string open =
        "{\"name\":\"main\",\"op\":\"thread\",\"t\":0,\"th\":1}\n"
        "{\"h\":1,\"op\":\"open\",\"pid\":\"0005\",\"t\":0,\"th\":1,\"vid\":\"2b29\"}\n";
    struct Case {
        const char* what;
        std::string trace;  // empty: not replayed, recorded to `args`
        std::vector<std::string> args;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"not JSON Lines",
         "quorta trace\nhello\n",
         {},
         "line 1: not a device trace: not JSON Lines"},
        {"a newer format",
         "{\"about\":\"Quorta GPS device trace\",\"format\":3,\"program\":\"quorta-bl\"}\n",
         {},
         "line 1: the trace is of format 3, newer than this program reads (2)"},
        {"cut off in the middle",
         header + open + "{\"h\":1,\"hex\":\"0100",
         {},
         "line 4: the trace is cut off in the middle of this line"},
        {"a report longer than any",
         header + open + "{\"h\":1,\"hex\":\"" + std::string(2 * 5000, 'a') +
             "\",\"n\":5000,\"op\":\"write\",\"t\":1,\"th\":1}\n",
         {},
         "line 4: a report of 5000 bytes is longer than any HID report"},
        {"a length the bytes do not have",
         header + open + "{\"h\":1,\"hex\":\"0100\",\"n\":36,\"op\":\"write\",\"t\":1,\"th\":1}\n",
         {},
         "line 4: \"n\" says 36 bytes, \"hex\" holds 2"},
        {"a read longer than its buffer",
         header + open +
             "{\"h\":1,\"hex\":\"03\",\"n\":65,\"op\":\"read\",\"size\":36,\"t\":1,\"th\":1}\n",
         {},
         "line 4: \"n\" is 65, outside -1..36"},
        {"a recording nobody can write",
         "",
         {"--record-trace", "/nonexistent-dir/t.jsonl"},
         "cannot write the trace /nonexistent-dir/t.jsonl: No such file or directory"},
    };
    cli_testing::ProgramRunner runner;
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        if (!c.trace.empty()) {
            const std::string path = runner.runtimeDir() + "/bad.jsonl";
            std::ofstream(path, std::ios::binary) << c.trace;
            args = {"--replay-trace", path};
        }
        for (const char* program : {"quorta-bl", "quorta-updater"}) {
            std::vector<std::string> run = args;
            if (std::string(program) == "quorta-bl") {
                run.insert(run.end(), {"--usb", "0x2b29,0x05", "get-property", "1"});
            } else {
                run.insert(run.end(), {"--cli", "--yes"});
            }
            const ProgramRun r = runner.runProgram(programPath(program), run, "", 20);
            EXPECT_EQ(r.exitCode, 1) << c.what << ", " << program << ": " << r.err;
            EXPECT_NE(r.err.find(c.error), std::string::npos)
                << c.what << ", " << program << ": " << r.err;
        }
    }
}

// A file under 64 bytes is kept by its size only: its CRC-32 would give its
// contents back. The recording's drive holds a 4-byte pin.txt.
TEST(TraceDrive, AShortFileKeepsItsSizeOnly) {
    const std::string golden = slurp(kTracesDir + "/update-type13-backup.jsonl");
    EXPECT_NE(golden.find(R"({"path":"Quorta/pin.txt","size":4})"), std::string::npos);
    EXPECT_NE(golden.find(R"({"crc32":"5d64191d","path":"Quorta/Settings.json","size":900})"),
              std::string::npos);
}

// The replayed drive's files are made up with the recorded size and CRC.
TEST(TraceDrive, MadeUpFilesHaveTheRecordedCrc) {
    const std::string text = "The ride of 3 June";
    for (size_t size : {size_t{0}, size_t{1}, size_t{3}, size_t{4}, size_t{18}}) {
        std::vector<uint8_t> original(text.begin(), text.begin() + std::min(size, text.size()));
        original.resize(size, 0x5A);
        const uint32_t crc = crc::crc32(original.data(), original.size());
        const auto tail = crc::crc32ContentTail(size, crc);
        ASSERT_TRUE(tail) << size;
        std::vector<uint8_t> made(size - std::min<size_t>(size, 4), 0);
        made.insert(made.end(), tail->begin(), tail->end());
        EXPECT_EQ(made.size(), size);
        EXPECT_EQ(crc::crc32(made.data(), made.size()), crc) << size;
    }
    // Large files cost no time: the zeros are skipped over, not run through.
    const auto tail = crc::crc32ContentTail(uint64_t{3} << 30, 0x12345678u);
    ASSERT_TRUE(tail);
    const auto small = crc::crc32ContentTail(100004, 0x12345678u);
    std::vector<uint8_t> made(100000, 0);
    made.insert(made.end(), small->begin(), small->end());
    EXPECT_EQ(crc::crc32(made.data(), made.size()), 0x12345678u);
}

}  // namespace
