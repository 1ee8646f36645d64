#include "ErrorReporting.h"

#include <cstdio>
#include <exception>

#include <QMessageBox>
#include <QWidget>

QString ConfiguratorCaption() { return QStringLiteral("Конфигуратор"); }

void ShowErrorBox(QWidget *owner, const QString &text)
{
    if (!owner) owner = QApplication::activeWindow();
    QMessageBox box(QMessageBox::Critical, ConfiguratorCaption(), text, QMessageBox::Ok, owner);
    box.exec();
}

namespace {

QString ExceptionText(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("Неизвестная ошибка");
    }
}

bool g_reporting = false;

}  // namespace

void ReportException(std::exception_ptr error, QWidget *owner)
{
    QString text = ExceptionText(error);
    std::fprintf(stderr, "quorvel-installer: %s\n", text.toLocal8Bit().constData());
    // A failure while the box of an earlier one is up goes to stderr only, so boxes cannot pile up.
    if (g_reporting) return;
    g_reporting = true;
    try {
        ShowErrorBox(owner, text);
    } catch (...) {
    }
    g_reporting = false;
}

TApplication::TApplication(int &argc, char **argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ReportException(std::current_exception());
    }
    return false;
}

void InstallTerminateReporter()
{
    std::set_terminate([] {
        if (std::exception_ptr error = std::current_exception()) {
            std::fprintf(stderr, "quorvel-installer: необработанное исключение: %s\n",
                         ExceptionText(error).toLocal8Bit().constData());
        } else {
            std::fprintf(stderr, "quorvel-installer: аварийное завершение\n");
        }
        std::abort();
    });
}
