#include "app/CommandLine.h"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

using Action = ParsedCommandLine::Action;
using Mode = CommandLineOptions::Mode;

ParsedCommandLine Parse(QStringList arguments) {
    arguments.prepend("/usr/bin/tarnwick");
    return ParseCommandLine(arguments);
}

TEST(CommandLine, ModesAndTheirValues) {
    ParsedCommandLine gui = Parse({});
    EXPECT_EQ(gui.action, Action::Run);
    EXPECT_EQ(gui.options.mode, Mode::Gui);
    EXPECT_FALSE(gui.options.hiddenStart);

    ParsedCommandLine headless = Parse({"--headless", "--config-dir", "/etc/tw", "--capture", "80,443"});
    EXPECT_EQ(headless.action, Action::Run);
    EXPECT_EQ(headless.options.mode, Mode::Headless);
    EXPECT_EQ(headless.options.configDir, "/etc/tw");
    EXPECT_EQ(headless.options.capturePorts, (QList<int>{80, 443}));

    EXPECT_TRUE(Parse({"--headless", "--log-connections"}).options.logConnections);
    EXPECT_EQ(Parse({"--headless"}).options.loops, 0u);  // one loop per CPU
    EXPECT_EQ(Parse({"--headless", "--loops", "3"}).options.loops, 3u);
    ParsedCommandLine status = Parse({"--status", "--json"});
    EXPECT_EQ(status.options.mode, Mode::Status);
    EXPECT_TRUE(status.options.json);

    EXPECT_EQ(Parse({"--export"}).options.exportFile, "");
    EXPECT_EQ(Parse({"--export", "out.json"}).options.exportFile, "out.json");
    EXPECT_EQ(Parse({"--import", "in.json"}).options.importFile, "in.json");
    EXPECT_EQ(Parse({"--list"}).options.mode, Mode::List);
    EXPECT_EQ(Parse({"--help"}).action, Action::ShowHelp);
    EXPECT_EQ(Parse({"-h"}).action, Action::ShowHelp);
    EXPECT_EQ(Parse({"--version"}).action, Action::ShowVersion);
}

TEST(CommandLine, HiddenStartIsAnArgumentOfItsOwnInAnyCase) {
    for (const char* hidden : {"-m", "-M", "/m", "/M"}) {
        ParsedCommandLine parsed = Parse({hidden});
        EXPECT_EQ(parsed.action, Action::Run) << hidden;
        EXPECT_TRUE(parsed.options.hiddenStart) << hidden;
    }
    // A "/m" or "-m" inside a path is not the switch.
    ParsedCommandLine path = Parse({"--config-dir", "/mnt/-m/conf"});
    EXPECT_FALSE(path.options.hiddenStart);
    EXPECT_EQ(path.options.configDir, "/mnt/-m/conf");
}

TEST(CommandLine, UsageErrors) {
    const QStringList bad[] = {
        {"--bogus"},
        {"--list", "--headless"},
        {"--capture", "80"},
        {"--headless", "--capture", "0"},
        {"--headless", "--capture", "80,x"},
        {"--list", "extra"},
        {"--import"},
        {"-m", "--headless"},
        {"--status", "--headless"},
        {"--json"},
        {"--log-connections"},
        {"--status", "--log-connections"},
        {"--loops", "2"},
        {"--headless", "--loops", "0"},
        {"--headless", "--loops", "257"},
        {"--headless", "--loops", "two"},
    };
    for (const QStringList& arguments : bad) {
        ParsedCommandLine parsed = Parse(arguments);
        EXPECT_EQ(parsed.action, Action::UsageError) << arguments.join(' ').toStdString();
        EXPECT_FALSE(parsed.error.isEmpty());
        EXPECT_FALSE(parsed.error.contains('\n'));
    }
}

}  // namespace
}  // namespace tarnwick
