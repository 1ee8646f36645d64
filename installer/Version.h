// The about box: product name, version and the two support links.
#pragma once

#include <QDialog>

#include "Platform.h"

class QLabel;
class TVersionInfo;

// Addresses behind the two links.
inline constexpr char kSupportMail[] = "support@quorvel.example";
inline constexpr char kWebSite[] = "https://quorvel.example";

class TVersionForm : public QDialog {
    Q_OBJECT

public:
    // Reads the product name and version from info; throws what info throws.
    TVersionForm(QWidget *parent, TVersionInfo &info, plat::IPlatform &platform);

    QLabel *Image1 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr;

private:
    void OpenLink(const QString &url);

    plat::IPlatform &platform_;
};
