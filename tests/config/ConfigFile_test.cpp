#include "ConfigFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "ConfigLocation.h"
#include "TempDir.h"

namespace tarnwick {
namespace {

using testing::TempDir;
using Bytes = std::vector<unsigned char>;

PortTable SomePorts(int count) {
    PortTable ports;
    for (int i = 0; i < count; ++i) {
        auto port = std::make_unique<ForwardingPort>();
        port->listenPort = 8000 + i;
        port->forwardPort = 80;
        port->forwardIp = std::string(200, 'a' + i % 26);
        ports.push_back(std::move(port));
    }
    return ports;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> FileNames(const std::string& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ConfigFile, SaveCreatesTheDirectoryAndLoadReadsItBack) {
    TempDir temp;
    ConfigFile file(temp.path() + "/nested/tarnwick");
    SaveResult saved = file.save(SomePorts(3));
    ASSERT_TRUE(saved.saved) << saved.error;
    EXPECT_TRUE(saved.keptAs.empty());
    EXPECT_EQ(FileNames(file.directory()), std::vector<std::string>{"Brisel.cfg"});

    LoadResult loaded = file.load(77);
    EXPECT_EQ(loaded.report.outcome, LoadReport::Outcome::Loaded);
    EXPECT_EQ(loaded.report.path, file.path());
    ASSERT_EQ(loaded.ports.size(), 3u);
    EXPECT_EQ(loaded.ports[2]->listenPort, 8002);
    for (const auto& port : loaded.ports) {
        EXPECT_EQ(port->ownerWindow, 77u);
        EXPECT_EQ(port->captureFirstPacket, 0);
    }
}

TEST(ConfigFile, MissingFileLoadsNothingQuietly) {
    TempDir temp;
    LoadResult loaded = ConfigFile(temp.path()).load();
    EXPECT_EQ(loaded.report.outcome, LoadReport::Outcome::Missing);
    EXPECT_TRUE(loaded.report.complete());
    EXPECT_TRUE(loaded.ports.empty());
}

TEST(ConfigFile, SaveKeepsAnIncompleteFileBeforeReplacingIt) {
    TempDir temp;
    ConfigFile file(temp.path());
    Bytes wrongVersion = {0xEA, 0x03, 0, 0, 1, 0, 0, 0, 9, 9, 9};
    WriteFile(file.path(), wrongVersion);

    SaveResult first = file.save(SomePorts(1));
    ASSERT_TRUE(first.saved) << first.error;
    EXPECT_EQ(first.keptAs, file.path() + ".bad");
    EXPECT_EQ(ReadFile(first.keptAs), wrongVersion);

    // A complete file is replaced without a copy.
    SaveResult second = file.save(SomePorts(2));
    ASSERT_TRUE(second.saved);
    EXPECT_TRUE(second.keptAs.empty());

    // A second bad file never overwrites the first copy.
    Bytes cut = ReadFile(file.path());
    cut.resize(cut.size() - 3);
    WriteFile(file.path(), cut);
    SaveResult third = file.save(SomePorts(1));
    ASSERT_TRUE(third.saved);
    EXPECT_EQ(third.keptAs, file.path() + ".bad.1");
    EXPECT_EQ(ReadFile(file.path() + ".bad"), wrongVersion);
    EXPECT_EQ(ReadFile(file.path() + ".bad.1"), cut);
    EXPECT_EQ(FileNames(temp.path()),
              (std::vector<std::string>{"Brisel.cfg", "Brisel.cfg.bad", "Brisel.cfg.bad.1"}));
}

[[noreturn]] void SaveWithFileSizeLimit(const ConfigFile& file, rlim_t limit) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit sizeLimit{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &sizeLimit);
    SaveResult result = file.save(SomePorts(20));
    std::exit(!result.saved && !result.error.empty() ? 0 : 1);
}

TEST(ConfigFile, FailedWriteLeavesThePreviousFileIntact) {
    TempDir temp;
    ConfigFile file(temp.path());
    ASSERT_TRUE(file.save(SomePorts(1)).saved);
    const Bytes before = ReadFile(file.path());

    // In a child: files may grow to 1 KiB only, so writing 20 ports fails part-way.
    EXPECT_EXIT(SaveWithFileSizeLimit(file, 1024), ::testing::ExitedWithCode(0), "");

    EXPECT_EQ(ReadFile(file.path()), before);
    EXPECT_EQ(FileNames(temp.path()), std::vector<std::string>{"Brisel.cfg"});
}

TEST(ConfigFile, SaveKeepsTheFileMode) {
    TempDir temp;
    ConfigFile file(temp.path());
    ASSERT_TRUE(file.save(SomePorts(1)).saved);
    ASSERT_EQ(::chmod(file.path().c_str(), 0640), 0);
    ASSERT_TRUE(file.save(SomePorts(2)).saved);
    struct stat info {};
    ASSERT_EQ(::stat(file.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
            hadOld_ = true;
        }
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (hadOld_) {
            ::setenv(name_, old_.c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::string old_;
    bool hadOld_ = false;
};

TEST(ConfigLocation, UserDirectoryFollowsXdgThenHome) {
    ScopedEnv home("HOME", "/home/someone");
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/srv/conf");
        EXPECT_EQ(UserConfigDirectory(), "/srv/conf/tarnwick");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "relative/conf");  // not absolute: ignored
        EXPECT_EQ(UserConfigDirectory(), "/home/someone/.config/tarnwick");
    }
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
        EXPECT_EQ(UserConfigDirectory(), "/home/someone/.config/tarnwick");
    }
}

TEST(ConfigLocation, ModuleDirectoryIsWhereTheTestProgramLives) {
    std::string directory = GetModuleDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_TRUE(std::filesystem::exists(directory + "/config_tests"));
    // The build directory is writable, so the files go beside the executable.
    EXPECT_EQ(DefaultConfigDirectory(), directory);
    EXPECT_EQ(JoinPath(directory, CONFIG_FILE_NAME), directory + "/Brisel.cfg");
}

}  // namespace
}  // namespace tarnwick
