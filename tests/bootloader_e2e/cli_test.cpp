// quorta-bl as a user runs it: exit codes, @file arguments, messages.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct Result {
    int exitCode;
    std::string out;
};

Result runBl(const std::string& arguments) {
    std::string cmd = std::string(QUORTA_BL_PATH) + " " + arguments + " 2>&1";
    Result r{-1, {}};
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) r.out.append(buffer, n);
    int status = pclose(p);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

}  // namespace

TEST(QuortaBl, ExitCodesAndMessages) {
    auto ok = runBl("--simulate flash-erase-region 0xa000 0x76000");
    EXPECT_EQ(ok.exitCode, 0);
    EXPECT_NE(ok.out.find("Response status = 0 (0x0) Success.\n"), std::string::npos);

    auto refused = runBl("--simulate write-memory 0x100000 {{00}}");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.out.find("Response status = 10200 (0x27d8) kStatusMemoryRangeInvalid\n"),
              std::string::npos);

    auto usage = runBl("--simulate read-memory 0 -4");
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_NE(usage.out.find("usage: quorta-bl"), std::string::npos);
    EXPECT_EQ(runBl("--simulate=3 reset").exitCode, 2);
    auto app = runBl("--simulate=5:app reset");
    EXPECT_EQ(app.exitCode, 2);
    EXPECT_NE(app.out.find("quorta-bl: --simulate=5:app: app does not apply here"),
              std::string::npos)
        << app.out;
    EXPECT_EQ(runBl("--simulate --simulate-fault=radio-fails reset").exitCode, 2);
    EXPECT_EQ(runBl("").exitCode, 2);

    auto absent = runBl("--simulate --usb 0x2b29,0x4c reset");
    EXPECT_EQ(absent.exitCode, 1);
    EXPECT_NE(absent.out.find("Error: UsbHidPeripheral() cannot open USB HID device "
                              "(vid=0x2b29, pid=0x004c)."),
              std::string::npos);
}

TEST(QuortaBl, FileArgumentsJsonAndTrace) {
    auto path = std::filesystem::temp_directory_path() / "quorta_cli_test.hex";
    {
        std::ofstream f(path);
        f << "{{";
        for (int i = 0; i < 1000; ++i) f << "a5";
        f << "}}\n";
    }
    // In the ROM bootloader the application's flash holds nothing: it takes a write.
    auto write = runBl("--simulate=12:rom write-memory 0xa000 @" + path.string());
    EXPECT_EQ(write.exitCode, 0) << write.out;
    EXPECT_NE(write.out.find("Wrote 1000 of 1000 bytes."), std::string::npos);
    std::filesystem::remove(path);
    EXPECT_EQ(runBl("--simulate write-memory 0xa000 @/nonexistent.hex").exitCode, 2);

    auto json = runBl("--simulate --json get-property 4");
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_EQ(json.out,
              "{\n   \"command\" : \"get-property\",\n   \"response\" : [ 1048576 ],\n"
              "   \"status\" : {\n      \"description\" : \"0 (0x0) Success.\",\n"
              "      \"value\" : 0\n   }\n}\n");

    auto trace = runBl("-vv --simulate reset");
    EXPECT_NE(trace.out.find("[01 00 04 00 0b 00 00 00 00"), std::string::npos);
    EXPECT_NE(trace.out.find("<03 00 0c 00 a0 00 00 02 00 00 00 00 0b 00 00 00"),
              std::string::npos);
    EXPECT_NE(trace.out.find("  - took"), std::string::npos);
}

TEST(QuortaBl, TheSimulatedGpsWithItsFaults) {
    // Its flash bootloader holds its firmware: a write over it is refused as
    // by real flash, and the bootloader's product id names the variant.
    auto over = runBl("--simulate=69 write-memory 0xa000 {{00112233}}");
    EXPECT_EQ(over.exitCode, 1);
    EXPECT_NE(over.out.find("Response status = 105"), std::string::npos) << over.out;
    EXPECT_EQ(runBl("--usb 0x2b29,0x45 --simulate=69 get-property 1").exitCode, 0);

    auto refused =
        runBl("--simulate=9:rom --simulate-fault=flash-refuses-writes write-memory 0xa000 {{00}}");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.out.find("Response status = 105"), std::string::npos) << refused.out;

    auto pulled = runBl(
        "--simulate=9:rom --simulate-fault=unplug@before-erase flash-erase-region "
        "0xa000 0x76000");
    EXPECT_EQ(pulled.exitCode, 1);
    EXPECT_EQ(pulled.out.find("Response status = 0 "), std::string::npos) << pulled.out;
}
