#include "IDEditForm.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>

#include "DialogButtons.h"

TIDForm::TIDForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("IDForm"));
    setWindowTitle(QStringLiteral("ID устройства"));

    InfoEdit = new QLineEdit(this);
    InfoEdit->setObjectName(QStringLiteral("InfoEdit"));
    InfoEdit->setReadOnly(true);
    InfoEdit->setMinimumWidth(220);
    IDEdit = new QLineEdit(QStringLiteral("1"), this);
    IDEdit->setObjectName(QStringLiteral("IDEdit"));
    IDEdit->setMaximumWidth(60);

    auto *infoLabel = new QLabel(QStringLiteral("Соединение"), this);
    infoLabel->setBuddy(InfoEdit);
    auto *idLabel = new QLabel(QStringLiteral("ID"), this);
    idLabel->setBuddy(IDEdit);

    auto *grid = new QGridLayout(this);
    grid->addWidget(infoLabel, 0, 0);
    grid->addWidget(InfoEdit, 0, 1);
    grid->addWidget(idLabel, 1, 0);
    grid->addWidget(IDEdit, 1, 1, Qt::AlignLeft);
    grid->addLayout(MakeDialogButtons(this, true), 2, 0, 1, 2);

    // The id is what the user came to type: first in tab order, with the focus.
    QWidget::setTabOrder(IDEdit, InfoEdit);
    IDEdit->setFocus();
    IDEdit->selectAll();
    setFixedSize(sizeHint());
}
