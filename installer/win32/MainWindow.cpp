#include "MainWindow.h"

#include <commdlg.h>
#include <windowsx.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "DeviceClasses.h"
#include "Dialogs.h"
#include "SetupClasses.h"
#include "WinText.h"
#include "common/settingsfile.h"
#include "resource.h"

namespace {

constexpr int kRtsBoxes[] = {IDC_RTS_CTS, IDC_RTS_DSR, IDC_RTS_DCD, IDC_RTS_RING};
constexpr int kDtrBoxes[] = {IDC_DTR_CTS, IDC_DTR_DSR, IDC_DTR_DCD, IDC_DTR_RING};
// Positions of the menu bar's entries when every one is shown.
constexpr int kFilterMenuPosition = 1;
constexpr int kConnectionsMenuPosition = 2;
// Posted by a vetoed selection change: the question comes after the tree's notification.
constexpr UINT kLeaveForMessage = WM_APP + 1;

HICON IconFrom(const plat::Icon16 &icon)
{
    BITMAPV5HEADER header{};
    header.bV5Size = sizeof header;
    header.bV5Width = 16;
    header.bV5Height = -16;  // rows top to bottom, as the platform gives them
    header.bV5Planes = 1;
    header.bV5BitCount = 32;
    header.bV5Compression = BI_BITFIELDS;
    header.bV5RedMask = 0x00FF0000;
    header.bV5GreenMask = 0x0000FF00;
    header.bV5BlueMask = 0x000000FF;
    header.bV5AlphaMask = 0xFF000000;
    void *bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP colour =
        CreateDIBSection(screen, reinterpret_cast<BITMAPINFO *>(&header), DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (!colour) return nullptr;
    std::memcpy(bits, icon.argb.data(), sizeof icon.argb);
    HBITMAP mask = CreateBitmap(16, 16, 1, 1, nullptr);
    ICONINFO info{TRUE, 0, 0, mask, colour};
    HICON result = CreateIconIndirect(&info);
    DeleteObject(mask);
    DeleteObject(colour);
    return result;
}

void InsertColumn(HWND list, int index, const wchar_t *text, int width)
{
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<wchar_t *>(text);
    column.cx = width;
    ListView_InsertColumn(list, index, &column);
}

void AddRow(HWND list, const std::string &first, const std::string &second, int id = -1)
{
    std::wstring a = Wide(first), b = Wide(second);
    LVITEMW item{};
    item.mask = LVIF_TEXT | LVIF_PARAM;
    item.iItem = ListView_GetItemCount(list);
    item.pszText = a.data();
    item.lParam = id;
    int row = ListView_InsertItem(list, &item);
    ListView_SetItemText(list, row, 1, b.data());
}

// A file name chosen in the system's open or save box, UTF-8; empty when cancelled.
std::string AskFileName(HWND owner, bool save, const wchar_t *title, const std::wstring &filter,
                        const wchar_t *extension)
{
    wchar_t name[MAX_PATH * 4] = L"";
    OPENFILENAMEW box{};
    box.lStructSize = sizeof box;
    box.hwndOwner = owner;
    box.lpstrFilter = filter.c_str();
    box.lpstrFile = name;
    box.nMaxFile = static_cast<DWORD>(std::size(name));
    box.lpstrTitle = title && *title ? title : nullptr;
    box.lpstrDefExt = extension;
    box.Flags = OFN_NOCHANGEDIR | OFN_EXPLORER | (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST);
    BOOL chosen = save ? GetSaveFileNameW(&box) : GetOpenFileNameW(&box);
    return chosen ? Narrow(name) : std::string();
}

// "Text (*.ext)" and its pattern, as the common dialogs want them: pairs ending in two NULs.
std::wstring Filter(const std::string &text, const wchar_t *pattern)
{
    std::wstring filter = Wide(text);
    filter.push_back(L'\0');
    filter += pattern;
    filter.push_back(L'\0');
    return filter;
}

}  // namespace

TMainWindow::TMainWindow(plat::IPlatform &platform, plat::IPlatform &local)
    : platform_(platform), local_(local), presenter_(platform)
{
}

TMainWindow::~TMainWindow()
{
    if (hwnd_) DestroyWindow(hwnd_);
    // A menu not on the bar is not destroyed with the window.
    if (!filterShown_ && filterMenu_) DestroyMenu(filterMenu_);
    if (!connectionsShown_ && connectionsMenu_) DestroyMenu(connectionsMenu_);
    if (images_) ImageList_Destroy(images_);
    for (HFONT font : {markFont_, boldFont_})
        if (font) DeleteObject(font);
    for (HICON icon : {appIcon_, smallIcon_, openIcon_, saveIcon_})
        if (icon) DestroyIcon(icon);
}

bool TMainWindow::Create(int show)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    accelerators_ = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_ACCEL));
    hwnd_ = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_MAIN), nullptr, Proc, reinterpret_cast<LPARAM>(this));
    if (!hwnd_) return false;
    ShowWindow(hwnd_, show);
    UpdateWindow(hwnd_);
    return true;
}

bool TMainWindow::PreTranslate(MSG *msg)
{
    if (!hwnd_ || (msg->hwnd != hwnd_ && !IsChild(hwnd_, msg->hwnd))) return false;
    // Del belongs to the edit fields everywhere but in the tree and the device list.
    bool deleteKey = msg->message == WM_KEYDOWN && msg->wParam == VK_DELETE;
    if (!deleteKey || msg->hwnd == tree_ || msg->hwnd == devices_)
        if (TranslateAcceleratorW(hwnd_, accelerators_, msg)) return true;
    return IsDialogMessageW(hwnd_, msg);
}

INT_PTR CALLBACK TMainWindow::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        auto *self = reinterpret_cast<TMainWindow *>(lParam);
        self->hwnd_ = hwnd;
        RunGuarded(hwnd, [self] { self->Init(); });
        return TRUE;
    }
    auto *self = reinterpret_cast<TMainWindow *>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (!self) return FALSE;
    INT_PTR result = FALSE;
    RunGuarded(hwnd, [&] { result = self->Handle(message, wParam, lParam); });
    return result;
}

INT_PTR TMainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        // Every click, keystroke in a field and command may change what is unapplied.
        Command(LOWORD(wParam));
        if (hwnd_) UpdateUnappliedMarks();
        return TRUE;
    case WM_NOTIFY: {
        LRESULT result = Notify(reinterpret_cast<NMHDR *>(lParam));
        SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, result);
        return TRUE;
    }
    case kLeaveForMessage: LeaveFor(reinterpret_cast<HTREEITEM>(lParam)); return TRUE;
    case WM_CONTEXTMENU:
        if (reinterpret_cast<HWND>(wParam) == tree_) {
            POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            if (at.x == -1 && at.y == -1) {
                // From the keyboard: at the selected node.
                RECT rect{};
                HTREEITEM selected = TreeView_GetSelection(tree_);
                if (selected && TreeView_GetItemRect(tree_, selected, &rect, TRUE)) {
                    at = {rect.left, rect.bottom};
                } else {
                    at = {0, 0};
                }
                ClientToScreen(tree_, &at);
            }
            ShowPopup(at);
            return TRUE;
        }
        break;
    case WM_PAINT: {
        // The wiring: a line from the group's edge to each box, as the lines on the connector.
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(hwnd_, &paint);
        HPEN pen = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_WINDOWTEXT));
        HGDIOBJ old = SelectObject(dc, pen);
        for (int group = 0; group < 2; ++group) {
            RECT frame{};
            GetWindowRect(Item(group ? IDC_DTR_GROUP : IDC_RTS_GROUP), &frame);
            MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT *>(&frame), 2);
            for (int id : group ? kDtrBoxes : kRtsBoxes) {
                RECT box{};
                GetWindowRect(Item(id), &box);
                MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT *>(&box), 2);
                int y = (box.top + box.bottom) / 2;
                MoveToEx(dc, frame.left, y, nullptr);
                LineTo(dc, box.left - 2, y);
            }
        }
        SelectObject(dc, old);
        DeleteObject(pen);
        EndPaint(hwnd_, &paint);
        return TRUE;
    }
    case WM_DRAWITEM:
        if (wParam == IDC_ADD_DEVICE) {
            DrawAddButton(*reinterpret_cast<const DRAWITEMSTRUCT *>(lParam));
            return TRUE;
        }
        break;
    case WM_SIZE: SendMessageW(status_, WM_SIZE, 0, 0); break;
    case WM_CLOSE: Close(); return TRUE;
    case WM_DESTROY: PostQuitMessage(0); return TRUE;
    }
    return FALSE;
}

void TMainWindow::Init()
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    tree_ = Item(IDC_TREE);
    params_ = Item(IDC_PARAMS);
    devices_ = Item(IDC_DEVICES);
    status_ = Item(IDC_STATUS);

    appIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    smallIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(appIcon_));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

    // Fonts: the ports of our driver in italic underlined type, "+" and "-" in bold.
    LOGFONTW font{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0)), sizeof font, &font);
    LOGFONTW marked = font;
    marked.lfItalic = TRUE;
    marked.lfUnderline = TRUE;
    markFont_ = CreateFontIndirectW(&marked);
    LOGFONTW bold = font;
    bold.lfWeight = FW_BOLD;
    boldFont_ = CreateFontIndirectW(&bold);
    SendMessageW(Item(IDC_ADD_DEVICE), WM_SETFONT, reinterpret_cast<WPARAM>(boldFont_), FALSE);
    SendMessageW(Item(IDC_REMOVE_DEVICE), WM_SETFONT, reinterpret_cast<WPARAM>(boldFont_), FALSE);

    images_ = ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 4, 4);
    TreeView_SetImageList(tree_, images_, TVSIL_NORMAL);

    for (HWND list : {params_, devices_})
        ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    InsertColumn(params_, 0, L"Параметр", 150);
    InsertColumn(params_, 1, L"Значение", 200);
    InsertColumn(devices_, 0, L"Соединение", 238);
    InsertColumn(devices_, 1, L"ID", 49);

    openIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_OPEN_FILE), IMAGE_ICON, 16, 16, 0));
    saveIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_SAVE_FILE), IMAGE_ICON, 16, 16, 0));
    SendMessageW(Item(IDC_OPEN_FILE), BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(openIcon_));
    SendMessageW(Item(IDC_SAVE_FILE), BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(saveIcon_));

    tips_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, instance, nullptr);
    const std::pair<int, const wchar_t *> tips[] = {
        {IDC_ADD_DEVICE, L"Добавить устройство"},
        {IDC_REMOVE_DEVICE, L"Удалить устройство"},
        {IDC_OPEN_FILE, L"Загрузить настройки из файла"},
        {IDC_SAVE_FILE, L"Сохранить настройки в файл"},
        {IDC_EXCEPTIONS, L"Отвечать исключением Modbus на запрос, который нельзя выполнить"},
        {IDC_RESPONSE, L"0 - без ограничения"}};
    for (const auto &[id, text] : tips) {
        TTTOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = hwnd_;
        tool.uId = reinterpret_cast<UINT_PTR>(Item(id));
        tool.lpszText = const_cast<wchar_t *>(text);
        SendMessageW(tips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }

    HMENU bar = GetMenu(hwnd_);
    filterMenu_ = GetSubMenu(bar, kFilterMenuPosition);
    connectionsMenu_ = GetSubMenu(bar, kConnectionsMenuPosition);
    SendMessageW(status_, WM_SIZE, 0, 0);
    Refresh();
}

// ---- tree ----

int TMainWindow::IconIndex(const plat::Guid &cls)
{
    std::string key = quorvel::GuidToString(cls);
    if (auto it = iconIndex_.find(key); it != iconIndex_.end()) return it->second;
    plat::Icon16 pixels;
    HICON icon = platform_.ClassIcon(cls, &pixels) ? IconFrom(pixels) : nullptr;
    int index = ImageList_AddIcon(images_, icon ? icon : smallIcon_);
    if (icon) DestroyIcon(icon);
    iconIndex_[key] = index;
    return index;
}

HTREEITEM TMainWindow::AddNode(HTREEITEM parent, const TreeItem &item)
{
    nodes_.push_back(std::make_unique<Node>(Node{item.node, item.marked, item.text, false}));
    std::wstring text = Wide(item.text);
    TVINSERTSTRUCTW insert{};
    insert.hParent = parent ? parent : TVI_ROOT;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    insert.item.pszText = text.data();
    insert.item.iImage = insert.item.iSelectedImage = IconIndex(item.iconClass);
    insert.item.lParam = reinterpret_cast<LPARAM>(nodes_.back().get());
    return TreeView_InsertItem(tree_, &insert);
}

NodeRef TMainWindow::NodeOf(HTREEITEM item) const
{
    if (!item) return {};
    TVITEMW data{};
    data.mask = TVIF_PARAM;
    data.hItem = item;
    if (!TreeView_GetItem(tree_, &data) || !data.lParam) return {};
    return reinterpret_cast<const Node *>(data.lParam)->ref;
}

HTREEITEM TMainWindow::PortItemOf(const TPortClass *port) const
{
    for (HTREEITEM cls = TreeView_GetRoot(tree_); cls; cls = TreeView_GetNextSibling(tree_, cls))
        for (HTREEITEM item = TreeView_GetChild(tree_, cls); item; item = TreeView_GetNextSibling(tree_, item))
            if (NodeOf(item).port == port) return item;
    return nullptr;
}

void TMainWindow::RebuildConnectionNodes(HTREEITEM portItem)
{
    if (!portItem) return;
    TPortClass *port = NodeOf(portItem).port;
    // A connection node about to go would leave the selection on a freed object: the port takes it.
    HTREEITEM selected = TreeView_GetSelection(tree_);
    if (selected && TreeView_GetParent(tree_, selected) == portItem) TreeView_SelectItem(tree_, portItem);
    quiet_ = true;
    while (HTREEITEM child = TreeView_GetChild(tree_, portItem)) TreeView_DeleteItem(tree_, child);
    for (const TreeItem &item : presenter_.ConnectionItems(port)) AddNode(portItem, item);
    quiet_ = false;
    TreeView_Expand(tree_, portItem, TVE_EXPAND);
}

void TMainWindow::Refresh()
{
    // The tree and the panel let go of every object before the presenter frees them.
    quiet_ = true;
    TreeView_DeleteAllItems(tree_);
    quiet_ = false;
    nodes_.clear();
    ClearDeviceList();
    ListView_DeleteAllItems(params_);
    SetSettingsEnabled(false);
    SetOptionsEnabled(false);
    ClearSettings();
    SetStatus({});

    presenter_.Refresh();
    HTREEITEM parents[2] = {};
    std::vector<HTREEITEM> expand;
    quiet_ = true;
    for (const TreeItem &item : presenter_.Tree()) {
        HTREEITEM node = AddNode(item.depth ? parents[item.depth - 1] : nullptr, item);
        if (item.depth < 2) {
            parents[item.depth] = node;
            expand.push_back(node);
        }
    }
    for (HTREEITEM node : expand) TreeView_Expand(tree_, node, TVE_EXPAND);
    TreeView_SelectItem(tree_, nullptr);
    quiet_ = false;
    UpdateCommands(TPresenter::CommandsFor(NodeKind::None));
    const Outcome &outcome = presenter_.RefreshOutcome();
    if (!outcome.ok) SetStatus(outcome.error);
    UpdateUnappliedMarks();
}

bool TMainWindow::HasItem(HTREEITEM item) const
{
    std::vector<HTREEITEM> stack;
    for (HTREEITEM i = TreeView_GetRoot(tree_); i; i = TreeView_GetNextSibling(tree_, i)) stack.push_back(i);
    while (!stack.empty()) {
        HTREEITEM i = stack.back();
        stack.pop_back();
        if (i == item) return true;
        for (HTREEITEM c = TreeView_GetChild(tree_, i); c; c = TreeView_GetNextSibling(tree_, c)) stack.push_back(c);
    }
    return false;
}

HTREEITEM TMainWindow::ItemOf(const NodeRef &ref) const
{
    std::vector<HTREEITEM> stack;
    for (HTREEITEM i = TreeView_GetRoot(tree_); i; i = TreeView_GetNextSibling(tree_, i)) stack.push_back(i);
    while (!stack.empty()) {
        HTREEITEM i = stack.back();
        stack.pop_back();
        if (NodeOf(i) == ref) return i;
        for (HTREEITEM c = TreeView_GetChild(tree_, i); c; c = TreeView_GetNextSibling(tree_, c)) stack.push_back(c);
    }
    return nullptr;
}

bool TMainWindow::SelectionChanging(HTREEITEM target)
{
    PanelInput storage;
    if (!target || presenter_.LeftBehind(NodeOf(target), LiveInput(&storage)).empty()) return false;
    // Answering inside the notification could rebuild the nodes the tree is moving between.
    PostMessageW(hwnd_, kLeaveForMessage, 0, reinterpret_cast<LPARAM>(target));
    return true;
}

void TMainWindow::LeaveFor(HTREEITEM target)
{
    if (!HasItem(target)) return;
    NodeRef ref = NodeOf(target);
    PanelInput storage;
    if (!ResolveUnapplied(presenter_.LeftBehind(ref, LiveInput(&storage)))) return;
    // Nothing is left behind now, so the selection goes through.
    if (HTREEITEM item = ItemOf(ref)) TreeView_SelectItem(tree_, item);
}

const PanelInput *TMainWindow::LiveInput(PanelInput *storage) const
{
    if (!IsWindowEnabled(Item(IDC_APPLY))) return nullptr;
    *storage = ShownInput();
    return storage;
}

bool TMainWindow::ResolveUnapplied(const std::vector<TPortClass *> &ports)
{
    if (ports.empty()) return true;
    LeaveAnswer answer = RunLeaveDialog(hwnd_, presenter_.LeaveQuestionFor(ports));
    PanelInput storage;
    if (answer == LeaveAnswer::Apply) {
        Outcome outcome = presenter_.ApplyPorts(ports, LiveInput(&storage));
        if (outcome.reread) {
            RebuildConnectionNodes(PortItemOf(presenter_.SelectedPort()));
            FillPanel();
        }
        UpdateUnappliedMarks();
        return Report(outcome);
    }
    if (answer != LeaveAnswer::Discard) return false;
    presenter_.Discard(ports);
    for (TPortClass *port : ports)
        if (HTREEITEM item = PortItemOf(port)) RebuildConnectionNodes(item);
    // The fields go back with the port they show.
    if (std::find(ports.begin(), ports.end(), presenter_.SelectedPort()) != ports.end() &&
        NodeOf(TreeView_GetSelection(tree_)) == presenter_.Selection())
        FillPanel();
    UpdateUnappliedMarks();
    return true;
}

void TMainWindow::UpdateUnappliedMarks()
{
    PanelInput storage;
    const PanelInput *shown = LiveInput(&storage);
    bool any = false;
    for (HTREEITEM cls = TreeView_GetRoot(tree_); cls; cls = TreeView_GetNextSibling(tree_, cls)) {
        for (HTREEITEM item = TreeView_GetChild(tree_, cls); item; item = TreeView_GetNextSibling(tree_, item)) {
            TVITEMW data{};
            data.mask = TVIF_PARAM;
            data.hItem = item;
            if (!TreeView_GetItem(tree_, &data) || !data.lParam) continue;
            auto *node = reinterpret_cast<Node *>(data.lParam);
            bool unapplied = presenter_.IsUnapplied(node->ref.port, shown);
            any = any || unapplied;
            if (unapplied == node->shownUnapplied) continue;
            node->shownUnapplied = unapplied;
            std::wstring text = Wide(TPresenter::Marked(node->text, unapplied));
            data.mask = TVIF_TEXT;
            data.pszText = text.data();
            TreeView_SetItem(tree_, &data);
        }
    }
    // A port whose connection was deleted has no node selected, yet it is unapplied.
    any = any || presenter_.HasUnapplied(shown);
    std::wstring title = Wide(TPresenter::Marked(Narrow(kCaption), any));
    wchar_t current[128] = L"";
    GetWindowTextW(hwnd_, current, static_cast<int>(std::size(current)));
    if (title != current) SetWindowTextW(hwnd_, title.c_str());
}

void TMainWindow::TreeSelectionChanged()
{
    HTREEITEM item = TreeView_GetSelection(tree_);
    presenter_.Select(NodeOf(item));
    UpdateCommands(presenter_.Commands());
    if (item) FillPanel();
}

void TMainWindow::ShowMenu(HMENU sub, const wchar_t *text, int position, bool shown)
{
    HMENU bar = GetMenu(hwnd_);
    int count = GetMenuItemCount(bar);
    int at = -1;
    for (int i = 0; i < count; ++i)
        if (GetSubMenu(bar, i) == sub) at = i;
    if (shown && at < 0)
        InsertMenuW(bar, position, MF_BYPOSITION | MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(sub), text);
    if (!shown && at >= 0) RemoveMenu(bar, at, MF_BYPOSITION);
}

void TMainWindow::UpdateCommands(const CommandState &s)
{
    commands_ = s;
    // The filter and connection menus appear only where they can act, as in the Qt view.
    ShowMenu(connectionsMenu_, L"&Соединение", 0, false);
    connectionsShown_ = false;
    ShowMenu(filterMenu_, L"&Фильтр", kFilterMenuPosition, s.filters);
    filterShown_ = s.filters;
    ShowMenu(connectionsMenu_, L"&Соединение", s.filters ? kConnectionsMenuPosition : kFilterMenuPosition,
             s.connectionsMenu);
    connectionsShown_ = s.connectionsMenu;
    HMENU bar = GetMenu(hwnd_);
    auto enable = [bar](int id, bool on) { EnableMenuItem(bar, id, MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED)); };
    enable(IDM_DRIVER_UNINSTALL, s.uninstallDriver);
    enable(IDM_CONNECTION_ADD, s.addConnection);
    enable(IDM_CONNECTION_DELETE, s.editConnection);
    enable(IDM_CONNECTION_CHANGE, s.editConnection);
    DrawMenuBar(hwnd_);

    EnableWindow(Item(IDC_ADD_DEVICE), s.addDevice);
    EnableWindow(Item(IDC_REMOVE_DEVICE), FALSE);
    EnableWindow(Item(IDC_OPEN_FILE), s.settingsFiles);
    EnableWindow(Item(IDC_SAVE_FILE), s.settingsFiles);
}

void TMainWindow::ShowPopup(POINT screen)
{
    // The popup always shows the commands of the node it acts on: a right click selects first.
    POINT client = screen;
    ScreenToClient(tree_, &client);
    TVHITTESTINFO hit{};
    hit.pt = client;
    if (HTREEITEM item = TreeView_HitTest(tree_, &hit); item && (hit.flags & TVHT_ONITEM))
        TreeView_SelectItem(tree_, item);
    HMENU menu = LoadMenuW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDR_POPUP));
    HMENU popup = GetSubMenu(menu, 0);
    const CommandState &s = commands_;
    // Positions in the template: driver install, uninstall, separator, filter install,
    // uninstall, separator, connection add, delete, change. Removed from the end backwards.
    const bool keep[] = {true,
                         s.uninstallDriver,
                         s.filters,
                         s.filters,
                         s.filters,
                         s.connectionsMenu,
                         s.addConnection,
                         s.editConnection,
                         s.editConnection};
    for (int i = static_cast<int>(std::size(keep)) - 1; i >= 0; --i)
        if (!keep[i]) DeleteMenu(popup, i, MF_BYPOSITION);
    TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, screen.x, screen.y, 0, hwnd_, nullptr);
    DestroyMenu(menu);
}

LRESULT TMainWindow::Notify(NMHDR *header)
{
    if (header->hwndFrom == tree_) {
        switch (header->code) {
        case TVN_SELCHANGINGW:
            return !quiet_ && SelectionChanging(reinterpret_cast<NMTREEVIEWW *>(header)->itemNew.hItem);
        case TVN_SELCHANGEDW:
            if (!quiet_) {
                TreeSelectionChanged();
                UpdateUnappliedMarks();
            }
            return 0;
        case NM_RCLICK: {
            POINT at;
            GetCursorPos(&at);
            ShowPopup(at);
            return 1;
        }
        case NM_CUSTOMDRAW: {
            auto *draw = reinterpret_cast<NMTVCUSTOMDRAW *>(header);
            if (draw->nmcd.dwDrawStage == CDDS_PREPAINT) return CDRF_NOTIFYITEMDRAW;
            if (draw->nmcd.dwDrawStage == CDDS_ITEMPREPAINT) {
                auto *node = reinterpret_cast<const Node *>(draw->nmcd.lItemlParam);
                if (node && node->marked) {
                    SelectObject(draw->nmcd.hdc, markFont_);
                    return CDRF_NEWFONT;
                }
            }
            return CDRF_DODEFAULT;
        }
        }
    } else if (header->hwndFrom == devices_ && header->code == LVN_ITEMCHANGED) {
        UpdateRemoveButton();
    }
    return 0;
}

// ---- panel ----

void TMainWindow::DrawAddButton(const DRAWITEMSTRUCT &item)
{
    // A red "+" while it can be used; disabled, it greys like every other control.
    RECT rect = item.rcItem;
    bool pushed = (item.itemState & ODS_SELECTED) != 0;
    DrawFrameControl(item.hDC, &rect, DFC_BUTTON, DFCS_BUTTONPUSH | (pushed ? DFCS_PUSHED : 0));
    if (pushed) OffsetRect(&rect, 1, 1);
    bool disabled = (item.itemState & ODS_DISABLED) != 0;
    SetBkMode(item.hDC, TRANSPARENT);
    SetTextColor(item.hDC, disabled ? GetSysColor(COLOR_GRAYTEXT) : RGB(255, 0, 0));
    HGDIOBJ old = SelectObject(item.hDC, boldFont_);
    DrawTextW(item.hDC, L"+", 1, &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(item.hDC, old);
    if ((item.itemState & ODS_FOCUS) && !(item.itemState & ODS_NOFOCUSRECT)) {
        RECT focus = item.rcItem;
        InflateRect(&focus, -3, -3);
        DrawFocusRect(item.hDC, &focus);
    }
}

void TMainWindow::SetSettingsEnabled(bool enabled)
{
    for (int id : kRtsBoxes) EnableWindow(Item(id), enabled);
    for (int id : kDtrBoxes) EnableWindow(Item(id), enabled);
    EnableWindow(Item(IDC_DELAY), enabled);
    EnableWindow(Item(IDC_APPLY), enabled);
}

void TMainWindow::SetOptionsEnabled(bool enabled)
{
    EnableWindow(Item(IDC_EXCEPTIONS), enabled);
    EnableWindow(Item(IDC_RESPONSE), enabled);
}

void TMainWindow::ClearSettings()
{
    for (int id : kRtsBoxes) CheckDlgButton(hwnd_, id, BST_UNCHECKED);
    for (int id : kDtrBoxes) CheckDlgButton(hwnd_, id, BST_UNCHECKED);
    SetItemText(hwnd_, IDC_DELAY, {});
    CheckDlgButton(hwnd_, IDC_EXCEPTIONS, BST_UNCHECKED);
    SetItemText(hwnd_, IDC_RESPONSE, {});
}

void TMainWindow::ClearDeviceList()
{
    devicesRemovable_ = false;
    ListView_DeleteAllItems(devices_);
    EnableWindow(Item(IDC_REMOVE_DEVICE), FALSE);
}

void TMainWindow::SetStatus(const std::string &text)
{
    SendMessageW(status_, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(Wide(text).c_str()));
}

void TMainWindow::FillPanel()
{
    bool reread = false;
    PanelState panel = presenter_.Panel(&reread);
    if (reread) RebuildConnectionNodes(PortItemOf(presenter_.SelectedPort()));
    ClearDeviceList();
    ListView_DeleteAllItems(params_);
    for (const PanelRow &row : panel.lines) AddRow(params_, row.first, row.second);
    for (const PanelRow &row : panel.devices) AddRow(devices_, row.first, row.second, row.id);
    devicesRemovable_ = panel.devicesRemovable;
    SetSettingsEnabled(panel.settingsEnabled);
    SetOptionsEnabled(panel.optionsEnabled);
    if (!panel.keepSettings) {
        for (int i = 0; i < 4; ++i) {
            CheckDlgButton(hwnd_, kRtsBoxes[i], panel.rtsInputs[i] ? BST_CHECKED : BST_UNCHECKED);
            CheckDlgButton(hwnd_, kDtrBoxes[i], panel.dtrInputs[i] ? BST_CHECKED : BST_UNCHECKED);
        }
        SetItemText(hwnd_, IDC_DELAY, panel.delay);
        CheckDlgButton(hwnd_, IDC_EXCEPTIONS, panel.exceptions ? BST_CHECKED : BST_UNCHECKED);
        SetItemText(hwnd_, IDC_RESPONSE, panel.responseMs);
    }
    SetStatus(panel.status);
}

void TMainWindow::UpdateRemoveButton()
{
    int row = ListView_GetNextItem(devices_, -1, LVNI_SELECTED);
    EnableWindow(Item(IDC_REMOVE_DEVICE),
                 devicesRemovable_ && presenter_.Selection().kind == NodeKind::Connection && row >= 0);
}

PanelInput TMainWindow::ShownInput() const
{
    PanelInput input;
    for (int i = 0; i < 4; ++i) {
        input.rtsInputs[i] = IsDlgButtonChecked(hwnd_, kRtsBoxes[i]) == BST_CHECKED;
        input.dtrInputs[i] = IsDlgButtonChecked(hwnd_, kDtrBoxes[i]) == BST_CHECKED;
    }
    input.delay = ItemText(hwnd_, IDC_DELAY);
    input.exceptions = IsDlgButtonChecked(hwnd_, IDC_EXCEPTIONS) == BST_CHECKED;
    input.responseMs = ItemText(hwnd_, IDC_RESPONSE);
    return input;
}

// ---- commands ----

void TMainWindow::Command(int id)
{
    switch (id) {
    case IDC_APPLY: Apply(); break;
    case IDC_ADD_DEVICE: AddDevice(); break;
    case IDC_REMOVE_DEVICE: RemoveSelectedId(); break;
    case IDC_OPEN_FILE: OpenSettingsFile(); break;
    case IDC_SAVE_FILE: SaveSettingsFile(); break;
    case IDM_DRIVER_INSTALL: InstallDriver(); break;
    case IDM_DRIVER_UNINSTALL: UninstallDriver(); break;
    case IDM_DRIVER_REFRESH: RefreshCommand(); break;
    case IDM_FILTER_INSTALL: InstallFilter(); break;
    case IDM_FILTER_UNINSTALL: UninstallFilter(); break;
    case IDM_CONNECTION_ADD: AddConnection(); break;
    case IDM_CONNECTION_DELETE: DeleteConnection(); break;
    case IDM_CONNECTION_CHANGE: ChangeConnection(); break;
    case IDM_ABOUT: About(); break;
    case IDM_DELETE:
        // Del removes what the focused list shows selected.
        if (GetFocus() == devices_) {
            if (IsWindowEnabled(Item(IDC_REMOVE_DEVICE))) RemoveSelectedId();
        } else if (commands_.editConnection) {
            DeleteConnection();
        }
        break;
    default: break;  // Escape and Enter of the window itself do nothing
    }
}

bool TMainWindow::Report(const Outcome &outcome)
{
    if (!outcome.ok) ShowErrorBox(hwnd_, outcome.error);
    return outcome.ok;
}

void TMainWindow::Apply()
{
    Outcome outcome = presenter_.Apply(ShownInput());
    if (outcome.reread) {
        RebuildConnectionNodes(PortItemOf(presenter_.SelectedPort()));
        FillPanel();
    }
    if (Report(outcome)) SetStatus(kPortSettingsApplied);
}

void TMainWindow::RefreshCommand()
{
    PanelInput storage;
    if (!ResolveUnapplied(presenter_.UnappliedPorts(LiveInput(&storage)))) return;
    Refresh();
    Report(presenter_.RefreshOutcome());
}

void TMainWindow::RemoveSelectedId()
{
    int row = ListView_GetNextItem(devices_, -1, LVNI_SELECTED);
    if (presenter_.Selection().kind != NodeKind::Connection || !devicesRemovable_ || row < 0) return;
    LVITEMW item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    ListView_GetItem(devices_, &item);
    presenter_.RemoveId(static_cast<int>(item.lParam));
    ListView_DeleteItem(devices_, row);
    EnableWindow(Item(IDC_REMOVE_DEVICE), FALSE);
}

void TMainWindow::DeleteConnection()
{
    HTREEITEM node = TreeView_GetSelection(tree_);
    if (NodeOf(node).kind != NodeKind::Connection || presenter_.Selection().kind != NodeKind::Connection) return;
    if (!Confirm(hwnd_, presenter_.DeleteConnectionQuestion())) return;
    presenter_.DeleteConnection();
    // Nothing may point at the freed connection: selection, node, panel.
    quiet_ = true;
    TreeView_SelectItem(tree_, nullptr);
    TreeView_DeleteItem(tree_, node);
    quiet_ = false;
    ClearDeviceList();
    SetSettingsEnabled(false);
    SetOptionsEnabled(false);
    UpdateCommands(TPresenter::CommandsFor(NodeKind::None));
}

void TMainWindow::AddConnection()
{
    HTREEITEM node = TreeView_GetSelection(tree_);
    if (presenter_.Selection().kind != NodeKind::DriverPort || !node) return;
    ConnectionFields fields;
    if (!RunConnectionDialog(hwnd_, &fields)) return;
    if (!Report(presenter_.AddConnection(fields))) return;
    RebuildConnectionNodes(node);
    // The port's panel lists its connections.
    FillPanel();
}

void TMainWindow::ChangeConnection()
{
    HTREEITEM node = TreeView_GetSelection(tree_);
    if (presenter_.Selection().kind != NodeKind::Connection || !node) return;
    ConnectionFields fields = presenter_.FieldsOfSelectedConnection();
    if (!RunConnectionDialog(hwnd_, &fields)) return;
    if (!Report(presenter_.ChangeConnection(fields))) return;
    std::wstring text = Wide(presenter_.Selection().connection->DisplayText());
    TVITEMW item{};
    item.mask = TVIF_TEXT;
    item.hItem = node;
    item.pszText = text.data();
    TreeView_SetItem(tree_, &item);
    // The device rows carry the connection's text too.
    FillPanel();
}

void TMainWindow::AddDevice()
{
    CModbusDevInfo *connection = presenter_.Selection().connection;
    if (!connection) return;
    std::string id;
    if (!RunDeviceIdDialog(hwnd_, connection->DisplayText(), &id)) return;
    if (!Report(presenter_.AddId(id))) return;
    std::uint8_t added = connection->IdAt(connection->IdCount() - 1);
    AddRow(devices_, connection->DisplayText(), std::to_string(added), added);
}

void TMainWindow::InstallDriver()
{
    // The ports are listed again afterwards: nothing unapplied may be lost unasked.
    PanelInput storage;
    if (!ResolveUnapplied(presenter_.UnappliedPorts(LiveInput(&storage)))) return;
    std::string inf = AskFileName(hwnd_, false, nullptr, Filter("inf (*.inf)", L"*.inf"), L"inf");
    if (inf.empty()) return;
    if (Report(presenter_.InstallDriver(inf))) Refresh();
}

void TMainWindow::UninstallDriver()
{
    if (presenter_.Selection().kind != NodeKind::DriverPort) return;
    if (!Confirm(hwnd_, presenter_.UninstallQuestion())) return;
    if (Report(presenter_.UninstallDriver())) Refresh();
}

void TMainWindow::InstallFilter()
{
    if (!presenter_.CanChangeFilters()) return;
    std::string file =
        AskFileName(hwnd_, false, L"Выбор драйвера - фильтра", Filter("Driver files (*.sys)", L"*.sys"), L"sys");
    if (file.empty()) return;
    int kind = kUpperFilters;
    if (RunFilterTypeDialog(hwnd_, &kind)) Report(presenter_.AddFilter(file, kind));
    FillPanel();
}

void TMainWindow::UninstallFilter()
{
    if (!presenter_.CanChangeFilters()) return;
    int kind = kUpperFilters;
    std::string name;
    if (RunRemoveFilterDialog(hwnd_, presenter_.Filters(kUpperFilters), presenter_.Filters(kLowerFilters), &kind,
                              &name))
        Report(presenter_.RemoveFilter(name, kind));
    FillPanel();
}

void TMainWindow::SaveSettingsFile()
{
    if (!presenter_.SelectedPort()) return;
    std::wstring pattern = L"*." + Wide(quorvel::kSettingsFileSuffix);
    std::string name = AskFileName(hwnd_, true, L"Сохранить", Filter(kSettingsFileFilter, pattern.c_str()),
                                   Wide(quorvel::kSettingsFileSuffix).c_str());
    if (name.empty()) return;
    Report(presenter_.SaveSettings(name));
}

void TMainWindow::OpenSettingsFile()
{
    TPortClass *port = presenter_.SelectedPort();
    if (!port) return;
    std::wstring pattern = L"*." + Wide(quorvel::kSettingsFileSuffix);
    std::string name = AskFileName(hwnd_, false, L"Открыть", Filter(kSettingsFileFilter, pattern.c_str()),
                                   Wide(quorvel::kSettingsFileSuffix).c_str());
    if (name.empty()) return;
    // The file replaces what the port holds: unapplied changes are not dropped unasked.
    PanelInput storage;
    if (presenter_.IsUnapplied(port, LiveInput(&storage)) && !ResolveUnapplied({port})) return;
    HTREEITEM portItem = PortItemOf(port);
    if (!portItem || !Report(presenter_.LoadSettings(name))) return;
    // The tree and the panel are drawn from the model, whatever the file held; the selection
    // moved to the port.
    quiet_ = true;
    TreeView_SelectItem(tree_, portItem);
    quiet_ = false;
    RebuildConnectionNodes(portItem);
    FillPanel();
    UpdateCommands(presenter_.Commands());
}

void TMainWindow::About()
{
    if (!versionInfo_) {
        wchar_t path[MAX_PATH * 4];
        DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
        versionInfo_ = std::make_unique<TVersionInfo>(local_, Narrow(std::wstring(path, length)));
    }
    RunAboutDialog(hwnd_, *versionInfo_, local_);
}

void TMainWindow::Close()
{
    PanelInput storage;
    if (!ResolveUnapplied(presenter_.UnappliedPorts(LiveInput(&storage)))) return;
    DestroyWindow(hwnd_);
    hwnd_ = nullptr;
}
