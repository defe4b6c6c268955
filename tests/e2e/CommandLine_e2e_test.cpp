// The real program's configuration modes: --help, --version, usage errors, --list,
// --export and --import, on a configuration directory of the test's own.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::TempDir;

struct Outcome {
    std::optional<int> code;
    std::string out;
    std::string err;
};

Outcome Tarnwick(const std::vector<std::string>& arguments) {
    ChildProcess child(TARNWICK_BINARY, arguments);
    Outcome run;
    run.code = child.wait(30s);
    run.out = child.out();
    run.err = child.err();
    return run;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

const char* const kTwoPorts = R"({"ports": [
  {"protocol": "tcp", "listenPort": 2222, "forwardIp": "127.0.0.1", "forwardPort": 8080,
   "timeoutSeconds": 3, "rules": [
     {"ruleName": "ssh", "searchType": "text", "caseSensitive": true, "searchData": "SSH-",
      "forwardIp": "127.0.0.1", "forwardPort": 22}]},
  {"protocol": "udp", "listenPort": 5353, "forwardIp": "localhost", "forwardPort": 53}
]})";

TEST(CommandLineE2E, HelpVersionAndUsageErrors) {
    Outcome help = Tarnwick({"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* option : {"--config-dir", "--headless", "--capture", "--list", "--export",
                               "--import", "-m", "--version", "Examples:"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    Outcome version = Tarnwick({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, "Tarnwick Version 1.0.0.1\n");

    Outcome unknown = Tarnwick({"--frobnicate"});
    EXPECT_EQ(unknown.code, 2);
    EXPECT_EQ(unknown.err.rfind("tarnwick: Unknown option 'frobnicate'.\nUsage: ", 0), 0u)
        << unknown.err;
    EXPECT_TRUE(unknown.out.empty());
}

TEST(CommandLineE2E, ImportListExportRoundTrip) {
    TempDir temp;
    WriteFile(temp.file("ports.json"), kTwoPorts);
    Outcome imported = Tarnwick({"--config-dir", temp.path(), "--import", temp.file("ports.json")});
    ASSERT_EQ(imported.code, 0) << imported.err;
    EXPECT_NE(imported.out.find("Imported 2 ports with 1 rule into " + temp.file("Brisel.cfg")),
              std::string::npos)
        << imported.out;

    Outcome list = Tarnwick({"--config-dir", temp.path(), "--list"});
    EXPECT_EQ(list.code, 0);
    EXPECT_EQ(list.out,
              "Protocol\tListen On\tForward To\tType\tRunning\n"
              "TCP\tlocalhost:2222\t127.0.0.1:8080\tSmart\tNo\n"
              "\tssh\ttext, case-sensitive\tSSH-\t127.0.0.1:22\n"
              "UDP\tlocalhost:5353\tlocalhost:53\tStandard\tNo\n");

    Outcome exported = Tarnwick({"--config-dir", temp.path(), "--export", temp.file("out.json")});
    ASSERT_EQ(exported.code, 0) << exported.err;
    Outcome toStdout = Tarnwick({"--config-dir", temp.path(), "--export"});
    EXPECT_EQ(toStdout.out, ReadFile(temp.file("out.json")));

    // Importing the export gives the same file, byte for byte.
    const std::string before = ReadFile(temp.file("Brisel.cfg"));
    Outcome again = Tarnwick({"--config-dir", temp.path(), "--import", temp.file("out.json")});
    ASSERT_EQ(again.code, 0) << again.err;
    EXPECT_EQ(ReadFile(temp.file("Brisel.cfg")), before);
}

TEST(CommandLineE2E, BadImportsChangeNothingAndNameThePlace) {
    TempDir temp;
    WriteFile(temp.file("good.json"), kTwoPorts);
    ASSERT_EQ(Tarnwick({"--config-dir", temp.path(), "--import", temp.file("good.json")}).code, 0);
    const std::string before = ReadFile(temp.file("Brisel.cfg"));

    struct Case {
        const char* json;
        const char* message;
    } cases[] = {
        {"{\"ports\": [\n  {\"protocol\": \"tcp\",]}", ": line 2, column "},
        {R"({"ports":[{"protocol":"tcp","listenPort":70000,"forwardIp":"h","forwardPort":1}]})",
         ": ports[0].listenPort: Invalid Listen Port Entered, value must be between 1-65535"},
        {R"({"ports":[{"protocol":"tcp","listenPort":1,"forwardIp":"h","forwardPort":1,
            "rules":[{"searchType":"hex","searchData":"00","forwardIp":"h","forwardPort":"22"}]}]})",
         ": ports[0].rules[0].forwardPort: must be a whole number"},
    };
    for (const Case& c : cases) {
        WriteFile(temp.file("bad.json"), c.json);
        Outcome run = Tarnwick({"--config-dir", temp.path(), "--import", temp.file("bad.json")});
        EXPECT_EQ(run.code, 1);
        EXPECT_NE(run.err.find(temp.file("bad.json") + c.message), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("Nothing was changed."), std::string::npos);
        EXPECT_EQ(ReadFile(temp.file("Brisel.cfg")), before);
    }
    Outcome missing = Tarnwick({"--config-dir", temp.path(), "--import", temp.file("none.json")});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(ReadFile(temp.file("Brisel.cfg")), before);
}

TEST(CommandLineE2E, ListReportsAFileThatStoppedEarly) {
    TempDir temp;
    WriteFile(temp.file("Brisel.cfg"), std::string("\xE9\x03\0\0\x01\0\0\0\0\0", 10));
    Outcome list = Tarnwick({"--config-dir", temp.path(), "--list"});
    EXPECT_EQ(list.code, 1);
    EXPECT_EQ(list.out, "Protocol\tListen On\tForward To\tType\tRunning\n");
    EXPECT_NE(list.err.find(temp.file("Brisel.cfg") +
                            ": stopped at byte 8 (port 1, protocol): the file ends inside this "
                            "field; 0 ports kept"),
              std::string::npos)
        << list.err;
}

}  // namespace
}  // namespace tarnwick
