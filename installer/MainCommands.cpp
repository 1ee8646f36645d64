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
#include "FilterType.h"
#include "IDEditForm.h"
#include "Main.h"
#include "SettingsFile.h"
#include "UnInstallFilterForm.h"
#include "Version.h"
#include "VersionInfo.h"
#include "newdev.hpp"

void TForm1::ConnectDialogCommands()
{
    versionInfo_ = std::make_unique<TVersionInfo>(platform_, QCoreApplication::applicationFilePath().toStdString());

    auto guard = [this](void (TForm1::*handler)()) {
        return [this, handler] {
            RunGuarded(this, [this, handler] { (this->*handler)(); });
            UpdateUnappliedMarks();
        };
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

// ---- connections and device ids ----

void TForm1::AddConnMenuClick()
{
    QTreeWidgetItem *node = SelectedItem();
    if (CurrentSelection() != NodeKind::DriverPort || !node) return;
    TConnForm form(this);
    if (form.exec() != QDialog::Accepted) return;
    ConnectionFields fields{form.IPSett->text().toStdString(), form.PortSett->text().toStdString(),
                            form.RawCheckBox->isChecked()};
    if (!Report(presenter_.AddConnection(fields))) return;
    RebuildConnectionNodes(node);
    // The port's panel lists its connections.
    FillPanel();
}

void TForm1::ChangeConnMenuClick()
{
    QTreeWidgetItem *node = SelectedItem();
    if (CurrentSelection() != NodeKind::Connection || !node) return;
    TConnForm form(this);
    ConnectionFields fields = presenter_.FieldsOfSelectedConnection();
    form.IPSett->setText(QString::fromStdString(fields.address));
    form.PortSett->setText(QString::fromStdString(fields.port));
    form.RawCheckBox->setChecked(fields.convert);
    if (form.exec() != QDialog::Accepted) return;
    fields = {form.IPSett->text().toStdString(), form.PortSett->text().toStdString(), form.RawCheckBox->isChecked()};
    if (!Report(presenter_.ChangeConnection(fields))) return;
    node->setText(0, QString::fromStdString(presenter_.Selection().connection->DisplayText()));
    // The device rows carry the connection's text too.
    FillPanel();
}

void TForm1::AddDeviceButtClick()
{
    CModbusDevInfo *connection = presenter_.Selection().connection;
    if (!connection) return;
    TIDForm form(this);
    form.InfoEdit->setText(QString::fromStdString(connection->DisplayText()));
    if (form.exec() != QDialog::Accepted) return;
    if (!Report(presenter_.AddId(form.IDEdit->text().toStdString()))) return;
    std::uint8_t id = connection->IdAt(connection->IdCount() - 1);
    int row = ListView2->rowCount();
    ListView2->insertRow(row);
    auto *first = new QTableWidgetItem(QString::fromStdString(connection->DisplayText()));
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
    // The ports are listed again afterwards: nothing unapplied may be lost unasked.
    PanelInput storage;
    if (!ResolveUnapplied(presenter_.UnappliedPorts(LiveInput(&storage)))) return;
    QString inf =
        AskFileName(this, QFileDialog::AcceptOpen, QString(), QStringLiteral("inf (*.inf)"), QStringLiteral("inf"));
    if (inf.isEmpty()) return;
    if (Report(presenter_.InstallDriver(inf.toStdString()))) Refresh();
}

void TForm1::DrvUninstMenuClick()
{
    if (CurrentSelection() != NodeKind::DriverPort) return;
    if (!Confirm(QString::fromStdString(presenter_.UninstallQuestion()))) return;
    if (Report(presenter_.UninstallDriver())) Refresh();
}

// ---- filters ----

void TForm1::FiltrInstMenuClick()
{
    if (!presenter_.CanChangeFilters()) return;
    QString file = AskFileName(this, QFileDialog::AcceptOpen, QStringLiteral("Выбор драйвера - фильтра"),
                               QStringLiteral("Driver files (*.sys)"), QStringLiteral("sys"));
    if (file.isEmpty()) return;
    {
        TFType form(this);
        if (form.exec() == QDialog::Accepted) Report(presenter_.AddFilter(file.toStdString(), form.Kind()));
    }
    FillPanel();
}

void TForm1::FiltrUninstMenuClick()
{
    if (!presenter_.CanChangeFilters()) return;
    {
        TDelFilter form(this);
        for (const std::string &name : presenter_.Filters(kUpperFilters))
            form.upperList << QString::fromStdString(name);
        for (const std::string &name : presenter_.Filters(kLowerFilters))
            form.lowerList << QString::fromStdString(name);
        if (form.exec() == QDialog::Accepted)
            Report(presenter_.RemoveFilter(form.chosenName().toStdString(), form.kind()));
    }
    FillPanel();
}
