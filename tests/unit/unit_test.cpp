// The product's code in process. The INI file and the log are those beside this test
// executable, as the service's are beside kelvaran.exe. The test process is no service, so
// SetServiceStatus fails here: the status record shows what was reported.
#include "config/config.h"
#include "install/install.h"
#include "service/service.h"
#include "tests/support/support.h"
#include "vbox/vbox.h"

#include <gtest/gtest.h>
#include <ntsecapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using testsupport::IniKeys;
using Lines = std::vector<std::string>;

const std::string kIni = testsupport::BinFolder() + "\\unit_tests.ini";
const std::string kLog = testsupport::BinFolder() + "\\unit_tests.log";

// A pass over keys (no INI file at all when there are none), with an empty log before it.
int Load(const IniKeys& keys, BOOL full = TRUE) {
    DeleteFileA(kLog.c_str());
    keys.empty() ? (void)DeleteFileA(kIni.c_str()) : testsupport::WriteIni(kIni, keys);
    return LoadConfiguration(full);
}

enum Field { kLevel, kInstall, kHome, kVm, kDisplay, kPriority, kStop, kWait, kFolders, kAll };

// What a pass may set, as text, in the order of Field; kFolders adds the environment that
// VirtualBox's programs inherit, kAll joins the others.
Lines Fields() {
    const ServiceConfigRecord& c = ServiceConfig;
    char all[2048];
    snprintf(all, sizeof all, "%d|%s|%s|%s|%s|0x%lx %s|%d %s|%lu", c.LogLevel.load(),
             c.VboxInstallPath, c.VboxUserHome, c.VmName, c.DisplayName, c.PriorityClass,
             c.PriorityText, static_cast<int>(c.ShutdownMethod), c.ShutdownCommandText,
             c.MaxWaitTimeout.load());
    const std::regex bar("\\|");
    Lines fields(std::cregex_token_iterator(all, all + strlen(all), bar, -1), {});
    SetVirtualBoxEnvironment();
    char install[MAX_PATH + 2] = "";
    char home[MAX_PATH] = "";
    GetEnvironmentVariableA("VBOX_INSTALL_PATH", install, sizeof install);
    GetEnvironmentVariableA("VBOX_USER_HOME", home, sizeof home);
    fields.push_back(fields[kInstall] + "|" + fields[kHome] + "|" + install + "|" + home);
    fields.push_back(all);
    return fields;
}

// Every key with a second value, less one.
IniKeys Second(const std::string& less = "") {
    IniKeys keys = {{"Loglevel", "3"},          {"VboxInstallPath", "C:/B/"},
                    {"VboxUserHome", "C:\\HB"}, {"VmName", "vmB"},
                    {"ServiceName", "B"},       {"Priority", "idle"},
                    {"MaxWaitTimeout", "5"},    {"ShutdownCommand", "acpipowerbutton"}};
    keys.erase(
        std::remove_if(keys.begin(), keys.end(), [&](auto& key) { return key.first == less; }),
        keys.end());
    return keys;
}

IniKeys Folders(const std::string& value) {
    return {{"VboxInstallPath", value}, {"VboxUserHome", value}};
}

const IniKeys kFirst = {
    {"VboxInstallPath", "C:\\A"}, {"VboxUserHome", "C:\\HA"}, {"VmName", "vmA"},
    {"ServiceName", "A"},         {"Priority", "high"},       {"ShutdownCommand", "savestate"},
    {"MaxWaitTimeout", "1"},      {"Loglevel", "2"}};

// Every row follows a complete pass that sets each key to a first value, so that a value left
// over shows. A full pass that is to succeed gets the three required keys added. A stop's
// partial pass re-reads only the log level and the stop settings, and keeps the last values
// without an INI file; a full pass ends at the first required key that is missing. MaxWaitTimeout
// is read as Windows reads a number (a negative one is 0), and one that is not only a number is
// logged with the value used.
TEST(Config, PassesReadEachKey) {
    struct Row {
        IniKeys keys;
        Field field;
        std::string expected;
        BOOL full = TRUE;
        std::string logged = "";
        bool complete = false;  // although something was logged
    };
    const std::string tooLong(300, 'v');
    const std::string first = "2|C:\\A|C:\\HA|vmA|A|0x80 high|2 savestate|1";
    const std::vector<Row> rows = {
        {{{"Loglevel", "300"}}, kLevel, "44"},
        {{{"Loglevel", "200"}}, kLevel, "-56"},
        {{{"Loglevel", "256"}}, kLevel, "0"},
        {{}, kLevel, "1"},
        {{{"Priority", "idle"}}, kPriority, "0x40 idle"},
        {{{"Priority", "Below Normal"}}, kPriority, "0x4000 Below Normal"},
        {{{"Priority", "NORMAL"}}, kPriority, "0x20 NORMAL"},
        {{{"Priority", "above normal"}}, kPriority, "0x8000 above normal"},
        {{{"Priority", "HIGH"}}, kPriority, "0x80 HIGH"},
        {{{"Priority", "realtime"}}, kPriority, "0x20 realtime"},
        {{{"Priority", "belownormal"}}, kPriority, "0x20 belownormal"},
        {{}, kPriority, "0x20 "},
        {{{"ShutdownCommand", "SaveState"}}, kStop, "2 SaveState"},
        {{{"ShutdownCommand", "PowerOff"}}, kStop, "1 PowerOff"},
        {{{"ShutdownCommand", "reboot"}}, kStop, "1 poweroff"},
        {{}, kStop, "1 poweroff"},
        {{{"ShutdownOnceCommand", "ACPISleepButton"}}, kStop, "4 ACPISleepButton"},
        {{{"ShutdownCommand", "savestate"}, {"ShutdownOnceCommand", "bogus"}}, kStop, "1 poweroff"},
        {{{"ShutdownCommand", "acpipowerbutton"}, {"ShutdownOnceCommand", ""}},
         kStop,
         "3 acpipowerbutton"},
        {{}, kWait, "300000"},
        {{{"MaxWaitTimeout", "+4294967296"}}, kWait, "4294967295"},
        {{{"MaxWaitTimeout", "-5"}},
         kWait,
         "0",
         TRUE,
         "ERROR: MaxWaitTimeout '-5' is not a number of milliseconds; 0 is used",
         true},
        {{{"MaxWaitTimeout", "12s"}},
         kWait,
         "12",
         FALSE,
         "ERROR: MaxWaitTimeout '12s' is not a number of milliseconds; 12 is used",
         true},
        {{{"VmName", tooLong}}, kVm, tooLong.substr(0, 254)},
        {{{"ServiceName", tooLong}}, kDisplay, tooLong.substr(0, 254)},
        {{{"Priority", tooLong}}, kPriority, "0x20 " + tooLong.substr(0, 63)},
        {{{"ShutdownCommand", tooLong}}, kStop, "1 poweroff"},
        {Folders("C:/P F/"), kFolders, "C:\\P F|C:\\P F|C:\\P F\\|C:\\P F"},
        {Folders("D:\\V\\\\"), kFolders, "D:\\V\\|D:\\V\\|D:\\V\\\\|D:\\V\\"},
        {Folders("C:\\"), kFolders, "C:|C:|C:\\|C:"},
        {Folders("/"), kFolders, "||\\|"},
        {Second(), kAll, "3|C:\\A|C:\\HA|vmA|A|0x80 high|3 acpipowerbutton|5", FALSE},
        {{}, kAll, first, FALSE, "Configuration file '" + kIni + "' does not exist"},
        {Second("VboxInstallPath"), kAll, "3||C:\\HA|vmA|A|0x80 high|2 savestate|1", TRUE,
         "ERROR: VboxInstallPath not configured"},
        {Second("VboxUserHome"), kAll, "3|C:\\B||vmA|A|0x80 high|2 savestate|1", TRUE,
         "ERROR: VboxUserHome not configured"},
        {Second("VmName"), kAll, "3|C:\\B|C:\\HB||A|0x80 high|2 savestate|1", TRUE,
         "ERROR: No VmName configured"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows.data());
        ASSERT_EQ(Load(kFirst), 1);
        bool complete = row.full && (row.logged.empty() || row.complete);
        EXPECT_EQ(Load(complete ? testsupport::CompleteIni(row.keys) : row.keys, row.full),
                  row.logged.empty() || row.complete ? 1 : 0);
        EXPECT_EQ(testsupport::ReadLog(kLog), row.logged.empty() ? Lines{} : Lines{row.logged});
        EXPECT_EQ(Fields()[row.field], row.expected);
    }
}

// The text in an encoding, or "" when the ANSI code page cannot hold it.
std::string Encoded(const std::wstring& text, TextEncoding encoding) {
    BOOL lossy = FALSE;
    std::string ansi(text.size() * 2 + 1, '\0');
    ansi.resize(
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &ansi[0], ansi.size(), nullptr, &lossy) -
        1);
    const std::string utf16(reinterpret_cast<const char*>(text.data()), text.size() * 2);
    return encoding == TextEncoding::Utf16     ? "\xFF\xFE" + utf16
           : encoding == TextEncoding::Utf8Bom ? "\xEF\xBB\xBF" + Utf8(text.c_str())
           : encoding == TextEncoding::Utf8    ? Utf8(text.c_str())
           : lossy                             ? ""
                                               : ansi;
}

// Each row's file, written as UTF-16LE, Windows' profile functions read whole; the reader gives
// what they give for it, from the same text in UTF-8 with and without a byte order mark and in the
// ANSI code page where that holds it (run in code pages 1252 and 932). A folder's separators are
// mended in characters, not bytes (the second byte of Shift-JIS's "ソ" is '\'). Deleting
// ShutdownOnceCommand leaves every other byte as it was.
TEST(Config, ReadsEveryEncodingAsTheProfileFunctionsDo) {
    if (std::string(getenv("LC_ALL") != nullptr ? getenv("LC_ALL") : "") == "ja_JP.UTF-8") {
        ASSERT_EQ(GetACP(), 932u) << "the Japanese run must run in code page 932";
    }
    const std::wstring many(5000, L'x');
    // The file's text after "[Kelvaran]\r\n", the key, the buffer's size.
    const std::tuple<std::wstring, const wchar_t*, DWORD> rows[] = {
        {L"VmName=B\u00fcro\r\n", L"VmName", 64},
        {L"  vmname  =  \"\u041e\u0444\u0438\u0441 2\"  \n", L"VMNAME", 64},
        {L"VmName='\u4f1a\u8b70\u5ba4'\rShutdownCommand=\"x'\r\n", L"ShutdownCommand", 64},
        {L";VmName=commented\r\nVmName=\U0001F600 \u30bd\r\nVmName=second\r\n", L"VmName", 64},
        {L"VmName=" + many + L"\r\n", L"VmName", 300},
        {L"VmName=\u041e\u0444\u0438\u0441\r\n", L"VmName", 3},
        {L"VmName\r\nServiceName=\r\n", L"VmName", 64},
        {L"ServiceName=\r\n", L"ServiceName", 64},
        {L"[Other]\r\nVmName=other\r\n[Kelvaran]\r\nVmName=again\r\n", L"VmName", 64},
        {L"[ Kelvaran ]\r\nVmName=blanks\r\n", L"VmName", 64},
        {L"VmName=B\u00c3\r\n", L"VmName", 64},  // in code page 1252 a UTF-8 sequence cut short
    };
    const TextEncoding encodings[] = {TextEncoding::Utf16, TextEncoding::Utf8,
                                      TextEncoding::Utf8Bom, TextEncoding::Ansi};
    const std::string path = testsupport::BinFolder() + "\\encodings.ini";
    for (size_t row = 0; row < std::size(rows); ++row) {
        const auto& [text, key, size] = rows[row];
        std::wstring file = L"[Kelvaran]\r\n" + text;
        // Wine keeps a profile it read until the file's time changes: a new name for each.
        std::string reference = path + std::to_string(row) + ".ini";
        testsupport::WriteFileContent(reference, Encoded(file, TextEncoding::Utf16));
        std::vector<wchar_t> expected(size), read(size);
        DWORD length = GetPrivateProfileStringW(L"Kelvaran", key, L"none", expected.data(), size,
                                                Wide(reference.c_str()).c_str());
        for (TextEncoding encoding : encodings) {
            std::string bytes = Encoded(file, encoding);
            if (bytes.empty()) {
                continue;
            }
            SCOPED_TRACE(bytes.substr(0, 80));
            IniFile ini;
            testsupport::WriteFileContent(path, bytes);
            ASSERT_EQ(ReadIniFile(Wide(path.c_str()).c_str(), &ini), 0u);
            EXPECT_EQ(GetIniString(ini, L"Kelvaran", key, L"none", read.data(), size), length);
            EXPECT_EQ(std::wstring(read.data()), std::wstring(expected.data()));
        }
    }
    // The folder's text, the field read from it.
    const std::pair<std::wstring, std::string> folders[] = {
        {L"C:\\\u30bd", "C:\\\u30bd"}, {L"C:/J\u00fcrgen/", "C:\\J\u00fcrgen"}};
    for (const auto& [folder, field] : folders) {
        for (TextEncoding encoding : encodings) {
            std::wstring file =
                L"[Kelvaran]\r\nVboxInstallPath=C:\\V\r\nVmName=vm\r\n"
                L"VboxUserHome=" +
                folder +
                L"\r\nShutdownOnceCommand=savestate\r\n"
                L"; kept\r\nShutdownOnceCommand=twice\r\n[Other]\r\n"
                L"ShutdownOnceCommand=kept\r\n";
            std::string bytes = Encoded(file, encoding);
            if (!bytes.empty()) {
                testsupport::WriteFileContent(kIni, bytes);
                ASSERT_EQ(LoadConfiguration(TRUE), 1);
                EXPECT_EQ(ServiceConfig.VboxUserHome, field);
                EXPECT_EQ(
                    DeleteIniKey(Wide(kIni.c_str()).c_str(), L"kelvaran", L"ShutdownOnceCommand"),
                    0u);
                size_t cut = file.find(L"ShutdownOnceCommand=savestate\r\n");
                file.erase(cut, 31).erase(file.find(L"ShutdownOnceCommand=twice\r\n"), 27);
                EXPECT_EQ(testsupport::ReadFileContent(kIni), Encoded(file, encoding));
            }
        }
    }
}

// Every case of these starts with an empty log at level 1 and nothing reported.
class Fresh : public testing::Test {
protected:
    void SetUp() override {
        DeleteFileA(kLog.c_str());
        snprintf(ServiceConfig.LogPath, sizeof ServiceConfig.LogPath, "%s", kLog.c_str());
        ServiceConfig.LogLevel = 1;
        ServiceRuntime.Status = {};
        ServiceRuntime.NextCheckPoint = 1;
    }
};
using Log = Fresh;
using Status = Fresh;

// LogLevel is a signed byte: 0 and negative levels write nothing, not even a file; a message's
// level counts by its low byte. Lines are stamped with the local time and end with CR LF, and
// lines of many threads never mix.
TEST_F(Log, WritesOnlyTheLevelsTheConfigurationAllows) {
    const std::pair<signed char, Lines> rows[] = {
        {0, {}}, {-56, {}}, {1, {"1", "257"}}, {2, {"1", "2", "257"}}, {3, {"1", "2", "3", "257"}}};
    auto stamp = [] {
        time_t now = time(nullptr);
        char text[32];
        strftime(text, sizeof text, "[%m/%d/%y %H:%M:%S] 1\r\n", localtime(&now));
        return std::string(text);
    };
    for (const auto& [level, expected] : rows) {
        DeleteFileA(kLog.c_str());
        ServiceConfig.LogLevel = level;
        std::string before = stamp();
        for (int message : {1, 2, 3, 257}) {
            LogMessage(message, "%d", message);
        }
        std::string content = testsupport::ReadFileContent(kLog);
        std::string first = content.substr(std::min<size_t>(3, content.size()), 23);
        EXPECT_EQ(testsupport::ReadLog(kLog), expected) << int{level};
        EXPECT_EQ(GetFileAttributesA(kLog.c_str()) != INVALID_FILE_ATTRIBUTES, !expected.empty());
        EXPECT_TRUE(expected.empty() || first == before || first == stamp()) << first;
    }
    DeleteFileA(kLog.c_str());
    std::vector<std::thread> threads(6);
    for (std::thread& thread : threads) {
        thread = std::thread([] {
            for (int i = 0; i < 150; ++i) {
                LogMessage(1, "%s", std::string(300, '.').c_str());
            }
        });
    }
    std::for_each(threads.begin(), threads.end(), std::mem_fn(&std::thread::join));
    EXPECT_EQ(testsupport::ReadLog(kLog), Lines(6 * 150, std::string(300, '.')));
}

// VirtualBox's UTF-16 text, logged through %S, comes out whole in UTF-8, where the runtime's printf
// would cut it at its first character above U+00FF; a slip in walking the argument list past it
// would garble every argument after it. A log of an earlier release, in the ANSI code page, is
// appended to as it is, without a byte order mark in its middle.
TEST_F(Log, ConversionsFormatAsPrintfWithWideTextInUtf8) {
    const std::string ansi = "[01/02/25 03:04:05] VM 'B\xfcro' stopped (poweroff)\r\n";
    testsupport::WriteFileContent(kLog, ansi);
    LogMessage(1, "%S|%d|%s|%.4S|%*S|%-3S|%C|%ls|%S", L"C:\\J\u00fcrgen\\\u0416\\.VirtualBox", 42,
               "narrow", L"\u00e9t\u00e9", 4, L"x", L"y", L'\u0416',
               static_cast<const wchar_t*>(nullptr), L"\u4f1a\u8b70\u5ba4 \U0001F600");
    LogMessage(1, "%5.2f|%-4s|%+d|%lld|%zu|%lu|%c|%*d|%.*s|%#o|%e|%Lg|%hhu|100%%", 3.14159, "ab", 7,
               -1234567890123LL, size_t{42}, 4000000000UL, 'q', 6, 12, 2, "abcdef", 8u, 1e-5, 1.5L,
               static_cast<unsigned char>(250));
    EXPECT_EQ(testsupport::ReadFileContent(kLog).substr(0, ansi.size()), ansi);
    EXPECT_EQ(
        testsupport::ReadLog(kLog),
        (Lines{"VM 'B\xfcro' stopped (poweroff)",
               "C:\\J\u00fcrgen\\\u0416\\.VirtualBox|42|narrow|\u00e9t|   x|y  |\u0416|(null)|"
               "\u4f1a\u8b70\u5ba4 \U0001F600",
               " 3.14|ab  |+7|-1234567890123|42|4000000000|q|    "
               "12|ab|010|1.000000e-05|1.5|250|100%"}));
}

// Events as ReportEventW gets them; it fails with refused when that is set.
struct Reported {
    DWORD id;
    WORD type;
    std::vector<std::wstring> strings;
};
std::vector<Reported> reported;
DWORD refused = 0;
BOOL WINAPI RecordingReportEventW(HANDLE, WORD type, WORD, DWORD id, PSID, WORD count, DWORD,
                                  LPCWSTR* strings, LPVOID) {
    reported.push_back({id, type, std::vector<std::wstring>(strings, strings + count)});
    SetLastError(refused);
    return refused == 0;
}

// An event's text as Event Viewer makes it from kelvaran.exe's message table, as UTF-8.
std::string EventText(HMODULE messages, DWORD id, const std::vector<std::wstring>& inserts) {
    std::vector<DWORD_PTR> arguments;
    for (const std::wstring& insert : inserts) {
        arguments.push_back(reinterpret_cast<DWORD_PTR>(insert.c_str()));
    }
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  messages, id, 0x409, reinterpret_cast<wchar_t*>(&text), 0,
                                  reinterpret_cast<va_list*>(arguments.data()));
    std::string utf8 = Utf8(text, static_cast<int>(length));
    LocalFree(text);
    return utf8;
}

// Every kind of line has its event, whose text in kelvaran.exe is the line's format with an
// insertion string for each conversion. A line logged is reported whatever Loglevel says, as
// error, warning or information, and Event Viewer shows the log's very line, text outside every
// code page included; a line of no kind is not reported. A failing event log is said once.
TEST_F(Log, EveryKindOfLineIsAnEventThatReadsAsTheLine) {
    HMODULE messages =
        LoadLibraryExW(Wide((testsupport::BinFolder() + "\\kelvaran.exe").c_str()).c_str(), nullptr,
                       LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(messages, nullptr);
    const std::pair<DWORD, std::string> kinds[] = {
#define KELVARAN_EVENT(id, type, format) {id, format},
#include "config/events.def"
#undef KELVARAN_EVENT
    };
    const std::regex conversion("%[-+ #0]*[0-9*]*(\\.[0-9*]+)?(hh|h|ll|l|L|z)?[diouxXcsSp]");
    for (const auto& [id, format] : kinds) {
        std::vector<std::wstring> inserts;
        std::string expected = format;
        for (std::smatch found; std::regex_search(expected, found, conversion);) {
            inserts.push_back(L"<" + std::to_wstring(inserts.size() + 1) + L">");
            expected.replace(found.position(), found.length(), Utf8(inserts.back().c_str()));
        }
        EXPECT_EQ(EventText(messages, id, inserts), expected) << id;
    }
    const auto system = testsupport::System(ReportEventW, "advapi32", "ReportEventW");
    testsupport::Repoint(system, &RecordingReportEventW);
    ServiceConfig.LogLevel = 0;
    LogMessage(1, "ERROR: Could not find registered VM '%s'", "\u4f1a\u8b70\u5ba4");
    LogMessage(1, "Starting VM '%s'", "\u4f1a\u8b70\u5ba4");
    ServiceConfig.LogLevel = 3;
    LogMessage(1,
               "WARNING: VirtualBox works on the home folder %S, not on VboxUserHome %s: another "
               "VirtualBox server of this account works on that home",
               L"C:\\Users\\\u0418\u0432\u0430\u043d", "C:\\Users\\ivan");
    LogMessage(1, "Service %s (%s) installed successfully%s.", "B\u00fcro", "office", "");
    refused = ERROR_LOG_FILE_FULL;
    LogMessage(1, "ERROR: Could not find registered VM '%s'", "vm");
    LogMessage(1, "ERROR: Could not find registered VM '%s'", "vm");
    testsupport::Repoint(&RecordingReportEventW, system);
    Lines log = testsupport::ReadLog(kLog);
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[2],
              "ERROR reporting to the Windows event log (0x000005de); later failures are not "
              "logged");
    log.erase(log.begin() + 2);
    log.insert(log.begin(), "ERROR: Could not find registered VM '\u4f1a\u8b70\u5ba4'");
    std::string events;  // "id/type": an error 1, a warning 2, information 4
    for (size_t i = 0; i < reported.size() && i < log.size(); ++i) {
        events += std::to_string(reported[i].id) + "/" + std::to_string(reported[i].type) + " ";
        EXPECT_EQ(EventText(messages, reported[i].id, reported[i].strings), log[i]);
    }
    EXPECT_EQ(events, "3032/1 2001/2 1000/4 3032/1 3032/1 ");
    FreeLibrary(messages);
}

// "state/checkpoint/wait hint next N" of the record and the checkpoint counter.
std::string Record() {
    SERVICE_STATUS s = ReportedServiceStatus();
    char text[80];
    snprintf(text, sizeof text, "%lu/%lu/%lu next %lu", s.dwCurrentState, s.dwCheckPoint,
             s.dwWaitHint, ServiceRuntime.NextCheckPoint);
    return text;
}

// Pending reports number themselves from one counter that never goes back; after STOPPED
// nothing is reported and no checkpoint is taken. Each report is refused, logged and kept.
TEST_F(Status, CheckpointsFollowTheReportedStates) {
    const std::pair<DWORD, const char*> rows[] = {
        {SERVICE_START_PENDING, "2/1/0 next 2"},   {SERVICE_START_PENDING, "2/2/0 next 3"},
        {SERVICE_RUNNING, "4/0/0 next 3"},         {SERVICE_STOP_PENDING, "3/3/4321 next 4"},
        {SERVICE_STOP_PENDING, "3/4/4321 next 5"}, {SERVICE_STOPPED, "1/0/0 next 5"},
        {SERVICE_RUNNING, "1/0/0 next 5"},         {SERVICE_STOP_PENDING, "1/0/0 next 5"}};
    for (const auto& [state, record] : rows) {
        ReportServiceStatus(state, NO_ERROR, state == SERVICE_STOP_PENDING ? 4321 : 0);
        EXPECT_EQ(Record(), record) << state;
    }
    EXPECT_EQ(testsupport::ReadLog(kLog),
              Lines(6, "ERROR settings service status: 0x00000006"));  // ERROR_INVALID_HANDLE
}

// The heartbeat keeps a long stop alive, about once a second, with the MaxWaitTimeout of the
// moment. It ends at its first test after another state (the watcher's RUNNING, say) without
// writing over it, and one started outside STOP_PENDING reports nothing.
TEST_F(Status, HeartbeatReportsEachSecondUntilAnotherState) {
    testsupport::WriteIni(kIni, testsupport::CompleteIni({{"MaxWaitTimeout", "4321"}}));
    ServiceRuntime.StopRequested = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(ServiceCtrlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), 0u);
    ASSERT_EQ(Record(), "3/1/4321 next 2");
    std::thread heartbeat(StopPendingHeartbeat, nullptr);
    Sleep(3500);
    ServiceConfig.MaxWaitTimeout = 999;
    EXPECT_TRUE(testsupport::WaitUntil([] { return ReportedServiceStatus().dwWaitHint == 999; }));
    EXPECT_TRUE(std::regex_match(Record(), std::regex("3/[5-7]/999 next [6-8]"))) << Record();
    ReportServiceStatus(SERVICE_RUNNING, NO_ERROR, 0);
    std::string running = Record();
    heartbeat.join();
    StopPendingHeartbeat(nullptr);
    EXPECT_EQ(Record(), running);
    CloseHandle(ServiceRuntime.StopRequested);
}

// Called as the dispatcher calls it (Wine's ControlService does not hand back every answer).
// The first stop, shutdown or pre-shutdown re-reads MaxWaitTimeout from the INI file at that
// moment, and a later one does not (the supervisor may be using the stop settings by then);
// once one came, neither RUNNING nor START_PENDING may replace its STOP_PENDING. The stop request
// is process-wide, so one case holds the times before and after it.
TEST_F(Status, ControlHandlerAnswersAndReports) {
    // Control, answer, the INI's MaxWaitTimeout (none: no stop), the record after it.
    const std::tuple<DWORD, DWORD, std::string, std::string> rows[] = {
        {SERVICE_CONTROL_INTERROGATE, 0, "", "4/0/0 next 1"},
        {SERVICE_CONTROL_PAUSE, 120, "", "4/0/0 next 1"},
        {SERVICE_CONTROL_CONTINUE, 120, "", "4/0/0 next 1"},
        {SERVICE_CONTROL_PARAMCHANGE, 120, "", "4/0/0 next 1"},
        {128, 120, "", "4/0/0 next 1"},
        {SERVICE_CONTROL_STOP, 0, "4321", "3/1/4321 next 2"},
        {SERVICE_CONTROL_SHUTDOWN, 0, "8765", "3/2/4321 next 3"},
        {SERVICE_CONTROL_PRESHUTDOWN, 0, "300000", "3/3/4321 next 4"},
        {200, 120, "", "3/3/4321 next 4"},
        {255, 120, "", "3/3/4321 next 4"}};
    ServiceRuntime.StopRequested = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ReportUnlessStopping(SERVICE_RUNNING);
    for (const auto& [control, answer, wait, record] : rows) {
        testsupport::WriteIni(kIni, testsupport::CompleteIni({{"MaxWaitTimeout", wait}}));
        EXPECT_EQ(ServiceCtrlHandler(control, 0, nullptr, nullptr), answer) << control;
        EXPECT_EQ(Record(), record) << control;
        EXPECT_EQ(WaitForSingleObject(ServiceRuntime.StopRequested, 0),
                  wait.empty() ? WAIT_TIMEOUT : WAIT_OBJECT_0)
            << control;
        ReportUnlessStopping(SERVICE_RUNNING);
        EXPECT_EQ(Record(), record) << control;
        if (StopRequestTime() != 0) {
            ReportUnlessStopping(SERVICE_START_PENDING);
            EXPECT_EQ(Record(), record) << control;
        }
    }
    CloseHandle(ServiceRuntime.StopRequested);
}

// INTERACTIVE (IU) gets GENERIC_READ, SERVICE_START and SERVICE_STOP (RPWPGR, 0x80000030) and
// nothing more: SERVICE_CHANGE_CONFIG would let any interactive user run code as SYSTEM. A
// descriptor without a DACL, or with a null or empty one, gets the entry alone.
TEST(InteractiveAccess, ReadStartAndStopJoinTheEntriesThere) {
    const std::pair<const char*, const char*> rows[] = {
        {"", "D:(A;;RPWPGR;;;IU)"},
        {"D:NO_ACCESS_CONTROL", "D:(A;;RPWPGR;;;IU)"},
        {"D:", "D:(A;;RPWPGR;;;IU)"},
        {"D:(A;;GA;;;SY)(A;;GRRP;;;AU)", "D:(A;;RPWPGR;;;IU)(A;;GA;;;SY)(A;;RPGR;;;AU)"},
    };
    for (const auto& [sddl, expected] : rows) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        PACL current = nullptr;
        PACL updated = nullptr;
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                         &descriptor, nullptr));
        GetSecurityDescriptorDacl(descriptor, &present, &current, &defaulted);
        EXPECT_EQ(BuildInteractiveDacl(current, &updated), 0u);
        SECURITY_DESCRIPTOR built;
        InitializeSecurityDescriptor(&built, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&built, TRUE, updated, FALSE);
        char* text = nullptr;
        ConvertSecurityDescriptorToStringSecurityDescriptorA(
            &built, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr);
        EXPECT_STREQ(text, expected) << sddl;
        LocalFree(text);
        LocalFree(updated);
        LocalFree(descriptor);
    }
}

// A LocalSystem service warns of the first account, other than SYSTEM, Administrators,
// TrustedInstaller and CREATOR OWNER, that may write, append, delete, or change the access or
// the owner of its machine's folders (0xd0046 is all of those): entries that new files inherit
// included, a denial honoured before a grant, not after it.
TEST(FolderRule, TheFirstOtherAccountThatMayWrite) {
    const std::pair<const char*, const char*> rows[] = {
        {"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"
         "(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)",
         ""},
        {"D:(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;BU)", "S-1-5-32-545"},
        {"D:(A;OICIIO;GW;;;BU)", "S-1-5-32-545"},
        {"D:(A;;0x4;;;AU)", "S-1-5-11"},
        {"D:(A;;0x40000;;;AU)", "S-1-5-11"},
        {"D:(A;;SD;;;AU)", "S-1-5-11"},
        {"D:(A;;FR;;;WD)(A;;FX;;;AU)(A;;0x80000;;;BU)", "S-1-5-32-545"},
        {"D:(D;;0xd0046;;;BU)(A;;FA;;;BU)(D;;0xd0046;;;WD)(A;;FA;;;AU)", ""},
        {"D:(A;;FA;;;BU)(D;;0xd0046;;;BU)", "S-1-5-32-545"},
        {"", "S-1-1-0"},                         // no DACL at all
        {"O:BUD:(A;;FA;;;SY)", "S-1-5-32-545"},  // the owner may rewrite the DACL
        {"O:BUD:(A;;FA;;;SY)(A;;RC;;;OW)", ""},  // unless OWNER RIGHTS says otherwise
        {"O:BAD:(A;;FA;;;SY)", ""},
    };
    for (const auto& [sddl, writer] : rows) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1,
                                                                         &descriptor, nullptr));
        PSID sid = FolderWriter(descriptor);
        char* text = nullptr;
        EXPECT_TRUE(sid == nullptr || ConvertSidToStringSidA(sid, &text));
        EXPECT_STREQ(text != nullptr ? text : "", writer) << sddl;
        LocalFree(text);
        LocalFree(descriptor);
    }
}

// What "-i" asks of the manager, as the calls show it: Wine keeps neither the failure actions nor
// their flag, no right of an account and no password. Two restarts a minute apart, then none
// (Windows repeats the last action for every failure beyond the list), the count forgotten after a
// day, for the failures the service reports too; the pre-shutdown time-out asked for, never below
// Windows' own 300000 ms, and none where Windows has no pre-shutdown notification. An account's
// service is no interactive one, gets the password from standard input (UTF-8 there, whatever the
// ANSI code page) and its right to log on as a service; a right refused, or an account the manager
// refuses, leaves no service.
std::string configured;  // the calls, each followed by "|"
NTSTATUS granting = 0;
DWORD refusing = 0;
BOOL WINAPI RecordingChangeServiceConfig2W(SC_HANDLE service, DWORD level, LPVOID info) {
    char text[256] = "";
    if (level == 2) {  // SERVICE_CONFIG_FAILURE_ACTIONS
        auto* actions = static_cast<SERVICE_FAILURE_ACTIONSW*>(info);
        int at = snprintf(
            text, sizeof text, "actions reset %lu reboot %s command %s:", actions->dwResetPeriod,
            actions->lpRebootMsg ? "set" : "null", actions->lpCommand ? "set" : "null");
        for (DWORD i = 0; i < actions->cActions && at < 200; ++i) {
            at += snprintf(text + at, sizeof text - at, " %d/%lu", actions->lpsaActions[i].Type,
                           actions->lpsaActions[i].Delay);
        }
    } else if (level == 4) {  // SERVICE_CONFIG_FAILURE_ACTIONS_FLAG
        snprintf(
            text, sizeof text, "on exit codes %d",
            static_cast<SERVICE_FAILURE_ACTIONS_FLAG*>(info)->fFailureActionsOnNonCrashFailures);
    } else if (level == 7) {  // SERVICE_CONFIG_PRESHUTDOWN_INFO
        snprintf(text, sizeof text, "preshutdown %lu",
                 static_cast<SERVICE_PRESHUTDOWN_INFO*>(info)->dwPreshutdownTimeout);
    } else {
        snprintf(text, sizeof text, "level %lu", level);
    }
    configured += text + std::string("|");
    static const auto system =
        testsupport::System(ChangeServiceConfig2W, "advapi32", "ChangeServiceConfig2W");
    return system(service, level, info);
}

SC_HANDLE WINAPI RecordingCreateServiceW(SC_HANDLE manager, LPCWSTR name, LPCWSTR display,
                                         DWORD access, DWORD type, DWORD start, DWORD control,
                                         LPCWSTR path, LPCWSTR group, LPDWORD tag, LPCWSTR depends,
                                         LPCWSTR account, LPCWSTR password) {
    char text[600];
    snprintf(text, sizeof text, "create 0x%lx %s %s|", type,
             account ? Utf8(account).c_str() : "LocalSystem",
             password ? Utf8(password).c_str() : "-");
    configured += text;
    static const auto system = testsupport::System(CreateServiceW, "advapi32", "CreateServiceW");
    SetLastError(refusing);
    return refusing ? nullptr
                    : system(manager, name, display, access, type, start, control, path, group, tag,
                             depends, account, password);
}

NTSTATUS NTAPI RecordingLsaAddAccountRights(LSA_HANDLE, PSID sid, PLSA_UNICODE_STRING rights,
                                            ULONG count) {
    char* text = nullptr;
    ConvertSidToStringSidA(sid, &text);
    configured += "right " + std::string(text) + " " + std::to_string(count) + " " +
                  std::string(rights->Buffer, rights->Buffer + rights->Length / 2) + "|";
    LocalFree(text);
    return granting;
}

TEST(Install, AsksForWhatWineDoesNotKeep) {
    const auto config2 =
        testsupport::System(ChangeServiceConfig2W, "advapi32", "ChangeServiceConfig2W");
    const auto create = testsupport::System(CreateServiceW, "advapi32", "CreateServiceW");
    const auto grant = testsupport::System(LsaAddAccountRights, "advapi32", "LsaAddAccountRights");
    const std::string user = testsupport::WineUser(), typed = "." + user.substr(user.find('\\'));
    const std::string system = "create 0x110 LocalSystem -|level 1|",
                      tail =
                          "actions reset 86400 reboot null command null: 1/60000 1/60000 0/0|"
                          "on exit codes 1|",
                      asUser = "create 0x10 " + user + " Пароль €|",
                      right = "right S-1-5-21-0-0-0-1000 1 SeServiceLogonRight|";
    // Pre-shutdown time-out, account, LsaAddAccountRights' and CreateServiceA's answers, calls.
    const std::tuple<DWORD, const char*, NTSTATUS, DWORD, std::string> rows[] = {
        {0, nullptr, 0, 0, system + tail},
        {1000, nullptr, 0, 0, system + "preshutdown 300000|" + tail},
        {342500, "LocalSystem", 0, 0, system + "preshutdown 342500|" + tail},
        {0, "NT SERVICE\\unit_tests", 0, 0, "create 0x10 NT SERVICE\\unit_tests -|level 1|" + tail},
        {0, "LocalService", 0, 0, "create 0x10 NT AUTHORITY\\LocalService -|level 1|" + tail},
        {0, typed.c_str(), 0, 0, asUser + right + "level 1|" + tail},
        {0, typed.c_str(), static_cast<NTSTATUS>(0xC0000022), 0, asUser + right},  // denied
        {0, typed.c_str(), 0, ERROR_INVALID_SERVICE_ACCOUNT, asUser},
    };
    ASSERT_EQ(Load(testsupport::CompleteIni()), 1);
    UninstallService();  // left by a run that failed
    // A password line for each user's row.
    HANDLE console = GetStdHandle(STD_INPUT_HANDLE), input = nullptr, fed = nullptr;
    DWORD written = 0;
    CreatePipe(&input, &fed, nullptr, 0);
    // Outside every ANSI code page but UTF-8's: a script's UTF-8 is taken as such.
    const std::string lines = "Пароль €\r\n";
    WriteFile(fed, (lines + lines + lines).c_str(), 3 * lines.size(), &written, nullptr);
    SetStdHandle(STD_INPUT_HANDLE, input);
    for (const auto& [preshutdown, account, granted, refused, expected] : rows) {
        configured.clear();
        granting = granted;
        refusing = refused;
        testsupport::Repoint(config2, &RecordingChangeServiceConfig2W);
        testsupport::Repoint(create, &RecordingCreateServiceW);
        testsupport::Repoint(grant, &RecordingLsaAddAccountRights);
        int result = InstallService(InstallOptions{preshutdown, account});
        testsupport::Repoint(&RecordingChangeServiceConfig2W, config2);
        testsupport::Repoint(&RecordingCreateServiceW, create);
        testsupport::Repoint(&RecordingLsaAddAccountRights, grant);
        bool installed = expected.find("level 1") != std::string::npos;
        EXPECT_EQ(configured, expected) << preshutdown;
        EXPECT_EQ(result, installed ? 0 : 2);
        EXPECT_EQ(UninstallService(), installed ? UninstallDone : UninstallNotFound);
    }
    SetStdHandle(STD_INPUT_HANDLE, console);
    CloseHandle(input);
    CloseHandle(fed);
    const std::string refusal = "ERROR installing  (unit_tests) service: ";
    testsupport::ExpectLogInOrder(
        testsupport::ReadLog(kLog),
        {"Service  (unit_tests) installed successfully to run as " + user + ".",
         refusal + "could not grant " + user + " the right to log on as a service (0x00000005)",
         refusal + "invalid account name or password"});
}

// A library built here in the shape of VirtualBox's MIDL file: IMachine with LaunchVMProcess
// taking an array, and MachineState an alias of an enumeration with a made-up name, in a numbering
// of no release (Running 9). One constant's name may be unreadable. Returns IMachine's type.
ITypeInfo* BuildLibrary(int unnamedConstant) {
    ICreateTypeLib2* library = nullptr;
    ICreateTypeInfo *states = nullptr, *alias = nullptr, *machine = nullptr;
    EXPECT_EQ(CreateTypeLib2(SYS_WIN64, L"unused.tlb", &library), S_OK);
    library->CreateTypeInfo(const_cast<LPOLESTR>(L"__MIDL___MIDL_itf_VirtualBox_0000_0000_0003"),
                            TKIND_ENUM, &states);
    const wchar_t* names[] = {L"MachineState_PoweredOff", L"MachineState_Aborted",
                              L"MachineState_Running", L"MachineState_FirstOnline"};
    const LONG values[] = {1, 4, 9, 9};
    for (UINT i = 0; i < 4; ++i) {
        VARIANT value;
        value.vt = VT_I4;
        value.lVal = values[i];
        VARDESC constant{};
        constant.memid = 0x40000000 + i;
        constant.lpvarValue = &value;
        constant.elemdescVar.tdesc.vt = VT_I4;
        constant.varkind = VAR_CONST;
        EXPECT_EQ(states->AddVarDesc(i, &constant), S_OK);
        if (static_cast<int>(i) != unnamedConstant) {
            states->SetVarName(i, const_cast<LPOLESTR>(names[i]));
        }
    }
    library->CreateTypeInfo(const_cast<LPOLESTR>(L"MachineState"), TKIND_ALIAS, &alias);
    ITypeInfo* target = nullptr;
    states->QueryInterface(IID_ITypeInfo, reinterpret_cast<void**>(&target));
    TYPEDESC toEnum{};
    toEnum.vt = VT_USERDEFINED;
    alias->AddRefTypeInfo(target, &toEnum.hreftype);
    EXPECT_EQ(alias->SetTypeDescAlias(&toEnum), S_OK);
    library->CreateTypeInfo(const_cast<LPOLESTR>(L"IMachine"), TKIND_DISPATCH, &machine);
    TYPEDESC bstr{};
    bstr.vt = VT_BSTR;
    ELEMDESC parameters[3] = {};
    parameters[0].tdesc.vt = VT_DISPATCH;
    parameters[1].tdesc.vt = VT_BSTR;
    parameters[2].tdesc.vt = VT_SAFEARRAY;
    parameters[2].tdesc.lptdesc = &bstr;
    FUNCDESC launch{};
    launch.funckind = FUNC_DISPATCH;
    launch.invkind = INVOKE_FUNC;
    launch.callconv = CC_STDCALL;
    launch.cParams = 3;
    launch.lprgelemdescParam = parameters;
    launch.elemdescFunc.tdesc.vt = VT_DISPATCH;
    EXPECT_EQ(machine->AddFuncDesc(0, &launch), S_OK);
    LPOLESTR launchNames[] = {const_cast<LPOLESTR>(L"LaunchVMProcess"),
                              const_cast<LPOLESTR>(L"session"), const_cast<LPOLESTR>(L"name"),
                              const_cast<LPOLESTR>(L"environmentChanges")};
    machine->SetFuncAndParamNames(0, launchNames, 4);
    machine->LayOut();  // counts the functions
    ITypeInfo* info = nullptr;
    machine->QueryInterface(IID_ITypeInfo, reinterpret_cast<void**>(&info));
    for (IUnknown* made :
         std::initializer_list<IUnknown*>{target, machine, alias, states, library}) {
        made->Release();
    }
    return info;
}

// The release's facts from VirtualBox's type library, else from the table by version: where
// VirtualBox gives no type information, or where one constant's name cannot be read (a half-read
// enumeration is never used). Unknown versions are taken for 5.0, the API the service was first
// built on; 7.0's AbortedSaved (5) counts as aborted.
TEST(Release, FactsFromTheLibraryOrByVersion) {
    const LONG numbers[] = {-1, 4, 5, 6, 9, 11, 16, 22, 23, 24, 64};
    const std::vector<LONG> classic = {0, 4, 5, 6, 9, 11, 16, 22, 23, 0, 0};
    // Version, the library's constant left unnamed (-2: no library), whether the environment is
    // an array, 5.0's numbers for the release's above.
    const std::tuple<const wchar_t*, int, bool, std::vector<LONG>> rows[] = {
        {L"5.0.40", -2, false, classic},
        {L"6.1.50", -2, true, {0, 4, 5, 6, 9, 11, 17, 23, 0, 0, 0}},
        {L"7.0.20", -2, true, {0, 4, 4, 5, 8, 10, 15, 22, 23, 0, 0}},
        {L"garbage", -2, false, classic},
        {nullptr, -2, false, classic},
        {L"5.0.40", -1, true, {0, 4, 0, 0, 5, 0, 0, 0, 0, 0, 0}},  // Running 9
        {L"5.0.40", 0, false, classic},
        {L"5.0.40", 2, false, classic},
    };
    for (const auto& [version, unnamed, array, expected] : rows) {
        // VirtualBox as its type information tells of it, and nothing more.
        ITypeInfo* info = unnamed > -2 ? BuildLibrary(unnamed) : nullptr;
        IUnknown* object = nullptr;
        IDispatch* virtualBox = nullptr;
        if (info != nullptr) {
            CreateStdDispatch(nullptr, info, info, &object);
            object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&virtualBox));
        }
        VirtualBoxLink.VirtualBox = virtualBox;
        LearnVirtualBoxRelease(version);
        VirtualBoxLink.VirtualBox = nullptr;
        for (IUnknown* made : std::initializer_list<IUnknown*>{virtualBox, object, info}) {
            made != nullptr ? (void)made->Release() : void();
        }
        EXPECT_EQ(VirtualBoxRelease.EnvironmentIsArray, array) << version << " " << unnamed;
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(ClassicState(numbers[i]), expected[i])
                << version << " " << unnamed << " " << numbers[i];
        }
    }
}

}  // namespace
