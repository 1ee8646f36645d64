// The device-id dialog: one id for a connection.
#pragma once

#include <QDialog>

class QLineEdit;

class TIDForm : public QDialog {
    Q_OBJECT

public:
    explicit TIDForm(QWidget *parent);

    QLineEdit *InfoEdit = nullptr;  // the connection, read only
    QLineEdit *IDEdit = nullptr;
};
