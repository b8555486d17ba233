// The leveled log beside the executable: one time-stamped line per message.
#include "config/config.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace {

// One open, write and close at a time, so that lines of concurrent callers never interleave.
std::mutex LogLock;

// The Windows event of a kind of line, by the line's format.
struct EventKind {
    DWORD id;
    WORD type;
    const char* format;
};

constexpr EventKind EventKinds[] = {
#define KELVARAN_EVENT(id, type, format) {id, EVENTLOG_##type##_TYPE, format},
#include "config/events.def"
#undef KELVARAN_EVENT
};

const EventKind* EventKindOf(const char* format) {
    for (const EventKind& kind : EventKinds) {
        if (strcmp(kind.format, format) == 0) {
            return &kind;
        }
    }
    return nullptr;
}

// Reports the line as its event, under the service's own source. The event log's own failure (no
// source, a full log) costs the service nothing and is logged once, by a line that is no event.
void ReportLineEvent(const EventKind& kind, const std::vector<std::string>& inserts) {
    static std::atomic<DWORD> registerError{ERROR_SUCCESS};
    // Registered once, for the process's life: the name derives from the executable's, which
    // never changes.
    static const HANDLE source = [] {
        const std::wstring name = KeyNameOf(Wide(ServiceConfig.ExePath));
        HANDLE handle = RegisterEventSourceW(nullptr, name.c_str());
        registerError = handle == nullptr ? GetLastError() : ERROR_SUCCESS;
        return handle;
    }();
    static std::atomic<bool> failureLogged{false};
    std::vector<std::wstring> wide;
    for (const std::string& insert : inserts) {
        wide.push_back(Wide(insert.c_str()));
    }
    std::vector<LPCWSTR> strings;
    for (const std::wstring& text : wide) {
        strings.push_back(text.c_str());
    }
    BOOL reported =
        source != nullptr &&
        ReportEventW(source, kind.type, 0, kind.id, nullptr, static_cast<WORD>(strings.size()), 0,
                     strings.empty() ? nullptr : strings.data(), nullptr);
    DWORD error = reported            ? ERROR_SUCCESS
                  : source == nullptr ? registerError.load()
                                      : GetLastError();
    if (!reported && !failureLogged.exchange(true)) {
        LogMessage(
            1, "ERROR reporting to the Windows event log (0x%08x); later failures are not logged",
            static_cast<unsigned>(error));
    }
}

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

// Wide text as UTF-8. At most count characters are read (count < 0: up to the terminator), as a
// precision allows an unterminated array.
std::string Narrow(const wchar_t* text, int count) {
    return text != nullptr ? Utf8(text, count) : "(null)";
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
// as UTF-8, everything else by the runtime as usual. pieces, if given, receives each conversion's
// text in order: an event's insertion strings.
std::string FormatText(const char* format, va_list args, std::vector<std::string>* pieces) {
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
        const char* precisionAt = p;  // where ".N" begins, if it does
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
            // The precision counts bytes, as printf's does, but never ends inside a character.
            if (precision >= 0 && text.size() > static_cast<size_t>(precision)) {
                size_t cut = static_cast<size_t>(precision);
                while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
                    --cut;
                }
                text.resize(cut);
            }
            std::string narrowFormat = std::string(percent, precisionAt) + "s";
            size_t start = out.size();
            if (percent[1 + strspn(percent + 1, "-+ #0")] == '*') {
                AppendFormat(out, narrowFormat.c_str(), stars[0], text.c_str());
            } else {
                AppendFormat(out, narrowFormat.c_str(), text.c_str());
            }
            if (pieces != nullptr) {
                pieces->push_back(out.substr(start));
            }
            va_end(here);
            continue;
        }

        // %n writes through a pointer: it is skipped, never served.
        if (conversion != 'n') {
            size_t start = out.size();
            AppendVFormat(out, std::string(percent, rest).c_str(), here);
            if (pieces != nullptr) {
                pieces->push_back(out.substr(start));
            }
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
    // Loglevel governs the file alone: a line of an event's kind is reported whatever it says.
    signed char threshold = ServiceConfig.LogLevel;
    bool toFile = threshold != 0 && threshold >= static_cast<signed char>(level & 0xFF);
    const EventKind* kind = EventKindOf(format);
    if (!toFile && kind == nullptr) {
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
    std::vector<std::string> inserts;
    std::string message = FormatText(format, args, kind != nullptr ? &inserts : nullptr);
    va_end(args);
    if (kind != nullptr) {
        ReportLineEvent(*kind, inserts);
    }
    if (!toFile) {
        return;
    }

    // Each line ends with CR LF on disk; an empty file (a new one) starts with the byte order mark,
    // and a log of an earlier release, in the ANSI code page, is appended to as it is.
    std::string line = std::string("[") + stamp + "] ";
    for (char c : message) {
        line += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    line += "\r\n";

    std::lock_guard<std::mutex> hold(LogLock);
    // A file that cannot be opened drops the line. Others may read, move or delete it meanwhile.
    HANDLE file = CreateFileW(Wide(ServiceConfig.LogPath).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart == 0) {
        line.insert(0, "\xEF\xBB\xBF");
    }
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}
