#include "platform/registry_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

class RegistryStoreTest : public testing::Test {
protected:
    void SetUp() override { ResetRegistryStore(); }
    void TearDown() override { EXPECT_EQ(OpenRegistryKeyCount(), 0); }
};

TEST_F(RegistryStoreTest, PredefinedRootHasItsWindowsValue) {
    EXPECT_EQ(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(HKEY_LOCAL_MACHINE)), 0x80000002u);
}

TEST_F(RegistryStoreTest, CreateMakesEveryLevelAndLeadingBackslashOnlySeparates) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "\\One\\Two\\Three", &key), ERROR_SUCCESS);
    EXPECT_EQ(OpenRegistryKeyCount(), 1);
    HKEY below = nullptr;
    ASSERT_EQ(RegCreateKeyA(key, "\\Four", &below), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(below), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegistrySubkeyNames(""), std::vector<std::string>{"One"});
    EXPECT_TRUE(RegistryKeyExists("One\\Two\\Three\\Four"));
    EXPECT_FALSE(RegistryKeyExists("\\"  "Four"));
}

TEST_F(RegistryStoreTest, LeadingBackslashCanBeRefusedAsOnNt) {
    SetRegistryLeadingBackslashRefused(true);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "\\One", &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "\\One", &key), ERROR_BAD_PATHNAME);
    EXPECT_FALSE(RegistryKeyExists("One"));
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "One\\Two", &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

// Windows 9x keeps a REG_SZ as its text and one NUL, whatever length the caller passed;
// binary values keep every byte either way, and a reset returns to keeping every byte.
TEST_F(RegistryStoreTest, TextsCanBeKeptAtTheirLengthAsOnWindows9x) {
    const struct {
        const char* why;
        DWORD type;
        std::vector<uint8_t> written;
        std::vector<uint8_t> stored;
    } cases[] = {
        {"text in a zero-filled buffer", REG_SZ, Bytes(std::string("Tessaline") + std::string(251, '\0')),
         Bytes(std::string("Tessaline") + '\0')},
        {"text without its NUL", REG_SZ, Bytes("tesln"), Bytes(std::string("tesln") + '\0')},
        {"only NULs", REG_SZ, std::vector<uint8_t>(260, 0), std::vector<uint8_t>(1, 0)},
        {"nothing at all", REG_SZ, {}, std::vector<uint8_t>(1, 0)},
        {"binary", REG_BINARY, {0x41, 0x00, 0x42, 0x00}, {0x41, 0x00, 0x42, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        ResetRegistryStore();
        SetRegistryTextsKeptAtTheirLength(true);
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "One", &key), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, "v", 0, c.type, c.written.data(),
                                 static_cast<DWORD>(c.written.size())),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        EXPECT_EQ(ReadRegistryValue("One", "v").bytes, c.stored);
    }
    ResetRegistryStore();
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "One", &key), ERROR_SUCCESS);
    const std::vector<uint8_t> field(260, 0);
    ASSERT_EQ(RegSetValueExA(key, "v", 0, REG_SZ, field.data(), 260), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(ReadRegistryValue("One", "v").bytes.size(), 260u);
}

TEST_F(RegistryStoreTest, NamesIgnoreCaseAndKeepTheFirstSpelling) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "System\\MediaResources", &key), ERROR_SUCCESS);
    const BYTE first[] = {1, 2};
    const BYTE second[] = {3};
    ASSERT_EQ(RegSetValueExA(key, "OEMName", 0, REG_BINARY, first, 2), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "oemNAME", 0, REG_BINARY, second, 1), ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SYSTEM\\mediaresources", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegistrySubkeyNames("system"), std::vector<std::string>{"MediaResources"});
    EXPECT_EQ(RegistryValueNames("System\\MediaResources"), std::vector<std::string>{"OEMName"});
    EXPECT_EQ(ReadRegistryValue("system\\MEDIARESOURCES", "OEMNAME").bytes, std::vector<uint8_t>{3});
}

TEST_F(RegistryStoreTest, OpenNeverCreates) {
    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Missing\\Key", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, reinterpret_cast<HKEY>(0x1234));
    EXPECT_FALSE(RegistryKeyExists("Missing"));
}

TEST_F(RegistryStoreTest, EnumerationEndsWithNoMoreItems) {
    ASSERT_TRUE(LoadRegistryText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\P\\b]\n\n[HKEY_LOCAL_MACHINE\\P\\A]\n"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "P", &key), ERROR_SUCCESS);
    char name[260];
    ASSERT_EQ(RegEnumKeyA(key, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "A");
    ASSERT_EQ(RegEnumKeyA(key, 1, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "b");
    EXPECT_EQ(RegEnumKeyA(key, 2, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyA(key, 1, name, 1), ERROR_MORE_DATA);
    RegCloseKey(key);
}

TEST_F(RegistryStoreTest, QueryReportsTypeLengthAndBytesAsStored) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "K", &key), ERROR_SUCCESS);
    const char text[8] = "ab";  // written with all eight bytes, zero fill included
    ASSERT_EQ(RegSetValueExA(key, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), 8),
              ERROR_SUCCESS);

    DWORD type = 99;
    uint8_t data[16];
    std::memset(data, 0xEE, sizeof data);
    DWORD length = sizeof data;
    ASSERT_EQ(RegQueryValueExA(key, "v", nullptr, &type, data, &length), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 9),
              (std::vector<uint8_t>{0x61, 0x62, 0, 0, 0, 0, 0, 0, 0xEE}));

    length = 4;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, data, &length), ERROR_MORE_DATA);
    EXPECT_EQ(length, 8u);

    length = 0;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, nullptr, &length), ERROR_SUCCESS);
    EXPECT_EQ(length, 8u);

    length = 260;
    EXPECT_EQ(RegQueryValueExA(key, "Absent", nullptr, nullptr, data, &length), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(length, 260u);
    RegCloseKey(key);

    const StoredValue stored = ReadRegistryValue("K", "V");
    EXPECT_TRUE(stored.found);
    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(stored.bytes.size(), 8u);
}

TEST_F(RegistryStoreTest, HandlesAreCountedUntilClosed) {
    ASSERT_TRUE(LoadRegistryText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n"));
    HKEY a = nullptr, b = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "A", &a), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyA(a, "B", &b), ERROR_SUCCESS);
    EXPECT_EQ(OpenRegistryKeyCount(), 2);
    EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(a), ERROR_INVALID_HANDLE);
    char name[260];
    EXPECT_EQ(RegEnumKeyA(a, 0, name, sizeof name), ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenRegistryKeyCount(), 1);
    EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    // The second close of a above is this test's own doing; the common tear-down would
    // fail it otherwise.
    EXPECT_EQ(StrayRegistryCloseCount(), 1);
    ForgetStrayRegistryCloses();
}

// The trace is what the order tests read: every call, its key, value name, length and
// failure, in the order made.
TEST_F(RegistryStoreTest, TraceRecordsEveryCallInOrder) {
    ASSERT_TRUE(LoadRegistryText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=\"abc\"\n"));
    HKEY a = nullptr, c = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "A", &a), ERROR_SUCCESS);
    BYTE data[16];
    DWORD length = sizeof data;
    RegQueryValueExA(a, "V", nullptr, nullptr, data, &length);
    RegSetValueExA(a, "W", 0, REG_BINARY, data, 3);
    RegCreateKeyA(a, "B\\C", &c);
    RegOpenKeyA(HKEY_LOCAL_MACHINE, "Missing", &c);
    RegCloseKey(a);
    RegFlushKey(HKEY_LOCAL_MACHINE);
    RegCloseKey(a);
    ForgetStrayRegistryCloses();

    std::vector<std::string> lines;
    for (const RegistryCall& call : RegistryCalls()) lines.push_back(DescribeRegistryCall(call));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "open A", "query A V 16", "set A W 3", "create A\\B\\C",
                         "open Missing -> 2", "close A", "flush HKLM", "close ? -> 6"}));
    ClearRegistryCalls();
    EXPECT_TRUE(RegistryCalls().empty());
    RegCloseKey(c);
}

TEST_F(RegistryStoreTest, FlushesAreCounted) {
    EXPECT_EQ(RegFlushKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(reinterpret_cast<HKEY>(0x99)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegistryFlushCount(), 1);
}

TEST_F(RegistryStoreTest, RefusedWritesFailAndStoreNothing) {
    ASSERT_TRUE(LoadRegistryText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\n[HKEY_LOCAL_MACHINE\\B]\n"));
    RefuseRegistryWrites("A", "Locked");
    RefuseRegistryWrites("HKEY_LOCAL_MACHINE\\B");
    RefuseRegistryWrites("C\\D");
    HKEY a = nullptr, b = nullptr, d = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "A", &a), ERROR_SUCCESS);
    const BYTE one = 1;
    EXPECT_EQ(RegSetValueExA(a, "locked", 0, REG_BINARY, &one, 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExA(a, "Open", 0, REG_BINARY, &one, 1), ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "B", &b), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "B", &b), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(b, "Any", 0, REG_BINARY, &one, 1), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "c\\d", &d), ERROR_ACCESS_DENIED);
    RegCloseKey(a);
    RegCloseKey(b);
    EXPECT_FALSE(ReadRegistryValue("A", "Locked").found);
    EXPECT_TRUE(ReadRegistryValue("A", "Open").found);
    EXPECT_FALSE(RegistryKeyExists("C"));
}

TEST_F(RegistryStoreTest, RefusedOpensFailButTheKeyStillEnumerates) {
    ASSERT_TRUE(LoadRegistryText("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n"));
    RefuseRegistryOpens("a\\b");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "A\\B", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "A\\B", &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegistrySubkeyNames("A"), std::vector<std::string>{"B"});
}

// ---- REGEDIT4 text ----

TEST_F(RegistryStoreTest, ImportReadsEveryValueForm) {
    std::string error;
    ASSERT_TRUE(LoadRegistryText(
        "REGEDIT4\r\n\r\n"
        "; a comment\r\n"
        "[HKEY_LOCAL_MACHINE\\Enum\\BIOS\\*PNP0501\\0000]\r\n"
        "\"PortName\"=\"COM1\"\r\n"
        "\"Quoted\"=\"a \\\"b\\\" c:\\\\d\"\r\n"
        "\"Blob\"=hex:d0,07,00,\\\r\n"
        "  00,FF\r\n"
        "\"Padded\"=hex(1):54,00,00\r\n"
        "\"Empty\"=hex:\r\n"
        "\"Word\"=dword:0000ea60\r\n",
        &error))
        << error;
    const std::string key = "Enum\\BIOS\\*PNP0501\\0000";
    struct Expected {
        const char* name;
        DWORD type;
        std::vector<uint8_t> bytes;
    } expected[] = {
        {"PortName", REG_SZ, {0x43, 0x4F, 0x4D, 0x31, 0x00}},
        {"Quoted", REG_SZ, Bytes(std::string("a \"b\" c:\\d") + '\0')},
        {"Blob", REG_BINARY, {0xD0, 0x07, 0x00, 0x00, 0xFF}},
        {"Padded", REG_SZ, {0x54, 0x00, 0x00}},
        {"Empty", REG_BINARY, {}},
        {"Word", REG_DWORD, {0x60, 0xEA, 0x00, 0x00}},
    };
    for (const Expected& e : expected) {
        const StoredValue stored = ReadRegistryValue(key, e.name);
        EXPECT_TRUE(stored.found) << e.name;
        EXPECT_EQ(stored.type, e.type) << e.name;
        EXPECT_EQ(stored.bytes, e.bytes) << e.name;
    }
}

TEST_F(RegistryStoreTest, ImportDeletesKeysAndValuesMarkedWithMinus) {
    ASSERT_TRUE(LoadRegistryText(
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"V\"=\"1\"\n\"W\"=\"2\"\n\n"
        "[HKEY_LOCAL_MACHINE\\A\\B]\n\"V\"=-\n\n[HKEY_LOCAL_MACHINE\\A\\C]\n\n"
        "[-HKEY_LOCAL_MACHINE\\A\\C]\n"));
    EXPECT_FALSE(ReadRegistryValue("A\\B", "V").found);
    EXPECT_TRUE(ReadRegistryValue("A\\B", "W").found);
    EXPECT_FALSE(RegistryKeyExists("A\\C"));
}

TEST_F(RegistryStoreTest, ImportRejectsMalformedText) {
    const struct {
        const char* text;
        const char* why;
    } cases[] = {
        {"[HKEY_LOCAL_MACHINE\\A]\n", "no header"},
        {"REGEDIT4\n\n\"V\"=\"1\"\n", "value before any key"},
        {"REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n", "root not held"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A\n", "unterminated key line"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:1,zz\n", "bad hex"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:123\n", "three digits"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=\"open\n", "unterminated text"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:123456789\n", "dword too long"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"V\" \"1\"\n", "no equals sign"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(LoadRegistryText(c.text, &error)) << c.why;
        EXPECT_FALSE(error.empty()) << c.why;
    }
    std::string error;
    EXPECT_FALSE(LoadRegistryFile("tests/fixtures/no_such_file.reg", &error));
}

TEST_F(RegistryStoreTest, ExportWritesTextOnlyWhenNothingWouldBeLost) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Export\\Me", &key), ERROR_SUCCESS);
    const char padded[6] = "Yaw";
    const BYTE binary[] = {0x01, 0xAB};
    const char plain[] = "C:\\x \"y\"";
    const BYTE unterminated[] = {0x41, 0x42};
    RegSetValueExA(key, "Padded", 0, REG_SZ, reinterpret_cast<const BYTE*>(padded), 6);
    RegSetValueExA(key, "Binary", 0, REG_BINARY, binary, 2);
    RegSetValueExA(key, "Plain", 0, REG_SZ, reinterpret_cast<const BYTE*>(plain), sizeof plain);
    RegSetValueExA(key, "Bare", 0, REG_SZ, unterminated, 2);
    RegCloseKey(key);
    EXPECT_EQ(ExportRegistryText(),
              "REGEDIT4\n\n"
              "[HKEY_LOCAL_MACHINE\\Export]\n\n"
              "[HKEY_LOCAL_MACHINE\\Export\\Me]\n"
              "\"Bare\"=hex(1):41,42\n"
              "\"Binary\"=hex:01,ab\n"
              "\"Padded\"=hex(1):59,61,77,00,00,00\n"
              "\"Plain\"=\"C:\\\\x \\\"y\\\"\"\n\n");
    EXPECT_EQ(ExportRegistryText("Export\\Me").substr(0, 33), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Exp");
    EXPECT_EQ(ExportRegistryText("Export\\Me").find("[HKEY_LOCAL_MACHINE\\Export]\n"), std::string::npos);
}

TEST_F(RegistryStoreTest, ExportReimportsToTheSameStore) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Round\\Trip", &key), ERROR_SUCCESS);
    std::vector<uint8_t> long_text(260, 0);
    std::memcpy(long_text.data(), "Tessaline", 9);
    std::vector<uint8_t> record(112);
    for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(i * 7);
    RegSetValueExA(key, "Joystick1OEMName", 0, REG_SZ, long_text.data(), 260);
    RegSetValueExA(key, "Joystick1Configuration", 0, REG_BINARY, record.data(), 112);
    RegSetValueExA(key, "Odd", 0, 7, record.data(), 3);
    RegCloseKey(key);

    const std::string first = ExportRegistryText();
    ASSERT_TRUE(LoadRegistryText(first));
    EXPECT_EQ(ExportRegistryText(), first);
    EXPECT_EQ(ReadRegistryValue("Round\\Trip", "Joystick1OEMName").bytes, long_text);
    EXPECT_EQ(ReadRegistryValue("Round\\Trip", "Joystick1Configuration").bytes, record);
    EXPECT_EQ(ReadRegistryValue("Round\\Trip", "Odd").type, 7u);
}

TEST_F(RegistryStoreTest, FixturesLoadAndExportStably) {
    for (const char* fixture : {"machine_two_ports.reg", "machine_four_ports.reg",
                                "machine_no_driver.reg", "machine_no_ports.reg"}) {
        std::string error;
        ASSERT_TRUE(LoadRegistryFile(std::string("tests/fixtures/") + fixture, &error))
            << fixture << ": " << error;
        const std::string text = ExportRegistryText();
        ASSERT_TRUE(LoadRegistryText(text));
        EXPECT_EQ(ExportRegistryText(), text) << fixture;
    }
}

}  // namespace
