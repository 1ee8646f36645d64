// quorvel-installer, the Qt program: the configurator talking to quorvel-host over its control socket.
#include <cstdio>
#include <cstdlib>

#include <QCommandLineParser>
#include <QLibraryInfo>
#include <QScreen>
#include <QTranslator>

#include "ErrorReporting.h"
#include "Main.h"
#include "PlatformHost.h"
#include "common/statedir.h"
#include "common/version.h"

int main(int argc, char **argv)
{
    InstallTerminateReporter();
    TApplication app(argc, argv);
    // Qt's own texts (file dialogs, their buttons and questions) in the program's language.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::Russian), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtTexts);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Конфигуратор портов Quorvel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEL_VERSION));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption stateOption(QStringList{QStringLiteral("state")},
                                   QStringLiteral("Каталог состояния quorvel-host (по умолчанию $QUORVEL_STATE, "
                                                  "иначе тот же, что у quorvel-host)."),
                                   QStringLiteral("DIR"), QString::fromStdString(quorvel::DefaultStateDirectory()));
    parser.addOption(stateOption);
    parser.process(app);

    if (!RunStartupPrompt()) return 0;
    QApplication::setApplicationName(ConfiguratorCaption());

    std::string socketPath = plat::PlatformHost::SocketPathFor(parser.value(stateOption).toStdString());
    plat::PlatformHost host(socketPath);
    std::string reason;
    if (!host.Connect(&reason)) {
        QString text = QStringLiteral(
                           "Не удалось подключиться к quorvel-host (%1).\nЗапустите quorvel-host с тем же "
                           "каталогом состояния (--state).")
                           .arg(QString::fromStdString(reason));
        std::fprintf(stderr, "quorvel-installer: %s\n", text.toLocal8Bit().constData());
        // The test seam answers the start-up box; it also keeps this box from waiting for a user.
        if (qEnvironmentVariableIsEmpty("QUORVEL_STARTUP_ANSWER")) ShowErrorBox(nullptr, text);
        return 1;
    }

    try {
        TForm1 form(host);
        if (QScreen *screen = QGuiApplication::primaryScreen())
            form.move(screen->availableGeometry().center() - form.frameGeometry().center() + form.pos());
        form.show();
        return app.exec();
    } catch (...) {
        // A failure while the window is being built has no handler above it.
        ReportException(std::current_exception());
        return 1;
    }
}
