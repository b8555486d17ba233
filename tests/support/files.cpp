// Folders, files, INI files and logs for the tests.
#include "tests/support/support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

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
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    if (info != nullptr && info->result()->Failed()) {
        printf("kept for a look: %s\n", path_.c_str());
        return;
    }
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

std::string TempFolder::File(const std::string& name) const {
    return path_ + "\\" + name;
}

std::string CopyExecutable(const std::string& folder, const std::string& name,
                           const std::string& source) {
    std::string from = BinFolder() + "\\" + source;
    std::string to = folder + "\\" + name;
    EXPECT_TRUE(CopyFileA(from.c_str(), to.c_str(), FALSE))
        << "cannot copy " << from << " to " << to << ": " << GetLastError();
    return to;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
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

void RemoveFile(const std::string& path) {
    DeleteFileA(path.c_str());
}

void WriteIni(const std::string& path, const IniKeys& keys, const std::string& section) {
    std::string text = "[" + section + "]\r\n";
    for (const auto& key : keys) {
        text += key.first + "=" + key.second + "\r\n";
    }
    WriteFileContent(path, text);
}

IniKeys CompleteIni(const IniKeys& extra) {
    IniKeys keys = {
        {"VboxInstallPath", "C:\\Program Files\\Oracle\\VirtualBox"},
        {"VboxUserHome", "C:\\users\\kelvaran\\.VirtualBox"},
        {"VmName", "TestVM"},
    };
    for (const auto& key : extra) {
        bool replaced = false;
        for (auto& existing : keys) {
            if (_stricmp(existing.first.c_str(), key.first.c_str()) == 0) {
                existing.second = key.second;
                replaced = true;
            }
        }
        if (!replaced) {
            keys.push_back(key);
        }
    }
    return keys;
}

namespace {

// "[MM/DD/YY HH:MM:SS] "
bool HasStamp(const std::string& line) {
    static const char shape[] = "[99/99/99 99:99:99] ";
    if (line.size() < sizeof shape - 1) {
        return false;
    }
    for (size_t i = 0; i < sizeof shape - 1; ++i) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == '9' ? !digit : line[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<std::string> ReadLogMessages(const std::string& path) {
    std::string content = ReadFileContent(path);
    std::vector<std::string> messages;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        std::string line = content.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? content.size() : end + 1;
        EXPECT_TRUE(end != std::string::npos && !line.empty() && line.back() == '\r')
            << "line without CR LF in " << path << ": " << line;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        EXPECT_TRUE(HasStamp(line)) << "line without its time stamp in " << path << ": " << line;
        messages.push_back(HasStamp(line) ? line.substr(20) : line);
    }
    return messages;
}

int CountLogMessages(const std::string& logPath, const std::string& text) {
    std::vector<std::string> messages = ReadLogMessages(logPath);
    return static_cast<int>(std::count(messages.begin(), messages.end(), text));
}

bool LogHolds(const std::string& logPath, const std::string& text) {
    return CountLogMessages(logPath, text) > 0;
}

std::string SiblingPath(const std::string& exePath, const std::string& extension) {
    return exePath.substr(0, exePath.size() - 4) + extension;
}

}  // namespace testsupport
