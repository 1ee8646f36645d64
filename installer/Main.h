// The main window: the tree of ports and connections, the settings panel, the menus.
#pragma once

#include <memory>
#include <vector>

#include <QGroupBox>
#include <QMainWindow>

#include "Platform.h"
#include "Presenter.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QStatusBar;
class QTableWidget;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class TConnForm;
class TVersionInfo;

// The start-up warning. True for OK. QUORVEL_STARTUP_ANSWER=ok|cancel answers it without a box
// (tests only).
bool RunStartupPrompt();

// A group box that draws a line from its left edge to each of its check boxes.
class TWiredGroupBox : public QGroupBox {
public:
    using QGroupBox::QGroupBox;

protected:
    void paintEvent(QPaintEvent *event) override;
};

class TForm1 : public QMainWindow {
    Q_OBJECT

public:
    // Kinds of tree node, also the QTreeWidgetItem types.
    enum NodeType { ClassNode = 1000 + 0, PortNode = 1000 + 1, ConnectionNode = 1000 + 2 };

    explicit TForm1(plat::IPlatform &platform, QWidget *parent = nullptr);
    ~TForm1() override;

    // Re-enumerates the ports and rebuilds the tree; nothing is selected afterwards. A failure is
    // shown in the status bar and returned.
    Outcome Refresh();

    void ShowError(const QString &text);
    // Shows the outcome's error, if any; true when it succeeded.
    bool Report(const Outcome &outcome);
    // Asks before what cannot be undone; true for OK.
    bool Confirm(const QString &question);

    NodeKind CurrentSelection() const { return presenter_.Selection().kind; }

protected:
    // Leaving with unapplied changes asks first.
    void closeEvent(QCloseEvent *event) override;
    bool event(QEvent *event) override;

private:
    void FitFixedSize();
    PanelInput ShownInput() const;
    // The panel's fields while they belong to a port, else null.
    const PanelInput *LiveInput(PanelInput *storage) const;
    // Asks what becomes of the ports' unapplied changes; false: the user stays.
    bool ResolveUnapplied(const std::vector<TPortClass *> &ports);
    // Asks before a selection of target leaves unapplied changes behind; false: it must not move.
    bool MayLeaveFor(const QTreeWidgetItem *target);
    // The marks on the port nodes and in the title follow what is unapplied.
    void UpdateUnappliedMarks();
    void TreeView1CurrentChanged(QTreeWidgetItem *current, QTreeWidgetItem *previous);
    void CreateControls();
    void CreateMenus();
    void ConnectHandlers();

    void TreeView1Click();
    void TreeView1ItemClicked(QTreeWidgetItem *item);
    void TreeView1ContextPopup(const QPoint &pos);
    void ListView2Click();
    void ApplyButtonClick();
    void RemoveDevButtClick();
    void DelConnMenuClick();
    void DrvUpdateMenuClick();

    // Commands through dialogs (MainCommands.cpp) and the settings files (SettingsFile.cpp).
    void ConnectDialogCommands();
    void AddConnMenuClick();
    void ChangeConnMenuClick();
    void AddDeviceButtClick();
    void N18Click();
    void DrvInstMenuClick();
    void DrvUninstMenuClick();
    void FiltrInstMenuClick();
    void FiltrUninstMenuClick();
    void SaveSettFileClick();
    void OpenSettFileClick();
    QTreeWidgetItem *PortNodeOf(const TPortClass *port) const;
    // Replaces a port node's connection nodes with the model's.
    void RebuildConnectionNodes(QTreeWidgetItem *portNode);

    void UpdateCommands(const CommandState &state);
    void FillPanel();
    void ClearDeviceList();
    // The boxes and fields show nothing that is not known.
    void ClearSettings();
    void SetSettingsEnabled(bool enabled);
    void SetOptionsEnabled(bool enabled);

    QTreeWidgetItem *SelectedItem() const;
    // The presenter's reference for a node (none for null).
    static NodeRef NodeOf(const QTreeWidgetItem *item);
    QTreeWidgetItem *AddNode(QTreeWidgetItem *parent, const TreeItem &item);
    QIcon ClassIcon(const plat::Guid &cls);

    plat::IPlatform &platform_;
    TPresenter presenter_;
    bool listView2Clicks_ = false;
    bool selectionForced_ = false;             // the view moves the selection itself: nothing is asked
    const TPortClass *carriedPort_ = nullptr;  // compared only: the port whose fields carried_ holds
    PanelInput carried_;
    const QTreeWidgetItem *filledItem_ = nullptr;  // compared only, never dereferenced
    std::unique_ptr<TVersionInfo> versionInfo_;    // the program's own version resource

    QTreeWidget *TreeView1 = nullptr;
    QStatusBar *StatusBar1 = nullptr;
    QTableWidget *ListView1 = nullptr;
    QGroupBox *GroupBox1 = nullptr;
    QGroupBox *GroupBox2 = nullptr;
    QGroupBox *GroupBox3 = nullptr;
    // The status inputs that follow RTS, and those that follow DTR: CTS, DSR, DCD, RING.
    QCheckBox *RtsInputBoxes[4] = {};
    QCheckBox *DtrInputBoxes[4] = {};
    QTableWidget *ListView2 = nullptr;
    QToolButton *AddDeviceButt = nullptr;
    QToolButton *RemoveDevButt = nullptr;
    QToolButton *OpenSettFile = nullptr;
    QToolButton *SaveSettFile = nullptr;
    QLabel *DelayEditLabel = nullptr;
    QLineEdit *DelayEdit = nullptr;
    QPushButton *ApplyButton = nullptr;
    QCheckBox *ExceptionsBox = nullptr;
    QLabel *ResponseEditLabel = nullptr;
    QLineEdit *ResponseEdit = nullptr;

    QMenu *DrvMenu = nullptr;
    QMenu *FiltrMenu = nullptr;
    QMenu *ConnectionsMenu = nullptr;
    QMenu *PopupMenu1 = nullptr;
    QAction *DrvInstMenu = nullptr;
    QAction *DrvUninstMenu = nullptr;
    QAction *DrvUpdateMenu = nullptr;
    QAction *FiltrInstMenu = nullptr;
    QAction *FiltrUninstMenu = nullptr;
    QAction *AddConnMenu = nullptr;
    QAction *DelConnMenu = nullptr;
    QAction *ChangeConnMenu = nullptr;
    QAction *N18 = nullptr;
    QAction *DrvInstPMenu = nullptr;
    QAction *DrvUninstPMenu = nullptr;
    QAction *N11 = nullptr;
    QAction *FiltrInstPMenu = nullptr;
    QAction *FiltrUnInstPMenu = nullptr;
    QAction *N14 = nullptr;
    QAction *AddConnPMenu = nullptr;
    QAction *DelConnPMenu = nullptr;
    QAction *ChangeConnPMenu = nullptr;
};
