#include "UnInstallFilterForm.h"

#include <QComboBox>
#include <QListWidget>
#include <QVBoxLayout>

#include "DeviceClasses.h"
#include "DialogButtons.h"

TDelFilter::TDelFilter(QWidget *parent) : QDialog(parent, Qt::Tool), kind_(kUpperFilters)
{
    setObjectName(QStringLiteral("DelFilter"));
    setWindowTitle(QStringLiteral("Удаление фильтра"));
    ComboBox1 = new QComboBox(this);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->addItems({QStringLiteral("Верхние фильтры"), QStringLiteral("Нижние фильтры")});
    ComboBox1->setCurrentIndex(0);
    ListBox1 = new QListWidget(this);
    ListBox1->setObjectName(QStringLiteral("ListBox1"));
    ListBox1->setSelectionMode(QAbstractItemView::SingleSelection);

    auto *column = new QVBoxLayout(this);
    column->addWidget(ComboBox1);
    column->addWidget(ListBox1);
    column->addLayout(MakeDialogButtons(this, true));
    resize(260, 240);

    connect(ComboBox1, &QComboBox::currentIndexChanged, this, &TDelFilter::ComboBox1Change);
    // Selection by mouse or keyboard alike.
    connect(ListBox1, &QListWidget::itemSelectionChanged, this, &TDelFilter::ListBox1Click);
}

void TDelFilter::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    ComboBox1Change();
}

void TDelFilter::ComboBox1Change()
{
    kind_ = ComboBox1->currentIndex() == 0 ? kUpperFilters : kLowerFilters;
    // A name chosen in the other list means nothing in this one: OK must never act on a name
    // that the list it shows does not hold.
    ListBox1->clear();
    ListBox1->addItems(kind_ == kUpperFilters ? upperList : lowerList);
    chosenName_.clear();
}

void TDelFilter::ListBox1Click()
{
    const QList<QListWidgetItem *> selected = ListBox1->selectedItems();
    chosenName_ = selected.isEmpty() ? QString() : selected.first()->text();
}
