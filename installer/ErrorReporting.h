// Exception reporting: whatever a handler lets through ends in one place, which shows the error
// box with its text. Handlers are connected through Guarded(); TApplication::notify catches what
// escapes event handlers; a terminate handler makes sure nothing dies without a word.
#pragma once

#include <exception>
#include <functional>
#include <utility>

#include <QApplication>
#include <QString>

class QWidget;

// The configurator's caption, also the title of every error box.
QString ConfiguratorCaption();

// Shows the error box (error icon, OK) owned by owner, or by the active window when owner is null.
void ShowErrorBox(QWidget *owner, const QString &text);

// The one handler: turns the exception into its text and shows the error box.
void ReportException(std::exception_ptr error, QWidget *owner = nullptr);

// Runs fn, reporting any exception it lets through.
template <class Fn>
void RunGuarded(QWidget *owner, Fn &&fn)
{
    try {
        std::forward<Fn>(fn)();
    } catch (...) {
        ReportException(std::current_exception(), owner);
    }
}

class TApplication : public QApplication {
public:
    TApplication(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};

// Installs the terminate handler (prints the exception to stderr before the program ends).
void InstallTerminateReporter();
