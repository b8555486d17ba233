// Configuration from the INI file beside the executable, and the leveled log beside it.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

// INI section that holds every key.
constexpr wchar_t ConfigSection[] = L"Kelvaran";

enum class ShutdownMethod : DWORD {
    none = 0,
    poweroff = 1,
    savestate = 2,
    acpipowerbutton = 3,
    acpisleepbutton = 4,
};

// Bytes that hold any text of that many UTF-16 units as UTF-8: a unit takes 3 bytes at most (a
// surrogate pair, two units, takes 4).
constexpr size_t Utf8Size(size_t units) {
    return units * 3;
}

// The process-wide configuration. Texts are UTF-8; each field holds as many characters as Windows
// allows there, so a value is cut, if at all, by characters and never inside one. Full passes run
// before any other thread exists; the partial pass on the control handler's thread rewrites only
// LogLevel, the stop fields and MaxWaitTimeout. The two values other threads read at any time are
// atomic; the stop fields are ordered by the StopRequested event that follows the partial pass.
struct ServiceConfigRecord {
    char ExePath[Utf8Size(MAX_PATH)];
    char IniPath[Utf8Size(MAX_PATH)];
    char LogPath[Utf8Size(MAX_PATH)];
    char ServiceKeyName[Utf8Size(256)];
    char DisplayName[Utf8Size(256)];
    char VboxInstallPath[Utf8Size(MAX_PATH)];
    char VboxUserHome[Utf8Size(MAX_PATH)];
    char VmName[Utf8Size(256)];
    char PriorityText[Utf8Size(64)];
    DWORD PriorityClass;
    char ShutdownCommandText[Utf8Size(64)];
    ::ShutdownMethod ShutdownMethod;
    std::atomic<DWORD> MaxWaitTimeout;
    std::atomic<signed char> LogLevel;
};

extern ServiceConfigRecord ServiceConfig;

// Reads the INI file into ServiceConfig; full = 0 asks for the partial pass. Returns 1 when the
// configuration is complete, 0 otherwise (the reason is logged).
int LoadConfiguration(BOOL full);

// The service's key name that an executable's path gives: its base name less its last four
// characters, blanks as '_'; "kelvaran" for a base name of four characters or fewer. It names the
// service's event source too.
std::wstring KeyNameOf(const std::wstring& exePath);

// Publishes VBOX_INSTALL_PATH and VBOX_USER_HOME for this process and the processes it starts.
void SetVirtualBoxEnvironment();

// Replaces every byte from with to, in place; a null text is left alone.
void ReplaceChar(char* text, char from, char to);

// The account of sid as "DOMAIN\name" ("name" alone where the domain is empty, as for Everyone),
// or as "S-1-..." when the system knows no name for it: for the log and the console.
void AccountName(PSID sid, char* text, size_t size);

// The SID of the account this process runs as, from its token. Returns 0 or the Windows error.
DWORD ProcessUserSid(BYTE (&sid)[SECURITY_MAX_SID_SIZE]);

// Appends "[MM/DD/YY HH:MM:SS] message" to the log when level passes LogLevel, in UTF-8; a new log
// starts with the UTF-8 byte order mark. %S takes a wide string. Lines from concurrent callers
// never interleave. A line whose format config/events.def lists is also reported to the Windows
// event log, whatever LogLevel says, with each conversion's text as an insertion string.
// The compiler checks the arguments against the format: DWORD and HRESULT are longs, so pass
// them to "0x%08x" as unsigned.
void LogMessage(int level, const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));

// Formats as printf does and writes the UTF-8 text to standard output (STD_OUTPUT_HANDLE) or
// standard error: a console shows it as UTF-16, a file or a pipe gets UTF-8 with CR LF line ends.
void ConsolePrint(DWORD stdHandle, const char* format, ...)
    __attribute__((format(gnu_printf, 2, 3)));

// ---- Text: UTF-8 in char strings, UTF-16 at every Windows and VirtualBox call ----------------

// UTF-16 of UTF-8 text; a null text gives the empty one.
std::wstring Wide(const char* text);
// UTF-8 of UTF-16 text, count units of it (count < 0: up to the terminator); null gives "".
std::string Utf8(const wchar_t* text, int count = -1);
// Copies at most units - 1 UTF-16 units of text (never half of a surrogate pair) into field as
// UTF-8. field must hold Utf8Size(units) bytes.
void CopyUtf8(const wchar_t* text, size_t units, char* field);

// How a text file is encoded, as the INI reader tells it from its bytes.
enum class TextEncoding { Ansi, Utf8, Utf8Bom, Utf16 };
// UTF-16LE with its byte order mark, UTF-8 with its mark, UTF-8 that holds non-ASCII bytes and is
// valid throughout, and anything else in the system's ANSI code page (so an ANSI file keeps the
// meaning it always had).
TextEncoding DetectEncoding(const char* bytes, size_t size);
// The bytes of the encoding's byte order mark at the start of such a text: 0, 2 or 3.
size_t ByteOrderMarkSize(TextEncoding encoding);
// The text of bytes in that encoding (a byte order mark there is text too).
std::wstring DecodeText(const char* bytes, size_t size, TextEncoding encoding);

// ---- The INI file, read as Windows' profile functions read it --------------------------------

// A file's lines: each one's bytes (its line break included) and its decoded text.
struct IniLine {
    size_t Begin;
    size_t End;
    std::wstring Text;
};
struct IniFile {
    std::string Bytes;
    TextEncoding Encoding;
    std::vector<IniLine> Lines;
};

// Reads and decodes the file at path. Returns 0 or the Windows error.
DWORD ReadIniFile(const wchar_t* path, IniFile* file);
// As GetPrivateProfileStringW: the value of key in the first section of that name (names match
// without regard to case, blanks around names and values are trimmed, one pair of quotes around
// a value is stripped), or fallback when there is none; at most size - 1 units of it, terminated.
// Returns the number of units copied.
DWORD GetIniString(const IniFile& file, const wchar_t* section, const wchar_t* key,
                   const wchar_t* fallback, wchar_t* buffer, DWORD size);
// Removes key's lines from the section GetIniString reads, and nothing else: the file keeps its
// encoding, byte order mark and every other byte. Returns 0 (also when there is no such key) or
// the Windows error.
DWORD DeleteIniKey(const wchar_t* path, const wchar_t* section, const wchar_t* key);
