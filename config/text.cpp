// Text: UTF-8 inside the programs, UTF-16 at every Windows call, and what a file's bytes say of
// their encoding.
#include "config/config.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

std::wstring Wide(const char* text) {
    if (text == nullptr || text[0] == '\0') {
        return std::wstring();
    }
    int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring wide(length > 0 ? length : 1, L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], length);
    }
    wide.resize(wide.size() - 1);
    return wide;
}

std::string Utf8(const wchar_t* text, int count) {
    if (text == nullptr) {
        return std::string();
    }
    int units = static_cast<int>(count < 0 ? wcslen(text) : wcsnlen(text, count));
    int size = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 0 ? size : 0, '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text, units, &narrow[0], size, nullptr, nullptr);
    }
    return narrow;
}

void CopyUtf8(const wchar_t* text, size_t units, char* field) {
    size_t length = wcsnlen(text, units - 1);
    if (length == units - 1 && length > 0 && IS_HIGH_SURROGATE(text[length - 1])) {
        --length;
    }
    std::string narrow = Utf8(text, static_cast<int>(length));
    memcpy(field, narrow.c_str(), narrow.size() + 1);
}

TextEncoding DetectEncoding(const char* bytes, size_t size) {
    if (size >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        return TextEncoding::Utf16;
    }
    if (size >= 3 && memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) {
        return TextEncoding::Utf8Bom;
    }
    bool plain = true;
    for (size_t i = 0; i < size && plain; ++i) {
        plain = static_cast<unsigned char>(bytes[i]) < 0x80;
    }
    // Pure ASCII reads the same either way; a file with a byte that cannot be UTF-8 is ANSI.
    if (plain || size > INT_MAX ||
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(size), nullptr,
                            0) == 0) {
        return TextEncoding::Ansi;
    }
    return TextEncoding::Utf8;
}

size_t ByteOrderMarkSize(TextEncoding encoding) {
    return encoding == TextEncoding::Utf16 ? 2 : encoding == TextEncoding::Utf8Bom ? 3 : 0;
}

std::wstring DecodeText(const char* bytes, size_t size, TextEncoding encoding) {
    if (encoding == TextEncoding::Utf16) {
        std::wstring text(size / 2, L'\0');
        memcpy(&text[0], bytes, text.size() * sizeof(wchar_t));
        return text;
    }
    UINT codePage = encoding == TextEncoding::Ansi ? CP_ACP : CP_UTF8;
    int length = static_cast<int>(size);
    int units = length > 0 ? MultiByteToWideChar(codePage, 0, bytes, length, nullptr, 0) : 0;
    std::wstring text(units, L'\0');
    if (units > 0) {
        MultiByteToWideChar(codePage, 0, bytes, length, &text[0], units);
    }
    return text;
}

void ConsolePrint(DWORD stdHandle, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(length > 0 ? length + 1 : 1, '\0');
    if (length > 0) {
        vsnprintf(&text[0], text.size(), format, args);
    }
    va_end(args);
    text.resize(length > 0 ? length : 0);

    HANDLE handle = GetStdHandle(stdHandle);
    DWORD mode = 0;
    DWORD written = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    if (GetConsoleMode(handle, &mode)) {
        std::wstring wide = Wide(text.c_str());
        WriteConsoleW(handle, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::string lines;
    for (char c : text) {
        lines += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    WriteFile(handle, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
}
