// The log writer (file name, entry format, buffer handling), the integer local-time breakdown that
// the statistics handler relies on, and the statistics line.
#include "app/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "app/counters.h"
#include "app/log_texts.h"
#include "app/statistics.h"
#include "app/tick.h"
#include "support/test_support.h"

using namespace bcsttest;
using namespace std::chrono_literals;

namespace {

// Sets TZ for the life of the object (restoring the previous value), so local time differs from UTC.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* zone) {
        const char* previous = getenv("TZ");
        hadPrevious_ = previous != nullptr;
        if (hadPrevious_) {
            previous_ = previous;
        }
        setenv("TZ", zone, 1);
        tzset();
        RefreshLocalTimeOffset();
    }
    ~ScopedTimeZone() {
        if (hadPrevious_) {
            setenv("TZ", previous_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
        RefreshLocalTimeOffset();
    }

  private:
    bool hadPrevious_ = false;
    std::string previous_;
};

struct tm LocalAt(time_t t) {
    struct tm local;
    localtime_r(&t, &local);
    return local;
}

std::string NameFor(int instance, const struct tm& local) {
    return "BcstBridge" + std::to_string(instance) + "_" + std::to_string(local.tm_mday) + "_" +
           std::to_string(local.tm_mon + 1) + "_" + std::to_string(local.tm_year + 1900) + ".log";
}

std::string StampFor(const struct tm& local) {
    return "\n" + std::to_string(local.tm_hour) + ":" + std::to_string(local.tm_min) + ":" +
           std::to_string(local.tm_sec) + " - ";
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        memset(gcaLogMessage, 0, sizeof gcaLogMessage);
        gshRunningInstanceNo = 1;
        glReceivedPktCount.store(0);
        glSentPktCount.store(0);
    }
    void TearDown() override { gshRunningInstanceNo = 0; }
    std::string Path(const std::string& name) const { return dir_.dir().File(name); }

    ScopedWorkingDir dir_;
    ScopedTimeZone zone_{"XST-5:45"};  // a quarter-hour offset east of UTC
};

// Logs `text` through gcaLogMessage and checks the single-entry file it must produce: the file name
// and the time stamp from the local time of one second between the calls.
void ExpectLoggedAlone(const std::string& dir, int16_t instance, const std::string& text) {
    gshRunningInstanceNo = instance;
    snprintf(gcaLogMessage, sizeof gcaLogMessage, "%s", text.c_str());
    const time_t before = time(nullptr);
    ASSERT_EQ(LogMessage(gcaLogMessage), 0);
    const time_t after = time(nullptr);
    const std::vector<std::string> files = ListDir(dir);
    ASSERT_EQ(files.size(), 1u);
    bool matched = false;
    for (time_t t = before; t <= after && !matched; ++t) {
        const struct tm local = LocalAt(t);
        matched =
            files[0] == NameFor(instance, local) && ReadFile(dir + "/" + files[0]) == StampFor(local) + text;
    }
    EXPECT_TRUE(matched) << files[0] << ": [" << ReadFile(dir + "/" + files[0]) << "]";
}

TEST_F(LogTest, EntryAndFileNameComeFromLocalTime) {
    ExpectLoggedAlone(dir_.dir().path(), 1, "Receiver: Socket Create Success");
}

TEST_F(LogTest, NegativeSixteenBitInstanceNamesTheFile) {
    ExpectLoggedAlone(dir_.dir().path(), -25536, "Sender Socket Initialized Successfully");
    EXPECT_EQ(ListDir(dir_.dir().path())[0].rfind("BcstBridge-25536_", 0), 0u);
}

TEST_F(LogTest, PercentSignsAreWrittenAsData) {
    ExpectLoggedAlone(dir_.dir().path(), 7, "MARKET_SEGMENT - %d%s%n 100% done %%");
}

// The formatting of a fixed moment: no leading zeros anywhere, the file begins with a newline and
// its last entry has no line end.
TEST_F(LogTest, FixedMomentsFormatWithoutLeadingZeros) {
    gshRunningInstanceNo = 3;
    ASSERT_EQ(AppendLogEntry(LogClock{2024, 3, 5, 9, 5, 7}, "first", 5), 0);
    ASSERT_EQ(AppendLogEntry(LogClock{2024, 3, 5, 0, 0, 0}, "second", 6), 0);
    ASSERT_EQ(AppendLogEntry(LogClock{2024, 3, 5, 23, 59, 59}, "third", 5), 0);
    EXPECT_EQ(ListDir(dir_.dir().path()), std::vector<std::string>{"BcstBridge3_5_3_2024.log"});
    EXPECT_EQ(ReadFile(Path("BcstBridge3_5_3_2024.log")),
              "\n9:5:7 - first\n0:0:0 - second\n23:59:59 - third");

    gshRunningInstanceNo = -25536;
    ASSERT_EQ(AppendLogEntry(LogClock{1999, 12, 31, 12, 0, 1}, "x", 1), 0);
    EXPECT_EQ(ReadFile(Path("BcstBridge-25536_31_12_1999.log")), "\n12:0:1 - x");
}

TEST_F(LogTest, BufferIsClearedAfterAWrite) {
    memset(gcaLogMessage, 'q', sizeof gcaLogMessage);
    memcpy(gcaLogMessage, "hello", 6);  // bytes after the terminator are not zero either
    ASSERT_EQ(LogMessage(gcaLogMessage), 0);
    EXPECT_EQ(std::vector<char>(gcaLogMessage, gcaLogMessage + kLogMessageSize),
              std::vector<char>(kLogMessageSize, '\0'));
    EXPECT_EQ(LogMessages(ReadFile(FindLogFile(dir_.dir().path()))), std::vector<std::string>{"hello"});
}

TEST_F(LogTest, SuccessiveEntriesAppendToOneFile) {
    const std::vector<std::string> texts = {"one", "", "three"};
    for (const std::string& text : texts) {
        snprintf(gcaLogMessage, sizeof gcaLogMessage, "%s", text.c_str());
        ASSERT_EQ(LogMessage(gcaLogMessage), 0);
    }
    // Only a run across local midnight could give two files.
    std::vector<std::string> all;
    for (const std::string& name : ListDir(dir_.dir().path())) {
        const std::vector<std::string> part = LogMessages(ReadFile(Path(name)));
        all.insert(all.end(), part.begin(), part.end());
    }
    EXPECT_EQ(all, texts);
}

TEST_F(LogTest, NullMessageWritesNothing) {
    snprintf(gcaLogMessage, sizeof gcaLogMessage, "pending");
    EXPECT_EQ(LogMessage(nullptr), 1);
    EXPECT_STREQ(gcaLogMessage, "pending");
    EXPECT_TRUE(ListDir(dir_.dir().path()).empty());
}

// Running as root ignores permission bits, so the open is made to fail by working in a directory
// that no longer exists.
TEST_F(LogTest, BufferIsKeptWhenTheFileCannotBeOpened) {
    const std::string gone = Path("gone");
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    snprintf(gcaLogMessage, sizeof gcaLogMessage, "Receiver: Socket Bind Error");
    const std::vector<char> before(gcaLogMessage, gcaLogMessage + kLogMessageSize);
    // The entry goes to standard error instead, where the service manager's journal takes it.
    const int savedError = dup(STDERR_FILENO);
    const std::string captured = Path("stderr");
    const int capture = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(capture, 0);
    ASSERT_GE(dup2(capture, STDERR_FILENO), 0);
    const int64_t lostBefore = CounterValue(kCounterLogLost);
    EXPECT_EQ(LogMessage(gcaLogMessage), 1);
    EXPECT_EQ(CounterValue(kCounterLogLost), lostBefore) << "standard error took it";
    // A statistics request's entry goes the same way, and only the loop's next tick counts it.
    const int64_t divertedBefore = CounterValue(kCounterLogToStandardError);
    EXPECT_EQ(LogFromSignalHandler(kLogStatisticsOpenError), 1);
    EXPECT_EQ(CounterValue(kCounterLogToStandardError), divertedBefore)
        << "a signal handler writes no counter";
    LogTick();
    EXPECT_EQ(CounterValue(kCounterLogToStandardError), divertedBefore + 1);
    // With standard error full as well, the entry is lost, and counted.
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    ASSERT_GE(dup2(full, STDERR_FILENO), 0);
    close(full);
    EXPECT_EQ(LogMessage(gcaLogMessage), 1);
    EXPECT_EQ(CounterValue(kCounterLogLost), lostBefore + 1);
    dup2(savedError, STDERR_FILENO);
    close(savedError);
    close(capture);
    EXPECT_EQ(std::vector<char>(gcaLogMessage, gcaLogMessage + kLogMessageSize), before);
    ASSERT_EQ(chdir(dir_.dir().path().c_str()), 0);
    EXPECT_EQ(ListDir(dir_.dir().path()), std::vector<std::string>{"stderr"});
    const std::string line = ReadFile(captured);
    EXPECT_NE(line.find(" - Receiver: Socket Bind Error\n"), std::string::npos) << line;
}

time_t gFakeNow = 0;

// The log's clock set by the test for the life of the object.
class ScopedLogClock {
  public:
    explicit ScopedLogClock(time_t start) {
        gFakeNow = start;
        gLogTimeSource = [] { return gFakeNow; };
    }
    ~ScopedLogClock() {
        gLogTimeSource = [] { return time(nullptr); };
    }
};

void Log(const std::string& text) {
    snprintf(gcaLogMessage, sizeof gcaLogMessage, "%s", text.c_str());
    LogMessage(gcaLogMessage);
}

// The file stays open between entries, yet every entry lands in the file of its day under its
// name: across midnight, after the file was moved away and after it was deleted.
TEST_F(LogTest, EntriesFollowTheDateAndAMovedOrDeletedFile) {
    ForgetLogRepeats();
    const time_t lastSecondsOfTheDay = 1772755198 - (5 * 3600 + 45 * 60);  // 5 March 2026 23:59:58 local
    ScopedLogClock clock(lastSecondsOfTheDay);
    const std::string fifth = Path("BcstBridge1_5_3_2026.log");
    const std::string sixth = Path("BcstBridge1_6_3_2026.log");

    Log("a");
    ASSERT_EQ(rename(fifth.c_str(), Path("moved").c_str()), 0);
    gFakeNow += 1;
    Log("b");
    gFakeNow += 1;
    Log("c");
    ASSERT_EQ(unlink(sixth.c_str()), 0);
    Log("d");
    EXPECT_EQ(ReadFile(Path("moved")), "\n23:59:58 - a");
    EXPECT_EQ(ReadFile(fifth), "\n23:59:59 - b");
    EXPECT_EQ(ReadFile(sixth), "\n0:0:0 - d");

    // Copies beyond 100 in one second are held back and summed up when the second is over: by the
    // next entry, or by the loop's tick when no entry follows.
    gFakeNow += 1;
    for (int i = 0; i < 150; ++i) {
        Log("e");
    }
    Log("f");
    gFakeNow += 1;
    Log("g");
    for (int i = 0; i < 101; ++i) {
        Log("f");
    }
    gFakeNow += 1;
    const std::string summary = "\n0:0:3 - f (repeated 1 more times)";
    // Nothing more is logged: the loop's tick writes the summary.
    RunLoopTick(CountersClock());
    EXPECT_NE(ReadFile(sixth).find(summary), std::string::npos);
    std::string expected = "\n0:0:0 - d";
    for (int i = 0; i < 100; ++i) {
        expected += "\n0:0:1 - e";
    }
    expected += "\n0:0:1 - f\n0:0:2 - e (repeated 50 more times)\n0:0:2 - g";
    for (int i = 0; i < 100; ++i) {
        expected += "\n0:0:2 - f";
    }
    EXPECT_EQ(ReadFile(sixth), expected + summary);
}

// A full disk (here a file size limit) cuts a write short: the cut entry or statistics line is taken
// off again, so the next one starts cleanly.
TEST_F(LogTest, ShortWritesLeaveNoCutEntryOrLine) {
    ForgetLogRepeats();
    ScopedLogClock clock(1772755198);
    const std::string file = Path("BcstBridge1_6_3_2026.log");
    Log("first");
    const std::string whole = ReadFile(file);
    ASSERT_FALSE(whole.empty());

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = whole.size() + 10;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    snprintf(gcaLogMessage, sizeof gcaLogMessage, "an entry longer than the ten bytes left");
    const int64_t lostBefore = CounterValue(kCounterLogLost);
    const int64_t divertedBefore = CounterValue(kCounterLogToStandardError);
    const int result = LogMessage(gcaLogMessage);
    EXPECT_EQ(CounterValue(kCounterLogToStandardError), divertedBefore + 1)
        << "standard error takes a cut entry";
    SignalHandler(SIGUSR1);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    signal(SIGXFSZ, SIG_DFL);

    EXPECT_EQ(result, 1);
    EXPECT_STREQ(gcaLogMessage, "an entry longer than the ten bytes left");
    EXPECT_EQ(ReadFile(file), whole);
    EXPECT_EQ(ReadFile(Path("UDP_STATISTICS.txt")), "");
    Log("second");
    SignalHandler(SIGUSR1);
    EXPECT_EQ(ReadFile(file), whole + "\n5:44:58 - second");
    EXPECT_EQ(CounterValue(kCounterLogLost), lostBefore);
    EXPECT_EQ(ReadFile(Path("UDP_STATISTICS.txt")), "Host1,              0,              0, Running\n");
}

TEST_F(LogTest, LongEntryIsWrittenWhole) {
    std::string text(3000, ' ');
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>('A' + i % 26);
    }
    const time_t before = time(nullptr);
    ASSERT_EQ(LogMessage(&text[0]), 0);
    const time_t after = time(nullptr);
    const std::string file = FindLogFile(dir_.dir().path());
    ASSERT_FALSE(file.empty());
    const std::string content = ReadFile(file);
    bool matched = false;
    for (time_t t = before; t <= after; ++t) {
        matched = matched || content == StampFor(LocalAt(t)) + text;
    }
    EXPECT_TRUE(matched) << content.size() << " bytes";
}

// The statistics handler breaks the time down itself; it must agree with the C library everywhere:
// before 1970, around leap days and year ends, and for offsets on both sides of UTC.
TEST(BreakDownLocalTimeTest, AgreesWithGmtimeOverRandomInstantsAndOffsets) {
    std::mt19937_64 random(20240229);
    std::uniform_int_distribution<int64_t> instant(-12219292800LL, 13569465599LL);  // 1583 .. 2399
    std::uniform_int_distribution<long> offset(-14 * 3600L, 14 * 3600L);
    std::vector<std::pair<int64_t, long>> samples;
    for (int i = 0; i < 200000; ++i) {
        samples.emplace_back(instant(random), offset(random));
    }
    // Edges: leap days of 2000, 2024 and 1600, the missing ones of 1900 and 2100, year ends and the epoch.
    const int64_t edges[] = {0,           -1,           951782400,    951868800,    1709164800,   1709251200,
                             -2203977600, -2203891200,  4107456000,   4107542400,   946684800,    1704067200,
                             -2208988800, 253402300799, -11676096000, -11670998400, -11670912000, 1735689599,
                             1735689600};
    const long offsets[] = {0, 1, -1, 19800, 20700, -12600, 50400, -43200, 3599, -3600};
    for (int64_t edge : edges) {
        for (int64_t delta = -2; delta <= 2; ++delta) {
            for (long off : offsets) {
                samples.emplace_back(edge + delta, off);
                samples.emplace_back(edge + delta - off, off);  // exactly on the local edge
            }
        }
    }
    int failures = 0;
    for (const auto& [t, off] : samples) {
        const time_t shifted = static_cast<time_t>(t + off);
        struct tm want;
        ASSERT_NE(gmtime_r(&shifted, &want), nullptr);
        const LogClock got = BreakDownLocalTime(static_cast<time_t>(t), off);
        const bool same = got.year == want.tm_year + 1900 && got.month == want.tm_mon + 1 &&
                          got.day == want.tm_mday && got.hour == want.tm_hour && got.minute == want.tm_min &&
                          got.second == want.tm_sec;
        if (!same && ++failures <= 5) {
            ADD_FAILURE() << "t=" << t << " offset=" << off << ": got " << got.year << "-" << got.month << "-"
                          << got.day << " " << got.hour << ":" << got.minute << ":" << got.second;
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST(BreakDownLocalTimeTest, AgreesWithLocaltimeInZonesWithSummerTime) {
    const char* zones[] = {
        "UTC0",  "EST5EDT,M3.2.0,M11.1.0",    "NZST-12NZDT,M9.5.0,M4.1.0/3", "IST-5:30", "NPT-5:45",
        "HST10", "NST3:30NDT,M3.2.0,M11.1.0", "CET-1CEST,M3.5.0,M10.5.0/3"};
    std::mt19937_64 random(7);
    std::uniform_int_distribution<int64_t> instant(-2208988800LL, 4102444800LL);  // 1900 .. 2100
    for (const char* zone : zones) {
        SCOPED_TRACE(zone);
        ScopedTimeZone scoped(zone);
        int failures = 0;
        for (int i = 0; i < 20000; ++i) {
            const time_t t = static_cast<time_t>(instant(random));
            const struct tm want = LocalAt(t);
            const LogClock got = BreakDownLocalTime(t, want.tm_gmtoff);
            const bool same = got.year == want.tm_year + 1900 && got.month == want.tm_mon + 1 &&
                              got.day == want.tm_mday && got.hour == want.tm_hour &&
                              got.minute == want.tm_min && got.second == want.tm_sec;
            if (!same && ++failures <= 3) {
                ADD_FAILURE() << "t=" << t;
            }
        }
        EXPECT_EQ(failures, 0);
    }
}

TEST(FormatStatisticsLineTest, FieldsOfFifteenCharacters) {
    const struct {
        int16_t instance;
        int64_t received, sent;
        const char* line;
    } cases[] = {
        {1, 0, 0, "Host1,              0,              0, Running\n"},
        {2, 1234, 1230, "Host2,           1234,           1230, Running\n"},
        {-25536, 7, 6, "Host-25536,              7,              6, Running\n"},
        {32767, 999999999999999, 100000000000000, "Host32767,999999999999999,100000000000000, Running\n"},
        {-32768, 1000000000000000, 12345678901234567,
         "Host-32768,1000000000000000,12345678901234567, Running\n"},
        {3, INT64_MAX, INT64_MAX, "Host3,9223372036854775807,9223372036854775807, Running\n"},
        {4, -1, INT64_MIN, "Host4,             -1,-9223372036854775808, Running\n"},
        {0, 42, 0, "Host0,             42,              0, Running\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        char out[kStatisticsLineMax];
        memset(out, 0x7F, sizeof out);
        const int length = FormatStatisticsLine(out, c.instance, c.received, c.sent);
        EXPECT_EQ(std::string(out, static_cast<size_t>(length)), c.line);
    }
}

TEST_F(LogTest, SignalHandlerAppendsOneLinePerRequest) {
    gshRunningInstanceNo = 2;
    SignalHandler(SIGUSR2);  // not ours: nothing happens
    EXPECT_TRUE(ListDir(dir_.dir().path()).empty());

    SignalHandler(SIGUSR1);
    glReceivedPktCount.store(1234);
    glSentPktCount.store(1230);
    SignalHandler(SIGUSR1);
    EXPECT_EQ(
        ReadFile(Path("UDP_STATISTICS.txt")),
        "Host2,              0,              0, Running\nHost2,           1234,           1230, Running\n");

    // Installed for real: a raised SIGUSR1 runs the report.
    ASSERT_EQ(CatchSignal(), 0);
    ASSERT_EQ(raise(SIGUSR1), 0);
    EXPECT_EQ(
        ReadFile(Path("UDP_STATISTICS.txt")),
        "Host2,              0,              0, Running\nHost2,           1234,           1230, Running\n"
        "Host2,           1234,           1230, Running\n");
    signal(SIGUSR1, SIG_DFL);
}

// The open failure reaches the log as a well-formed entry with the local time, and leaves a message
// that the interrupted code may be composing in gcaLogMessage alone.
TEST_F(LogTest, StatisticsOpenFailureIsLoggedWithoutTouchingThePendingMessage) {
    gshRunningInstanceNo = 4;
    ASSERT_EQ(mkdir(Path("UDP_STATISTICS.txt").c_str(), 0700), 0);
    snprintf(gcaLogMessage, sizeof gcaLogMessage, "half-composed %s", "message");
    const std::vector<char> composing(gcaLogMessage, gcaLogMessage + kLogMessageSize);
    const time_t before = time(nullptr);
    SignalHandler(SIGUSR1);
    const time_t after = time(nullptr);
    EXPECT_EQ(std::vector<char>(gcaLogMessage, gcaLogMessage + kLogMessageSize), composing);

    const std::string text = "Error while opening UDP_STATISTICS.txt file";
    bool matched = false;
    for (time_t t = before; t <= after; ++t) {
        const struct tm local = LocalAt(t);
        matched = matched || ReadFile(Path(NameFor(4, local))) == StampFor(local) + text;
    }
    EXPECT_TRUE(matched) << ReadFile(FindLogFile(dir_.dir().path()));
}

}  // namespace
