// BCSTBRIDGE.INI reading: which line is taken, how it is split, what each field stores and logs,
// and the atoi-like number parser used for ports and the instance argument.
#include "config/config.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "app/log.h"
#include "support/test_support.h"

using namespace bcsttest;

namespace {

const char kHeader[] = "SEGMENT,RECV_ADDR,RECV_PORT,SEND_ADDR,SEND_PORT,HOST_IP,VELT_IP,FLAG\n";
const char kOpened[] = "BCSTBRIDGE.INI config file open successfully";
const char kImproper[] = "CopyConfigParamToGlobalStruct - Improper Field position";

// The expected record, written out field by field.
struct Record {
    Record(std::string segment_ = "", std::string recvAddr_ = "", int16_t recvPort_ = 0,
           std::string sendAddr_ = "", int16_t sendPort_ = 0, std::string hostIp_ = "",
           std::string veltIp_ = "", int16_t flag_ = 0)
        : segment(segment_),
          recvAddr(recvAddr_),
          recvPort(recvPort_),
          sendAddr(sendAddr_),
          sendPort(sendPort_),
          hostIp(hostIp_),
          veltIp(veltIp_),
          flag(flag_) {}
    std::string segment, recvAddr;
    int16_t recvPort;
    std::string sendAddr;
    int16_t sendPort;
    std::string hostIp, veltIp;
    int16_t flag;
};

// Field text up to its terminator; fails the test when the field holds no terminator.
std::string FieldText(const char* field, size_t capacity) {
    const void* end = memchr(field, '\0', capacity);
    EXPECT_NE(end, nullptr) << "field without terminator";
    return end == nullptr ? std::string(field, capacity) : std::string(field);
}

void ExpectRecord(const Record& want) {
    const BCAST_PARAM& p = gsBcastParam;
    EXPECT_EQ(FieldText(p.MARKET_SEGMENT, sizeof p.MARKET_SEGMENT), want.segment);
    EXPECT_EQ(FieldText(p.RECV_MULTICAST_ADDR, sizeof p.RECV_MULTICAST_ADDR), want.recvAddr);
    EXPECT_EQ(p.RECV_MULTICAST_PORT, want.recvPort);
    EXPECT_EQ(FieldText(p.SEND_MULTICAST_ADDR, sizeof p.SEND_MULTICAST_ADDR), want.sendAddr);
    EXPECT_EQ(p.SEND_MULTICAST_PORT, want.sendPort);
    EXPECT_EQ(FieldText(p.LOCAL_IP_TO_HOST, sizeof p.LOCAL_IP_TO_HOST), want.hostIp);
    EXPECT_EQ(FieldText(p.LOCAL_IP_TO_VELT, sizeof p.LOCAL_IP_TO_VELT), want.veltIp);
    EXPECT_EQ(p.NEW_MKT_DATA_FLAG, want.flag);
}

// The eight log entries of a complete record, in field order.
std::vector<std::string> FieldEntries(const std::string& segment, const std::string& recvAddr,
                                      const std::string& recvPort, const std::string& sendAddr,
                                      const std::string& sendPort, const std::string& hostIp,
                                      const std::string& veltIp, const std::string& flag) {
    return {"MARKET_SEGMENT - " + segment,       "RECV_MULTICAST_ADDR - " + recvAddr,
            "RECV_MULTICAST_PORT - " + recvPort, "SEND_MULTICAST_ADDR - " + sendAddr,
            "SEND_MULTICAST_PORT - " + sendPort, "LOCAL_IP_TO_HOST - " + hostIp,
            "LOCAL_IP_TO_VELT - " + veltIp,      "NEW_MKT_DATA_FLAG - " + flag};
}

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class ConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        memset(&gsBcastParam, 0, sizeof gsBcastParam);
        memset(gcaLogMessage, 0, sizeof gcaLogMessage);
        gshRunningInstanceNo = 1;
    }
    std::vector<std::string> Logged() const {
        const std::string file = FindLogFile(dir_.dir().path());
        return file.empty() ? std::vector<std::string>{} : LogMessages(ReadFile(file));
    }
    void WriteIni(const std::string& content) const { WriteFile(dir_.dir().File("BCSTBRIDGE.INI"), content); }

    ScopedWorkingDir dir_;
};

struct ReadCase {
    const char* name;
    std::string file;  // whole BCSTBRIDGE.INI
    int instance;
    int result;
    Record record;
    std::vector<std::string> log;  // every entry, in order
    std::string pending;           // gcaLogMessage afterwards
};

const std::string kExample = "CM,239.1.1.1,34330,239.2.2.2,34330,10.0.0.1,10.0.0.2,Y";
const Record kExampleRecord = {"CM", "239.1.1.1", -31206, "239.2.2.2", -31206, "10.0.0.1", "10.0.0.2", 1};
const std::vector<std::string> kExampleLog =
    FieldEntries("CM", "239.1.1.1", "-31206", "239.2.2.2", "-31206", "10.0.0.1", "10.0.0.2", "1");

std::vector<ReadCase> ReadCases() {
    const std::string h = kHeader;
    return {
        {"example line", h + kExample + "\n", 1, 0, kExampleRecord, Concat({kOpened}, kExampleLog), ""},
        {"record-like first line is skipped",
         "FO,239.9.9.9,1,239.8.8.8,2,1.1.1.1,2.2.2.2,N\n" + kExample + "\n", 1, 0, kExampleRecord,
         Concat({kOpened}, kExampleLog), ""},
        {"instance 2 reads the third line",
         h + "FO,239.9.9.9,1,239.8.8.8,2,1.1.1.1,2.2.2.2,N\n" + kExample + "\nCD,x,3,y,4,z,w,Y\n", 2, 0,
         kExampleRecord, Concat({kOpened}, kExampleLog), ""},
        {"last line without line feed", h + kExample, 1, 0, kExampleRecord, Concat({kOpened}, kExampleLog),
         ""},
        {"CRLF: flag Y with carriage return gives 0",
         h + kExample + "\r\n",
         1,
         0,
         {"CM", "239.1.1.1", -31206, "239.2.2.2", -31206, "10.0.0.1", "10.0.0.2", 0},
         Concat({kOpened}, FieldEntries("CM", "239.1.1.1", "-31206", "239.2.2.2", "-31206", "10.0.0.1",
                                        "10.0.0.2", "0")),
         ""},
        {"CRLF: comma after flag, carriage return is a ninth field", h + kExample + ",\r\n", 1, 0,
         kExampleRecord, Concat(Concat({kOpened}, kExampleLog), {kImproper}), ""},
        {"CRLF: empty record line holds its carriage return",
         h + "\r\n" + kExample + "\r\n",
         1,
         0,
         {},
         {kOpened, "Delimiter not found in config file for record - 2"},
         ""},
        {"blank record line",
         h + "\n" + kExample + "\n",
         1,
         0,
         {},
         {kOpened, "Blank line present in config file .. Line No. - 2"},
         ""},
        {"blank record line of instance 3",
         h + kExample + "\n" + kExample + "\n\n" + kExample + "\n",
         3,
         0,
         {},
         {kOpened, "Blank line present in config file .. Line No. - 4"},
         ""},
        {"record line without comma",
         h + "CM 239.1.1.1 34330\n",
         1,
         0,
         {},
         {kOpened, "Delimiter not found in config file for record - 2"},
         ""},
        {"trailing comma stores nothing more",
         h + "CM,239.1.1.1,34330,\n",
         1,
         0,
         {"CM", "239.1.1.1", -31206},
         {kOpened, "MARKET_SEGMENT - CM", "RECV_MULTICAST_ADDR - 239.1.1.1", "RECV_MULTICAST_PORT - -31206"},
         ""},
        {"eight fields and a trailing comma", h + kExample + ",\n", 1, 0, kExampleRecord,
         Concat({kOpened}, kExampleLog), ""},
        {"nine fields", h + kExample + ",extra\n", 1, 0, kExampleRecord,
         Concat(Concat({kOpened}, kExampleLog), {kImproper}), ""},
        {"eleven fields", h + kExample + ",a,,c\n", 1, 0, kExampleRecord,
         Concat(Concat({kOpened}, kExampleLog), {kImproper, kImproper, kImproper}), ""},
        {"empty fields between commas",
         h + ",,,,,,,,\n",
         1,
         0,
         {},
         Concat({kOpened}, FieldEntries("", "", "0", "", "0", "", "", "0")),
         ""},
        {"seven empty fields and an empty last one",
         h + ",,,,,,,\n",
         1,
         0,
         {},
         {kOpened, "MARKET_SEGMENT - ", "RECV_MULTICAST_ADDR - ", "RECV_MULTICAST_PORT - 0",
          "SEND_MULTICAST_ADDR - ", "SEND_MULTICAST_PORT - 0", "LOCAL_IP_TO_HOST - ", "LOCAL_IP_TO_VELT - "},
         ""},
        {"two fields, the last without comma",
         h + "FO,239.3.3.3\n",
         1,
         0,
         {"FO", "239.3.3.3"},
         {kOpened, "MARKET_SEGMENT - FO", "RECV_MULTICAST_ADDR - 239.3.3.3"},
         ""},
        {"values are not trimmed, percent signs are data",
         h + "%d, 239.1.1.1,34330,%s%n%x,6790, 10.0.0.1 ,,Y \n",
         1,
         0,
         {"%d", " 239.1.1.1", -31206, "%s%n%x", 6790, " 10.0.0.1 ", "", 0},
         Concat({kOpened},
                FieldEntries("%d", " 239.1.1.1", "-31206", "%s%n%x", "6790", " 10.0.0.1 ", "", "0")),
         ""},
        {"ports: 70000 keeps its low 16 bits, letters and signs",
         h + "CM,a,70000,b,abc,c,d,Y\n",
         1,
         0,
         {"CM", "a", 4464, "b", 0, "c", "d", 1},
         Concat({kOpened}, FieldEntries("CM", "a", "4464", "b", "0", "c", "d", "1")),
         ""},
        {"ports: atoi prefix, sign and leading blanks",
         h + "CM,a, 12x,b,-1,c,d,Y\n",
         1,
         0,
         {"CM", "a", 12, "b", -1, "c", "d", 1},
         Concat({kOpened}, FieldEntries("CM", "a", "12", "b", "-1", "c", "d", "1")),
         ""},
        {"ports: 65535 and 32768 shown signed",
         h + "CM,a,65535,b,32768,c,d,Y\n",
         1,
         0,
         {"CM", "a", -1, "b", -32768, "c", "d", 1},
         Concat({kOpened}, FieldEntries("CM", "a", "-1", "b", "-32768", "c", "d", "1")),
         ""},
        {"missing instance",
         h + kExample + "\n" + kExample + "\n",
         5,
         1,
         {},
         {kOpened},
         "Input instance 5 not available in BCSTBRIDGE.INI config file"},
        {"header only",
         h,
         1,
         1,
         {},
         {kOpened},
         "Input instance 1 not available in BCSTBRIDGE.INI config file"},
        {"empty file",
         "",
         1,
         1,
         {},
         {kOpened},
         "Input instance 1 not available in BCSTBRIDGE.INI config file"},
    };
}

TEST_F(ConfigTest, ReadsTheInstanceLine) {
    for (const ReadCase& c : ReadCases()) {
        SCOPED_TRACE(c.name);
        SetUp();
        const std::string log = FindLogFile(dir_.dir().path());
        if (!log.empty()) {
            ASSERT_EQ(unlink(log.c_str()), 0);
        }
        WriteIni(c.file);
        EXPECT_EQ(ReadConfigurationFromFile(c.instance), c.result);
        ExpectRecord(c.record);
        EXPECT_EQ(Logged(), c.log);
        EXPECT_EQ(std::string(gcaLogMessage), c.pending);
    }
}

TEST_F(ConfigTest, FlagIsOneOnlyForExactlyCapitalY) {
    const struct {
        std::string text;
        int16_t flag;
    } cases[] = {{"Y", 1}, {"y", 0},  {"Yes", 0}, {" Y", 0}, {"Y ", 0},
                 {"N", 0}, {"YY", 0}, {"1", 0},   {"Y\t", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE("flag '" + c.text + "'");
        gsBcastParam.NEW_MKT_DATA_FLAG = 7;
        EXPECT_EQ(CopyConfigParamToGlobalStruct(c.text, 8), 0);
        EXPECT_EQ(gsBcastParam.NEW_MKT_DATA_FLAG, c.flag);
        ASSERT_FALSE(Logged().empty());
        EXPECT_EQ(Logged().back(), "NEW_MKT_DATA_FLAG - " + std::to_string(c.flag));
    }
}

TEST_F(ConfigTest, MissingFileLeavesItsMessagePending) {
    EXPECT_EQ(ReadConfigurationFromFile(1), 1);
    EXPECT_STREQ(gcaLogMessage, "Error while opening BCSTBRIDGE.INI config file");
    EXPECT_TRUE(Logged().empty());
    ExpectRecord({});
}

TEST_F(ConfigTest, ImproperPositionsStoreNothingAndSucceed) {
    for (unsigned int position : {0u, 9u, 10u, 1000u}) {
        SCOPED_TRACE(position);
        const std::vector<uint8_t> before(reinterpret_cast<uint8_t*>(&gsBcastParam),
                                          reinterpret_cast<uint8_t*>(&gsBcastParam) + sizeof gsBcastParam);
        EXPECT_EQ(CopyConfigParamToGlobalStruct("CM", position), 0);
        const std::vector<uint8_t> after(reinterpret_cast<uint8_t*>(&gsBcastParam),
                                         reinterpret_cast<uint8_t*>(&gsBcastParam) + sizeof gsBcastParam);
        EXPECT_EQ(before, after);
        ASSERT_FALSE(Logged().empty());
        EXPECT_EQ(Logged().back(), kImproper);
    }
}

// Field capacities: 4 characters for the segment, 19 for an address, 9 for a port or flag text.
// A value one character longer is refused before anything is written, so the bytes of the record
// (pre-filled with a canary here) stay as they were, field and neighbours alike.
TEST_F(ConfigTest, OverLongValuesAreRefusedAndExactCapacityIsStored) {
    const std::string addr19 = "239.100.100.100.100";  // 19 characters
    const std::string addr20 = addr19 + "1";
    ASSERT_EQ(addr19.size(), 19u);
    const struct {
        unsigned int position;
        std::string fits;
        std::string entry;  // log entry for `fits`
        std::string tooLong;
    } fields[] = {
        {1, "CMFO", "MARKET_SEGMENT - CMFO", "CMFOX"},
        {2, addr19, "RECV_MULTICAST_ADDR - " + addr19, addr20},
        {3, "000034330", "RECV_MULTICAST_PORT - -31206", "0000034330"},
        {4, addr19, "SEND_MULTICAST_ADDR - " + addr19, addr20},
        {5, "   -00001", "SEND_MULTICAST_PORT - -1", "    -00001"},
        {6, addr19, "LOCAL_IP_TO_HOST - " + addr19, addr20},
        {7, addr19, "LOCAL_IP_TO_VELT - " + addr19, addr20},
        {8, "YYYYYYYYY", "NEW_MKT_DATA_FLAG - 0", "YYYYYYYYYY"},
    };
    for (const auto& f : fields) {
        SCOPED_TRACE(f.position);
        memset(&gsBcastParam, 0x5A, sizeof gsBcastParam);
        BCAST_PARAM canary;
        memcpy(&canary, &gsBcastParam, sizeof canary);
        const size_t entriesBefore = Logged().size();
        EXPECT_EQ(CopyConfigParamToGlobalStruct(f.tooLong, f.position), 1);
        EXPECT_EQ(memcmp(&canary, &gsBcastParam, sizeof canary), 0);
        EXPECT_EQ(Logged().size(), entriesBefore);

        EXPECT_EQ(CopyConfigParamToGlobalStruct(f.fits, f.position), 0);
        ASSERT_FALSE(Logged().empty());
        EXPECT_EQ(Logged().back(), f.entry);
    }
    // The exact-capacity texts as stored.
    memset(&gsBcastParam, 0, sizeof gsBcastParam);
    for (const auto& f : fields) {
        ASSERT_EQ(CopyConfigParamToGlobalStruct(f.fits, f.position), 0);
    }
    ExpectRecord({"CMFO", addr19, -31206, addr19, -1, addr19, addr19, 0});
}

struct OverLongCase {
    const char* name;
    std::string line;
    std::vector<std::string> stored;  // entries logged before the failing field
    std::string pending;
};

TEST_F(ConfigTest, OverLongValueStopsTheReaderWithPendingMessage) {
    const std::string early = "Error during copying config parameters into Global Structure";
    const std::string last = "Error during copying last config parameters into Global Structure";
    const std::string addr20 = "239.100.100.100.1001";
    const std::vector<std::string> seven = {"MARKET_SEGMENT - CM",          "RECV_MULTICAST_ADDR - 239.1.1.1",
                                            "RECV_MULTICAST_PORT - -31206", "SEND_MULTICAST_ADDR - 239.2.2.2",
                                            "SEND_MULTICAST_PORT - -31206", "LOCAL_IP_TO_HOST - 10.0.0.1",
                                            "LOCAL_IP_TO_VELT - 10.0.0.2"};
    const std::vector<OverLongCase> cases = {
        {"segment", "CMXYZ,239.1.1.1,34330,239.2.2.2,34330,10.0.0.1,10.0.0.2,Y", {}, early},
        {"receive address", "CM," + addr20 + ",34330,239.2.2.2,34330,10.0.0.1,10.0.0.2,Y", {seven[0]}, early},
        {"receive port",
         "CM,239.1.1.1,3433000000,239.2.2.2,34330,10.0.0.1,10.0.0.2,Y",
         {seven[0], seven[1]},
         early},
        {"send address",
         "CM,239.1.1.1,34330," + addr20 + ",34330,10.0.0.1,10.0.0.2,Y",
         {seven[0], seven[1], seven[2]},
         early},
        {"send port",
         "CM,239.1.1.1,34330,239.2.2.2,99999999999,10.0.0.1,10.0.0.2,Y",
         {seven.begin(), seven.begin() + 4},
         early},
        {"host address",
         "CM,239.1.1.1,34330,239.2.2.2,34330," + addr20 + ",10.0.0.2,Y",
         {seven.begin(), seven.begin() + 5},
         early},
        {"velt address",
         "CM,239.1.1.1,34330,239.2.2.2,34330,10.0.0.1," + addr20 + ",Y",
         {seven.begin(), seven.begin() + 6},
         early},
        {"flag before a comma", "CM,239.1.1.1,34330,239.2.2.2,34330,10.0.0.1,10.0.0.2,YYYYYYYYYY,", seven,
         early},
        {"flag after the last comma", "CM,239.1.1.1,34330,239.2.2.2,34330,10.0.0.1,10.0.0.2,YYYYYYYYYY",
         seven, last},
        {"address after the last comma", "CM," + addr20, {seven[0]}, last},
        {"segment before a trailing comma", "LONGER,", {}, early},
    };
    for (const OverLongCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        const std::string log = FindLogFile(dir_.dir().path());
        if (!log.empty()) {
            ASSERT_EQ(unlink(log.c_str()), 0);
        }
        WriteIni(std::string(kHeader) + c.line + "\n");
        EXPECT_EQ(ReadConfigurationFromFile(1), 1);
        EXPECT_EQ(std::string(gcaLogMessage), c.pending);
        EXPECT_EQ(Logged(), Concat({kOpened}, c.stored));
    }
}

TEST(ParseDecimalIntTest, FollowsAtoiWithoutOverflow) {
    const struct {
        const char* text;
        int value;
        bool inRange;
    } cases[] = {
        {"0", 0, true},
        {"42", 42, true},
        {"  \t\n\v\f\r42", 42, true},
        {"+7", 7, true},
        {"-7", -7, true},
        {"3x", 3, true},
        {"12 34", 12, true},
        {"abc", 0, true},
        {"", 0, true},
        {"-", 0, true},
        {"+-5", 0, true},
        {"- 5", 0, true},
        {"x5", 0, true},
        {"0x1A", 0, true},
        {"00000000000000000000000000042", 42, true},
        {"-0", 0, true},
        {"2147483647", INT_MAX, true},
        {"2147483648", INT_MAX, false},
        {"-2147483648", INT_MIN, true},
        {"-2147483649", INT_MIN, false},
        {"99999999999", INT_MAX, false},
        {"99999999999999999999999999999999999999999", INT_MAX, false},
        {"-99999999999999999999999999999999999999999", INT_MIN, false},
        {"21474836470", INT_MAX, false},
        {"4294967297", INT_MAX, false},  // would wrap to 1 in 32 bits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "'");
        bool inRange = !c.inRange;
        EXPECT_EQ(ParseDecimalInt(c.text, &inRange), c.value);
        EXPECT_EQ(inRange, c.inRange);
        EXPECT_EQ(ParseDecimalInt(c.text, nullptr), c.value);
    }
}

// The send port goes into the socket addresses unconverted, so the wire carries its bytes exchanged;
// the record form of the reader fills the record it is handed and leaves gsBcastParam alone.
TEST(Config, TheSendPortOnTheWireAndTheRecordFormOfTheReader) {
    const struct {
        int16_t configured;
        uint16_t wire;
    } ports[] = {{static_cast<int16_t>(34330), 6790},
                 {6790, 34330},
                 {static_cast<int16_t>(34331), 7046},
                 {256, 1},
                 {0, 0}};
    for (const auto& p : ports) {
        EXPECT_EQ(WireSendPort(p.configured), p.wire) << p.configured;
    }
    bcsttest::ScopedWorkingDir workDir;
    bcsttest::WriteFile(workDir.dir().File("BCSTBRIDGE.INI"),
                        "header\nFO,239.1.1.1,34330,239.2.2.2,6790,127.0.0.1,127.0.0.1,Y\n");
    memset(&gsBcastParam, 0, sizeof gsBcastParam);
    BCAST_PARAM record = {};
    ConfigReading reading;
    ASSERT_EQ(ReadConfigurationRecord(1, &record, &reading), 0);
    EXPECT_STREQ(record.MARKET_SEGMENT, "FO");
    EXPECT_EQ(WireSendPort(record.SEND_MULTICAST_PORT), 34330);
    EXPECT_EQ(record.NEW_MKT_DATA_FLAG, 1);
    EXPECT_EQ(gsBcastParam.MARKET_SEGMENT[0], '\0')
        << "the process's record is not the reader's to fill here";
}

}  // namespace
