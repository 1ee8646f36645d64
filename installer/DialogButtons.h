// The button row of the configurator's dialogs: OK (default, accepts) and, unless the dialog has
// only OK, "Отмена" (rejects). Only OK counts.
#pragma once

#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>

inline QHBoxLayout *MakeDialogButtons(QDialog *dialog, bool withCancel)
{
    auto *row = new QHBoxLayout;
    row->addStretch(1);
    auto *ok = new QPushButton(QStringLiteral("OK"), dialog);
    ok->setObjectName(QStringLiteral("OKBtn"));
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
    row->addWidget(ok);
    if (withCancel) {
        auto *cancel = new QPushButton(QStringLiteral("Отмена"), dialog);
        cancel->setObjectName(QStringLiteral("CancelBtn"));
        QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
        row->addWidget(cancel);
    }
    return row;
}
