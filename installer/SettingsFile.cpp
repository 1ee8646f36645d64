#include "SettingsFile.h"

#include <QTreeWidget>

#include "Errors.h"
#include "Main.h"
#include "common/settingsfile.h"

QString AskFileName(QWidget *parent, QFileDialog::AcceptMode mode, const QString &title, const QString &filter,
                    const QString &suffix)
{
    QFileDialog dialog(parent, title);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(mode == QFileDialog::AcceptOpen ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilter(filter);
    dialog.setDefaultSuffix(suffix);
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().first();
}

namespace {

std::filesystem::path FilePath(const QString &name) { return std::filesystem::path(name.toStdU16String()); }

}  // namespace

void TForm1::SaveSettFileClick()
{
    TPortClass *port = SelectedPort();
    if (!port) return;
    QString name = AskFileName(this, QFileDialog::AcceptSave, QStringLiteral("Сохранить"),
                               QString::fromUtf8(kSettingsFileFilter), QLatin1String(quorvel::kSettingsFileSuffix));
    if (name.isEmpty()) return;
    std::string ioError;
    quorvel::SettingsFileStatus status =
        quorvel::SaveSettingsFile(FilePath(name), port->ethInfo().ToRecord(), &ioError);
    if (status == quorvel::SettingsFileStatus::IoError) throw ConfiguratorError(ioError);
    if (status != quorvel::SettingsFileStatus::Ok)
        ShowError(QString::fromStdString(quorvel::SettingsFileMessage(status, 0)));
}

void TForm1::OpenSettFileClick()
{
    TPortClass *port = SelectedPort();
    if (!port) return;
    QString name = AskFileName(this, QFileDialog::AcceptOpen, QStringLiteral("Открыть"),
                               QString::fromUtf8(kSettingsFileFilter), QLatin1String(quorvel::kSettingsFileSuffix));
    if (name.isEmpty()) return;
    std::vector<std::uint8_t> recordBytes;
    quorvel::EthRecord record;
    std::uint16_t version = 0;
    std::string ioError;
    quorvel::SettingsFileStatus status =
        quorvel::LoadSettingsFile(FilePath(name), &recordBytes, &record, &version, &ioError);
    switch (status) {
    case quorvel::SettingsFileStatus::IoError: throw ConfiguratorError(ioError);
    case quorvel::SettingsFileStatus::BadFormat:
    case quorvel::SettingsFileStatus::BadVersion:
    case quorvel::SettingsFileStatus::RecordTooLarge:
        ShowError(QString::fromStdString(quorvel::SettingsFileMessage(status, version)));
        return;
    default: break;
    }

    QTreeWidgetItem *portNode = PortNodeOf(port);
    if (!portNode) return;
    // A connection node about to go would leave the commands and the panel on a freed object:
    // the port takes over the selection first.
    if (QTreeWidgetItem *selected = SelectedItem(); selected && selected->parent() == portNode) {
        TreeView1->setCurrentItem(portNode);
        portNode->setSelected(true);
    }
    qDeleteAll(portNode->takeChildren());
    // A damaged record leaves the model as it was; the tree and panel are drawn from it anyway.
    if (status == quorvel::SettingsFileStatus::Ok) port->ethInfo().Parse(recordBytes.data(), recordBytes.size());
    for (int i = 0; i < port->ethInfo().ConnectionCount(); ++i)
        AddConnectionNode(portNode, port->ethInfo().ConnectionAt(i));
    portNode->setExpanded(true);
    filledItem_ = SelectedItem();
    FillPanel(portNode);
    UpdateCommands(CurrentSelection());
}
