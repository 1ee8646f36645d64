// The main window's commands that work through dialogs: connections and device ids, driver and
// filter installation, the about box.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTableWidget>
#include <QToolButton>
#include <QTreeWidget>

#include "ConnectSett.h"
#include "DeviceClasses.h"
#include "ErrorReporting.h"
#include "FieldNumber.h"
#include "FilterType.h"
#include "IDEditForm.h"
#include "Main.h"
#include "SettingsFile.h"
#include "UnInstallFilterForm.h"
#include "Version.h"
#include "VersionInfo.h"
#include "newdev.hpp"

namespace {

const char kPortMessage[] = "Порт должен быть положительным целым числом";
const char kIdMessage[] = "ID устройства должно быть положительным целым числом";
// The letter after the first word is a Latin c, as the program has always shown it.
const char kDuplicateIdMessage[] = "Устройства c заданным ID уже присутствует в списке";
const char kAddressMessage[] = "Не удалось определить IP адрес «%1»";

}  // namespace

void TForm1::ConnectDialogCommands()
{
    versionInfo_ = std::make_unique<TVersionInfo>(platform_, QCoreApplication::applicationFilePath());

    auto guard = [this](void (TForm1::*handler)()) {
        return [this, handler] { RunGuarded(this, [this, handler] { (this->*handler)(); }); };
    };
    for (QAction *a : {AddConnMenu, AddConnPMenu})
        connect(a, &QAction::triggered, this, guard(&TForm1::AddConnMenuClick));
    for (QAction *a : {ChangeConnMenu, ChangeConnPMenu})
        connect(a, &QAction::triggered, this, guard(&TForm1::ChangeConnMenuClick));
    connect(AddDeviceButt, &QToolButton::clicked, this, guard(&TForm1::AddDeviceButtClick));
    connect(N18, &QAction::triggered, this, guard(&TForm1::N18Click));
    for (QAction *a : {DrvInstMenu, DrvInstPMenu})
        connect(a, &QAction::triggered, this, guard(&TForm1::DrvInstMenuClick));
    for (QAction *a : {DrvUninstMenu, DrvUninstPMenu})
        connect(a, &QAction::triggered, this, guard(&TForm1::DrvUninstMenuClick));
    for (QAction *a : {FiltrInstMenu, FiltrInstPMenu})
        connect(a, &QAction::triggered, this, guard(&TForm1::FiltrInstMenuClick));
    for (QAction *a : {FiltrUninstMenu, FiltrUnInstPMenu})
        connect(a, &QAction::triggered, this, guard(&TForm1::FiltrUninstMenuClick));
    connect(SaveSettFile, &QToolButton::clicked, this, guard(&TForm1::SaveSettFileClick));
    connect(OpenSettFile, &QToolButton::clicked, this, guard(&TForm1::OpenSettFileClick));
}

QTreeWidgetItem *TForm1::PortNodeOf(const TPortClass *port) const
{
    for (int c = 0; c < TreeView1->topLevelItemCount(); ++c) {
        QTreeWidgetItem *classNode = TreeView1->topLevelItem(c);
        for (int p = 0; p < classNode->childCount(); ++p)
            if (PortOf(classNode->child(p)) == port) return classNode->child(p);
    }
    return nullptr;
}

bool TForm1::ReadConnectionForm(const TConnForm &form, std::uint32_t *ip, std::uint16_t *port)
{
    const QString address = form.IPSett->text();
    std::uint32_t resolved = ResolveIpAddress(address, platform_);
    // An unknown name would otherwise reach the driver as the broadcast address.
    if (resolved == kInaddrNone) {
        ShowError(QString::fromUtf8(kAddressMessage).arg(address));
        return false;
    }
    qlonglong number = 0;
    if (!ParseFieldNumber(form.PortSett->text(), 65535, &number)) {
        ShowError(QString::fromUtf8(kPortMessage));
        return false;
    }
    *ip = resolved;
    *port = static_cast<std::uint16_t>(number);
    return true;
}

// ---- connections and device ids ----

void TForm1::AddConnMenuClick()
{
    QTreeWidgetItem *node = SelectedItem();
    TPortClass *port = PortOf(node);
    if (!port || !IsDriverPortNode(node)) return;
    TConnForm form(this);
    if (form.exec() != QDialog::Accepted) return;
    std::uint32_t ip = 0;
    std::uint16_t tcpPort = 0;
    if (!ReadConnectionForm(form, &ip, &tcpPort)) return;
    auto connection = std::make_unique<CModbusDevInfo>(&port->ethInfo());
    connection->ip = ip;
    connection->port = tcpPort;
    connection->raw = !form.RawCheckBox->isChecked();
    CModbusDevInfo *added = port->ethInfo().AddConnection(std::move(connection));
    AddConnectionNode(node, added);
    node->setExpanded(true);
    // The port's panel lists its connections.
    FillPanel(node);
}

void TForm1::ChangeConnMenuClick()
{
    QTreeWidgetItem *node = SelectedItem();
    CModbusDevInfo *connection = ConnectionOf(node);
    if (!connection) return;
    TConnForm form(this);
    form.IPSett->setText(connection->IpText());
    form.PortSett->setText(QString::number(connection->port));
    form.RawCheckBox->setChecked(!connection->raw);
    if (form.exec() != QDialog::Accepted) return;
    // All or nothing: a refused field leaves the connection exactly as the tree shows it.
    std::uint32_t ip = 0;
    std::uint16_t tcpPort = 0;
    if (!ReadConnectionForm(form, &ip, &tcpPort)) return;
    connection->ip = ip;
    connection->port = tcpPort;
    connection->raw = !form.RawCheckBox->isChecked();
    node->setText(0, connection->DisplayText());
    // The device rows carry the connection's text too.
    FillPanel(node);
}

void TForm1::AddDeviceButtClick()
{
    CModbusDevInfo *connection = SelectedConnection();
    if (!connection) return;
    TIDForm form(this);
    form.InfoEdit->setText(connection->DisplayText());
    if (form.exec() != QDialog::Accepted) return;
    qlonglong number = 0;
    if (!ParseFieldNumber(form.IDEdit->text(), 255, &number)) {
        ShowError(QString::fromUtf8(kIdMessage));
        return;
    }
    auto id = static_cast<std::uint8_t>(number);
    // Only this connection matters: several connections of a port may list one id.
    if (connection->IndexOfId(id) >= 0) {
        ShowError(QString::fromUtf8(kDuplicateIdMessage));
        return;
    }
    connection->AddId(id);
    int row = ListView2->rowCount();
    ListView2->insertRow(row);
    auto *first = new QTableWidgetItem(connection->DisplayText());
    first->setData(Qt::UserRole, int(id));
    ListView2->setItem(row, 0, first);
    ListView2->setItem(row, 1, new QTableWidgetItem(QString::number(id)));
}

void TForm1::N18Click()
{
    TVersionForm form(this, *versionInfo_, platform_);
    form.exec();
}

// ---- driver ----

void TForm1::DrvInstMenuClick()
{
    QString inf =
        AskFileName(this, QFileDialog::AcceptOpen, QString(), QStringLiteral("inf (*.inf)"), QStringLiteral("inf"));
    if (inf.isEmpty()) return;
    if (plat::Win32Error err = InstallDriver(platform_, inf, QString::fromStdU16String(quorvel::QUORVEL_HARDWARE_ID)))
        ShowSystemError(err);
    else
        Refresh();
}

void TForm1::DrvUninstMenuClick()
{
    QTreeWidgetItem *node = SelectedItem();
    TPortClass *port = PortOf(node);
    // Only the driver's own ports are removed here, whatever the menus showed.
    if (!port || !IsDriverPortNode(node) || !port->device()) return;
    if (plat::Win32Error err = RemoveDevice(*port->device()))
        ShowSystemError(err);
    else
        Refresh();
}

// ---- filters ----

void TForm1::FiltrInstMenuClick()
{
    QTreeWidgetItem *node = SelectedItem();
    TClassInfo *info = ClassOf(node);
    TPortClass *port = PortOf(node);
    if (!info && !(port && port->device())) return;
    QString file = AskFileName(this, QFileDialog::AcceptOpen, QStringLiteral("Выбор драйвера - фильтра"),
                               QStringLiteral("Driver files (*.sys)"), QStringLiteral("sys"));
    if (file.isEmpty()) return;
    {
        TFType form(this);
        if (form.exec() == QDialog::Accepted) {
            plat::Win32Error err =
                info ? AddFilter(*info, file, form.Kind()) : AddFilter(*port->device(), file, form.Kind());
            if (err) ShowSystemError(err);
        }
    }
    FillPanel(node);
}

void TForm1::FiltrUninstMenuClick()
{
    QTreeWidgetItem *node = SelectedItem();
    TClassInfo *info = ClassOf(node);
    TPortClass *port = PortOf(node);
    TDeviceInfo *device = port ? port->device() : nullptr;
    if (!info && !device) return;
    {
        TDelFilter form(this);
        form.upperList = info ? info->ReadFilters(kUpperFilters) : device->ReadFilters(kUpperFilters);
        form.lowerList = info ? info->ReadFilters(kLowerFilters) : device->ReadFilters(kLowerFilters);
        if (form.exec() == QDialog::Accepted && !form.chosenName().isEmpty()) {
            plat::Win32Error err = info ? RemoveFilter(*info, form.chosenName(), form.kind())
                                        : RemoveFilter(*device, form.chosenName(), form.kind());
            if (err) ShowSystemError(err);
        }
    }
    FillPanel(node);
}
