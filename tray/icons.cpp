// The icons, drawn at run time: a small monitor whose screen shows the severity by its colour and
// by a shape of its own (a check, pause bars, a dash, a cross), framed by a grey that stands out
// from a light and a dark taskbar alike.
#include "tray/app.h"

#include <vector>

namespace tray {
namespace {

// Relative luminance 0.18: about 4:1 against #F3F3F3 and 3.6:1 against #202020.
const COLORREF Frame = RGB(118, 118, 118);
const COLORREF Symbol = RGB(255, 255, 255);
// Each dark enough for the white symbol to keep 3:1.
const COLORREF Screens[] = {
    RGB(30, 150, 60),  // green
    RGB(200, 125, 0),  // amber
    RGB(88, 88, 88),   // grey
    RGB(205, 35, 35),  // red
};

void Fill(HDC dc, const RECT& area, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    FillRect(dc, &area, brush);
    DeleteObject(brush);
}

// The state's shape on the screen, in sixteenths of the icon.
void DrawSymbol(HDC dc, Severity severity, int size, COLORREF colour) {
    auto at = [size](int sixteenths) { return (sixteenths * size + 8) / 16; };
    if (severity == Severity::Amber || severity == Severity::Grey) {
        RECT bars[] = {{at(5), at(4), at(7), at(9)}, {at(9), at(4), at(11), at(9)}};
        RECT dash = {at(4), at(6), at(12), at(8)};
        for (const RECT& bar : bars) {
            Fill(dc, severity == Severity::Amber ? bar : dash, colour);
        }
        return;
    }
    LOGBRUSH brush = {BS_SOLID, colour, 0};
    HPEN pen = ExtCreatePen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_FLAT | PS_JOIN_MITER,
                            size >= 24 ? size / 8 : 2, &brush, 0, nullptr);
    HGDIOBJ old = SelectObject(dc, pen);
    if (severity == Severity::Green) {
        POINT check[] = {{at(4), at(6)}, {at(7), at(9)}, {at(12), at(4)}};
        Polyline(dc, check, 3);
    } else {
        POINT cross[] = {{at(5), at(4)}, {at(11), at(10)}, {at(11), at(4)}, {at(5), at(10)}};
        DWORD counts[] = {2, 2};
        PolyPolyline(dc, cross, counts, 2);
    }
    SelectObject(dc, old);
    DeleteObject(pen);
}

// A top-down 32-bit DIB section, premultiplied: opaque inside the monitor's outline, 0 outside.
HBITMAP Render(Severity severity, int size, bool highContrast, std::vector<DWORD>* pixels) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = size;
    info.bmiHeader.biHeight = -size;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (dc == nullptr || bitmap == nullptr) {
        DeleteDC(dc);
        return nullptr;
    }
    HGDIOBJ old = SelectObject(dc, bitmap);
    auto* pixel = static_cast<DWORD*>(bits);
    std::fill(pixel, pixel + size * size, 0);
    // High contrast: the system's text and window colours, the shape alone telling the state.
    COLORREF frame = highContrast ? GetSysColor(COLOR_WINDOWTEXT) : Frame;
    COLORREF screen =
        highContrast ? GetSysColor(COLOR_WINDOW) : Screens[static_cast<int>(severity)];
    COLORREF symbol = highContrast ? GetSysColor(COLOR_WINDOWTEXT) : Symbol;
    auto at = [size](int sixteenths) { return (sixteenths * size + 8) / 16; };
    int line = size >= 24 ? size / 16 + 1 : 1;
    const RECT outline[] = {
        {0, at(1), size, at(12)},         // the monitor
        {at(6), at(12), at(10), at(14)},  // its neck
        {at(3), at(14), at(13), size},    // its foot
    };
    for (const RECT& part : outline) {
        Fill(dc, part, frame);
    }
    Fill(dc, {line, at(1) + line, size - line, at(12) - line}, screen);
    IntersectClipRect(dc, line, at(1) + line, size - line, at(12) - line);
    DrawSymbol(dc, severity, size, symbol);
    GdiFlush();
    // GDI leaves alpha at 0 (and black is a colour): the outline says what is opaque.
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            POINT point = {x, y};
            bool inside = false;
            for (const RECT& part : outline) {
                inside |= PtInRect(&part, point) != FALSE;
            }
            DWORD& value = pixel[y * size + x];
            value = inside ? value | 0xFF000000 : 0;
        }
    }
    pixels->assign(pixel, pixel + size * size);
    SelectObject(dc, old);
    DeleteDC(dc);
    return bitmap;
}

}  // namespace

std::vector<DWORD> IconPixels(Severity severity, int size) {
    std::vector<DWORD> pixels;
    DeleteObject(Render(severity, size, false, &pixels));
    return pixels;
}

HICON DrawIcon(Severity severity, int size, bool highContrast) {
    std::vector<DWORD> pixels;
    HBITMAP colour = Render(severity, size, highContrast, &pixels);
    // The mask, for whoever ignores alpha: set bits are transparent, rows padded to 16 bits.
    int stride = (size + 15) / 16 * 2;
    std::vector<BYTE> maskBits(stride * size, 0);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            maskBits[y * stride + x / 8] |= pixels[y * size + x] == 0 ? 0x80 >> (x % 8) : 0;
        }
    }
    HBITMAP mask = CreateBitmap(size, size, 1, 1, maskBits.data());
    ICONINFO info = {TRUE, 0, 0, mask, colour};
    HICON icon = colour != nullptr && mask != nullptr ? CreateIconIndirect(&info) : nullptr;
    DeleteObject(mask);
    DeleteObject(colour);
    return icon;
}

DWORD WriteIconSheet(const std::wstring& path) {
    // A row per taskbar (light, dark); in each, the four states at 100, 150 and 200 %.
    const int sizes[] = {16, 24, 32};
    const DWORD backgrounds[] = {0xF3F3F3, 0x202020};
    const int cell = 48;
    const int width = cell * 12;
    const int height = cell * 2;
    std::vector<DWORD> sheet(width * height);
    for (int row = 0; row < 2; ++row) {
        std::fill(sheet.begin() + row * cell * width, sheet.begin() + (row + 1) * cell * width,
                  backgrounds[row]);
        for (int column = 0; column < 12; ++column) {
            int size = sizes[column / 4];
            std::vector<DWORD> icon = IconPixels(static_cast<Severity>(column % 4), size);
            int left = column * cell + (cell - size) / 2;
            int top = row * cell + (cell - size) / 2;
            for (int i = 0; i < size * size; ++i) {
                if (icon[i] != 0) {
                    sheet[(top + i / size) * width + left + i % size] = icon[i] & 0xFFFFFF;
                }
            }
        }
    }
    // A bottom-up 32-bit BMP: the file header, the info header, the rows from the last.
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 32;
    header.biCompression = BI_RGB;
    DWORD bytes = static_cast<DWORD>(sheet.size() * sizeof(DWORD));
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + bytes;
    std::vector<DWORD> rows;
    for (int y = height - 1; y >= 0; --y) {
        rows.insert(rows.end(), sheet.begin() + y * width, sheet.begin() + (y + 1) * width);
    }
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    DWORD written = 0;
    bool done = WriteFile(out, &file, sizeof file, &written, nullptr) &&
                WriteFile(out, &header, sizeof header, &written, nullptr) &&
                WriteFile(out, rows.data(), bytes, &written, nullptr);
    DWORD error = done ? ERROR_SUCCESS : GetLastError();
    CloseHandle(out);
    return error;
}

}  // namespace tray
