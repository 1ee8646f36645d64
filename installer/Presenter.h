// What the main window shows and decides, without widgets: the tree, the commands a selection
// allows, the panel, validation and its messages, Apply, the connection and id edits, settings
// files, driver and filter installation. A view draws these states and passes on what the user
// did; it holds no rule of its own.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Platform.h"
#include "PortSettings.h"
#include "SetupClasses.h"
#include "Text.h"
#include "common/portoptions.h"

// Texts both views show word for word.
inline constexpr char kStartupWarning[] =
    "Перед работой необходимо закрыть\n\rвсе программы работающие с COM портами!\n\rЕсли есть такие, нажмите "
    "кнопку 'Отмена',\n\rиначе нажмите кнопку 'OK'";
inline constexpr char kStartupCaption[] = "Кофигуратор";
inline constexpr char kPortSettingsApplied[] = "Настройки порта приняты";
// The settings files' type in the file dialogs.
inline constexpr char kSettingsFileFilter[] = "Quorvel конфигурация (*.qvor)";

enum class NodeKind { None, Class, OtherPort, DriverPort, Connection };

// A tree node as a view keeps it. Exactly the pointer its kind names is set.
struct NodeRef {
    NodeKind kind = NodeKind::None;
    TClassInfo *cls = nullptr;
    TPortClass *port = nullptr;
    CModbusDevInfo *connection = nullptr;

    const void *object() const;
    bool operator==(const NodeRef &o) const { return kind == o.kind && object() == o.object(); }
};

// One node of the tree in display order; depth 0 class, 1 port, 2 connection.
struct TreeItem {
    NodeRef node;
    int depth = 0;
    std::string text;
    plat::Guid iconClass{};  // the class whose icon the node shows
    bool marked = false;     // a port of our driver: italic, underlined
};

// What the menus and buttons allow for the selection.
struct CommandState {
    bool filters = false;  // the filter menu and its popup entries
    bool uninstallDriver = false;
    bool connectionsMenu = false;
    bool addConnection = false;
    bool editConnection = false;  // delete and change
    bool addDevice = false;       // "+"
    bool settingsFiles = false;   // load and save
};

struct PanelRow {
    std::string first, second;
    int id = -1;  // the device id a row of the connection view stands for
};

// The right-hand panel for the selection.
struct PanelState {
    std::vector<PanelRow> lines;      // parameter / value
    std::vector<PanelRow> devices;    // connection / id
    bool devicesRemovable = false;    // a selected device row may be removed ("-")
    bool settingsEnabled = false;     // wiring boxes, delay, Apply
    bool keepSettings = false;        // the boxes and the delay keep what they show
    std::array<bool, 4> rtsInputs{};  // CTS, DSR, DCD, RING following RTS
    std::array<bool, 4> dtrInputs{};  // the same following DTR
    std::string delay;
    bool optionsEnabled = false;  // the port answered the options request
    bool exceptions = false;
    std::string responseMs;
    std::string status;  // the status bar
};

// The panel's editable fields as the user left them.
struct PanelInput {
    std::array<bool, 4> rtsInputs{};
    std::array<bool, 4> dtrInputs{};
    std::string delay;
    bool exceptions = false;
    std::string responseMs;
};

// A connection dialog's fields.
struct ConnectionFields {
    std::string address = "127.0.0.1";
    std::string port = "502";
    bool convert = true;  // to Modbus TCP, i.e. not raw
};

// The result of an action: ok, or the text of the error box.
struct Outcome {
    bool ok = true;
    std::string error;
    bool reread = false;  // the port's settings were read again: redraw its connections and the panel
    static Outcome Fail(const std::string &text) { return {false, text}; }
};

class TPresenter {
public:
    explicit TPresenter(plat::IPlatform &platform);
    ~TPresenter();
    TPresenter(const TPresenter &) = delete;
    TPresenter &operator=(const TPresenter &) = delete;

    plat::IPlatform &platform() const { return platform_; }

    // Re-enumerates the ports and reads the driver's ones; nothing is selected afterwards.
    void Refresh();
    // The tree as the model holds it now.
    std::vector<TreeItem> Tree() const;
    // The connection nodes of a port, after its connections changed.
    std::vector<TreeItem> ConnectionItems(const TPortClass *port) const;

    void Select(const NodeRef &node);
    const NodeRef &Selection() const { return selected_; }
    static CommandState CommandsFor(NodeKind kind);
    CommandState Commands() const { return CommandsFor(selected_.kind); }
    // Reads the port's options as well: the panel shows what the driver holds now. A port whose
    // settings could not be read is tried again (*reread: it worked, its connections changed).
    PanelState Panel(bool *reread = nullptr);

    // A port whose settings could not be read is tried again first; read now, it is not written
    // until the user has seen what it holds.
    Outcome Apply(const PanelInput &input);

    ConnectionFields FieldsOfSelectedConnection() const;
    // On a driver port: adds the connection; *added is the new one.
    Outcome AddConnection(const ConnectionFields &fields, CModbusDevInfo **added = nullptr);
    // On a connection: all or nothing.
    Outcome ChangeConnection(const ConnectionFields &fields);
    // On a connection: the model forgets it, and the selection with it.
    Outcome DeleteConnection();
    // What to ask before the selected connection, or the selected port's device, goes for good.
    std::string DeleteConnectionQuestion() const;
    std::string UninstallQuestion() const;
    Outcome AddId(const std::string &text);
    void RemoveId(int id);

    // The port the settings files act on: the selected port or the selected connection's.
    TPortClass *SelectedPort() const;
    Outcome SaveSettings(const std::string &path);
    // A loaded file replaces the port's connections; the selection moves to the port. A damaged
    // one changes nothing and says so.
    Outcome LoadSettings(const std::string &path);

    // After success the ports changed: the caller refreshes.
    Outcome InstallDriver(const std::string &infPath);
    Outcome UninstallDriver();
    bool CanChangeFilters() const;
    StringList Filters(int kind) const;
    Outcome AddFilter(const std::string &filePath, int kind);
    Outcome RemoveFilter(const std::string &name, int kind);

    // True when something the user changed has not been applied: an edit of connections or ids,
    // a loaded file, or (given the panel's fields) a field that differs from the selected port's.
    bool HasUnapplied(const PanelInput *shown) const;

    // The ports with unapplied changes; shown: the panel's fields, which belong to the selected port.
    std::vector<TPortClass *> UnappliedPorts(const PanelInput *shown) const;
    bool IsUnapplied(const TPortClass *port, const PanelInput *shown) const;
    // The unapplied ports that a selection of target would leave behind.
    std::vector<TPortClass *> LeftBehind(const NodeRef &target, const PanelInput *shown) const;
    // A port node's or the window's text, marked while its changes are unapplied.
    static std::string Marked(const std::string &text, bool unapplied);
    // What to ask before unapplied changes are left behind; the answers apply them, drop them, or stay.
    struct LeaveQuestion {
        std::string text, apply, discard, cancel;
    };
    LeaveQuestion LeaveQuestionFor(const std::vector<TPortClass *> &ports) const;
    // Applies the ports in turn (the selected one with the panel's fields, the others as the model
    // holds them); the first failure stops.
    Outcome ApplyPorts(const std::vector<TPortClass *> &ports, const PanelInput *shown);
    // The ports go back to what was last read or applied; a selected connection among them hands the
    // selection to its port. The caller redraws their connections.
    void Discard(const std::vector<TPortClass *> &ports);

    // What Refresh found: the ports could not be listed (the host is gone, say).
    const Outcome &RefreshOutcome() const { return refreshOutcome_; }

    // The system's text for a code, never empty.
    std::string SystemMessage(plat::Win32Error code) const;

private:
    struct Options {
        plat::Win32Error error = ERROR_INVALID_FUNCTION;
        quorvel::PortOptions value;
    };
    Options ReadOptions(const TPortClass &port) const;
    plat::Win32Error WriteOptions(const TPortClass &port, const quorvel::PortOptions &options) const;
    Outcome ApplyPort(TPortClass *port, const PanelInput &input);
    // Keeps the port's record as last read or applied, before its first unapplied change.
    void KeepAppliedRecord(const TPortClass *port);
    bool FieldsDiffer(const TPortClass &port, const PanelInput &shown) const;
    // Reads an unread port again; true when it is read now.
    bool Reread(TPortClass &port);
    void FillPortLines(const TPortClass &port, PanelState *panel) const;
    void FillPortSettings(TPortClass &port, PanelState *panel);
    TreeItem ConnectionItem(CModbusDevInfo *connection, int depth) const;

    plat::IPlatform &platform_;
    std::unique_ptr<TClassesList> classList_;
    std::vector<std::unique_ptr<TPortClass>> portList_;
    NodeRef selected_;
    // The options of the port the panel showed last, as read: written only when changed.
    const TPortClass *optionsPort_ = nullptr;
    std::set<const TPortClass *> unapplied_;  // ports whose connections or ids changed since Apply
    std::map<const TPortClass *, std::vector<std::uint8_t>> appliedRecords_;  // what Discard goes back to
    Outcome refreshOutcome_;
    // Our driver's ports as enumerated: asked again, a lost host would make them anybody's.
    std::set<const TPortClass *> driverPorts_;
    NodeRef RefOf(TPortClass *port) const;
    Options options_;
};
