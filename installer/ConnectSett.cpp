#include "ConnectSett.h"

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "DialogButtons.h"

TConnForm::TConnForm(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("ConnForm"));
    setWindowTitle(QStringLiteral("Соединение"));

    IPSett = new QLineEdit(QStringLiteral("127.0.0.1"), this);
    IPSett->setObjectName(QStringLiteral("IPSett"));
    PortSett = new QLineEdit(QStringLiteral("502"), this);
    PortSett->setObjectName(QStringLiteral("PortSett"));
    RawCheckBox = new QCheckBox(QStringLiteral("Преобразовывать в Modbus TCP"), this);
    RawCheckBox->setObjectName(QStringLiteral("RawCheckBox"));
    RawCheckBox->setChecked(true);

    auto *ipLabel = new QLabel(QStringLiteral("IP адрес"), this);
    ipLabel->setBuddy(IPSett);
    auto *portLabel = new QLabel(QStringLiteral("Порт"), this);
    portLabel->setBuddy(PortSett);
    auto *bevel = new QFrame(this);
    bevel->setObjectName(QStringLiteral("Bevel1"));
    bevel->setFrameShape(QFrame::HLine);
    bevel->setFrameShadow(QFrame::Sunken);

    auto *grid = new QGridLayout(this);
    grid->addWidget(ipLabel, 0, 0);
    grid->addWidget(IPSett, 0, 1);
    grid->addWidget(portLabel, 1, 0);
    grid->addWidget(PortSett, 1, 1);
    grid->addWidget(RawCheckBox, 2, 0, 1, 2);
    grid->addWidget(bevel, 3, 0, 1, 2);
    grid->addLayout(MakeDialogButtons(this, true), 4, 0, 1, 2);
    IPSett->setMinimumWidth(160);
    setFixedSize(sizeHint());
}
