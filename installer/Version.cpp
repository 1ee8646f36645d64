#include "Version.h"

#include <functional>

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QStyle>

#include "DialogButtons.h"
#include "ErrorReporting.h"
#include "VersionInfo.h"

namespace {

// A label that looks and acts as a link: blue, underlined, a hand cursor, one action on a click.
QLabel *MakeLink(QWidget *parent, const char *name, const QString &text)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    QFont font = label->font();
    font.setUnderline(true);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::blue);
    label->setPalette(palette);
    label->setCursor(Qt::PointingHandCursor);
    return label;
}

class ClickFilter : public QObject {
public:
    ClickFilter(QObject *parent, std::function<void()> action) : QObject(parent), action_(std::move(action)) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::MouseButtonRelease) {
            action_();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> action_;
};

}  // namespace

TVersionForm::TVersionForm(QWidget *parent, TVersionInfo &info, plat::IPlatform &platform)
    : QDialog(parent), platform_(platform)
{
    setObjectName(QStringLiteral("VersionForm"));
    setWindowTitle(QString::fromStdString(info.ProductName()));

    Image1 = new QLabel(this);
    Image1->setObjectName(QStringLiteral("Image1"));
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull()) icon = style()->standardIcon(QStyle::SP_ComputerIcon);
    Image1->setPixmap(icon.pixmap(32, 32));

    Label1 = new QLabel(QStringLiteral("Версия продукта: ") + QString::fromStdString(info.FileVersion()), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    const QString mail = QLatin1String(kSupportMail);
    const QString site = QLatin1String(kWebSite);
    Label3 = MakeLink(this, "Label3", mail);
    Label4 = MakeLink(this, "Label4", site);
    Label3->installEventFilter(new ClickFilter(Label3, [this, mail] { OpenLink(QStringLiteral("mailto:") + mail); }));
    Label4->installEventFilter(new ClickFilter(Label4, [this, site] { OpenLink(site); }));

    auto *grid = new QGridLayout(this);
    grid->addWidget(Image1, 0, 0, 3, 1, Qt::AlignTop);
    grid->addWidget(Label1, 0, 1);
    grid->addWidget(Label3, 1, 1);
    grid->addWidget(Label4, 2, 1);
    grid->addLayout(MakeDialogButtons(this, false), 3, 0, 1, 2);
    grid->setHorizontalSpacing(16);
    setFixedSize(sizeHint().expandedTo(QSize(300, 0)));
}

void TVersionForm::OpenLink(const QString &url)
{
    // The desktop's handler for the address (mail client, browser), shown normally.
    if (plat::Win32Error err = platform_.ShellOpen(url.toStdU16String()))
        ShowErrorBox(this, QString::fromStdU16String(platform_.SystemMessage(err)));
}
