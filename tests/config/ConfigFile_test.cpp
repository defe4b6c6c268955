#include "config/ConfigFile.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "config/ConfigImage.h"
#include "config/ConfigLocation.h"
#include "tests/support/TempDir.h"

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

constexpr uid_t SOMEONE_ELSE = 65534;  // nobody

TEST(ConfigFile, SaveGoesThroughALinkToItsTarget) {
    TempDir temp;
    ConfigFile real(temp.path() + "/real");
    ASSERT_TRUE(real.save(SomePorts(1)).saved);
    ConfigFile linked(temp.path() + "/linked");
    ASSERT_EQ(::mkdir(linked.directory().c_str(), 0700), 0);
    ASSERT_EQ(::symlink("../real/Brisel.cfg", linked.path().c_str()), 0);

    ASSERT_TRUE(linked.save(SomePorts(3)).saved);
    struct stat info {};
    ASSERT_EQ(::lstat(linked.path().c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(real.load().ports.size(), 3u);
    EXPECT_EQ(FileNames(real.directory()), std::vector<std::string>{"Brisel.cfg"});

    ASSERT_EQ(::unlink(real.path().c_str()), 0);  // a dangling link: its target is created
    ASSERT_TRUE(linked.save(SomePorts(2)).saved);
    EXPECT_EQ(real.load().ports.size(), 2u);
}

// Saves two ports as a user who cannot create files in the configuration's directory
// (root can create files anywhere, so root becomes someone else first).
[[noreturn]] void SaveUnprivileged(const ConfigFile& file) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(SOMEONE_ELSE) != 0 || ::setuid(SOMEONE_ELSE) != 0)) {
        std::exit(2);
    }
    SaveResult result = file.save(SomePorts(2));
    std::fprintf(stderr, "%s%s\n", result.note.c_str(), result.error.c_str());
    std::exit(result.saved ? 0 : 1);
}

TEST(ConfigFile, WhereNoNewFileCanBeCreatedTheSaveWritesInPlaceAndSaysSo) {
    TempDir temp;
    ConfigFile file(temp.path() + "/locked");
    ASSERT_TRUE(file.save(SomePorts(1)).saved);
    ASSERT_EQ(::chmod(temp.path().c_str(), 0755), 0);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(file.directory().c_str(), SOMEONE_ELSE, SOMEONE_ELSE), 0);
        ASSERT_EQ(::chown(file.path().c_str(), SOMEONE_ELSE, SOMEONE_ELSE), 0);
    }
    ASSERT_EQ(::chmod(file.directory().c_str(), 0555), 0);
    EXPECT_EXIT(SaveUnprivileged(file), ::testing::ExitedWithCode(0),
                "written in place: no new file can be created beside .*/locked/Brisel.cfg");
    ASSERT_EQ(::chmod(file.directory().c_str(), 0755), 0);
    EXPECT_EQ(file.load().ports.size(), 2u);
    EXPECT_EQ(FileNames(file.directory()), std::vector<std::string>{"Brisel.cfg"});
}

void WriteAged(const std::string& path, const Bytes& bytes, int secondsAgo) {
    WriteFile(path, bytes);
    const timespec then{std::time(nullptr) - secondsAgo, 0};
    const timespec times[2] = {then, then};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(ConfigFile, SaveRemovesOnlyItsOwnStaleTemporaries) {
    TempDir temp;
    ConfigFile file(temp.path());
    const Bytes image = ConfigImage::Encode(SomePorts(2));
    const Bytes partial(image.begin(), image.begin() + 30);
    WriteAged(temp.file("Brisel.cfg.Ab3dE9"), partial, 120);     // a save killed part-way
    WriteAged(temp.file("Brisel.cfg.q7Z0xK"), {}, 120);          // killed before writing
    WriteAged(temp.file("Brisel.cfg.K2wPq7"), image, 120);       // killed before the rename
    WriteAged(temp.file("Brisel.cfg.Yx8kP2"), partial, 5);       // perhaps a save going on
    WriteAged(temp.file("Brisel.cfg.backup"), image, 120);       // whole: somebody's copy
    WriteAged(temp.file("Brisel.cfg.Ab3dE9.old"), partial, 120); // not our name
    ASSERT_TRUE(file.save(SomePorts(1)).saved);
    EXPECT_EQ(FileNames(temp.path()),
              (std::vector<std::string>{"Brisel.cfg", "Brisel.cfg.Ab3dE9.old", "Brisel.cfg.Yx8kP2",
                                        "Brisel.cfg.backup"}));
}

TEST(ConfigFile, ANewFileFollowsTheUmaskAndAReplacedOneKeepsModeAndOwner) {
    TempDir temp;
    ConfigFile file(temp.path());
    auto modeOf = [&] {
        struct stat info {};
        EXPECT_EQ(::stat(file.path().c_str(), &info), 0);
        return info;
    };
    const mode_t previousMask = ::umask(077);
    EXPECT_TRUE(file.save(SomePorts(1)).saved);
    EXPECT_EQ(modeOf().st_mode & 0777, 0600u);
    ASSERT_EQ(::chmod(file.path().c_str(), 0666), 0);
    EXPECT_TRUE(file.save(SomePorts(2)).saved);
    ::umask(previousMask);
    EXPECT_EQ(modeOf().st_mode & 0777, 0666u);

    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another user needs root";
    }
    ASSERT_EQ(::chown(file.path().c_str(), SOMEONE_ELSE, SOMEONE_ELSE), 0);
    EXPECT_TRUE(file.save(SomePorts(1)).saved);
    EXPECT_EQ(modeOf().st_uid, SOMEONE_ELSE);
    EXPECT_EQ(modeOf().st_gid, SOMEONE_ELSE);
}

TEST(ConfigFile, ANegativeRuleCountNeedsNoBadCopy) {
    TempDir temp;
    ConfigFile file(temp.path());
    Bytes image = ConfigImage::Encode(SomePorts(2));
    const std::size_t ruleCountAt = 8 + 16 + 4 + 201;
    std::fill(image.begin() + ruleCountAt, image.begin() + ruleCountAt + 4, 0xFF);  // -1
    WriteFile(file.path(), image);
    SaveResult saved = file.save(SomePorts(1));
    ASSERT_TRUE(saved.saved) << saved.error;
    EXPECT_TRUE(saved.keptAs.empty());
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
