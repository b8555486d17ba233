// The leveled log beside the executable: one time-stamped line per message.
#include "config/config.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <mutex>
#include <string>

namespace {

// One open, write and close at a time, so that lines of concurrent callers never interleave.
std::mutex LogLock;

void AppendVFormat(std::string& out, const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) {
        return;
    }
    size_t start = out.size();
    out.resize(start + length + 1);
    vsnprintf(&out[start], length + 1, format, args);
    out.resize(start + length);
}

void AppendFormat(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendVFormat(out, format, args);
    va_end(args);
}

// Wide text in the ANSI code page; characters the code page lacks become '?'. At most count
// characters are read (count < 0: up to the terminator), as a precision allows an unterminated
// array.
std::string Narrow(const wchar_t* text, int count) {
    if (text == nullptr) {
        return "(null)";
    }
    int length = static_cast<int>(count < 0 ? wcslen(text) : wcsnlen(text, count));
    int size = WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string narrow(size, '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_ACP, 0, text, length, &narrow[0], size, nullptr, nullptr);
    }
    return narrow;
}

enum class ValueKind { Int, Long, LongLong, Size, Double, LongDouble, Pointer, Nothing };

// The type that one conversion takes from the argument list.
ValueKind KindOf(char conversion, const std::string& length) {
    switch (conversion) {
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X':
            if (length == "ll" || length == "q" || length == "I64" || length == "j") {
                return ValueKind::LongLong;
            }
            if (length == "l") {
                return ValueKind::Long;
            }
            if (length == "z" || length == "t" || length == "I") {
                return ValueKind::Size;
            }
            return ValueKind::Int;
        case 'c':
        case 'C':
            return ValueKind::Int;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            return length == "L" ? ValueKind::LongDouble : ValueKind::Double;
        case 's':
        case 'S':
        case 'p':
        case 'n':
            return ValueKind::Pointer;
        default:
            return ValueKind::Nothing;
    }
}

// The runtime's printf turns wide text into bytes through the C locale, which cuts the text at
// its first character above U+00FF. So each conversion is formatted here on its own: wide text
// through the ANSI code page, everything else by the runtime as usual.
std::string FormatText(const char* format, va_list args) {
    std::string out;
    const char* rest = format;
    while (const char* percent = strchr(rest, '%')) {
        out.append(rest, percent);
        // The runtime formats a plain conversion from this copy, stars included.
        va_list here;
        va_copy(here, args);
        const char* p = percent + 1;
        p += strspn(p, "-+ #0");
        int stars[2];
        int starCount = 0;
        int precision = -1;
        if (*p == '*') {
            stars[starCount++] = va_arg(args, int);
            ++p;
        } else {
            p += strspn(p, "0123456789");
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                precision = stars[starCount++] = va_arg(args, int);
                ++p;
            } else {
                precision = atoi(p);
                p += strspn(p, "0123456789");
            }
        }
        const char* lengthStart = p;
        p += strspn(p, "hlLqjztI0123456789");
        char conversion = *p;
        if (conversion == '\0') {
            va_end(here);
            out.append(percent);
            return out;
        }
        std::string length(lengthStart, p);
        rest = p + 1;
        if (conversion == '%') {
            va_end(here);
            out += '%';
            continue;
        }

        bool wideText = conversion == 'S' || (conversion == 's' && length == "l");
        bool wideChar = conversion == 'C' || (conversion == 'c' && length == "l");
        if (wideText || wideChar) {
            std::string text;
            if (wideText) {
                text = Narrow(va_arg(args, const wchar_t*), precision);
            } else {
                wchar_t character = static_cast<wchar_t>(va_arg(args, int));
                text = Narrow(&character, 1);
            }
            std::string narrowFormat = std::string(percent, lengthStart) + "s";
            if (starCount == 0) {
                AppendFormat(out, narrowFormat.c_str(), text.c_str());
            } else if (starCount == 1) {
                AppendFormat(out, narrowFormat.c_str(), stars[0], text.c_str());
            } else {
                AppendFormat(out, narrowFormat.c_str(), stars[0], stars[1], text.c_str());
            }
            va_end(here);
            continue;
        }

        // %n writes through a pointer: it is skipped, never served.
        if (conversion != 'n') {
            AppendVFormat(out, std::string(percent, rest).c_str(), here);
        }
        va_end(here);
        switch (KindOf(conversion, length)) {
            case ValueKind::Int:
                va_arg(args, int);
                break;
            case ValueKind::Long:
                va_arg(args, long);
                break;
            case ValueKind::LongLong:
                va_arg(args, long long);
                break;
            case ValueKind::Size:
                va_arg(args, size_t);
                break;
            case ValueKind::Double:
                va_arg(args, double);
                break;
            case ValueKind::LongDouble:
                va_arg(args, long double);
                break;
            case ValueKind::Pointer:
                va_arg(args, void*);
                break;
            case ValueKind::Nothing:
                break;
        }
    }
    out.append(rest);
    return out;
}

}  // namespace

void LogMessage(int level, const char* format, ...) {
    signed char threshold = ServiceConfig.LogLevel;
    if (threshold == 0 || threshold < static_cast<signed char>(level & 0xFF)) {
        return;
    }

    // The time is taken before the file is opened; the stamp is MM/DD/YY HH:MM:SS.
    time_t now = time(nullptr);
    tm local{};
    char stamp[80] = "";
    if (localtime_s(&local, &now) == 0) {
        strftime(stamp, sizeof stamp, "%m/%d/%y %H:%M:%S", &local);
    }

    va_list args;
    va_start(args, format);
    std::string message = FormatText(format, args);
    va_end(args);

    std::lock_guard<std::mutex> hold(LogLock);
    // Text mode: each line ends with CR LF on disk. A file that cannot be opened drops the line.
    FILE* file = fopen(ServiceConfig.LogPath, "a");
    if (file == nullptr) {
        return;
    }
    fprintf(file, "[%s] ", stamp);
    fwrite(message.data(), 1, message.size(), file);
    fputc('\n', file);
    fclose(file);
}
