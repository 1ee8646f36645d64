// The connection dialog: server address, TCP port and the Modbus TCP conversion of a connection.
#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;

class TConnForm : public QDialog {
    Q_OBJECT

public:
    explicit TConnForm(QWidget *parent);

    QLineEdit *IPSett = nullptr;
    QLineEdit *PortSett = nullptr;
    // Checked: requests are converted to Modbus TCP, so the connection is not raw.
    QCheckBox *RawCheckBox = nullptr;
};
