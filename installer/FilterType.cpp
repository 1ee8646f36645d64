#include "FilterType.h"

#include <QComboBox>
#include <QVBoxLayout>

#include "DeviceClasses.h"
#include "DialogButtons.h"

TFType::TFType(QWidget *parent) : QDialog(parent, Qt::Tool)
{
    setObjectName(QStringLiteral("FType"));
    setWindowTitle(QStringLiteral("Выбор типа фильтра"));
    ComboBox1 = new QComboBox(this);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->addItems({QStringLiteral("Верхний фильтр"), QStringLiteral("Нижний фильтр")});
    ComboBox1->setCurrentIndex(0);

    auto *column = new QVBoxLayout(this);
    column->addWidget(ComboBox1);
    column->addLayout(MakeDialogButtons(this, true));
    setFixedSize(sizeHint());
}

int TFType::Kind() const { return ComboBox1->currentIndex() == 0 ? kUpperFilters : kLowerFilters; }
