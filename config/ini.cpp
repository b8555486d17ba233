// The INI file, read as Windows' profile functions read theirs, whatever its encoding: they cannot
// be the reader themselves, as Windows takes a UTF-8 file for ANSI (and its byte order mark for
// text of the first line). Shared by the service and the tray companion.
#include "config/config.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace {

// The profile functions take ^Z (a DOS end of file) for a blank too.
bool IsBlank(wchar_t c) {
    return iswspace(c) || c == 0x1A;
}

std::wstring Trimmed(const std::wstring& text, size_t from, size_t to) {
    while (from < to && IsBlank(text[from])) {
        ++from;
    }
    while (to > from && IsBlank(text[to - 1])) {
        --to;
    }
    return text.substr(from, to - from);
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The unit of a line break: CR LF, LF and CR each end a line.
unsigned UnitAt(const std::string& bytes, size_t at, size_t unit) {
    unsigned value = static_cast<unsigned char>(bytes[at]);
    return unit == 2 ? value | static_cast<unsigned char>(bytes[at + 1]) << 8 : value;
}

// Splits the bytes into lines by their own units, then decodes each: in an ANSI code page of two
// bytes a character, and in UTF-8, neither CR nor LF is ever part of another character.
void SplitLines(IniFile* file) {
    const std::string& bytes = file->Bytes;
    const size_t unit = file->Encoding == TextEncoding::Utf16 ? 2 : 1;
    const size_t size = bytes.size() / unit * unit;
    const TextEncoding lineEncoding =
        file->Encoding == TextEncoding::Utf8Bom ? TextEncoding::Utf8 : file->Encoding;
    file->Lines.clear();
    for (size_t at = ByteOrderMarkSize(file->Encoding); at < size;) {
        size_t begin = at;
        while (at < size && UnitAt(bytes, at, unit) != '\r' && UnitAt(bytes, at, unit) != '\n') {
            at += unit;
        }
        size_t textEnd = at;
        if (at < size && UnitAt(bytes, at, unit) == '\r') {
            at += unit;
        }
        if (at < size && UnitAt(bytes, at, unit) == '\n') {
            at += unit;
        }
        file->Lines.push_back(
            {begin, at, DecodeText(bytes.data() + begin, textEnd - begin, lineEncoding)});
    }
}

// The lines of key in the first section named section, and the value of the first of them when
// it has one ("key" alone, without '=', has none).
std::vector<size_t> FindKey(const IniFile& file, const wchar_t* section, const wchar_t* key,
                            std::wstring* value, bool* valued) {
    const std::wstring wantedSection = Trimmed(section, 0, wcslen(section));
    const std::wstring wantedKey = Trimmed(key, 0, wcslen(key));
    std::vector<size_t> found;
    bool inside = false;
    bool seen = false;
    *valued = false;
    for (size_t i = 0; i < file.Lines.size(); ++i) {
        const std::wstring line = Trimmed(file.Lines[i].Text, 0, file.Lines[i].Text.size());
        size_t close = line.rfind(L']');
        if (!line.empty() && line[0] == L'[' && close != std::wstring::npos) {
            // The name between '[' and the last ']', untrimmed; only the first such section counts.
            if (seen) {
                break;
            }
            inside = SameName(line.substr(1, close - 1), wantedSection);
            seen = inside;
            continue;
        }
        if (!inside || line.empty()) {
            continue;
        }
        size_t equals = line.find(L'=');
        if (!SameName(Trimmed(line, 0, std::min(equals, line.size())), wantedKey)) {
            continue;
        }
        if (found.empty() && equals != std::wstring::npos) {
            *value = Trimmed(line, equals + 1, line.size());
            *valued = true;
        }
        found.push_back(i);
    }
    return found;
}

DWORD ReadAll(HANDLE handle, IniFile* file) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle, &size)) {
        return GetLastError();
    }
    if (size.QuadPart > 16 * 1024 * 1024) {
        return ERROR_FILE_TOO_LARGE;  // no INI file of ours
    }
    file->Bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!file->Bytes.empty() && !ReadFile(handle, &file->Bytes[0],
                                          static_cast<DWORD>(file->Bytes.size()), &read, nullptr)) {
        return GetLastError();
    }
    file->Bytes.resize(read);
    file->Encoding = DetectEncoding(file->Bytes.data(), file->Bytes.size());
    SplitLines(file);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD ReadIniFile(const wchar_t* path, IniFile* file) {
    HANDLE handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    DWORD error = ReadAll(handle, file);
    CloseHandle(handle);
    return error;
}

DWORD GetIniString(const IniFile& file, const wchar_t* section, const wchar_t* key,
                   const wchar_t* fallback, wchar_t* buffer, DWORD size) {
    std::wstring value;
    bool valued = false;
    FindKey(file, section, key, &value, &valued);
    const wchar_t* text = valued ? value.c_str() : fallback;
    size_t length = wcslen(text);
    if (length >= 2 && (text[0] == L'"' || text[0] == L'\'') && text[length - 1] == text[0]) {
        ++text;
        length -= 2;
    }
    if (size == 0) {
        return 0;
    }
    length = length < size - 1 ? length : size - 1;
    wmemcpy(buffer, text, length);
    buffer[length] = L'\0';
    return static_cast<DWORD>(length);
}

DWORD DeleteIniKey(const wchar_t* path, const wchar_t* section, const wchar_t* key) {
    // Nobody writes between the read and the write.
    HANDLE handle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    IniFile file;
    std::wstring value;
    bool valued = false;
    DWORD error = ReadAll(handle, &file);
    std::vector<size_t> lines = error == ERROR_SUCCESS
                                    ? FindKey(file, section, key, &value, &valued)
                                    : std::vector<size_t>();
    if (!lines.empty()) {
        std::string kept = file.Bytes.substr(0, ByteOrderMarkSize(file.Encoding));
        size_t next = 0;
        for (size_t i = 0; i < file.Lines.size(); ++i) {
            if (next < lines.size() && lines[next] == i) {
                ++next;
            } else {
                kept.append(file.Bytes, file.Lines[i].Begin,
                            file.Lines[i].End - file.Lines[i].Begin);
            }
        }
        // An odd byte after the last UTF-16 unit is kept too.
        size_t end = file.Lines.empty() ? kept.size() : file.Lines.back().End;
        kept.append(file.Bytes, end, std::string::npos);
        DWORD written = 0;
        LARGE_INTEGER start{};
        if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) ||
            !WriteFile(handle, kept.data(), static_cast<DWORD>(kept.size()), &written, nullptr) ||
            !SetEndOfFile(handle)) {
            error = GetLastError();
        }
    }
    CloseHandle(handle);
    return error;
}
