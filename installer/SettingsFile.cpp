#include "SettingsFile.h"

#include <QTreeWidget>

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

void TForm1::SaveSettFileClick()
{
    if (!presenter_.SelectedPort()) return;
    QString name = AskFileName(this, QFileDialog::AcceptSave, QStringLiteral("Сохранить"),
                               QString::fromUtf8(kSettingsFileFilter), QLatin1String(quorvel::kSettingsFileSuffix));
    if (name.isEmpty()) return;
    Report(presenter_.SaveSettings(name.toStdString()));
}

void TForm1::OpenSettFileClick()
{
    TPortClass *port = presenter_.SelectedPort();
    if (!port) return;
    QString name = AskFileName(this, QFileDialog::AcceptOpen, QStringLiteral("Открыть"),
                               QString::fromUtf8(kSettingsFileFilter), QLatin1String(quorvel::kSettingsFileSuffix));
    if (name.isEmpty()) return;
    // The file replaces what the port holds: unapplied changes are not dropped unasked.
    PanelInput storage;
    if (presenter_.IsUnapplied(port, LiveInput(&storage)) && !ResolveUnapplied({port})) return;
    QTreeWidgetItem *portNode = PortNodeOf(port);
    if (!portNode || !Report(presenter_.LoadSettings(name.toStdString()))) return;
    // The tree and the panel are drawn from the model, whatever the file held.
    RebuildConnectionNodes(portNode);
    filledItem_ = SelectedItem();
    FillPanel();
    UpdateCommands(presenter_.Commands());
}
