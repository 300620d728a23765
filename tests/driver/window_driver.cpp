// Works the installer's window from another process, the way a user would,
// so that end-to-end tests can script it. One command per run; results are
// "key=value" lines in UTF-8 on stdout.
//
// Exit codes: 0 done, 1 a wait timed out or the window could not be used,
// 2 bad command line.
//
// Values are printed with "\" as "\\", LF as "\n", CR as "\r" and TAB as "\t",
// so every value stays on its own line. Text arguments are compared as given.
//
// Wine cannot send WM_GETFONT to another process, so "state" prints
// font<N>=unknown there; "ink" measures the drawn text instead, which tells
// the GUI font from the larger system font.

#include <windows.h>

#include <commctrl.h>

#include <cstdint>
#include <cwchar>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr wchar_t kInstallerClass[] = L"TAVROStaticModuleBootstrapperWindow";
constexpr wchar_t kDialogClass[] = L"#32770";
constexpr int kInstallButtonId = 1;
// The box's text control; Windows and Wine both use this id.
constexpr int kMessageBoxTextId = 0xFFFF;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr DWORD kPollIntervalMs = 50;
// Upper bound for one message to the other process; a hung installer must
// not hang the test.
constexpr UINT kSendTimeoutMs = 2000;
// Lets a window that just appeared finish painting before it is captured.
constexpr DWORD kPaintSettleMs = 200;
// Past a push button's 3D edges and focus rectangle.
constexpr int kButtonInkInset = 5;

// ---- output ---------------------------------------------------------------

void WriteUtf8(HANDLE handle, const std::wstring& text)
{
    if (text.empty()) {
        return;
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    if (size <= 0) {
        return;
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    size_t written = 0;
    while (written < bytes.size()) {
        DWORD chunk = 0;
        if (!WriteFile(handle, bytes.data() + written, static_cast<DWORD>(bytes.size() - written), &chunk, nullptr) ||
            chunk == 0) {
            return;
        }
        written += chunk;
    }
}

std::wstring Escape(const std::wstring& value)
{
    std::wstring escaped;
    escaped.reserve(value.size());
    for (const wchar_t c : value) {
        switch (c) {
        case L'\\':
            escaped += L"\\\\";
            break;
        case L'\n':
            escaped += L"\\n";
            break;
        case L'\r':
            escaped += L"\\r";
            break;
        case L'\t':
            escaped += L"\\t";
            break;
        default:
            escaped += c;
            break;
        }
    }
    return escaped;
}

void Print(const std::wstring& key, const std::wstring& value)
{
    WriteUtf8(GetStdHandle(STD_OUTPUT_HANDLE), key + L"=" + Escape(value) + L"\n");
}

void Print(const std::wstring& key, long long value)
{
    Print(key, std::to_wstring(value));
}

std::wstring Hex(std::uint64_t value)
{
    const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    do {
        text.insert(text.begin(), digits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    return L"0x" + text;
}

std::wstring HandleText(HWND window)
{
    return Hex(static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(window)));
}

std::wstring Join(std::initializer_list<long long> numbers)
{
    std::wstring text;
    for (const long long number : numbers) {
        if (!text.empty()) {
            text += L',';
        }
        text += std::to_wstring(number);
    }
    return text;
}

int Fail(const std::wstring& why)
{
    Print(L"error", why);
    return kExitFailed;
}

int Usage(const std::wstring& why)
{
    Print(L"error", why);
    WriteUtf8(GetStdHandle(STD_ERROR_HANDLE),
              L"usage: window_driver <command> [arguments]\n"
              L"  wait-window <timeout-ms>\n"
              L"  state\n"
              L"  ink\n"
              L"  click [bm-click|command]\n"
              L"  wait-status <timeout-ms> <text>\n"
              L"  wait-button <timeout-ms> <text> <enabled 0|1>\n"
              L"  wait-progress-between <timeout-ms> <min> <max>\n"
              L"  wait-messagebox <timeout-ms>\n"
              L"  dismiss-messagebox <timeout-ms>\n"
              L"  wait-gone <timeout-ms>\n"
              L"  close\n"
              L"  screenshot <file.bmp>\n"
              L"  screenshot-window <file.bmp>\n");
    return kExitUsage;
}

bool ParseNumber(const wchar_t* text, long long& value)
{
    if (text == nullptr || *text == L'\0') {
        return false;
    }
    bool negative = false;
    if (*text == L'-') {
        negative = true;
        ++text;
        if (*text == L'\0') {
            return false;
        }
    }
    long long result = 0;
    for (; *text != L'\0'; ++text) {
        if (*text < L'0' || *text > L'9') {
            return false;
        }
        result = result * 10 + (*text - L'0');
        if (result > 0x7FFFFFFFLL) {
            return false;
        }
    }
    value = negative ? -result : result;
    return true;
}

bool ParseTimeout(const wchar_t* text, ULONGLONG& timeout)
{
    long long value = 0;
    if (!ParseNumber(text, value) || value < 0) {
        return false;
    }
    timeout = static_cast<ULONGLONG>(value);
    return true;
}

// ---- waiting --------------------------------------------------------------

class Deadline {
public:
    explicit Deadline(ULONGLONG timeoutMs) : end_(GetTickCount64() + timeoutMs) {}

    bool Passed() const { return GetTickCount64() >= end_; }

    // Sleeps one poll interval, never past the deadline.
    void Pause() const
    {
        const ULONGLONG now = GetTickCount64();
        if (now < end_) {
            const ULONGLONG left = end_ - now;
            Sleep(static_cast<DWORD>(left < kPollIntervalMs ? left : kPollIntervalMs));
        }
    }

private:
    ULONGLONG end_;
};

// ---- reading other windows ------------------------------------------------

std::wstring ClassOf(HWND window)
{
    wchar_t name[256] = {};
    const int length = GetClassNameW(window, name, static_cast<int>(sizeof(name) / sizeof(name[0])));
    return std::wstring(name, length > 0 ? static_cast<size_t>(length) : 0);
}

bool HasClass(HWND window, const wchar_t* className)
{
    return ClassOf(window) == className;
}

bool SendBounded(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR& result)
{
    result = 0;
    return SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result) != 0;
}

// WM_GETTEXT is marshalled across processes, unlike most messages.
bool ReadText(HWND window, std::wstring& text)
{
    text.clear();
    DWORD_PTR length = 0;
    if (!SendBounded(window, WM_GETTEXTLENGTH, 0, 0, length)) {
        return false;
    }
    // The text may grow between the two messages; retry with more room.
    size_t capacity = static_cast<size_t>(length) + 1;
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::vector<wchar_t> buffer(capacity + 1, L'\0');
        DWORD_PTR copied = 0;
        if (!SendBounded(window, WM_GETTEXT, static_cast<WPARAM>(capacity), reinterpret_cast<LPARAM>(buffer.data()),
                         copied)) {
            return false;
        }
        if (copied > capacity) {
            copied = capacity;
        }
        if (copied + 1 < capacity || attempt == 3) {
            text.assign(buffer.data(), static_cast<size_t>(copied));
            return true;
        }
        capacity *= 2;
    }
    return true;
}

std::vector<HWND> ChildrenOf(HWND parent)
{
    // Sibling order is z-order; a new child goes below its siblings, so this
    // is also the order the controls were created in.
    std::vector<HWND> children;
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr && children.size() < 1000;
         child = GetWindow(child, GW_HWNDNEXT)) {
        children.push_back(child);
    }
    return children;
}

struct TopLevelSearch {
    const wchar_t* className;
    bool visibleOnly;
    HWND owner;
    HWND found;
};

BOOL CALLBACK FindTopLevelProc(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<TopLevelSearch*>(parameter);
    if (!HasClass(window, search->className)) {
        return TRUE;
    }
    if (search->visibleOnly && !IsWindowVisible(window)) {
        return TRUE;
    }
    if (search->owner != nullptr && GetWindow(window, GW_OWNER) != search->owner) {
        return TRUE;
    }
    search->found = window;
    return FALSE;
}

HWND FindTopLevel(const wchar_t* className, bool visibleOnly, HWND owner)
{
    TopLevelSearch search = {className, visibleOnly, owner, nullptr};
    EnumWindows(FindTopLevelProc, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A visible installer window if there is one, else any.
HWND FindInstaller()
{
    HWND window = FindTopLevel(kInstallerClass, true, nullptr);
    return window != nullptr ? window : FindTopLevel(kInstallerClass, false, nullptr);
}

struct InstallerControls {
    HWND status = nullptr;
    HWND progress = nullptr;
    HWND button = nullptr;
};

// Title and status are both STATIC controls; the status is the second one.
InstallerControls LocateControls(HWND installer)
{
    InstallerControls controls;
    int statics = 0;
    for (HWND child : ChildrenOf(installer)) {
        const std::wstring className = ClassOf(child);
        if (lstrcmpiW(className.c_str(), L"Static") == 0) {
            if (++statics == 2) {
                controls.status = child;
            }
        } else if (lstrcmpiW(className.c_str(), PROGRESS_CLASSW) == 0) {
            if (controls.progress == nullptr) {
                controls.progress = child;
            }
        }
    }
    controls.button = GetDlgItem(installer, kInstallButtonId);
    return controls;
}

struct ButtonState {
    std::wstring text;
    bool enabled = false;
};

bool ReadButton(HWND button, ButtonState& state)
{
    if (button == nullptr || !ReadText(button, state.text)) {
        return false;
    }
    state.enabled = IsWindowEnabled(button) != FALSE;
    return true;
}

bool ReadProgress(HWND progress, int& position)
{
    DWORD_PTR result = 0;
    if (progress == nullptr || !SendBounded(progress, PBM_GETPOS, 0, 0, result)) {
        return false;
    }
    position = static_cast<int>(result);
    return true;
}

// The box's own text: the control with the usual id, else the longest text
// of its STATIC controls.
std::wstring MessageBoxText(HWND box)
{
    std::wstring best;
    HWND usual = GetDlgItem(box, kMessageBoxTextId);
    if (usual != nullptr && ReadText(usual, best) && !best.empty()) {
        return best;
    }
    for (HWND child : ChildrenOf(box)) {
        std::wstring text;
        if (lstrcmpiW(ClassOf(child).c_str(), L"Static") == 0 && ReadText(child, text) && text.size() > best.size()) {
            best = text;
        }
    }
    return best;
}

std::vector<HWND> ButtonsOf(HWND box)
{
    std::vector<HWND> buttons;
    for (HWND child : ChildrenOf(box)) {
        if (lstrcmpiW(ClassOf(child).c_str(), L"Button") == 0 && IsWindowVisible(child)) {
            buttons.push_back(child);
        }
    }
    return buttons;
}

// ---- screenshots ----------------------------------------------------------

RECT VirtualScreen()
{
    RECT screen;
    screen.left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    screen.top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    screen.right = screen.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
    screen.bottom = screen.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
    return screen;
}

bool WriteAll(HANDLE file, const void* data, size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size);
        if (!WriteFile(file, bytes, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

// A screen copy of one rectangle as 32-bit pixels, top row first.
class ScreenPixels {
public:
    bool Capture(const RECT& area)
    {
        area_ = area;
        width_ = area.right - area.left;
        height_ = area.bottom - area.top;
        if (width_ <= 0 || height_ <= 0) {
            return false;
        }
        HDC screen = GetDC(nullptr);
        if (screen == nullptr) {
            return false;
        }
        HDC memory = CreateCompatibleDC(screen);
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width_;
        info.bmiHeader.biHeight = -height_;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        bool copied = false;
        if (memory != nullptr && bitmap != nullptr && bits != nullptr) {
            HGDIOBJ previous = SelectObject(memory, bitmap);
            copied = BitBlt(memory, 0, 0, width_, height_, screen, area.left, area.top, SRCCOPY | CAPTUREBLT) != FALSE;
            GdiFlush();
            if (copied) {
                const auto* first = static_cast<const std::uint32_t*>(bits);
                pixels_.assign(first, first + static_cast<size_t>(width_) * static_cast<size_t>(height_));
            }
            SelectObject(memory, previous);
        }
        if (bitmap != nullptr) {
            DeleteObject(bitmap);
        }
        if (memory != nullptr) {
            DeleteDC(memory);
        }
        ReleaseDC(nullptr, screen);
        return copied;
    }

    const RECT& Area() const { return area_; }
    int Width() const { return width_; }
    int Height() const { return height_; }

    // Colour at a screen point inside the captured area, as 0x00RRGGBB.
    std::uint32_t At(LONG x, LONG y) const
    {
        return pixels_[static_cast<size_t>(y - area_.top) * static_cast<size_t>(width_) +
                       static_cast<size_t>(x - area_.left)] &
               0xFFFFFFu;
    }

private:
    RECT area_ = {};
    int width_ = 0;
    int height_ = 0;
    std::vector<std::uint32_t> pixels_;
};

// Writes the pixels as a bottom-up 24-bit .bmp file.
bool SaveBitmap(const std::wstring& path, const ScreenPixels& pixels)
{
    const int width = pixels.Width();
    const int height = pixels.Height();
    const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
    std::vector<unsigned char> image(stride * static_cast<size_t>(height), 0);
    const RECT& area = pixels.Area();
    for (int row = 0; row < height; ++row) {
        unsigned char* out = image.data() + stride * static_cast<size_t>(height - 1 - row);
        for (int column = 0; column < width; ++column) {
            const std::uint32_t colour = pixels.At(area.left + column, area.top + row);
            *out++ = static_cast<unsigned char>(colour & 0xFF);
            *out++ = static_cast<unsigned char>((colour >> 8) & 0xFF);
            *out++ = static_cast<unsigned char>((colour >> 16) & 0xFF);
        }
    }

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    info.biSizeImage = static_cast<DWORD>(image.size());

    BITMAPFILEHEADER header = {};
    header.bfType = 0x4D42;  // "BM"
    header.bfOffBits = static_cast<DWORD>(sizeof(header) + sizeof(info));
    header.bfSize = header.bfOffBits + static_cast<DWORD>(image.size());

    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool written = WriteAll(file, &header, sizeof(header)) && WriteAll(file, &info, sizeof(info)) &&
                         WriteAll(file, image.data(), image.size());
    return CloseHandle(file) && written;
}

// Copies a screen rectangle, as the user sees it, into a .bmp file.
int CaptureToFile(const RECT& area, const std::wstring& path)
{
    ScreenPixels pixels;
    if (!pixels.Capture(area)) {
        return Fail(L"could not copy the screen");
    }
    if (!SaveBitmap(path, pixels)) {
        return Fail(L"could not write " + path);
    }
    Print(L"file", path);
    Print(L"rect", Join({area.left, area.top, pixels.Width(), pixels.Height()}));
    Print(L"width", pixels.Width());
    Print(L"height", pixels.Height());
    return kExitOk;
}

// Gives windows of the installer a chance to paint: a round trip through
// their thread, then a short pause.
void LetPaint(const std::vector<HWND>& windows)
{
    for (HWND window : windows) {
        DWORD_PTR ignored = 0;
        SendBounded(window, WM_NULL, 0, 0, ignored);
    }
    Sleep(kPaintSettleMs);
}

struct OwnedSearch {
    HWND owner;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectOwnedProc(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<OwnedSearch*>(parameter);
    if (IsWindowVisible(window) && GetWindow(window, GW_OWNER) == search->owner) {
        search->windows.push_back(window);
    }
    return TRUE;
}

int ColourDistance(std::uint32_t a, std::uint32_t b)
{
    int distance = 0;
    for (int shift = 0; shift < 24; shift += 8) {
        const int difference = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
        distance += difference < 0 ? -difference : difference;
    }
    return distance;
}

// Box of the pixels in `area` that stand out from its most common colour:
// for a label or a button face, that is the drawn text.
bool InkBox(const ScreenPixels& pixels, const RECT& area, RECT& ink)
{
    std::map<std::uint32_t, int> counts;
    for (LONG y = area.top; y < area.bottom; ++y) {
        for (LONG x = area.left; x < area.right; ++x) {
            ++counts[pixels.At(x, y)];
        }
    }
    if (counts.empty()) {
        return false;
    }
    std::pair<std::uint32_t, int> background = *counts.begin();
    for (const auto& entry : counts) {
        if (entry.second > background.second) {
            background = entry;
        }
    }
    // Half way to the opposite colour: the body of a glyph, not the
    // smoothing around it.
    constexpr int kInkDistance = 384;
    bool found = false;
    ink = RECT{area.right, area.bottom, area.left, area.top};
    for (LONG y = area.top; y < area.bottom; ++y) {
        for (LONG x = area.left; x < area.right; ++x) {
            if (ColourDistance(pixels.At(x, y), background.first) >= kInkDistance) {
                found = true;
                ink.left = x < ink.left ? x : ink.left;
                ink.top = y < ink.top ? y : ink.top;
                ink.right = x + 1 > ink.right ? x + 1 : ink.right;
                ink.bottom = y + 1 > ink.bottom ? y + 1 : ink.bottom;
            }
        }
    }
    return found;
}

// ---- commands -------------------------------------------------------------

int WaitWindow(ULONGLONG timeout)
{
    const Deadline deadline(timeout);
    for (;;) {
        HWND window = FindTopLevel(kInstallerClass, true, nullptr);
        if (window != nullptr) {
            Print(L"hwnd", HandleText(window));
            return kExitOk;
        }
        if (deadline.Passed()) {
            return Fail(L"timed out waiting for the installer window");
        }
        deadline.Pause();
    }
}

int State()
{
    HWND installer = FindInstaller();
    if (installer == nullptr) {
        return Fail(L"installer window not found");
    }
    bool complete = true;
    std::wstring title;
    complete = ReadText(installer, title) && complete;

    RECT outer = {};
    GetWindowRect(installer, &outer);
    RECT client = {};
    GetClientRect(installer, &client);
    DWORD processId = 0;
    GetWindowThreadProcessId(installer, &processId);

    Print(L"hwnd", HandleText(installer));
    Print(L"pid", static_cast<long long>(processId));
    Print(L"title", title);
    Print(L"class", ClassOf(installer));
    Print(L"style", Hex(static_cast<std::uint32_t>(GetWindowLongPtrW(installer, GWL_STYLE))));
    Print(L"exstyle", Hex(static_cast<std::uint32_t>(GetWindowLongPtrW(installer, GWL_EXSTYLE))));
    Print(L"visible", IsWindowVisible(installer) ? 1 : 0);
    Print(L"window_rect", Join({outer.left, outer.top, outer.right - outer.left, outer.bottom - outer.top}));
    Print(L"client", Join({client.right - client.left, client.bottom - client.top}));

    const InstallerControls controls = LocateControls(installer);
    std::wstring status;
    if (controls.status == nullptr || !ReadText(controls.status, status)) {
        complete = false;
    }
    Print(L"status", status);

    ButtonState button;
    complete = ReadButton(controls.button, button) && complete;
    Print(L"button", button.text);
    Print(L"button_enabled", button.enabled ? 1 : 0);

    int position = 0;
    complete = ReadProgress(controls.progress, position) && complete;
    // The range is read one bound at a time: a PBRANGE pointer would not
    // cross the process boundary.
    DWORD_PTR low = 0;
    DWORD_PTR high = 0;
    if (controls.progress == nullptr || !SendBounded(controls.progress, PBM_GETRANGE, TRUE, 0, low) ||
        !SendBounded(controls.progress, PBM_GETRANGE, FALSE, 0, high)) {
        complete = false;
    }
    Print(L"progress", position);
    Print(L"progress_min", static_cast<int>(low));
    Print(L"progress_max", static_cast<int>(high));

    const std::vector<HWND> children = ChildrenOf(installer);
    Print(L"children", static_cast<long long>(children.size()));
    for (size_t index = 0; index < children.size(); ++index) {
        HWND child = children[index];
        RECT rect = {};
        GetWindowRect(child, &rect);
        MapWindowPoints(nullptr, installer, reinterpret_cast<POINT*>(&rect), 2);
        std::wstring text;
        complete = ReadText(child, text) && complete;
        // Wine does not carry WM_GETFONT across processes (the reply is a
        // GDI handle) and fails it at once; "ink" shows the font's effect.
        DWORD_PTR font = 0;
        const bool fontKnown = SendBounded(child, WM_GETFONT, 0, 0, font);

        const std::wstring number = std::to_wstring(index);
        Print(L"child" + number, ClassOf(child) + L"," +
                                     Join({rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                                           static_cast<long long>(GetDlgCtrlID(child))}) +
                                     L"," + text);
        Print(L"font" + number, fontKnown ? (font != 0 ? L"1" : L"0") : L"unknown");
        Print(L"visible" + number, IsWindowVisible(child) ? 1 : 0);
    }
    return complete ? kExitOk : Fail(L"the installer window did not answer every query");
}

int Click(const wchar_t* how)
{
    const bool viaCommand = how != nullptr && std::wcscmp(how, L"command") == 0;
    if (how != nullptr && !viaCommand && std::wcscmp(how, L"bm-click") != 0) {
        return Usage(L"click takes bm-click or command");
    }
    HWND installer = FindInstaller();
    if (installer == nullptr) {
        return Fail(L"installer window not found");
    }
    HWND button = GetDlgItem(installer, kInstallButtonId);
    ButtonState state;
    if (!ReadButton(button, state)) {
        return Fail(L"install button not found");
    }
    Print(L"button", state.text);
    Print(L"button_enabled", state.enabled ? 1 : 0);
    // A user cannot press a disabled button, and Wine's button would still
    // act on BM_CLICK.
    if (!state.enabled) {
        return Fail(L"the install button is disabled");
    }
    // Posted, not sent: the click may open a modal box, which would
    // otherwise keep the driver waiting.
    const BOOL posted = viaCommand ? PostMessageW(installer, WM_COMMAND, MAKEWPARAM(kInstallButtonId, BN_CLICKED),
                                                  reinterpret_cast<LPARAM>(button))
                                   : PostMessageW(button, BM_CLICK, 0, 0);
    if (!posted) {
        return Fail(L"could not post the click");
    }
    Print(L"clicked", viaCommand ? L"command" : L"bm-click");
    return kExitOk;
}

int WaitStatus(ULONGLONG timeout, const std::wstring& expected)
{
    const Deadline deadline(timeout);
    std::wstring status;
    for (;;) {
        HWND installer = FindInstaller();
        if (installer != nullptr) {
            const InstallerControls controls = LocateControls(installer);
            std::wstring current;
            if (controls.status != nullptr && ReadText(controls.status, current)) {
                status = current;
                if (status == expected) {
                    Print(L"status", status);
                    return kExitOk;
                }
            }
        }
        if (deadline.Passed()) {
            Print(L"status", status);
            return Fail(installer == nullptr ? L"installer window not found" : L"timed out waiting for the status");
        }
        deadline.Pause();
    }
}

int WaitButton(ULONGLONG timeout, const std::wstring& expected, bool enabled)
{
    const Deadline deadline(timeout);
    ButtonState last;
    for (;;) {
        HWND installer = FindInstaller();
        if (installer != nullptr) {
            ButtonState current;
            if (ReadButton(GetDlgItem(installer, kInstallButtonId), current)) {
                last = current;
                if (last.text == expected && last.enabled == enabled) {
                    break;
                }
            }
        }
        if (deadline.Passed()) {
            Print(L"button", last.text);
            Print(L"button_enabled", last.enabled ? 1 : 0);
            return Fail(installer == nullptr ? L"installer window not found" : L"timed out waiting for the button");
        }
        deadline.Pause();
    }
    Print(L"button", last.text);
    Print(L"button_enabled", last.enabled ? 1 : 0);
    return kExitOk;
}

int WaitProgressBetween(ULONGLONG timeout, long long low, long long high)
{
    const Deadline deadline(timeout);
    int position = 0;
    bool seen = false;
    for (;;) {
        HWND installer = FindInstaller();
        if (installer != nullptr) {
            int current = 0;
            if (ReadProgress(LocateControls(installer).progress, current)) {
                position = current;
                seen = true;
                if (low <= position && position <= high) {
                    Print(L"progress", position);
                    return kExitOk;
                }
            }
        }
        if (deadline.Passed()) {
            if (seen) {
                Print(L"progress", position);
            }
            return Fail(installer == nullptr ? L"installer window not found" : L"timed out waiting for the progress");
        }
        deadline.Pause();
    }
}

void PrintMessageBox(HWND box, HWND installer)
{
    std::wstring caption;
    ReadText(box, caption);
    std::wstring buttons;
    for (HWND button : ButtonsOf(box)) {
        std::wstring text;
        ReadText(button, text);
        if (!buttons.empty()) {
            buttons += L',';
        }
        buttons += text;
    }
    Print(L"hwnd", HandleText(box));
    Print(L"caption", caption);
    Print(L"text", MessageBoxText(box));
    Print(L"buttons", buttons);
    Print(L"owner_ok", GetWindow(box, GW_OWNER) == installer ? 1 : 0);
}

struct ProcessDialogSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindProcessDialogProc(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<ProcessDialogSearch*>(parameter);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == search->processId && IsWindowVisible(window) && HasClass(window, kDialogClass)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// A visible box owned by the installer window, waited for until the deadline.
HWND WaitOwnedBox(const Deadline& deadline, HWND& installer)
{
    for (;;) {
        installer = FindInstaller();
        if (installer != nullptr) {
            HWND box = FindTopLevel(kDialogClass, true, installer);
            if (box != nullptr) {
                return box;
            }
        }
        if (deadline.Passed()) {
            return nullptr;
        }
        deadline.Pause();
    }
}

int WaitMessageBox(ULONGLONG timeout)
{
    const Deadline deadline(timeout);
    HWND installer = nullptr;
    HWND box = WaitOwnedBox(deadline, installer);
    if (box != nullptr) {
        PrintMessageBox(box, installer);
        return kExitOk;
    }
    if (installer == nullptr) {
        return Fail(L"installer window not found");
    }
    // A box the installer shows without its window as owner is a failure
    // too, but worth describing.
    ProcessDialogSearch search = {0, nullptr};
    GetWindowThreadProcessId(installer, &search.processId);
    EnumWindows(FindProcessDialogProc, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) {
        PrintMessageBox(search.found, installer);
        return Fail(L"the installer's message box is not owned by its window");
    }
    return Fail(L"timed out waiting for a message box");
}

int DismissMessageBox(ULONGLONG timeout)
{
    const Deadline deadline(timeout);
    HWND installer = nullptr;
    HWND box = WaitOwnedBox(deadline, installer);
    if (box == nullptr) {
        return Fail(installer == nullptr ? L"installer window not found" : L"timed out waiting for a message box");
    }
    // OK if the box has one, else its only button.
    HWND button = GetDlgItem(box, IDOK);
    if (button == nullptr) {
        const std::vector<HWND> buttons = ButtonsOf(box);
        if (buttons.size() != 1) {
            return Fail(L"the message box has no OK button");
        }
        button = buttons.front();
    }
    std::wstring label;
    ReadText(button, label);
    // WM_COMMAND to the box rather than BM_CLICK on the button: BM_CLICK
    // may be ignored when the box is not the active window.
    const int id = GetDlgCtrlID(button);
    if (!PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button))) {
        return Fail(L"could not post to the message box");
    }
    Print(L"pressed", label);
    for (;;) {
        if (!IsWindow(box)) {
            Print(L"dismissed", 1);
            return kExitOk;
        }
        if (deadline.Passed()) {
            return Fail(L"timed out waiting for the message box to close");
        }
        deadline.Pause();
    }
}

int WaitGone(ULONGLONG timeout)
{
    const Deadline deadline(timeout);
    for (;;) {
        HWND installer = FindTopLevel(kInstallerClass, false, nullptr);
        if (installer == nullptr) {
            Print(L"gone", 1);
            return kExitOk;
        }
        if (deadline.Passed()) {
            Print(L"hwnd", HandleText(installer));
            return Fail(L"timed out waiting for the installer window to go away");
        }
        deadline.Pause();
    }
}

int Ink()
{
    HWND installer = FindInstaller();
    if (installer == nullptr) {
        return Fail(L"installer window not found");
    }
    OwnedSearch owned = {installer, {}};
    EnumWindows(CollectOwnedProc, reinterpret_cast<LPARAM>(&owned));
    std::vector<HWND> windows = owned.windows;
    windows.push_back(installer);
    LetPaint(windows);

    RECT outer = {};
    GetWindowRect(installer, &outer);
    const RECT screen = VirtualScreen();
    RECT area = {};
    IntersectRect(&area, &outer, &screen);
    ScreenPixels pixels;
    if (!pixels.Capture(area)) {
        return Fail(L"could not copy the screen");
    }
    // Anything on top of the window spoils the reading.
    bool covered = false;
    for (HWND window : owned.windows) {
        RECT rect = {};
        RECT overlap = {};
        GetWindowRect(window, &rect);
        covered = IntersectRect(&overlap, &rect, &outer) || covered;
    }
    Print(L"covered", covered ? 1 : 0);

    const std::vector<HWND> children = ChildrenOf(installer);
    for (size_t index = 0; index < children.size(); ++index) {
        HWND child = children[index];
        const std::wstring className = ClassOf(child);
        // A button's edges and focus rectangle are no text.
        int inset = 0;
        if (lstrcmpiW(className.c_str(), L"Button") == 0) {
            inset = kButtonInkInset;
        } else if (lstrcmpiW(className.c_str(), L"Static") != 0) {
            continue;
        }
        RECT rect = {};
        GetWindowRect(child, &rect);
        const RECT childRect = rect;
        InflateRect(&rect, -inset, -inset);
        RECT visible = {};
        RECT ink = {};
        const std::wstring key = L"ink" + std::to_wstring(index);
        if (!IntersectRect(&visible, &rect, &area) || !InkBox(pixels, visible, ink)) {
            Print(key, L"none");
            continue;
        }
        Print(key, Join({ink.left - childRect.left, ink.top - childRect.top, ink.right - ink.left,
                         ink.bottom - ink.top}));
    }
    return kExitOk;
}

int Close()
{
    HWND installer = FindInstaller();
    if (installer == nullptr) {
        return Fail(L"installer window not found");
    }
    if (!PostMessageW(installer, WM_CLOSE, 0, 0)) {
        return Fail(L"could not post WM_CLOSE");
    }
    Print(L"hwnd", HandleText(installer));
    Print(L"closed", 1);
    return kExitOk;
}

int Screenshot(const std::wstring& path)
{
    HWND installer = FindInstaller();
    std::vector<HWND> windows;
    if (installer != nullptr) {
        windows.push_back(installer);
    }
    LetPaint(windows);
    return CaptureToFile(VirtualScreen(), path);
}

int ScreenshotWindow(const std::wstring& path)
{
    HWND installer = FindInstaller();
    if (installer == nullptr) {
        return Fail(L"installer window not found");
    }
    OwnedSearch owned = {installer, {}};
    EnumWindows(CollectOwnedProc, reinterpret_cast<LPARAM>(&owned));

    RECT area = {};
    GetWindowRect(installer, &area);
    for (HWND window : owned.windows) {
        RECT rect = {};
        GetWindowRect(window, &rect);
        UnionRect(&area, &area, &rect);
    }
    const RECT screen = VirtualScreen();
    IntersectRect(&area, &area, &screen);

    std::vector<HWND> windows = owned.windows;
    windows.push_back(installer);
    LetPaint(windows);
    Print(L"windows", static_cast<long long>(windows.size()));
    return CaptureToFile(area, path);
}

int Run(int argc, wchar_t** argv)
{
    if (argc < 2) {
        return Usage(L"no command");
    }
    const std::wstring command = argv[1];
    const int extra = argc - 2;
    wchar_t** args = argv + 2;
    ULONGLONG timeout = 0;

    if (command == L"wait-window" || command == L"wait-messagebox" || command == L"dismiss-messagebox" ||
        command == L"wait-gone") {
        if (extra != 1 || !ParseTimeout(args[0], timeout)) {
            return Usage(command + L" takes <timeout-ms>");
        }
        if (command == L"wait-window") {
            return WaitWindow(timeout);
        }
        if (command == L"wait-messagebox") {
            return WaitMessageBox(timeout);
        }
        if (command == L"dismiss-messagebox") {
            return DismissMessageBox(timeout);
        }
        return WaitGone(timeout);
    }
    if (command == L"state" || command == L"close" || command == L"ink") {
        if (extra != 0) {
            return Usage(command + L" takes no arguments");
        }
        if (command == L"ink") {
            return Ink();
        }
        return command == L"state" ? State() : Close();
    }
    if (command == L"click") {
        if (extra > 1) {
            return Usage(L"click takes at most one argument");
        }
        return Click(extra == 1 ? args[0] : nullptr);
    }
    if (command == L"wait-status") {
        if (extra != 2 || !ParseTimeout(args[0], timeout)) {
            return Usage(L"wait-status takes <timeout-ms> <text>");
        }
        return WaitStatus(timeout, args[1]);
    }
    if (command == L"wait-button") {
        long long enabled = 0;
        if (extra != 3 || !ParseTimeout(args[0], timeout) || !ParseNumber(args[2], enabled) ||
            (enabled != 0 && enabled != 1)) {
            return Usage(L"wait-button takes <timeout-ms> <text> <enabled 0|1>");
        }
        return WaitButton(timeout, args[1], enabled == 1);
    }
    if (command == L"wait-progress-between") {
        long long low = 0;
        long long high = 0;
        if (extra != 3 || !ParseTimeout(args[0], timeout) || !ParseNumber(args[1], low) ||
            !ParseNumber(args[2], high) || low > high) {
            return Usage(L"wait-progress-between takes <timeout-ms> <min> <max>");
        }
        return WaitProgressBetween(timeout, low, high);
    }
    if (command == L"screenshot" || command == L"screenshot-window") {
        if (extra != 1 || *args[0] == L'\0') {
            return Usage(command + L" takes <file.bmp>");
        }
        return command == L"screenshot" ? Screenshot(args[0]) : ScreenshotWindow(args[0]);
    }
    return Usage(L"unknown command " + command);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    SetConsoleOutputCP(CP_UTF8);
    return Run(argc, argv);
}
