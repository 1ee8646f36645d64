// The main window's decisions, shared by every view.
#include "Presenter.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "DeviceClasses.h"
#include "FieldNumber.h"
#include "common/settingsfile.h"
#include "newdev.hpp"

namespace {

const char kDelayMessage[] = "Таймаут должен быть целым числом от %1 до %2";
const char kResponseMessage[] = "Время ответа должно быть целым числом от 0 до %1 (0 - без ограничения)";
const char kRecordMessage[] = "Ошибка обработки буфера конфигурации порта";
const char kPortMessage[] = "Порт должен быть положительным целым числом";
const char kIdMessage[] = "ID устройства должно быть положительным целым числом";
// The letter after the first word is a Latin c, as the program has always shown it.
const char kDuplicateIdMessage[] = "Устройства c заданным ID уже присутствует в списке";
const char kAddressMessage[] = "Не удалось определить IP адрес «%1»";
const char kDamagedFileMessage[] = "Файл настроек поврежден: настройки порта не изменены";
const char kRereadMessage[] =
    "Настройки порта прочитаны заново и показаны в окне. Проверьте их и примите настройки еще раз";
const char kUnreadMessage[] = "Настройки порта не прочитаны: ";
const char kNoPortsMessage[] = "Список портов не получен: ";
const char kLeaveMessage[] = "Изменения настроек не приняты (%1). Принять их?";

// From UTF-16: a narrow path would be taken in the ANSI code page on Windows.
std::filesystem::path FilePath(const std::string &name) { return std::filesystem::path(Utf16(name)); }

}  // namespace

const void *NodeRef::object() const
{
    if (cls) return cls;
    if (port) return port;
    return connection;
}

NodeRef TPresenter::RefOf(TPortClass *port) const
{
    NodeRef ref;
    ref.kind = driverPorts_.count(port) ? NodeKind::DriverPort : NodeKind::OtherPort;
    ref.port = port;
    return ref;
}

TPresenter::TPresenter(plat::IPlatform &platform)
    : platform_(platform), classList_(std::make_unique<TClassesList>(platform))
{
}

TPresenter::~TPresenter()
{
    // The ports point at the class list's devices, so they go first.
    portList_.clear();
    classList_.reset();
}

TreeItem TPresenter::ConnectionItem(CModbusDevInfo *connection, int depth) const
{
    TreeItem item;
    item.node.kind = NodeKind::Connection;
    item.node.connection = connection;
    item.depth = depth;
    item.text = connection->DisplayText();
    item.iconClass = quorvel::kNetClassGuid;
    return item;
}

void TPresenter::Refresh()
{
    // Nothing may keep pointing at the objects about to be freed.
    selected_ = {};
    optionsPort_ = nullptr;
    unapplied_.clear();
    appliedRecords_.clear();
    driverPorts_.clear();
    portList_.clear();
    refreshOutcome_ = {};
    if (plat::Win32Error err = classList_->Refresh(&quorvel::kPortsClassGuid))
        refreshOutcome_ = Outcome::Fail(kNoPortsMessage + SystemMessage(err));
    for (int c = 0; c < classList_->ClassCount(); ++c) {
        TClassInfo *info = classList_->ClassAt(c);
        for (int d = 0; d < info->DeviceCount(); ++d) {
            auto port = std::make_unique<TPortClass>(info->DeviceAt(d), platform_);
            // A port whose settings cannot be read shows none; Apply stays refused until a refresh.
            if (port->IsDriverPort()) {
                driverPorts_.insert(port.get());
                port->ReadFromDriver();
            }
            portList_.push_back(std::move(port));
        }
    }
}

std::vector<TreeItem> TPresenter::Tree() const
{
    std::vector<TreeItem> tree;
    auto port = portList_.begin();
    for (int c = 0; c < classList_->ClassCount(); ++c) {
        TClassInfo *info = classList_->ClassAt(c);
        TreeItem classItem;
        classItem.node.kind = NodeKind::Class;
        classItem.node.cls = info;
        classItem.text = info->Description();
        classItem.iconClass = info->ClassGuid();
        tree.push_back(classItem);
        // The ports were made in this same order.
        for (int d = 0; d < info->DeviceCount() && port != portList_.end(); ++d, ++port) {
            TreeItem portItem;
            portItem.node = RefOf(port->get());
            portItem.depth = 1;
            portItem.text = info->DeviceAt(d)->DisplayName();
            portItem.iconClass = info->ClassGuid();
            portItem.marked = portItem.node.kind == NodeKind::DriverPort;
            tree.push_back(portItem);
            for (const TreeItem &item : ConnectionItems(port->get())) tree.push_back(item);
        }
    }
    return tree;
}

std::vector<TreeItem> TPresenter::ConnectionItems(const TPortClass *port) const
{
    std::vector<TreeItem> items;
    for (int i = 0; i < port->ethInfo().ConnectionCount(); ++i)
        items.push_back(ConnectionItem(port->ethInfo().ConnectionAt(i), 2));
    return items;
}

void TPresenter::Select(const NodeRef &node) { selected_ = node; }

CommandState TPresenter::CommandsFor(NodeKind kind)
{
    const bool anyPort = kind == NodeKind::OtherPort || kind == NodeKind::DriverPort;
    const bool driverPort = kind == NodeKind::DriverPort;
    const bool connection = kind == NodeKind::Connection;
    CommandState s;
    s.filters = kind == NodeKind::Class || anyPort;
    s.uninstallDriver = driverPort;
    s.connectionsMenu = driverPort || connection;
    s.addConnection = driverPort;
    s.editConnection = connection;
    s.addDevice = connection;
    s.settingsFiles = driverPort || connection;
    return s;
}

TPortClass *TPresenter::SelectedPort() const
{
    if (selected_.port) return selected_.port;
    if (selected_.connection) return selected_.connection->owner()->owner();
    return nullptr;
}

std::string TPresenter::SystemMessage(plat::Win32Error code) const
{
    std::string text = Utf8(platform_.SystemMessage(code));
    if (text.empty()) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08X", static_cast<unsigned>(code));
        text = Arg("Ошибка %1 (0x%2)", {std::to_string(code), hex});
    }
    return text;
}

// ---- panel ----

TPresenter::Options TPresenter::ReadOptions(const TPortClass &port) const
{
    Options options;
    if (port.portName().empty()) return options;
    plat::Bytes output;
    std::uint32_t information = 0;
    options.error = platform_.PortIoControl(Utf16(port.portName()), quorvel::IOCTL_QUORVEL_GET_OPTIONS, {},
                                            quorvel::kPortOptionsSize, &output, &information);
    if (options.error == 0 && !quorvel::DecodePortOptions(output, &options.value)) options.error = ERROR_INVALID_DATA;
    return options;
}

plat::Win32Error TPresenter::WriteOptions(const TPortClass &port, const quorvel::PortOptions &options) const
{
    std::uint32_t information = 0;
    return platform_.PortIoControl(Utf16(port.portName()), quorvel::IOCTL_QUORVEL_SET_OPTIONS,
                                   quorvel::EncodePortOptions(options), 0, nullptr, &information);
}

void TPresenter::FillPortLines(const TPortClass &port, PanelState *panel) const
{
    TDeviceInfo *device = port.device();
    panel->lines = {{"Device", device ? device->DisplayName() : std::string()},
                    {"Upper Filters", device ? device->FilterText(kUpperFilters) : std::string()},
                    {"Lower Filters", device ? device->FilterText(kLowerFilters) : std::string()}};
}

void TPresenter::FillPortSettings(TPortClass &port, PanelState *panel)
{
    const CEthInfo &eth = port.ethInfo();
    panel->settingsEnabled = true;
    for (int i = 0; i < 4; ++i) {
        panel->rtsInputs[i] = eth.rtsMask & (1u << i);
        panel->dtrInputs[i] = eth.dtrMask & (1u << i);
    }
    panel->delay = std::to_string(eth.delay);
    optionsPort_ = &port;
    options_ = ReadOptions(port);
    if (options_.error == 0) {
        panel->optionsEnabled = true;
        panel->exceptions = options_.value.flags & quorvel::kPortOptionExceptions;
        panel->responseMs = std::to_string(options_.value.responseMs);
    }
    if (port.SettingsUnread()) panel->status = std::string(kUnreadMessage) + SystemMessage(port.readError());
}

bool TPresenter::Reread(TPortClass &port)
{
    if (!port.SettingsUnread()) return false;
    port.ReadFromDriver();
    return !port.SettingsUnread();
}

PanelState TPresenter::Panel(bool *reread)
{
    PanelState panel;
    if (reread) *reread = false;
    optionsPort_ = nullptr;
    switch (selected_.kind) {
    case NodeKind::None: panel.keepSettings = true; break;
    case NodeKind::Class:
        panel.keepSettings = true;
        panel.lines = {{"Upper Filters", selected_.cls->FilterText(kUpperFilters)},
                       {"Lower Filters", selected_.cls->FilterText(kLowerFilters)}};
        break;
    case NodeKind::OtherPort: FillPortLines(*selected_.port, &panel); break;
    case NodeKind::DriverPort: {
        TPortClass &port = *selected_.port;
        if (Reread(port) && reread) *reread = true;
        FillPortLines(port, &panel);
        FillPortSettings(port, &panel);
        const CEthInfo &eth = port.ethInfo();
        for (int c = 0; c < eth.ConnectionCount(); ++c) {
            const CModbusDevInfo *connection = eth.ConnectionAt(c);
            panel.devices.push_back({connection->DisplayText(), std::string()});
            for (int i = 0; i < connection->IdCount(); ++i)
                panel.devices.push_back({std::string(), std::to_string(connection->IdAt(i))});
        }
        break;
    }
    case NodeKind::Connection: {
        CModbusDevInfo *connection = selected_.connection;
        TPortClass &port = *connection->owner()->owner();
        FillPortLines(port, &panel);
        FillPortSettings(port, &panel);
        panel.devicesRemovable = true;
        for (int i = 0; i < connection->IdCount(); ++i)
            panel.devices.push_back(
                {connection->DisplayText(), std::to_string(connection->IdAt(i)), connection->IdAt(i)});
        break;
    }
    }
    return panel;
}

// ---- Apply ----

Outcome TPresenter::Apply(const PanelInput &input) { return ApplyPort(SelectedPort(), input); }

Outcome TPresenter::ApplyPort(TPortClass *port, const PanelInput &input)
{
    if (!port || !driverPorts_.count(port)) return {};
    // The driver may hold settings this window never saw: they are read, and shown, first.
    if (port->SettingsUnread()) {
        if (!Reread(*port)) return Outcome::Fail(SystemMessage(port->readError()));
        Outcome outcome = Outcome::Fail(kRereadMessage);
        outcome.reread = true;
        return outcome;
    }
    // The same ranges quorvelctl and the host accept.
    long long delay = 0;
    if (!ParseFieldNumber(input.delay, quorvel::kEthMaxDelay, &delay) || !quorvel::EthDelayValid(delay))
        return Outcome::Fail(
            Arg(kDelayMessage, {std::to_string(quorvel::kEthMinDelay), std::to_string(quorvel::kEthMaxDelay)}));
    const bool withOptions = optionsPort_ == port && options_.error == 0;
    quorvel::PortOptions options = options_.value;
    if (withOptions) {
        std::string text = Trim(input.responseMs);
        long long ms = 0;
        bool ok = text.empty() || ParseInteger(text, &ms);
        if (!ok || ms < 0 || ms > static_cast<long long>(quorvel::kMaxResponseMs))
            return Outcome::Fail(Arg(kResponseMessage, {std::to_string(quorvel::kMaxResponseMs)}));
        options.responseMs = static_cast<std::uint32_t>(ms);
        options.flags = input.exceptions ? (options.flags | quorvel::kPortOptionExceptions)
                                         : (options.flags & ~quorvel::kPortOptionExceptions);
    }
    CEthInfo &eth = port->ethInfo();
    if (eth.RecordSize() == 0 || eth.RecordSize() > quorvel::kEthMaxAppliedSize) return Outcome::Fail(kRecordMessage);
    KeepAppliedRecord(port);
    eth.delay = static_cast<std::uint16_t>(delay);
    // Bits above the four inputs are the driver's; they stay as read.
    for (int i = 0; i < 4; ++i) {
        auto bit = static_cast<std::uint8_t>(1u << i);
        eth.rtsMask = input.rtsInputs[i] ? (eth.rtsMask | bit) : (eth.rtsMask & ~bit);
        eth.dtrMask = input.dtrInputs[i] ? (eth.dtrMask | bit) : (eth.dtrMask & ~bit);
    }
    if (plat::Win32Error err = port->WriteToDriver()) {
        // The model took the fields; the driver did not.
        unapplied_.insert(port);
        return Outcome::Fail(SystemMessage(err));
    }
    unapplied_.erase(port);
    appliedRecords_.erase(port);
    // Options unchanged are not written: a driver without them still takes the settings.
    if (withOptions && (options.flags != options_.value.flags || options.responseMs != options_.value.responseMs)) {
        if (plat::Win32Error err = WriteOptions(*port, options)) return Outcome::Fail(SystemMessage(err));
        options_.value = options;
    }
    return {};
}

bool TPresenter::FieldsDiffer(const TPortClass &port, const PanelInput &shown) const
{
    const CEthInfo &eth = port.ethInfo();
    for (int i = 0; i < 4; ++i)
        if (shown.rtsInputs[i] != bool(eth.rtsMask & (1u << i)) || shown.dtrInputs[i] != bool(eth.dtrMask & (1u << i)))
            return true;
    if (Trim(shown.delay) != std::to_string(eth.delay)) return true;
    if (optionsPort_ == &port && options_.error == 0)
        return shown.exceptions != bool(options_.value.flags & quorvel::kPortOptionExceptions) ||
               Trim(shown.responseMs) != std::to_string(options_.value.responseMs);
    return false;
}

bool TPresenter::IsUnapplied(const TPortClass *port, const PanelInput *shown) const
{
    if (!port) return false;
    if (unapplied_.count(port)) return true;
    // Fields shown for a port whose settings were not read are not compared: Apply reads it first.
    return shown && port == SelectedPort() && driverPorts_.count(port) && !port->SettingsUnread() &&
           FieldsDiffer(*port, *shown);
}

bool TPresenter::HasUnapplied(const PanelInput *shown) const { return !UnappliedPorts(shown).empty(); }

std::vector<TPortClass *> TPresenter::UnappliedPorts(const PanelInput *shown) const
{
    std::vector<TPortClass *> ports;
    for (const auto &port : portList_)
        if (IsUnapplied(port.get(), shown)) ports.push_back(port.get());
    return ports;
}

std::vector<TPortClass *> TPresenter::LeftBehind(const NodeRef &target, const PanelInput *shown) const
{
    // Moving between a port and its own connections keeps everything in view.
    const TPortClass *kept = target.port         ? target.port
                             : target.connection ? target.connection->owner()->owner()
                                                 : nullptr;
    std::vector<TPortClass *> ports = UnappliedPorts(shown);
    ports.erase(std::remove(ports.begin(), ports.end(), kept), ports.end());
    return ports;
}

std::string TPresenter::Marked(const std::string &text, bool unapplied) { return unapplied ? text + " *" : text; }

TPresenter::LeaveQuestion TPresenter::LeaveQuestionFor(const std::vector<TPortClass *> &ports) const
{
    StringList names;
    for (const TPortClass *port : ports) names.push_back(port->portName());
    return {Arg(kLeaveMessage, {Join(names, ", ")}), "Принять", "Не принимать", "Отмена"};
}

Outcome TPresenter::ApplyPorts(const std::vector<TPortClass *> &ports, const PanelInput *shown)
{
    for (TPortClass *port : ports) {
        PanelInput input;
        if (shown && port == SelectedPort()) {
            input = *shown;
        } else {
            // A port not shown keeps its fields as the model holds them; its options are not written.
            const CEthInfo &eth = port->ethInfo();
            for (int i = 0; i < 4; ++i) {
                input.rtsInputs[i] = eth.rtsMask & (1u << i);
                input.dtrInputs[i] = eth.dtrMask & (1u << i);
            }
            input.delay = std::to_string(eth.delay);
        }
        if (Outcome outcome = ApplyPort(port, input); !outcome.ok) return outcome;
    }
    return {};
}

void TPresenter::KeepAppliedRecord(const TPortClass *port)
{
    if (appliedRecords_.count(port)) return;
    std::uint32_t size = 0;
    port->ethInfo().Build(nullptr, size);
    std::vector<std::uint8_t> record(size);
    if (size == 0 || !port->ethInfo().Build(record.data(), size)) record.clear();
    appliedRecords_[port] = std::move(record);
}

void TPresenter::Discard(const std::vector<TPortClass *> &ports)
{
    for (TPortClass *port : ports) {
        if (selected_.connection && selected_.connection->owner()->owner() == port) selected_ = RefOf(port);
        auto kept = appliedRecords_.find(port);
        // Fields never reached the model; a port without a kept record is read again.
        if (kept != appliedRecords_.end() && !kept->second.empty())
            port->ethInfo().Parse(kept->second.data(), kept->second.size());
        else if (unapplied_.count(port))
            port->ReadFromDriver();
        appliedRecords_.erase(port);
        unapplied_.erase(port);
    }
}

// ---- connections and ids ----

ConnectionFields TPresenter::FieldsOfSelectedConnection() const
{
    ConnectionFields fields;
    if (CModbusDevInfo *connection = selected_.connection) {
        fields.address = connection->IpText();
        fields.port = std::to_string(connection->port);
        fields.convert = !connection->raw;
    }
    return fields;
}

namespace {

// The address and port of a filled connection dialog, or the field's message.
Outcome ReadConnectionFields(const ConnectionFields &fields, plat::IPlatform &platform, std::uint32_t *ip,
                             std::uint16_t *port)
{
    std::uint32_t resolved = ResolveIpAddress(fields.address, platform);
    // An unknown name would otherwise reach the driver as the broadcast address.
    if (resolved == kInaddrNone) return Outcome::Fail(Arg(kAddressMessage, {fields.address}));
    long long number = 0;
    if (!ParseFieldNumber(fields.port, 65535, &number)) return Outcome::Fail(kPortMessage);
    *ip = resolved;
    *port = static_cast<std::uint16_t>(number);
    return {};
}

}  // namespace

Outcome TPresenter::AddConnection(const ConnectionFields &fields, CModbusDevInfo **added)
{
    if (selected_.kind != NodeKind::DriverPort) return {};
    std::uint32_t ip = 0;
    std::uint16_t tcpPort = 0;
    if (Outcome read = ReadConnectionFields(fields, platform_, &ip, &tcpPort); !read.ok) return read;
    KeepAppliedRecord(selected_.port);
    CEthInfo &eth = selected_.port->ethInfo();
    auto connection = std::make_unique<CModbusDevInfo>(&eth);
    connection->ip = ip;
    connection->port = tcpPort;
    connection->raw = !fields.convert;
    CModbusDevInfo *result = eth.AddConnection(std::move(connection));
    if (added) *added = result;
    unapplied_.insert(selected_.port);
    return {};
}

Outcome TPresenter::ChangeConnection(const ConnectionFields &fields)
{
    CModbusDevInfo *connection = selected_.connection;
    if (!connection) return {};
    // All or nothing: a refused field leaves the connection exactly as the tree shows it.
    std::uint32_t ip = 0;
    std::uint16_t tcpPort = 0;
    if (Outcome read = ReadConnectionFields(fields, platform_, &ip, &tcpPort); !read.ok) return read;
    KeepAppliedRecord(connection->owner()->owner());
    connection->ip = ip;
    connection->port = tcpPort;
    connection->raw = !fields.convert;
    unapplied_.insert(connection->owner()->owner());
    return {};
}

Outcome TPresenter::DeleteConnection()
{
    CModbusDevInfo *connection = selected_.connection;
    if (!connection) return {};
    selected_ = {};
    optionsPort_ = nullptr;
    KeepAppliedRecord(connection->owner()->owner());
    unapplied_.insert(connection->owner()->owner());
    connection->owner()->RemoveConnection(connection);
    return {};
}

std::string TPresenter::DeleteConnectionQuestion() const
{
    CModbusDevInfo *connection = selected_.connection;
    if (!connection) return {};
    std::string text = "Удалить соединение " + connection->DisplayText();
    if (connection->IdCount() > 0) text += " вместе с ID устройств (" + std::to_string(connection->IdCount()) + ")";
    return text + "?";
}

std::string TPresenter::UninstallQuestion() const
{
    if (selected_.kind != NodeKind::DriverPort || !selected_.port->device()) return {};
    return "Удалить порт " + selected_.port->device()->DisplayName() + " вместе с его настройками?";
}

Outcome TPresenter::AddId(const std::string &text)
{
    CModbusDevInfo *connection = selected_.connection;
    if (!connection) return {};
    long long number = 0;
    if (!ParseFieldNumber(text, 255, &number)) return Outcome::Fail(kIdMessage);
    auto id = static_cast<std::uint8_t>(number);
    // Only this connection matters: several connections of a port may list one id.
    if (connection->IndexOfId(id) >= 0) return Outcome::Fail(kDuplicateIdMessage);
    KeepAppliedRecord(connection->owner()->owner());
    connection->AddId(id);
    unapplied_.insert(connection->owner()->owner());
    return {};
}

void TPresenter::RemoveId(int id)
{
    if (!selected_.connection || id < 0 || id > 255) return;
    KeepAppliedRecord(selected_.connection->owner()->owner());
    selected_.connection->RemoveId(static_cast<std::uint8_t>(id));
    unapplied_.insert(selected_.connection->owner()->owner());
}

// ---- settings files ----

Outcome TPresenter::SaveSettings(const std::string &path)
{
    TPortClass *port = SelectedPort();
    if (!port) return {};
    std::string ioError;
    quorvel::SettingsFileStatus status =
        quorvel::SaveSettingsFile(FilePath(path), port->ethInfo().ToRecord(), &ioError);
    if (status == quorvel::SettingsFileStatus::IoError) return Outcome::Fail(ioError);
    if (status != quorvel::SettingsFileStatus::Ok) return Outcome::Fail(quorvel::SettingsFileMessage(status, 0));
    return {};
}

Outcome TPresenter::LoadSettings(const std::string &path)
{
    TPortClass *port = SelectedPort();
    if (!port) return {};
    std::vector<std::uint8_t> recordBytes;
    quorvel::EthRecord record;
    std::uint16_t version = 0;
    std::string ioError;
    quorvel::SettingsFileStatus status =
        quorvel::LoadSettingsFile(FilePath(path), &recordBytes, &record, &version, &ioError);
    switch (status) {
    case quorvel::SettingsFileStatus::IoError: return Outcome::Fail(ioError);
    case quorvel::SettingsFileStatus::BadFormat:
    case quorvel::SettingsFileStatus::BadVersion:
    case quorvel::SettingsFileStatus::RecordTooLarge:
        return Outcome::Fail(quorvel::SettingsFileMessage(status, version));
    case quorvel::SettingsFileStatus::BadRecord: return Outcome::Fail(kDamagedFileMessage);
    default: break;
    }
    KeepAppliedRecord(port);
    if (!port->ethInfo().Parse(recordBytes.data(), recordBytes.size())) return Outcome::Fail(kDamagedFileMessage);
    // The connections were replaced: a selected one hands the selection to its port.
    selected_ = RefOf(port);
    unapplied_.insert(port);
    return {};
}

// ---- driver and filters ----

Outcome TPresenter::InstallDriver(const std::string &infPath)
{
    if (plat::Win32Error err = ::InstallDriver(platform_, infPath, Utf8(quorvel::QUORVEL_HARDWARE_ID)))
        return Outcome::Fail(SystemMessage(err));
    return {};
}

Outcome TPresenter::UninstallDriver()
{
    // Only the driver's own ports are removed here, whatever the menus showed.
    if (selected_.kind != NodeKind::DriverPort || !selected_.port->device()) return {};
    if (plat::Win32Error err = ::RemoveDevice(*selected_.port->device())) return Outcome::Fail(SystemMessage(err));
    return {};
}

bool TPresenter::CanChangeFilters() const { return selected_.cls || (selected_.port && selected_.port->device()); }

StringList TPresenter::Filters(int kind) const
{
    if (selected_.cls) return selected_.cls->ReadFilters(kind);
    if (selected_.port && selected_.port->device()) return selected_.port->device()->ReadFilters(kind);
    return {};
}

Outcome TPresenter::AddFilter(const std::string &filePath, int kind)
{
    plat::Win32Error err = 0;
    if (selected_.cls)
        err = ::AddFilter(*selected_.cls, filePath, kind);
    else if (selected_.port && selected_.port->device())
        err = ::AddFilter(*selected_.port->device(), filePath, kind);
    return err ? Outcome::Fail(SystemMessage(err)) : Outcome{};
}

Outcome TPresenter::RemoveFilter(const std::string &name, int kind)
{
    if (name.empty()) return {};
    plat::Win32Error err = 0;
    if (selected_.cls)
        err = ::RemoveFilter(*selected_.cls, name, kind);
    else if (selected_.port && selected_.port->device())
        err = ::RemoveFilter(*selected_.port->device(), name, kind);
    return err ? Outcome::Fail(SystemMessage(err)) : Outcome{};
}
