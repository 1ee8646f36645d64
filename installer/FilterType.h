// The filter-type choice: upper or lower filter.
#pragma once

#include <QDialog>

class QComboBox;

class TFType : public QDialog {
    Q_OBJECT

public:
    explicit TFType(QWidget *parent);

    // The filter kind of the chosen item: 17 upper, 18 lower.
    int Kind() const;

    QComboBox *ComboBox1 = nullptr;
};
