// Folders, files, INI files, logs and child processes.
#include "tests/support/support.h"

#include <gtest/gtest.h>
#include <psapi.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "config/config.h"
#include "tests/support/child.h"

namespace testsupport {

std::string TestName() {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info != nullptr ? std::string(info->test_suite_name()) + "." + info->name()
                                       : std::string("no-test");
    for (char& c : name) {
        if (strchr("/\\:*?\"<>| ", c) != nullptr) {
            c = '_';
        }
    }
    return name;
}

std::string BinFolder() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string folder = path;
    return folder.substr(0, folder.find_last_of('\\'));
}

std::string GroupHome(const std::string& group) {
    char temp[MAX_PATH] = "";
    GetTempPathA(sizeof temp, temp);
    std::string home = std::string(temp) + "kelvaran-" + group + "-home";
    CreateDirectoryA(home.c_str(), nullptr);
    SetEnvironmentVariableA("VBOX_USER_HOME", home.c_str());
    return home;
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    ULONGLONG end = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() >= end) {
            return false;
        }
        Sleep(20);
    }
    return true;
}

TempFolder::TempFolder(const std::string& suffix) {
    char temp[MAX_PATH] = "";
    GetTempPathA(sizeof temp, temp);
    path_ = std::string(temp) + "kelvaran-tests\\" + TestName() + suffix;
    std::error_code error;
    std::filesystem::remove_all(path_, error);
    std::filesystem::create_directories(path_, error);
    EXPECT_FALSE(error) << "cannot create " << path_ << ": " << error.message();
}

TempFolder::~TempFolder() {
    if (testing::Test::HasFailure()) {
        printf("kept for a look: %s\n", path_.c_str());
        return;
    }
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

std::string ReadFileContent(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void WriteFileContent(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    EXPECT_TRUE(file.good()) << "cannot write " << path;
}

void WriteIni(const std::string& path, const IniKeys& keys, IniForm form) {
    std::string text = form == IniForm::Utf8Bom ? "\xEF\xBB\xBF[Kelvaran]\r\n" : "[Kelvaran]\r\n";
    for (const auto& key : keys) {
        text += key.first + "=" + key.second + "\r\n";
    }
    if (form == IniForm::Utf16) {
        std::wstring wide = Wide(text.c_str());
        text =
            "\xFF\xFE" + std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
    }
    WriteFileContent(path, text);
}

IniKeys MergeIni(IniKeys keys, const IniKeys& extra) {
    for (const auto& key : extra) {
        auto same = [&](const auto& k) {
            return _stricmp(k.first.c_str(), key.first.c_str()) == 0;
        };
        auto found = std::find_if(keys.begin(), keys.end(), same);
        found != keys.end() ? void(found->second = key.second) : keys.push_back(key);
    }
    return keys;
}

IniKeys CompleteIni(const IniKeys& extra) {
    return MergeIni({{"VboxInstallPath", "C:\\Program Files\\Oracle\\VirtualBox"},
                     {"VboxUserHome", "C:\\users\\kelvaran\\.VirtualBox"},
                     {"VmName", "TestVM"}},
                    extra);
}

std::string SiblingPath(const std::string& exePath, const std::string& extension) {
    return exePath.substr(0, exePath.size() - 4) + extension;
}

std::vector<std::string> ReadLog(const std::string& path) {
    std::string bytes = ReadFileContent(path);
    std::istringstream content(bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes);
    std::vector<std::string> messages;
    std::string line;
    while (std::getline(content, line)) {
        // "[MM/DD/YY HH:MM:SS] message\r"
        bool stamped = line.size() >= 21 && line[0] == '[' && line[3] == '/' && line[6] == '/' &&
                       line[9] == ' ' && line[12] == ':' && line[15] == ':' &&
                       line.compare(18, 2, "] ") == 0;
        bool crlf = !line.empty() && line.back() == '\r';
        EXPECT_TRUE(stamped && crlf)
            << "a line without its stamp or CR LF in " << path << ": " << line;
        messages.push_back(line.substr(stamped ? 20 : 0, line.size() - (stamped ? 20 : 0) - crlf));
    }
    return messages;
}

size_t CountLog(const std::vector<std::string>& log, const std::string& prefix) {
    return std::count_if(log.begin(), log.end(), [&](const std::string& message) {
        return message.compare(0, prefix.size(), prefix) == 0;
    });
}

void ExpectLogInOrder(const std::vector<std::string>& log, const std::vector<std::string>& lines) {
    size_t next = 0;
    std::string text;
    for (const std::string& message : log) {
        next += next < lines.size() && message == lines[next];
        text += "\n  " + message;
    }
    EXPECT_EQ(next, lines.size()) << "missing or out of order: \""
                                  << (next < lines.size() ? lines[next] : "") << "\" in" << text;
}

ProcessResult RunProcess(const std::string& exe, const std::string& arguments, DWORD timeoutMs,
                         const std::string& input) {
    ProcessResult result = {STILL_ACTIVE, ""};
    std::string problem;
    result.exitCode = RunChild(exe, arguments, timeoutMs, &result.output, &problem, input);
    EXPECT_TRUE(problem.empty()) << problem;
    return result;
}

EventRecord::EventRecord() {
    const char* prefix = getenv("KELVARAN_WINEPREFIX");
    path_ = "Z:" + std::string(prefix != nullptr ? prefix : "") + "/events.log";
    std::replace(path_.begin(), path_.end(), '/', '\\');
    mark_ = ReadFileContent(path_).size();
}

std::vector<std::string> EventRecord::Since() const {
    std::istringstream lines(ReadFileContent(path_).substr(mark_));
    const std::regex report(
        "^([0-9a-f]+):fixme:advapi:ReportEventW \\([0-9A-Fa-f]+,0x([0-9a-f]+),"
        "0x[0-9a-f]+,0x([0-9a-f]+),");
    const std::regex insert("^([0-9a-f]+):(err|warn|trace):eventlog:ReportEventW L\"(.*)\"\r?$");
    std::vector<std::string> events;
    std::map<std::string, size_t> byThread;  // a thread's lines follow its report
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, report)) {
            byThread[match[1]] = events.size();
            events.push_back(std::to_string(std::stoul(match[2], nullptr, 16)) + " " +
                             std::to_string(std::stoul(match[3], nullptr, 16)) + ":");
        } else if (std::regex_search(line, match, insert) && byThread.count(match[1]) != 0) {
            // Wine escapes the text as C does, and a character that is not ASCII as \XXXX.
            std::string text = match[3], utf8;
            for (size_t at = 0; at < text.size(); ++at) {
                bool unit = text[at] == '\\' && isxdigit(text[at + 1]);
                wchar_t c =
                    unit ? static_cast<wchar_t>(std::stoul(text.substr(at + 1, 4), nullptr, 16))
                         : L'\0';
                at += unit ? 4 : text[at] == '\\' ? 1 : 0;
                utf8 += unit ? Utf8(&c, 1) : std::string(1, text[at]);
            }
            std::string& event = events[byThread[match[1]]];
            event += (event.back() == ':' ? " " : " | ") + utf8;
        }
    }
    return events;
}

std::string WineUser() {
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = "", user[256] = "";
    DWORD computerSize = sizeof computer, userSize = sizeof user;
    GetComputerNameA(computer, &computerSize);
    GetUserNameA(user, &userSize);
    return std::string(computer) + "\\" + user;
}

std::vector<DWORD> ProcessesNamed(const std::string& name) {
    std::vector<DWORD> ids(4096);
    DWORD bytes = 0;
    EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes);
    ids.resize(bytes / sizeof(DWORD));
    std::vector<DWORD> found;
    for (DWORD pid : ids) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
        char base[MAX_PATH] = "";
        if (process != nullptr) {
            GetModuleBaseNameA(process, nullptr, base, sizeof base);
            CloseHandle(process);
        }
        if (pid != 0 && name == base) {
            found.push_back(pid);
        }
    }
    return found;
}

}  // namespace testsupport
