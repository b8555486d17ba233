// The icons, drawn at run time: a small monitor whose screen shows the severity's colour.
#include "tray/app.h"

#include <vector>

namespace tray {
namespace {

const COLORREF Frame = RGB(48, 52, 60);
const COLORREF Colours[] = {
    RGB(40, 170, 70),    // green
    RGB(235, 165, 0),    // amber
    RGB(150, 150, 150),  // grey
    RGB(215, 40, 40),    // red
};

void Fill(HDC dc, int left, int top, int right, int bottom, COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    RECT area = {left, top, right, bottom};
    FillRect(dc, &area, brush);
    DeleteObject(brush);
}

// A top-down 32-bit DIB section; its pixels are 0xAARRGGBB.
HBITMAP Render(Severity severity, int size, std::vector<DWORD>* pixels) {
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
    // Drawn on a grid of 16, scaled to the size asked for.
    auto at = [size](int sixteenths) { return sixteenths * size / 16; };
    Fill(dc, 0, at(1), size, at(12), Frame);
    Fill(dc, at(2), at(3), size - at(2), at(10), Colours[static_cast<int>(severity)]);
    Fill(dc, at(6), at(12), at(10), at(14), Frame);
    Fill(dc, at(3), at(14), at(13), at(16), Frame);
    GdiFlush();
    // GDI leaves alpha at 0: what it painted becomes opaque, the rest stays transparent.
    for (int i = 0; i < size * size; ++i) {
        pixel[i] |= (pixel[i] & 0xFFFFFF) != 0 ? 0xFF000000 : 0;
    }
    pixels->assign(pixel, pixel + size * size);
    SelectObject(dc, old);
    DeleteDC(dc);
    return bitmap;
}

}  // namespace

HBITMAP DrawBitmap(Severity severity, int size) {
    std::vector<DWORD> pixels;
    return Render(severity, size, &pixels);
}

HICON DrawIcon(Severity severity, int size) {
    std::vector<DWORD> pixels;
    HBITMAP colour = Render(severity, size, &pixels);
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

}  // namespace tray
