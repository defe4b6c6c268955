#include "engine/routing/CaptureLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <regex>

#include "tests/support/TempDir.h"

namespace tarnwick {
namespace {

using testing::TempDir;
using namespace std::string_literals;

ForwardingPort Port(int protocol, int listenPort) {
    ForwardingPort port;
    port.protocol = protocol;
    port.listenPort = listenPort;
    return port;
}

std::string Dump(const ForwardingPort& port, const std::string& data) {
    return CaptureLog::FormatDump(port, reinterpret_cast<const unsigned char*>(data.data()),
                                  data.size(), "12/07/26 01:05:09 PM", "12/07/26 01:05:10 PM");
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::size_t Count(const std::string& text, const std::string& piece) {
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

TEST(CaptureLog, TwoByteDumpByteForByte) {
    const std::string expected =
        "---------HEX Dump for [TCP] listen port [80] at [12/07/26 01:05:09 PM]---------\r\n\0"s
        "41 \0"s
        "0A \0"s
        "\r\n\r\n---------TEXT Dump for [TCP] listen port [80] at [12/07/26 01:05:10 PM]"
        "---------\r\n\0"s
        "A\n"
        "\r\n---------DUMP COMPLETE---------\r\n\r\n_______________________________\r\n\r\n\0"s;
    EXPECT_EQ(Dump(Port(0, 80), "A\n"), expected);
}

TEST(CaptureLog, LineBreakAfterEverySixteenthEntryOnly) {
    const std::string lineBreak = "\r\n\0"s;
    std::string sixteen(16, '\x0f');
    std::string dump16 = Dump(Port(0, 1), sixteen);
    EXPECT_EQ(Count(dump16, "0F \0"s), 16u);
    EXPECT_NE(dump16.find("0F \0"s + lineBreak + "\r\n\r\n---------TEXT"), std::string::npos);

    std::string dump17 = Dump(Port(0, 1), sixteen + "\xAB");
    EXPECT_NE(dump17.find("0F \0"s + lineBreak + "AB \0\r\n\r\n---------TEXT"s), std::string::npos);

    std::string dump32 = Dump(Port(0, 1), std::string(32, 'x'));
    EXPECT_EQ(Count(dump32, "78 \0\r\n\0"s), 2u);
}

TEST(CaptureLog, UdpNameAndUnsignedPortAndRawBytesUnchanged) {
    const std::string raw = "\0\r\n\xff\x80"s;
    std::string dump = Dump(Port(7, 65535), raw);
    EXPECT_EQ(dump.rfind("---------HEX Dump for [UDP] listen port [65535] at [", 0), 0u);
    EXPECT_NE(dump.find("---------\r\n\0"s + raw + "\r\n---------DUMP COMPLETE"), std::string::npos);
    EXPECT_NE(dump.find("00 \0" "0D \0" "0A \0" "FF \0" "80 \0"s), std::string::npos);
}

TEST(CaptureLog, AppendsToAnOwnerOnlyFile) {
    TempDir temp;
    CaptureLog log(temp.path());
    EXPECT_EQ(log.path(), temp.file("Brisel.log"));
    const unsigned char first[] = {'h', 'i'};
    log.WriteCaptureLog(Port(0, 80), first, sizeof first);
    struct stat info {};
    ASSERT_EQ(::stat(log.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::string once = ReadFile(log.path());

    log.WriteCaptureLog(Port(0, 80), first, sizeof first);
    std::string twice = ReadFile(log.path());
    EXPECT_EQ(twice.size(), 2 * once.size());
    EXPECT_EQ(twice.substr(0, once.size()), once);

    std::regex stamp(R"(\[\d\d/\d\d/\d\d (0[1-9]|1[0-2]):[0-5]\d:[0-6]\d (AM|PM)\])");
    EXPECT_EQ(std::distance(std::sregex_iterator(twice.begin(), twice.end(), stamp),
                            std::sregex_iterator()),
              4);
}

TEST(CaptureLog, SkipsTheWholeDumpWhileAnotherWriterHoldsTheLog) {
    TempDir temp;
    CaptureLog log(temp.path());
    const unsigned char data[] = {1, 2, 3};
    log.WriteCaptureLog(Port(0, 80), data, sizeof data);
    const std::string before = ReadFile(log.path());

    int holder = ::open(log.path().c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    log.WriteCaptureLog(Port(0, 80), data, sizeof data);
    EXPECT_EQ(ReadFile(log.path()), before);
    ::close(holder);

    log.WriteCaptureLog(Port(0, 80), data, sizeof data);
    EXPECT_EQ(ReadFile(log.path()).size(), 2 * before.size());
}

TEST(CaptureLog, MissingDirectoryWritesNothingAndDoesNotFail) {
    TempDir temp;
    CaptureLog log(temp.file("no/such/dir"));
    const unsigned char data[] = {1};
    log.WriteCaptureLog(Port(0, 80), data, sizeof data);
    EXPECT_FALSE(std::ifstream(log.path()).good());
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(CaptureLog, LinksAndDirectoriesInPlaceOfTheLogGetNothing) {
    TempDir temp;
    CaptureLog log(temp.path());
    const unsigned char data[] = {'p', 'w'};
    WriteFile(temp.file("victim"), "untouched");
    ASSERT_EQ(::symlink(temp.file("victim").c_str(), log.path().c_str()), 0);
    log.WriteCaptureLog(Port(0, 80), data, sizeof data);
    EXPECT_EQ(ReadFile(temp.file("victim")), "untouched");

    ASSERT_EQ(::unlink(log.path().c_str()), 0);
    ASSERT_EQ(::symlink(temp.file("created").c_str(), log.path().c_str()), 0);  // dangling
    log.WriteCaptureLog(Port(0, 80), data, sizeof data);
    EXPECT_NE(::access(temp.file("created").c_str(), F_OK), 0);

    ASSERT_EQ(::unlink(log.path().c_str()), 0);
    ASSERT_EQ(::mkdir(log.path().c_str(), 0700), 0);
    log.WriteCaptureLog(Port(0, 80), data, sizeof data);
    EXPECT_TRUE(std::filesystem::is_empty(log.path()));
}

TEST(CaptureLog, AFifoInPlaceOfTheLogNeitherBlocksNorGetsTheDump) {
    TempDir temp;
    CaptureLog log(temp.path());
    ASSERT_EQ(::mkfifo(log.path().c_str(), 0600), 0);
    const unsigned char data[] = {'p', 'w'};
    auto dumpOnce = [&] { log.WriteCaptureLog(Port(0, 80), data, sizeof data); };
    auto noReader = std::async(std::launch::async, dumpOnce);
    int release = -1;
    if (noReader.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "open() blocked on the FIFO";
        release = ::open(log.path().c_str(), O_RDONLY | O_NONBLOCK);  // lets it go
    }
    noReader.wait();
    if (release >= 0) {
        ::close(release);
    }

    int reader = ::open(log.path().c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    dumpOnce();
    char byte;
    EXPECT_LE(::read(reader, &byte, 1), 0);
    ::close(reader);
}

TEST(CaptureLog, AnExistingLogIsMadeOwnerOnlyAndAnotherUsersIsLeftAlone) {
    TempDir temp;
    CaptureLog log(temp.path());
    WriteFile(log.path(), "earlier");
    ASSERT_EQ(::chmod(log.path().c_str(), 0644), 0);
    const unsigned char data[] = {'p', 'w'};
    log.WriteCaptureLog(Port(0, 80), data, sizeof data);
    struct stat info {};
    ASSERT_EQ(::stat(log.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    const std::string written = ReadFile(log.path());
    EXPECT_EQ(written.rfind("earlier---------HEX Dump", 0), 0u);

    if (::chown(log.path().c_str(), 65534, 65534) != 0) {
        GTEST_SKIP() << "giving a file to another user needs root";
    }
    log.WriteCaptureLog(Port(0, 80), data, sizeof data);
    EXPECT_EQ(ReadFile(log.path()), written);
}

TEST(CaptureLog, PastTheBoundTheLogMovesToDotOneAndANewOneStarts) {
    TempDir temp;
    CaptureLog log(temp.path());
    const unsigned char data[] = {'p', 'w'};
    const std::size_t dumpSize = Dump(Port(0, 80), "pw").size();
    auto makeLog = [&](long long size) {
        int fd = ::open(log.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_EQ(::ftruncate(fd, size), 0);  // sparse: no 16 MiB written
        ::close(fd);
    };
    auto sizeOf = [](const std::string& path) {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1LL;
    };
    WriteFile(log.rotatedPath(), "an older one");

    makeLog(CaptureLog::MAX_LOG_SIZE - 10);
    log.WriteCaptureLog(Port(0, 80), data, sizeof data);
    EXPECT_EQ(sizeOf(log.rotatedPath()), CaptureLog::MAX_LOG_SIZE - 10 + dumpSize);
    EXPECT_EQ(sizeOf(log.path()), -1);
    log.WriteCaptureLog(Port(0, 80), data, sizeof data);
    EXPECT_EQ(sizeOf(log.path()), static_cast<long long>(dumpSize));

    // A log that is already past the bound moves before it takes the dump.
    makeLog(CaptureLog::MAX_LOG_SIZE + 1);
    log.WriteCaptureLog(Port(0, 80), data, sizeof data);
    EXPECT_EQ(sizeOf(log.rotatedPath()), CaptureLog::MAX_LOG_SIZE + 1);
    EXPECT_EQ(sizeOf(log.path()), static_cast<long long>(dumpSize));
}

TEST(CaptureLog, TimeStampHasTwentyCharactersInTheC_LocaleForm) {
    std::string stamp = GetTimeStamp();
    EXPECT_TRUE(std::regex_match(stamp, std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d (AM|PM))")))
        << stamp;
    EXPECT_EQ(stamp.size(), 20u);
}

}  // namespace
}  // namespace tarnwick
