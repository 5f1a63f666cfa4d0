// SPDX-License-Identifier: BSD-2-Clause
#include "trace/log.h"

#include "testing.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

namespace {

// A log socket of the test's own, standing in for /dev/log.
class LogReader {
public:
    explicit LogReader(const std::string& path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        unlink(path.c_str());
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    LogReader(const LogReader&) = delete;
    LogReader& operator=(const LogReader&) = delete;
    ~LogReader()
    {
        close(fd_);
        unlink(path_.c_str());
    }

    // Every record waiting, oldest first.
    std::vector<std::string> records()
    {
        std::vector<std::string> all;
        char record[2048];
        ssize_t got;
        while ((got = recv(fd_, record, sizeof record, 0)) >= 0)
            all.emplace_back(record, static_cast<size_t>(got));
        return all;
    }

private:
    std::string path_;
    int fd_ = -1;
};

class Log : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folder[] = "/tmp/ferrin-log-test-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        path_ = folder_ + "/log";
        saved_ident_ = log_ident();
        log_open("fertest", false, path_.c_str());
        log_set_mask(LOG_UPTO(LOG_INFO));
        // Whatever earlier tests lost is told here, not in the test.
        LogReader warm_up(path_);
        log_message(LOG_ERR, "warm-up");
    }
    void TearDown() override
    {
        log_open(saved_ident_, false, log_socket_default);
        log_set_mask(0xFF);
        rmdir(folder_.c_str());
    }

    std::string folder_;
    std::string path_;
    // The log keeps the pointer it is given, as openlog() does: the ident in
    // force before, not a copy that ends with the test.
    const char* saved_ident_ = nullptr;
};

const std::regex record_form(R"(<(\d+)>[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d fertest: (.*))");

// The priority and the message of a record, or {-1, the record} when it is
// not in the form glibc's syslog() sends.
std::pair<int, std::string> parsed(const std::string& record)
{
    std::smatch match;
    if (!std::regex_match(record, match, record_form))
        return {-1, record};
    return {std::stoi(match[1]), match[2]};
}

TEST_F(Log, RecordsTakeSyslogsFormPriorityMaskAndErrnoText)
{
    LogReader reader(path_);
    test::CapturedStderr captured;
    errno = EIO;
    log_message(LOG_ERR, "read: %s: %m", "tun");
    EXPECT_EQ(errno, EIO) << "the caller's errno is kept";
    log_message(LOG_NOTICE, "started");
    log_message(LOG_DEBUG, "masked");
    log_open("fertest", true, path_.c_str());
    log_message(LOG_INFO, "also on standard error");

    const std::vector<std::string> records = reader.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(parsed(records[0]), std::make_pair(LOG_DAEMON | LOG_ERR,
                                                 std::string("read: tun: Input/output error")));
    EXPECT_EQ(parsed(records[1]), std::make_pair(LOG_DAEMON | LOG_NOTICE, std::string("started")));
    EXPECT_EQ(parsed(records[2]),
              std::make_pair(LOG_DAEMON | LOG_INFO, std::string("also on standard error")));
    EXPECT_EQ(captured.text(), "fertest: also on standard error\n");
}

TEST_F(Log, AFullSocketCostsMessagesNotTimeAndTheLossIsToldLater)
{
    LogReader reader(path_);
    const uint64_t dropped_before = log_dropped();
    // The reader does not read: the socket's queue fills, and then every
    // message is dropped at once instead of waiting for room.
    for (int i = 0; i < 200; ++i)
        log_message(LOG_ERR, "message %d", i);
    const uint64_t dropped = log_dropped() - dropped_before;
    EXPECT_GT(dropped, 0u);

    std::vector<std::string> records = reader.records();
    EXPECT_EQ(records.size() + dropped, 200u);
    EXPECT_EQ(parsed(records.front()).second, "message 0");

    log_message(LOG_ERR, "after");
    records = reader.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(parsed(records[0]),
              std::make_pair(LOG_DAEMON | LOG_WARNING,
                             std::to_string(dropped) +
                                 " log messages lost: the log socket was full or gone"));
    EXPECT_EQ(parsed(records[1]).second, "after");
}

TEST_F(Log, ANewSocketAtThePathIsFoundAndNoSocketCostsNothing)
{
    {
        LogReader first(path_);
        log_message(LOG_ERR, "to the first");
        EXPECT_EQ(first.records().size(), 1u);
    }
    // No socket: nothing waits, the message is counted as lost.
    const uint64_t dropped_before = log_dropped();
    log_message(LOG_ERR, "to nobody");
    EXPECT_EQ(log_dropped(), dropped_before + 1);

    // The log daemon is back with a new socket at the same path.
    LogReader second(path_);
    log_message(LOG_ERR, "to the second");
    const std::vector<std::string> records = second.records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(parsed(records[0]).second, "1 log messages lost: the log socket was full or gone");
    EXPECT_EQ(parsed(records[1]).second, "to the second");
}

}  // namespace
