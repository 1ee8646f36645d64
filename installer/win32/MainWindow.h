// The Windows configurator's main window: the tree of classes, ports and connections, the panel of
// the selection, the menus. It shows what the presenter says and passes on what the user did.
#pragma once

// winsock2.h, then windows.h: the order Winsock needs.
#include "common/wintypes.h"

#include <commctrl.h>

#include <map>
#include <memory>
#include <vector>

#include "Presenter.h"
#include "VersionInfo.h"

class TMainWindow {
public:
    // platform: the devices (this machine's, or a host's); local: this machine, for the program's
    // own version resource and the links of the about box.
    TMainWindow(plat::IPlatform &platform, plat::IPlatform &local);
    ~TMainWindow();
    TMainWindow(const TMainWindow &) = delete;
    TMainWindow &operator=(const TMainWindow &) = delete;

    // Creates and shows the window; false when the system refused.
    bool Create(int show);
    HWND hwnd() const { return hwnd_; }
    // The message loop's filter: F5 and Del, then the dialog keys (Tab, mnemonics). True when
    // the message was handled.
    bool PreTranslate(MSG *msg);

private:
    struct Node {
        NodeRef ref;
        bool marked = false;  // a port of our driver
        std::string text;     // as the presenter gave it, without the unapplied mark
        bool shownUnapplied = false;
    };

    static INT_PTR CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
    void Init();
    void Command(int id);
    LRESULT Notify(NMHDR *header);

    // Tree.
    HTREEITEM AddNode(HTREEITEM parent, const TreeItem &item);
    NodeRef NodeOf(HTREEITEM item) const;
    HTREEITEM PortItemOf(const TPortClass *port) const;
    void RebuildConnectionNodes(HTREEITEM portItem);
    int IconIndex(const plat::Guid &cls);
    void Refresh();
    void TreeSelectionChanged();
    // A selection about to leave unapplied ports behind: vetoed, asked about after the tree's
    // notification, then made again.
    bool SelectionChanging(HTREEITEM target);
    void LeaveFor(HTREEITEM target);
    bool HasItem(HTREEITEM item) const;
    HTREEITEM ItemOf(const NodeRef &ref) const;
    void ShowPopup(POINT screen);
    void UpdateCommands(const CommandState &state);
    void ShowMenu(HMENU sub, const wchar_t *text, int position, bool shown);

    // Panel.
    void DrawAddButton(const DRAWITEMSTRUCT &item);
    void FillPanel();
    void SetSettingsEnabled(bool enabled);
    void SetOptionsEnabled(bool enabled);
    void ClearSettings();
    void ClearDeviceList();
    void UpdateRemoveButton();
    PanelInput ShownInput() const;
    // The panel's fields while they belong to the selected port (Apply enabled), else null.
    const PanelInput *LiveInput(PanelInput *storage) const;
    // Asks before the ports' changes are left behind; true when the caller may go on.
    bool ResolveUnapplied(const std::vector<TPortClass *> &ports);
    void UpdateUnappliedMarks();
    void SetStatus(const std::string &text);

    // Commands.
    bool Report(const Outcome &outcome);
    void Apply();
    void RefreshCommand();
    void RemoveSelectedId();
    void DeleteConnection();
    void AddConnection();
    void ChangeConnection();
    void AddDevice();
    void InstallDriver();
    void UninstallDriver();
    void InstallFilter();
    void UninstallFilter();
    void SaveSettingsFile();
    void OpenSettingsFile();
    void About();
    void Close();

    HWND Item(int id) const { return GetDlgItem(hwnd_, id); }

    plat::IPlatform &platform_;
    plat::IPlatform &local_;
    TPresenter presenter_;
    std::unique_ptr<TVersionInfo> versionInfo_;
    HWND hwnd_ = nullptr;
    HWND tree_ = nullptr, params_ = nullptr, devices_ = nullptr, status_ = nullptr, tips_ = nullptr;
    HACCEL accelerators_ = nullptr;
    HMENU filterMenu_ = nullptr, connectionsMenu_ = nullptr;
    bool filterShown_ = true, connectionsShown_ = true;
    HIMAGELIST images_ = nullptr;
    std::map<std::string, int> iconIndex_;  // by the class GUID's registry form
    HFONT markFont_ = nullptr, boldFont_ = nullptr;
    HICON appIcon_ = nullptr, smallIcon_ = nullptr, openIcon_ = nullptr, saveIcon_ = nullptr;
    // The tree items' data; freed with the tree at a refresh.
    std::vector<std::unique_ptr<Node>> nodes_;
    CommandState commands_;
    bool devicesRemovable_ = false;
    // Set while the view changes the tree itself: no selection change reaches the presenter.
    bool quiet_ = false;
};
