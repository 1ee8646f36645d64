// Drives quorvel-installer.exe from another process as a user would: finds its windows by their
// ids and sends the messages that clicks and keys produce. Every wait has a deadline. One line per
// step on standard output; exit code 0 when every step passed.
//
// Usage: driver.exe SIM_PORT SAVE_FILE LOAD_FILE [SHOT_DIR]   (Windows paths)
#include <windows.h>

#include <commctrl.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "installer/win32/resource.h"

namespace {

int failures = 0;
std::wstring shotDir;

void Log(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

std::string Utf8(const std::wstring &w)
{
    if (w.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(std::size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

bool Check(bool ok, const char *what, const std::wstring &detail = {})
{
    Log("%s: %s%s%s", ok ? "ok" : "FAIL", what, detail.empty() ? "" : " -- ", Utf8(detail).c_str());
    if (!ok) ++failures;
    return ok;
}

// Polls until `done` or the deadline; a loaded machine under wine is slow, never stuck.
bool WaitFor(const std::function<bool()> &done, DWORD ms = 30000)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (done()) return true;
        if (GetTickCount() - start > ms) return false;
        Sleep(25);
    }
}

// Messages with a bound: a window that stops answering fails the step instead of the test hanging.
LRESULT Send(HWND w, UINT msg, WPARAM wp = 0, LPARAM lp = 0)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(w, msg, wp, lp, SMTO_ABORTIFHUNG, 20000, &result)) Log("note: message %u timed out", msg);
    return LRESULT(result);
}

std::wstring Text(HWND w)
{
    wchar_t buffer[2048] = {};
    DWORD_PTR n = 0;
    SendMessageTimeoutW(w, WM_GETTEXT, 2048, LPARAM(buffer), SMTO_ABORTIFHUNG, 20000, &n);
    return buffer;
}

std::wstring ClassOf(HWND w)
{
    wchar_t name[64] = {};
    GetClassNameW(w, name, 64);
    return name;
}

// Memory in the program's process, for the common controls' messages that carry pointers.
class Remote {
public:
    Remote(HWND w, std::size_t size) : size_(size)
    {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process_) base_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    }
    ~Remote()
    {
        if (base_) VirtualFreeEx(process_, base_, 0, MEM_RELEASE);
        if (process_) CloseHandle(process_);
    }
    bool ok() const { return base_ != nullptr; }
    char *at(std::size_t offset) const { return static_cast<char *>(base_) + offset; }
    bool Write(std::size_t offset, const void *data, std::size_t n)
    {
        return WriteProcessMemory(process_, at(offset), data, n, nullptr);
    }
    bool Read(std::size_t offset, void *data, std::size_t n)
    {
        return ReadProcessMemory(process_, at(offset), data, n, nullptr);
    }

private:
    HANDLE process_ = nullptr;
    void *base_ = nullptr;
    std::size_t size_;
};

std::wstring TreeText(HWND tree, HTREEITEM item)
{
    Remote mem(tree, sizeof(TVITEMW) + 1024);
    if (!mem.ok()) return {};
    TVITEMW tv{};
    tv.mask = TVIF_TEXT | TVIF_HANDLE;
    tv.hItem = item;
    tv.pszText = reinterpret_cast<wchar_t *>(mem.at(sizeof tv));
    tv.cchTextMax = 500;
    mem.Write(0, &tv, sizeof tv);
    Send(tree, TVM_GETITEMW, 0, LPARAM(mem.at(0)));
    wchar_t text[501] = {};
    mem.Read(sizeof tv, text, 500 * sizeof(wchar_t));
    return text;
}

std::vector<HTREEITEM> TreeItems(HWND tree)
{
    std::vector<HTREEITEM> all, stack;
    for (auto i = HTREEITEM(Send(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0)); i;
         i = HTREEITEM(Send(tree, TVM_GETNEXTITEM, TVGN_NEXT, LPARAM(i))))
        stack.push_back(i);
    while (!stack.empty()) {
        HTREEITEM i = stack.back();
        stack.pop_back();
        all.push_back(i);
        for (auto c = HTREEITEM(Send(tree, TVM_GETNEXTITEM, TVGN_CHILD, LPARAM(i))); c;
             c = HTREEITEM(Send(tree, TVM_GETNEXTITEM, TVGN_NEXT, LPARAM(c))))
            stack.push_back(c);
    }
    return all;
}

// The node whose text ends with `suffix` (or starts with it, with atStart).
HTREEITEM FindTreeItem(HWND tree, const std::wstring &suffix, bool atStart = false)
{
    for (HTREEITEM i : TreeItems(tree)) {
        std::wstring t = TreeText(tree, i);
        if (t.size() < suffix.size()) continue;
        if (t.compare(atStart ? 0 : t.size() - suffix.size(), suffix.size(), suffix) == 0) return i;
    }
    return nullptr;
}

std::wstring ListText(HWND list, int row, int column)
{
    Remote mem(list, sizeof(LVITEMW) + 1024);
    if (!mem.ok()) return {};
    LVITEMW lv{};
    lv.iSubItem = column;
    lv.pszText = reinterpret_cast<wchar_t *>(mem.at(sizeof lv));
    lv.cchTextMax = 500;
    mem.Write(0, &lv, sizeof lv);
    Send(list, LVM_GETITEMTEXTW, WPARAM(row), LPARAM(mem.at(0)));
    wchar_t text[501] = {};
    mem.Read(sizeof lv, text, 500 * sizeof(wchar_t));
    return text;
}

int ListRows(HWND list) { return int(Send(list, LVM_GETITEMCOUNT)); }

// ---- PNG of a window, from the screen (stored deflate blocks: no compression library) ----

std::uint32_t Crc(const std::uint8_t *p, std::size_t n, std::uint32_t crc = 0)
{
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void PutBe(std::vector<std::uint8_t> &out, std::uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8) out.push_back(std::uint8_t(v >> s));
}

void Chunk(std::vector<std::uint8_t> &png, const char *type, const std::vector<std::uint8_t> &data)
{
    PutBe(png, std::uint32_t(data.size()));
    std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    PutBe(png, Crc(png.data() + start, png.size() - start));
}

void Screenshot(HWND w, const wchar_t *name)
{
    if (shotDir.empty() || !w) return;
    RECT r;
    GetWindowRect(w, &r);
    int width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0) return;
    Sleep(300);  // let the window finish painting
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = width;
    bi.bmiHeader.biHeight = -height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void *bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    SelectObject(mem, old);
    std::vector<std::uint8_t> raw;
    const auto *px = static_cast<const std::uint8_t *>(bits);
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);
        for (int x = 0; x < width; ++x) {
            const std::uint8_t *p = px + (std::size_t(y) * width + x) * 4;
            raw.insert(raw.end(), {p[2], p[1], p[0]});
        }
    }
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);

    std::vector<std::uint8_t> z = {0x78, 0x01};
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    for (std::size_t at = 0; at < raw.size() || at == 0;) {
        std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
        bool last = at + n == raw.size();
        z.insert(z.end(),
                 {std::uint8_t(last), std::uint8_t(n), std::uint8_t(n >> 8), std::uint8_t(~n), std::uint8_t(~n >> 8)});
        z.insert(z.end(), raw.begin() + long(at), raw.begin() + long(at + n));
        at += n;
        if (last) break;
    }
    PutBe(z, (b << 16) | a);
    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, header;
    PutBe(header, std::uint32_t(width));
    PutBe(header, std::uint32_t(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", {});
    std::wstring path = shotDir + L"\\" + name + L".png";
    if (FILE *f = _wfopen(path.c_str(), L"wb")) {
        std::fwrite(png.data(), 1, png.size(), f);
        std::fclose(f);
        Log("screenshot: %s.png", Utf8(name).c_str());
    }
}

// ---- the program's windows ----

struct Program {
    HWND main = nullptr;
    DWORD thread = 0;
};
Program program;

const wchar_t kTitle[] = L"Конфигуратор";
const wchar_t kStartTitle[] = L"Кофигуратор";

// The main window: a dialog with that title holding the tree.
HWND FindMain()
{
    HWND w = nullptr;
    while ((w = FindWindowExW(nullptr, w, nullptr, kTitle)) != nullptr)
        if (IsWindowVisible(w) && GetDlgItem(w, IDC_TREE)) return w;
    return nullptr;
}

// A top-level dialog of the program's thread other than `except`; with a title, that one.
HWND FindDialog(const wchar_t *title = nullptr, HWND except = nullptr)
{
    struct Search {
        const wchar_t *title;
        HWND except, found;
    } s{title, except, nullptr};
    EnumThreadWindows(
        program.thread,
        [](HWND w, LPARAM lp) -> BOOL {
            auto *s = reinterpret_cast<Search *>(lp);
            if (w == s->except || w == program.main || !IsWindowVisible(w) || ClassOf(w) != L"#32770") return TRUE;
            if (s->title && Text(w) != s->title) return TRUE;
            s->found = w;
            return FALSE;
        },
        LPARAM(&s));
    return s.found;
}

HWND WaitDialog(const wchar_t *title = nullptr, HWND except = nullptr)
{
    HWND found = nullptr;
    WaitFor([&] { return (found = FindDialog(title, except)) != nullptr; });
    return found;
}

// The text of a message box: its static control that holds text.
std::wstring BoxText(HWND box)
{
    std::wstring text;
    EnumChildWindows(
        box,
        [](HWND w, LPARAM lp) -> BOOL {
            auto *text = reinterpret_cast<std::wstring *>(lp);
            if (ClassOf(w) == L"Static" && !(GetWindowLongW(w, GWL_STYLE) & SS_ICON)) {
                std::wstring t = Text(w);
                if (!t.empty()) *text = t;
            }
            return text->empty();
        },
        LPARAM(&text));
    return text;
}

HWND Item(int id) { return GetDlgItem(program.main, id); }

// A click on a button: posted, since it may open a modal window that Send would wait for.
void Click(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

void Command(int id) { PostMessageW(program.main, WM_COMMAND, MAKEWPARAM(id, 0), 0); }

void SetText(HWND edit, const std::wstring &text)
{
    Send(edit, WM_SETTEXT, 0, LPARAM(text.c_str()));
    // The program learns of the change as from typing.
    Send(GetParent(edit), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(edit), EN_CHANGE), LPARAM(edit));
}

bool Select(HWND tree, HTREEITEM item)
{
    if (!item) return false;
    Send(tree, TVM_SELECTITEM, TVGN_CARET, LPARAM(item));
    return HTREEITEM(Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0)) == item;
}

// A dialog closed by its button; false when it stays or a message box came instead.
bool CloseWith(HWND dialog, int button, std::wstring *box = nullptr)
{
    Click(GetDlgItem(dialog, button));
    HWND message = nullptr;
    bool closed = WaitFor([&] {
        if (!IsWindow(dialog) || !IsWindowVisible(dialog)) return true;
        message = FindDialog(nullptr, dialog);
        return message != nullptr;
    });
    if (message) {
        if (box) *box = BoxText(message);
        Screenshot(message, L"error");
        Click(GetDlgItem(message, IDOK));
        WaitFor([&] { return !IsWindow(message); });
        return false;
    }
    return closed;
}

// A file dialog answered with `path` typed into its name field.
bool ChooseFile(const std::wstring &path, const wchar_t *shot)
{
    HWND dialog = WaitDialog();
    if (!Check(dialog != nullptr, "file dialog opens")) return false;
    Screenshot(dialog, shot);
    HWND name = GetDlgItem(dialog, 0x47C);        // cmb13: the name field
    if (!name) name = GetDlgItem(dialog, 0x480);  // edt1
    if (ClassOf(name) == L"ComboBoxEx32" || ClassOf(name) == L"ComboBox") {
        HWND edit = FindWindowExW(name, nullptr, L"Edit", nullptr);
        if (edit) name = edit;
    }
    if (!Check(name != nullptr, "file dialog has a name field")) return false;
    Send(name, WM_SETTEXT, 0, LPARAM(path.c_str()));
    Click(GetDlgItem(dialog, IDOK));
    return WaitFor([&] { return !IsWindow(dialog); });
}

// Apply, then either the status line says so or a message box tells why not.
bool Apply(std::wstring *box)
{
    Send(Item(IDC_STATUS), WM_SETTEXT, 0, LPARAM(L""));
    Click(Item(IDC_APPLY));
    HWND message = nullptr;
    WaitFor([&] {
        message = FindDialog();
        return message || Text(Item(IDC_STATUS)).find(L"Настройки порта приняты") != std::wstring::npos;
    });
    if (!message) return true;
    *box = BoxText(message);
    Click(GetDlgItem(message, IDOK));
    WaitFor([&] { return !IsWindow(message); });
    return false;
}

bool Checked(int id) { return Send(Item(id), BM_GETCHECK) == BST_CHECKED; }

// ---- the keyboard ----

// The program's focused window, as its thread's state says.
HWND Focused()
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(program.thread, &info) ? info.hwndFocus : nullptr;
}

// A key as typing posts it: through the program's message loop, where its dialog keys and
// accelerators are handled.
void Key(HWND w, UINT vk)
{
    PostMessageW(w, WM_KEYDOWN, vk, 1);
    PostMessageW(w, WM_KEYUP, vk, LPARAM(0xC0000001u));
}

// The key to whatever has the focus in the program, and the focus that follows.
HWND KeyToFocus(UINT vk, HWND before)
{
    Key(before ? before : program.main, vk);
    HWND after = nullptr;
    WaitFor([&] { return (after = Focused()) != before && after; }, 10000);
    return after;
}

void FocusControl(HWND control) { Send(program.main, WM_NEXTDLGCTL, WPARAM(control), TRUE); }

// The main window's controls in their Tab order; the disabled ones are passed over.
const int kTabOrder[] = {IDC_TREE,      IDC_PARAMS,     IDC_RTS_CTS,       IDC_RTS_DSR,    IDC_RTS_DCD,
                         IDC_RTS_RING,  IDC_DTR_CTS,    IDC_DTR_DSR,       IDC_DTR_DCD,    IDC_DTR_RING,
                         IDC_DEVICES,   IDC_ADD_DEVICE, IDC_REMOVE_DEVICE, IDC_EXCEPTIONS, IDC_RESPONSE,
                         IDC_OPEN_FILE, IDC_SAVE_FILE,  IDC_DELAY,         IDC_APPLY};

// Tab from the tree visits every enabled control once, in order, and comes back to the tree;
// the number of controls visited.
int CheckTabOrder(const char *where)
{
    std::vector<int> expected;
    for (int id : kTabOrder)
        if (IsWindowEnabled(Item(id))) expected.push_back(id);
    expected.push_back(IDC_TREE);
    FocusControl(Item(IDC_TREE));
    HWND focus = nullptr;
    WaitFor([&] { return (focus = Focused()) == Item(IDC_TREE); }, 10000);
    std::wstring visited;
    bool ok = focus == Item(IDC_TREE);
    for (std::size_t i = 1; ok && i < expected.size(); ++i) {
        focus = KeyToFocus(VK_TAB, focus);
        visited += std::to_wstring(GetDlgCtrlID(focus)) + L" ";
        ok = focus == Item(expected[i]);
    }
    Check(ok, (std::string("Tab goes through every enabled control in order, ") + where).c_str(), visited);
    return int(expected.size()) - 1;
}

// Red pixels of a control on the screen: the "+" glyph while the button can be used.
int RedPixels(HWND control)
{
    RECT r;
    GetWindowRect(control, &r);
    HDC screen = GetDC(nullptr);
    int red = 0;
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x) {
            COLORREF c = GetPixel(screen, x, y);
            if (GetRValue(c) > 180 && GetGValue(c) < 90 && GetBValue(c) < 90) ++red;
        }
    ReleaseDC(nullptr, screen);
    return red;
}

bool SelectRow(HWND list, int row)
{
    Remote mem(list, sizeof(LVITEMW));
    if (!mem.ok()) return false;
    LVITEMW lv{};
    lv.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    lv.state = LVIS_SELECTED | LVIS_FOCUSED;
    mem.Write(0, &lv, sizeof lv);
    return Send(list, LVM_SETITEMSTATE, WPARAM(row), LPARAM(mem.at(0))) != 0;
}

// F5 with unapplied changes: the question with its three answers, its text naming the port.
HWND AskedOnRefresh(const wchar_t *port)
{
    HWND focus = Focused();
    Key(focus ? focus : Item(IDC_TREE), VK_F5);
    HWND question = WaitDialog(L"Конфигуратор");
    if (!Check(question != nullptr, "F5 asks about the unapplied changes")) return nullptr;
    Check(Text(GetDlgItem(question, IDOK)) == L"Принять" &&
              Text(GetDlgItem(question, IDC_LEAVE_DISCARD)) == L"Не принимать" &&
              Text(GetDlgItem(question, IDCANCEL)) == L"Отмена",
          "the question's answers read Принять / Не принимать / Отмена");
    std::wstring text = BoxText(question);
    Check(text.find(port) != std::wstring::npos, "the question names the port", text);
    return question;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: driver SIM_PORT SAVE_FILE LOAD_FILE [SHOT_DIR]\n");
        return 2;
    }
    const std::wstring simPort = argv[1], saveFile = argv[2], loadFile = argv[3];
    if (argc > 4) shotDir = argv[4];

    // The start-up prompt, then the main window.
    HWND prompt = nullptr;
    bool started = WaitFor(
        [&] {
            prompt = FindWindowW(L"#32770", kStartTitle);
            program.main = FindMain();
            return prompt || program.main;
        },
        120000);
    if (!Check(started, "the program shows its start-up prompt")) return 1;
    if (prompt) {
        program.thread = GetWindowThreadProcessId(prompt, nullptr);
        Screenshot(prompt, L"startup");
        Click(GetDlgItem(prompt, IDOK));
    }
    Check(WaitFor([&] { return (program.main = FindMain()) != nullptr; }), "the main window opens");
    if (!program.main) return 1;
    program.thread = GetWindowThreadProcessId(program.main, nullptr);
    HWND tree = Item(IDC_TREE);
    HTREEITEM com1 = nullptr;
    if (!Check(WaitFor([&] { return (com1 = FindTreeItem(tree, L"(COM1)")) != nullptr; }), "the tree shows COM1"))
        return 1;
    Check(FindTreeItem(tree, L"(COM2)") && FindTreeItem(tree, L"(COM3)"), "the tree shows COM2 and COM3");
    Screenshot(program.main, L"main");

    // A port: the settings group opens.
    Check(Select(tree, com1), "COM1 selected");
    Check(WaitFor([&] { return IsWindowEnabled(Item(IDC_DELAY)) != FALSE; }), "the delay field is enabled");

    // A bad address is refused with its message and adds nothing.
    Command(IDM_CONNECTION_ADD);
    HWND conn = WaitDialog();
    if (Check(conn != nullptr, "the connection dialog opens")) {
        Screenshot(conn, L"connection");
        SetText(GetDlgItem(conn, IDC_CONNECTION_ADDRESS), L"300.1.2.3");
        SetText(GetDlgItem(conn, IDC_CONNECTION_PORT), simPort);
        std::wstring text;
        CloseWith(conn, IDOK, &text);
        if (text.empty()) {
            HWND box = WaitDialog();
            if (Check(box != nullptr, "a bad IP address is refused")) {
                text = BoxText(box);
                Screenshot(box, L"error");
                Click(GetDlgItem(box, IDOK));
                WaitFor([&] { return !IsWindow(box); });
            }
        }
        Check(text == L"Не удалось определить IP адрес «300.1.2.3»", "the refusal names the address", text);
        Check(Send(tree, TVM_GETNEXTITEM, TVGN_CHILD, LPARAM(com1)) == 0, "no connection was added");
    }
    Command(IDM_CONNECTION_ADD);
    conn = WaitDialog();
    if (Check(conn != nullptr, "the connection dialog opens again")) {
        SetText(GetDlgItem(conn, IDC_CONNECTION_ADDRESS), L"127.0.0.1");
        SetText(GetDlgItem(conn, IDC_CONNECTION_PORT), simPort);
        std::wstring box;
        Check(CloseWith(conn, IDOK, &box), "the connection is accepted", box);
    }
    HTREEITEM connNode = nullptr;
    const std::wstring connText = L"127.0.0.1 (" + simPort + L")";
    Check(WaitFor([&] {
              connNode = HTREEITEM(Send(tree, TVM_GETNEXTITEM, TVGN_CHILD, LPARAM(com1)));
              return connNode && TreeText(tree, connNode).rfind(connText, 0) == 0;
          }),
          "the connection node appears");

    // An id on the connection.
    Check(Select(tree, connNode), "the connection selected");
    Check(WaitFor([&] { return IsWindowEnabled(Item(IDC_ADD_DEVICE)) != FALSE; }), "the + button is enabled");
    Click(Item(IDC_ADD_DEVICE));
    HWND idForm = WaitDialog();
    if (Check(idForm != nullptr, "the id dialog opens")) {
        Screenshot(idForm, L"id");
        SetText(GetDlgItem(idForm, IDC_DEVICE_ID), L"5");
        std::wstring box;
        Check(CloseWith(idForm, IDOK, &box), "the id is accepted", box);
    }
    HWND devices = Item(IDC_DEVICES);
    Check(WaitFor([&] { return ListRows(devices) == 1 && ListText(devices, 0, 1) == L"5"; }), "the id is listed",
          std::to_wstring(ListRows(devices)) + L" rows: " + ListText(devices, 0, 0) + L" | " + ListText(devices, 0, 1));

    // Delay and wiring, then Apply from the port.
    Check(Select(tree, com1), "COM1 selected again");
    SetText(Item(IDC_DELAY), L"1500");
    Click(Item(IDC_RTS_DSR));
    Click(Item(IDC_DTR_RING));
    Check(WaitFor([&] { return Checked(IDC_RTS_DSR) && Checked(IDC_DTR_RING); }), "the wiring boxes are checked");
    std::wstring box;
    Check(Apply(&box), "Apply succeeds", box);

    // Save the port's settings to a file.
    Click(Item(IDC_SAVE_FILE));
    Check(ChooseFile(saveFile, L"save"), "the settings are saved");
    Check(WaitFor([&] { return GetFileAttributesW(saveFile.c_str()) != INVALID_FILE_ATTRIBUTES; }),
          "the saved file exists");

    // Load another port's file onto COM2 and apply it.
    HTREEITEM com2 = FindTreeItem(tree, L"(COM2)");
    Check(Select(tree, com2), "COM2 selected");
    Check(WaitFor([&] { return IsWindowEnabled(Item(IDC_OPEN_FILE)) != FALSE; }), "the load button is enabled");
    Click(Item(IDC_OPEN_FILE));
    Check(ChooseFile(loadFile, L"load"), "a settings file is loaded");
    Check(WaitFor([&] { return Text(Item(IDC_DELAY)) == L"700"; }), "the loaded delay is shown", Text(Item(IDC_DELAY)));
    Check(Apply(&box), "Apply of the loaded settings succeeds", box);

    // ---- the keyboard, the "+" glyph, the unapplied mark and the question before leaving ----
    Check(WaitFor([&] { return !IsWindowEnabled(Item(IDC_ADD_DEVICE)); }), "on a port the + button is disabled");
    Check(RedPixels(Item(IDC_ADD_DEVICE)) == 0, "a disabled + is not red");
    Check(CheckTabOrder("on a port") >= 16, "the port's settings take part in the Tab order");
    Check(Text(program.main) == kTitle, "nothing unapplied after Apply", Text(program.main));

    connNode = HTREEITEM(Send(tree, TVM_GETNEXTITEM, TVGN_CHILD, LPARAM(com1)));
    Check(Select(tree, connNode), "COM1's connection selected again");
    Check(WaitFor([&] { return IsWindowEnabled(Item(IDC_ADD_DEVICE)) != FALSE; }), "the + button is enabled again");
    Check(WaitFor([&] { return RedPixels(Item(IDC_ADD_DEVICE)) > 0; }, 5000), "an enabled + is red");
    Screenshot(program.main, L"connection-selected");
    CheckTabOrder("on a connection");

    // Escape cancels the id dialog, Enter accepts it.
    Click(Item(IDC_ADD_DEVICE));
    idForm = WaitDialog();
    if (Check(idForm != nullptr, "the id dialog opens for Escape")) {
        SetText(GetDlgItem(idForm, IDC_DEVICE_ID), L"7");
        KeyToFocus(VK_ESCAPE, Focused());
        Check(WaitFor([&] { return !IsWindow(idForm); }), "Escape closes the id dialog");
        Check(ListRows(devices) == 1 && Text(program.main) == kTitle, "a cancelled id adds nothing");
    }
    Click(Item(IDC_ADD_DEVICE));
    idForm = WaitDialog();
    if (Check(idForm != nullptr, "the id dialog opens for Enter")) {
        SetText(GetDlgItem(idForm, IDC_DEVICE_ID), L"7");
        KeyToFocus(VK_RETURN, Focused());
        Check(WaitFor([&] { return !IsWindow(idForm); }), "Enter closes the id dialog");
        Check(WaitFor([&] { return ListRows(devices) == 2 && ListText(devices, 1, 1) == L"7"; }), "Enter adds the id");
    }
    Check(WaitFor([&] { return Text(program.main) == std::wstring(kTitle) + L" *"; }),
          "the window's title marks the unapplied id", Text(program.main));
    Check(TreeText(tree, com1).find(L"(COM1) *") != std::wstring::npos, "COM1's node is marked", TreeText(tree, com1));

    // Del removes the selected id from the focused list.
    Check(SelectRow(devices, 1), "the new id's row selected");
    FocusControl(devices);
    WaitFor([&] { return Focused() == devices; }, 10000);
    Key(devices, VK_DELETE);
    Check(WaitFor([&] { return ListRows(devices) == 1 && ListText(devices, 0, 1) == L"5"; }), "Del removes the id",
          std::to_wstring(ListRows(devices)) + L" rows");
    Check(Text(program.main) == std::wstring(kTitle) + L" *", "removing an added id is still unapplied");

    // F5 asks; Escape stays with everything as it was.
    if (HWND question = AskedOnRefresh(L"COM1")) {
        Screenshot(question, L"leave");
        KeyToFocus(VK_ESCAPE, Focused());
        Check(WaitFor([&] { return !IsWindow(question); }), "Escape closes the question");
        Check(Text(program.main) == std::wstring(kTitle) + L" *" &&
                  TreeText(tree, com1).find(L" *") != std::wstring::npos,
              "staying keeps the changes and their marks");
    }
    // Не принимать: the tree is read again, the host keeps COM1's id 5 (checked by the script).
    if (HWND question = AskedOnRefresh(L"COM1")) {
        Click(GetDlgItem(question, IDC_LEAVE_DISCARD));
        Check(WaitFor([&] { return !IsWindow(question); }), "Не принимать closes the question");
        Check(WaitFor([&] { return Text(program.main) == kTitle && FindTreeItem(tree, L"(COM1)") != nullptr; }),
              "dropped changes are unmarked after F5", Text(program.main));
    }
    // Принять with Enter: COM3's edited delay reaches the host (checked by the script).
    HTREEITEM com3 = FindTreeItem(tree, L"(COM3)");
    Check(Select(tree, com3), "COM3 selected");
    Check(WaitFor([&] { return IsWindowEnabled(Item(IDC_DELAY)) != FALSE; }), "COM3's delay field is enabled");
    SetText(Item(IDC_DELAY), L"900");
    Check(WaitFor([&] { return Text(program.main) == std::wstring(kTitle) + L" *"; }),
          "a keystroke in a field marks the title", Text(program.main));
    // Another port's node asks too; Escape stays on COM3 with the edit.
    Check(!Select(tree, FindTreeItem(tree, L"(COM1)")), "selecting another port waits for the answer");
    if (HWND question = WaitDialog(L"Конфигуратор")) {
        Check(BoxText(question).find(L"(COM3)") != std::wstring::npos, "the question names the port left behind",
              BoxText(question));
        KeyToFocus(VK_ESCAPE, Focused());
        Check(WaitFor([&] { return !IsWindow(question); }), "Escape closes the question");
    } else {
        Check(false, "selecting another port asks about the unapplied changes");
    }
    Check(HTREEITEM(Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0)) == com3 && Text(Item(IDC_DELAY)) == L"900",
          "staying keeps COM3 selected with its edit", Text(Item(IDC_DELAY)));
    if (HWND question = AskedOnRefresh(L"COM3")) {
        KeyToFocus(VK_RETURN, Focused());
        Check(WaitFor([&] { return !IsWindow(question); }), "Enter answers the question");
        Check(WaitFor([&] { return Text(program.main) == kTitle && FindTreeItem(tree, L"(COM3)") != nullptr; }),
              "applied changes are unmarked after F5", Text(program.main));
    }
    // F5 with nothing unapplied refreshes at once.
    Check(Select(tree, FindTreeItem(tree, L"(COM1)")), "COM1 selected before F5");
    Key(tree, VK_F5);
    Check(WaitFor([&] { return HTREEITEM(Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0)) == nullptr && !FindDialog(); }),
          "F5 refreshes without a question");

    // The host lost: F5 says so in a box, and the status bar keeps it.
    wchar_t lose[1024] = L"", lost[1024] = L"";
    if (GetEnvironmentVariableW(L"QV_LOSE_HOST", lose, 1024) && GetEnvironmentVariableW(L"QV_HOST_LOST", lost, 1024)) {
        if (FILE *f = _wfopen(lose, L"wb")) std::fclose(f);
        Check(WaitFor([&] { return GetFileAttributesW(lost) != INVALID_FILE_ATTRIBUTES; }, 60000),
              "the bridge to the host is gone");
        Key(tree, VK_F5);
        HWND lostBox = WaitDialog();
        std::wstring text = lostBox ? BoxText(lostBox) : L"";
        Check(text.rfind(L"Список портов не получен: ", 0) == 0, "F5 says the ports could not be listed", text);
        Check(Text(Item(IDC_STATUS)) == text, "the status bar keeps what the box said", Text(Item(IDC_STATUS)));
        if (lostBox) {
            Screenshot(lostBox, L"host-lost");
            Click(GetDlgItem(lostBox, IDOK));
            WaitFor([&] { return !IsWindow(lostBox); });
        }
        Check(TreeItems(tree).empty(), "no ports are shown without the host");
    }

    // The about box, for its screenshot.
    Command(IDM_ABOUT);
    if (HWND about = WaitDialog()) {
        Screenshot(about, L"about");
        CloseWith(about, IDOK);
    }

    // Closing: nothing unapplied, so no question.
    PostMessageW(program.main, WM_CLOSE, 0, 0);
    HWND question = nullptr;
    bool closed = WaitFor([&] { return !IsWindow(program.main) || (question = FindDialog()) != nullptr; });
    Check(closed && !question, "the program closes without a question", question ? BoxText(question) : L"");
    if (question) {
        Click(GetDlgItem(question, IDOK));
        WaitFor([&] { return !IsWindow(program.main); });
    }
    Log("%d failure(s)", failures);
    return failures == 0 ? 0 : 1;
}
