// The main window's file dialogs and its settings-file commands (TForm1::SaveSettFileClick and
// TForm1::OpenSettFileClick live in SettingsFile.cpp; the file format is common/settingsfile.h).
#pragma once

#include <QFileDialog>
#include <QString>

#include "Presenter.h"

// A modal file dialog owned by parent; empty when cancelled. Opening asks for an existing file;
// saving asks before an existing file is replaced. A name typed without a suffix gets suffix.
QString AskFileName(QWidget *parent, QFileDialog::AcceptMode mode, const QString &title, const QString &filter,
                    const QString &suffix);
