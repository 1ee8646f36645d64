// The filter-removal dialog: the upper or the lower filter list of a class or a port, and the
// name to remove from the list shown.
#pragma once

#include <QDialog>
#include <QStringList>

class QComboBox;
class QListWidget;

class TDelFilter : public QDialog {
    Q_OBJECT

public:
    explicit TDelFilter(QWidget *parent);

    // Filled by the caller before the dialog is shown.
    QStringList upperList;
    QStringList lowerList;

    // The kind whose list is shown (17 upper, 18 lower) and the name selected in it; after OK the
    // caller removes that name from that kind's list. The name is empty when none is selected.
    int kind() const { return kind_; }
    const QString &chosenName() const { return chosenName_; }

    QComboBox *ComboBox1 = nullptr;
    QListWidget *ListBox1 = nullptr;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void ComboBox1Change();
    void ListBox1Click();

    int kind_;
    QString chosenName_;
};
