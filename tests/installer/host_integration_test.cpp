// The configurator against a real quorvel-host: the window over the host's control socket, the
// settings cross-checked with quorvelctl, a program holding a port's pseudo-terminal. Each test
// has its own state directory and host.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

#include <QFileDialog>
#include <QMenu>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "ConnectSett.h"
#include "DeviceClasses.h"
#include "ErrorReporting.h"
#include "FilterType.h"
#include "IDEditForm.h"
#include "Main.h"
#include "PlatformHost.h"
#include "SetupClasses.h"
#include "UnInstallFilterForm.h"
#include "message_boxes.h"
#include "newdev.hpp"
#include "platform_test.h"
#include "programs.h"

namespace {

// Runs action, answering its file dialog with path (typed into the name field, as a user would)
// and recording the first message box after it.
BoxSeen WithFileDialog(const QString &path, const std::function<void()> &action, bool *fileAsked)
{
    *fileAsked = false;
    return CaptureBox([&] {
        QTimer poll;
        poll.setInterval(5);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto *d = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!d || *fileAsked) return;
            *fileAsked = true;
            if (auto *name = d->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))) {
                name->setText(path);
                static_cast<QDialog *>(d)->accept();
            } else {
                d->reject();
            }
        });
        poll.start();
        action();
        poll.stop();
    });
}

// Runs action; each modal window it opens is handed to the next step, which must close it. Message
// boxes are recorded and answered OK without a step. Returns the boxes' texts; a modal window
// beyond the steps, or a step never reached, is a failure.
using Step = std::function<void(QWidget *)>;
QStringList RunModal(const std::function<void()> &action, std::vector<Step> steps, QStringList *failures)
{
    QStringList boxes;
    std::size_t used = 0;
    QList<QPointer<QWidget>> handled;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QWidget *w = QApplication::activeModalWidget();
        if (!w || handled.contains(w)) return;
        handled << w;
        if (auto *box = qobject_cast<QMessageBox *>(w)) {
            boxes << box->text();
            QTimer::singleShot(0, box, [box] { box->button(QMessageBox::Ok)->click(); });
        } else if (used < steps.size()) {
            // Deferred, so that a box the step itself opens finds this poll running.
            Step step = steps[used++];
            QTimer::singleShot(0, w, [step, w] { step(w); });
        } else {
            *failures << QStringLiteral("unexpected %1").arg(QLatin1String(w->metaObject()->className()));
            if (auto *d = qobject_cast<QDialog *>(w)) d->reject();
        }
    });
    poll.start();
    action();
    poll.stop();
    if (used != steps.size()) *failures << QStringLiteral("%1 of %2 modal steps ran").arg(used).arg(steps.size());
    return boxes;
}

// A step for a dialog of type T: `fill` sets its fields, then it is accepted.
template <class T>
Step Accept(std::function<void(T *)> fill = {})
{
    return [fill](QWidget *w) {
        auto *d = qobject_cast<T *>(w);
        if (!d) qFatal("expected %s, got %s", T::staticMetaObject.className(), w->metaObject()->className());
        if (fill) fill(d);
        d->accept();
    };
}

// The file dialog answered with path, typed into its name field.
Step ChooseFile(const QString &path)
{
    return [path](QWidget *w) {
        auto *d = qobject_cast<QFileDialog *>(w);
        auto *name = d ? d->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")) : nullptr;
        if (!name) qFatal("expected a file dialog with a name field");
        name->setText(path);
        static_cast<QDialog *>(d)->accept();
    };
}

std::string ReadText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

class HostIntegrationTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<qvtest::TempDir> dir_;
    std::unique_ptr<hosttest::Process> host_;
    std::unique_ptr<plat::PlatformHost> platform_;
    std::unique_ptr<TForm1> form_;

    std::string State() const { return dir_->Path() + "/state"; }
    std::string Link(const std::string &port) const { return State() + "/dev/" + port; }

    hosttest::Result Ctl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {QV_CTL, "--state", State()});
        return hosttest::Run(args);
    }
    bool CtlOk(const std::vector<std::string> &args)
    {
        hosttest::Result r = Ctl(args);
        if (r.status != 0) qWarning("quorvelctl: %s%s", r.err.c_str(), r.out.c_str());
        return r.status == 0;
    }
    bool InUse(bool held)
    {
        std::string want = held ? "\"in_use\": true" : "\"in_use\": false";
        return qvtest::WaitUntil([&] { return Ctl({"--json", "list"}).out.find(want) != std::string::npos; });
    }

    bool Open()
    {
        platform_ = std::make_unique<plat::PlatformHost>(plat::PlatformHost::SocketPathFor(State()));
        std::string reason;
        if (!platform_->Connect(&reason)) {
            qWarning("no host: %s", reason.c_str());
            return false;
        }
        form_ = std::make_unique<TForm1>(*platform_);
        form_->show();
        return QTest::qWaitForWindowExposed(form_.get());
    }

    QTreeWidget *Tree() { return form_->findChild<QTreeWidget *>("TreeView1"); }
    template <class T>
    T *Child(const char *name)
    {
        T *w = form_->findChild<T *>(QLatin1String(name));
        if (!w) qFatal("no control %s", name);
        return w;
    }
    // The port node whose display name ends in "(COMn)", marked unapplied or not.
    QTreeWidgetItem *PortNode(const QString &port)
    {
        auto items = Tree()->findItems(QStringLiteral("\\(%1\\)( \\*)?$").arg(port),
                                       Qt::MatchRegularExpression | Qt::MatchRecursive);
        return items.isEmpty() ? nullptr : items.first();
    }
    void Click(QTreeWidgetItem *item)
    {
        QVERIFY(item);
        Tree()->scrollToItem(item);
        QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, {}, Tree()->visualItemRect(item).center());
    }
    QStringList Rows(const char *list)
    {
        QStringList rows;
        auto *t = Child<QTableWidget>(list);
        for (int r = 0; r < t->rowCount(); ++r)
            rows << t->item(r, 0)->text() + "|" + (t->item(r, 1) ? t->item(r, 1)->text() : QString());
        return rows;
    }
    // quorvelctl's port list: name -> device instance id.
    QMap<QString, QString> Devices()
    {
        QMap<QString, QString> out;
        const QJsonArray ports =
            QJsonDocument::fromJson(QByteArray::fromStdString(Ctl({"--json", "list"}).out)).array();
        for (const QJsonValue &p : ports)
            out.insert(p.toObject().value("name").toString(), p.toObject().value("device").toString());
        return out;
    }
    // The driver installed from the project's INF through the window's command; false with the
    // box's text in a warning when it failed.
    bool InstallDriver()
    {
        QStringList failures;
        QStringList boxes = RunModal([&] { Child<QAction>("DrvInstMenu")->trigger(); },
                                     {ChooseFile(QStringLiteral(QV_DRIVER_INF))}, &failures);
        for (const QString &f : boxes + failures) qWarning("install: %s", qPrintable(f));
        return boxes.isEmpty() && failures.isEmpty();
    }
    std::unique_ptr<hosttest::Process> Sim(int unit, int *port)
    {
        auto sim = std::make_unique<hosttest::Process>(
            std::vector<std::string>{QV_SIM, "--unit", std::to_string(unit), "--listen", "127.0.0.1:0"},
            dir_->Path() + "/sim");
        *port = hosttest::ListeningPort(*sim);
        return sim;
    }
    QString WriteFile(const QString &relative, const std::string &content)
    {
        std::filesystem::path path = std::filesystem::path(dir_->Path()) / relative.toStdString();
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return QString::fromStdString(path.string());
    }
    std::filesystem::path DriversDir() const { return std::filesystem::path(State()) / "System32" / "drivers"; }
    QStringList DriverFiles() const
    {
        QStringList names;
        std::error_code ec;
        for (const auto &entry : std::filesystem::directory_iterator(DriversDir(), ec))
            names << QString::fromStdString(entry.path().filename().string());
        names.sort();
        return names;
    }

    QString Boxes()
    {
        QString s;
        for (int i = 1; i <= 8; ++i)
            s += Child<QCheckBox>(qPrintable(QStringLiteral("CheckBox%1").arg(i)))->isChecked() ? '1' : '0';
        return s;
    }

private slots:
    void init()
    {
        dir_ = std::make_unique<qvtest::TempDir>();
        host_ = std::make_unique<hosttest::Process>(std::vector<std::string>{QV_HOST, "--state", State()},
                                                    dir_->Path() + "/host");
        QVERIFY(qvtest::WaitUntil(
            [&] { return std::filesystem::exists(State() + "/control.sock") || !host_->Running(); }, 30000));
        QVERIFY2(host_->Running(), host_->Err().c_str());
    }

    void cleanup()
    {
        // The window and its connection go first: the host's device sets belong to the connection.
        form_.reset();
        platform_.reset();
        if (host_ && host_->Running()) QCOMPARE(host_->Stop(SIGTERM), 0);
        host_.reset();
        dir_.reset();
    }

    void listsTheHostsPortsAndApplyStoresWhatQuorvelctlShows()
    {
        QVERIFY(CtlOk({"add"}));
        QVERIFY(CtlOk({"add", "--name", "COM3"}));
        QVERIFY(CtlOk({"set", "COM3", "--delay", "500", "--rts", "cts,dsr", "--dtr", "ring", "--conn",
                       "127.0.0.1:1502/raw=7,8"}));
        QVERIFY(Open());

        QTreeWidgetItem *com1 = PortNode(QStringLiteral("COM1"));
        QTreeWidgetItem *com3 = PortNode(QStringLiteral("COM3"));
        QVERIFY(com1 && com3);
        for (QTreeWidgetItem *node : {com1, com3})
            QVERIFY2(node->font(0).italic() && node->font(0).underline(), qPrintable(node->text(0)));

        // The stored settings are read through the host: delay, wiring, the connection node.
        QCOMPARE(com3->childCount(), 1);
        QCOMPARE(com3->child(0)->text(0), QStringLiteral("127.0.0.1 (1502)"));
        Click(com3);
        QCOMPARE(Child<QLineEdit>("DelayEdit")->text(), QStringLiteral("500"));
        QCOMPARE(Boxes(), QStringLiteral("11000001"));
        // A port never configured shows the defaults.
        Click(com1);
        QCOMPARE(com1->childCount(), 0);
        QCOMPARE(Child<QLineEdit>("DelayEdit")->text(), QStringLiteral("10000"));
        QCOMPARE(Boxes(), QStringLiteral("00000000"));

        Child<QLineEdit>("DelayEdit")->setText(QStringLiteral("2500"));
        Child<QCheckBox>("CheckBox2")->setChecked(true);  // RTS -> DSR
        Child<QCheckBox>("CheckBox4")->setChecked(true);  // RTS -> RING
        Child<QCheckBox>("CheckBox5")->setChecked(true);  // DTR -> CTS
        BoxSeen box = CaptureBox([&] { Child<QPushButton>("ApplyButton")->click(); });
        QVERIFY2(!box.shown, qPrintable(box.text));
        hosttest::Result shown = Ctl({"show", "COM1"});
        QCOMPARE(shown.status, 0);
        QCOMPARE(QString::fromStdString(shown.out),
                 QStringLiteral("port COM1\ndelay 2500 ms\nrts dsr,ring\ndtr cts\n"));

        // Applied from the connection node, the owner port goes back whole, its connection included.
        Click(com3->child(0));
        Child<QLineEdit>("DelayEdit")->setText(QStringLiteral("700"));
        box = CaptureBox([&] { Child<QPushButton>("ApplyButton")->click(); });
        QVERIFY2(!box.shown, qPrintable(box.text));
        shown = Ctl({"show", "COM3"});
        QCOMPARE(QString::fromStdString(shown.out),
                 QStringLiteral("port COM3\ndelay 700 ms\nrts cts,dsr\ndtr ring\nconn 127.0.0.1:1502 raw ids 7,8\n"));
        // A fresh window reads back what the first one stored.
        form_.reset();
        platform_.reset();
        QVERIFY(Open());
        Click(PortNode(QStringLiteral("COM1")));
        QCOMPARE(Child<QLineEdit>("DelayEdit")->text(), QStringLiteral("2500"));
        QCOMPARE(Boxes(), QStringLiteral("01011000"));
    }

    void applyWhileAProgramHoldsThePortIsRefusedAndStoresNothing()
    {
        QVERIFY(CtlOk({"add"}));
        QVERIFY(CtlOk({"set", "COM1", "--delay", "500", "--conn", "127.0.0.1:1502=3"}));
        hosttest::Result before = Ctl({"show", "COM1"});
        QCOMPARE(before.status, 0);
        QVERIFY(Open());
        Click(PortNode(QStringLiteral("COM1")));
        QCOMPARE(Child<QLineEdit>("DelayEdit")->text(), QStringLiteral("500"));

        int fd = open(Link("COM1").c_str(), O_RDWR | O_NOCTTY);
        QVERIFY2(fd >= 0, strerror(errno));
        if (!InUse(true)) {
            close(fd);
            QFAIL("the host never saw the program open the port");
        }
        Child<QLineEdit>("DelayEdit")->setText(QStringLiteral("900"));
        BoxSeen box = CaptureBox([&] { Child<QPushButton>("ApplyButton")->click(); });
        close(fd);
        QVERIFY(box.shown);
        QCOMPARE(box.text, QStringLiteral("Отказано в доступе. (код 5)"));
        QCOMPARE(box.icon, QMessageBox::Critical);
        QVERIFY(InUse(false));
        QCOMPARE(Ctl({"show", "COM1"}).out, before.out);

        // Once the program is gone the same Apply goes through.
        box = CaptureBox([&] { Child<QPushButton>("ApplyButton")->click(); });
        QVERIFY2(!box.shown, qPrintable(box.text));
        QCOMPARE(QString::fromStdString(Ctl({"show", "COM1"}).out),
                 QStringLiteral("port COM1\ndelay 900 ms\nrts none\ndtr none\nconn 127.0.0.1:1502 modbus-tcp ids 3\n"));
    }

    void installingTheDriverInfAddsAPortAndAForeignInfAddsNothing()
    {
        QVERIFY(Open());
        QCOMPARE(PortNode(QStringLiteral("COM1")), nullptr);
        bool fileAsked = false;
        BoxSeen box = WithFileDialog(
            QStringLiteral(QV_DRIVER_INF), [&] { Child<QAction>("DrvInstMenu")->trigger(); }, &fileAsked);
        QVERIFY(fileAsked);
        QVERIFY2(!box.shown, qPrintable(box.text));
        QTreeWidgetItem *com1 = PortNode(QStringLiteral("COM1"));
        QVERIFY(com1);
        QVERIFY(com1->font(0).italic() && com1->font(0).underline());
        QVERIFY(qvtest::WaitUntil([&] { return std::filesystem::exists(Link("COM1")); }));
        int fd = open(Link("COM1").c_str(), O_RDWR | O_NOCTTY);
        QVERIFY2(fd >= 0, strerror(errno));
        close(fd);
        // The bridge lets the port go once it sees the close; the listing below must not race it.
        QVERIFY(qvtest::WaitUntil([&] {
            return Ctl({"--json", "list"}).out.find("\"in_use\": true") == std::string::npos;
        }));

        // The same INF for another hardware id: the host's error, no port, the tree as it was.
        std::string text = ReadText(QV_DRIVER_INF);
        for (auto at = text.find("*QuorvelDevice"); at != std::string::npos; at = text.find("*QuorvelDevice"))
            text.replace(at, 14, "*OtherDevice");
        std::string foreign = dir_->Path() + "/other.inf";
        std::ofstream(foreign, std::ios::binary) << text;
        std::string listed = Ctl({"list"}).out;
        box = WithFileDialog(
            QString::fromStdString(foreign), [&] { Child<QAction>("DrvInstMenu")->trigger(); }, &fileAsked);
        QVERIFY(fileAsked);
        QVERIFY(box.shown);
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.text, QString::fromStdU16String(platform_->SystemMessage(0xE0000228)));  // no compatible driver
        QCOMPARE(Ctl({"list"}).out, listed);
        QVERIFY(!std::filesystem::exists(Link("COM2")));
        QVERIFY(PortNode(QStringLiteral("COM1")));
        QCOMPARE(PortNode(QStringLiteral("COM2")), nullptr);
    }
    void anInstalledPortAnswersModbusThroughItsServer()
    {
        QVERIFY(Open());
        QVERIFY(InstallDriver());
        int simPort = 0;
        std::unique_ptr<hosttest::Process> sim = Sim(1, &simPort);
        QVERIFY2(simPort > 0, sim->Err().c_str());

        // The connection and its device id through the dialogs, then Apply.
        QStringList failures;
        Click(PortNode(QStringLiteral("COM1")));
        QStringList boxes =
            RunModal([&] { Child<QAction>("AddConnMenu")->trigger(); }, {Accept<TConnForm>([&](TConnForm *d) {
                         d->IPSett->setText(QStringLiteral("127.0.0.1"));
                         d->PortSett->setText(QString::number(simPort));
                         d->RawCheckBox->setChecked(true);  // converted to Modbus TCP
                     })},
                     &failures);
        QVERIFY2(boxes.isEmpty() && failures.isEmpty(), qPrintable((boxes + failures).join("; ")));
        QTreeWidgetItem *com1 = PortNode(QStringLiteral("COM1"));
        QCOMPARE(com1->childCount(), 1);
        Click(com1->child(0));
        boxes = RunModal([&] { Child<QToolButton>("AddDeviceButt")->click(); },
                         {Accept<TIDForm>([](TIDForm *d) { d->IDEdit->setText(QStringLiteral("1")); })}, &failures);
        QVERIFY2(boxes.isEmpty() && failures.isEmpty(), qPrintable((boxes + failures).join("; ")));
        boxes = RunModal([&] { Child<QPushButton>("ApplyButton")->click(); }, {}, &failures);
        QVERIFY2(boxes.isEmpty() && failures.isEmpty(), qPrintable((boxes + failures).join("; ")));
        QCOMPARE(QString::fromStdString(Ctl({"show", "COM1"}).out),
                 QStringLiteral("port COM1\ndelay 10000 ms\nrts none\ndtr none\nconn 127.0.0.1:%1 modbus-tcp ids 1\n")
                     .arg(simPort));

        // A serial Modbus master on the port's pseudo-terminal gets the server's registers.
        hosttest::Result poll = hosttest::Run({"mbpoll", "-m", "rtu", "-b", "9600", "-P", "none", "-a", "1", "-r", "1",
                                               "-c", "3", "-t", "4", "-1", "-o", "5", Link("COM1")},
                                              30);
        QVERIFY2(poll.status == 0, (poll.out + poll.err).c_str());
        QVERIFY2(poll.out.find("[1]: \t1000\n") != std::string::npos, poll.out.c_str());
        QVERIFY2(poll.out.find("[3]: \t1002\n") != std::string::npos, poll.out.c_str());
    }

    void installingTwiceGivesTwoPortsAndRemovingOneTakesItsTerminal()
    {
        QVERIFY(Open());
        QVERIFY(InstallDriver());
        QVERIFY(InstallDriver());
        QVERIFY(PortNode(QStringLiteral("COM1")) && PortNode(QStringLiteral("COM2")));
        QMap<QString, QString> devices = Devices();
        QCOMPARE(devices.keys(), (QStringList{"COM1", "COM2"}));
        QVERIFY(!devices["COM1"].isEmpty() && !devices["COM2"].isEmpty());
        QVERIFY2(devices["COM1"] != devices["COM2"], qPrintable(devices["COM1"]));
        QVERIFY(qvtest::WaitUntil(
            [&] { return std::filesystem::exists(Link("COM1")) && std::filesystem::exists(Link("COM2")); }));

        Click(PortNode(QStringLiteral("COM1")));
        QStringList failures;
        QStringList boxes = RunModal([&] { Child<QAction>("DrvUninstMenu")->trigger(); }, {}, &failures);
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join("; ")));
        QCOMPARE(boxes.size(), 1);  // the question before the device goes
        QVERIFY2(boxes[0].startsWith(QStringLiteral("Удалить порт")), qPrintable(boxes[0]));
        QCOMPARE(PortNode(QStringLiteral("COM1")), nullptr);
        QVERIFY(PortNode(QStringLiteral("COM2")));
        QVERIFY(qvtest::WaitUntil([&] { return !std::filesystem::exists(Link("COM1")); }));
        QVERIFY(std::filesystem::exists(Link("COM2")));
        QMap<QString, QString> left = Devices();
        QCOMPARE(left.keys(), QStringList{"COM2"});
        QCOMPARE(left["COM2"], devices["COM2"]);
        int fd = open(Link("COM2").c_str(), O_RDWR | O_NOCTTY);
        QVERIFY2(fd >= 0, strerror(errno));
        close(fd);
    }

    void aSessionTheHostClosedForIdlingIsOpenedAgainUnlessItHeldSets()
    {
        QCOMPARE(host_->Stop(SIGTERM), 0);
        host_ = std::make_unique<hosttest::Process>(
            std::vector<std::string>{QV_HOST, "--state", State(), "--control-idle-timeout", "1"},
            dir_->Path() + "/host2");
        QVERIFY(qvtest::WaitUntil([&] { return std::filesystem::exists(State() + "/control.sock"); }, 30000));
        auto idleClosed = [&] {
            std::string err = host_->Err();
            int n = 0;
            for (std::size_t at = err.find("s; closed"); at != std::string::npos; at = err.find("s; closed", at + 1))
                ++n;
            return n;
        };
        plat::PlatformHost holder(plat::PlatformHost::SocketPathFor(State())), plain(holder.socketPath());
        QVERIFY(holder.Connect(nullptr) && plain.Connect(nullptr));
        quorvel::DevSet set = quorvel::kNoDevSet;
        QCOMPARE(holder.GetClassDevs(&quorvel::kPortsClassGuid, DIGCF_PRESENT, &set), 0u);
        std::u16string text;
        quorvel::Win32Error answer = plain.GetClassDescription(quorvel::kPortsClassGuid, &text);
        QVERIFY(answer != ERROR_BROKEN_PIPE);
        QVERIFY(qvtest::WaitUntil([&] { return idleClosed() >= 1; }, 30000));
        // The session with a set was kept; the other one is opened again without the caller noticing.
        quorvel::DevData dev;
        QCOMPARE(holder.EnumDeviceInfo(set, 0, &dev), quorvel::Win32Error(ERROR_NO_MORE_ITEMS));
        QCOMPARE(plain.GetClassDescription(quorvel::kPortsClassGuid, &text), answer);
        holder.DestroyDeviceInfoList(set);
        QVERIFY(qvtest::WaitUntil([&] { return idleClosed() >= 3; }, 30000));
        QCOMPARE(holder.GetClassDevs(&quorvel::kPortsClassGuid, DIGCF_PRESENT, &set), 0u);
        QVERIFY(holder.connected());
    }

    void losingTheHostIsSaidAndRefreshWorksOnceItIsBack()
    {
        QVERIFY(CtlOk({"add"}));
        QVERIFY(Open());
        form_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
        Click(PortNode(QStringLiteral("COM1")));
        QCOMPARE(host_->Stop(SIGTERM), 0);
        // Said in words, whichever code the lost session gave.
        auto saysHostIsLost = [](const QString &text) {
            return text.contains(QStringLiteral("quorvel-host")) && !text.contains(QStringLiteral("Ошибка"));
        };
        QStringList applied = AnswerBoxes([&] { Child<QPushButton>("ApplyButton")->click(); }, {QMessageBox::Ok});
        QCOMPARE(applied.size(), 1);
        QVERIFY2(saysHostIsLost(applied[0]), qPrintable(applied[0]));
        // The settings never reached the port: leaving them is asked, then the refresh says why the
        // tree is empty.
        form_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
        QStringList boxes =
            AnswerBoxes([&] { QTest::keyClick(Tree(), Qt::Key_F5); }, {QMessageBox::Discard, QMessageBox::Ok});
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[0], QStringLiteral("Изменения настроек не приняты (COM1). Принять их?"));
        QVERIFY2(boxes[1].startsWith(QStringLiteral("Список портов не получен: ")) && saysHostIsLost(boxes[1]),
                 qPrintable(boxes[1]));
        QCOMPARE(Tree()->topLevelItemCount(), 0);
        QCOMPARE(form_->statusBar()->currentMessage(), boxes[1]);

        host_ = std::make_unique<hosttest::Process>(std::vector<std::string>{QV_HOST, "--state", State()},
                                                    dir_->Path() + "/host2");
        QVERIFY(qvtest::WaitUntil(
            [&] { return std::filesystem::exists(State() + "/control.sock") || !host_->Running(); }, 30000));
        QVERIFY2(host_->Running(), host_->Err().c_str());
        form_->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
        QCOMPARE(AnswerBoxes([&] { QTest::keyClick(Tree(), Qt::Key_F5); }, {}), QStringList());
        QVERIFY(PortNode(QStringLiteral("COM1")));
        QCOMPARE(form_->statusBar()->currentMessage(), QString());
        Click(PortNode(QStringLiteral("COM1")));
        Child<QLineEdit>("DelayEdit")->setText(QStringLiteral("900"));
        QCOMPARE(AnswerBoxes([&] { Child<QPushButton>("ApplyButton")->click(); }, {}), QStringList());
        QVERIFY(Ctl({"show", "COM1"}).out.find("delay 900 ms") != std::string::npos);
    }

    // The host goes away between Refresh and Apply and comes back on the same state directory: Apply
    // reports the loss (never success), and so does every call until the host is back; then the same
    // window refreshes and applies without a restart, and no set of the lost session is used again.
    void aLostHostIsReportedAndTheWindowWorksAgainOnceItIsBack()
    {
        QVERIFY(CtlOk({"add"}));
        QVERIFY(CtlOk({"add"}));
        QVERIFY(Open());
        plat::PlatformHost other(plat::PlatformHost::SocketPathFor(State()));
        quorvel::DevSet oldSet = quorvel::kNoDevSet;
        QCOMPARE(other.GetClassDevs(&quorvel::kPortsClassGuid, DIGCF_PRESENT, &oldSet), 0u);
        Click(PortNode(QStringLiteral("COM1")));
        const std::string before = Ctl({"show", "COM1"}).out;
        Child<QLineEdit>("DelayEdit")->setText(QStringLiteral("1200"));

        const QString noHost = QString::fromStdU16String(platform_->SystemMessage(ERROR_PIPE_NOT_CONNECTED));
        for (int signal : {SIGTERM, SIGKILL}) {
            QCOMPARE(host_->Stop(signal), signal == SIGTERM ? 0 : 128 + SIGKILL);
            BoxSeen box = CaptureBox([&] { Child<QPushButton>("ApplyButton")->click(); });
            QVERIFY2(box.shown, "Apply without a host reported nothing");
            QCOMPARE(box.text, noHost);
            QCOMPARE(box.icon, QMessageBox::Critical);
            quorvel::DevData dev;
            QCOMPARE(other.EnumDeviceInfo(oldSet, 0, &dev), quorvel::Win32Error(ERROR_PIPE_NOT_CONNECTED));
            // Refreshing without a host asks about the unapplied delay, says why, and shows an empty
            // tree, nothing of the old one.
            QCOMPARE(AnswerBoxes([&] { Child<QAction>("DrvUpdateMenu")->trigger(); },
                                 {QMessageBox::Discard, QMessageBox::Ok})
                         .size(),
                     2);
            QCOMPARE(Tree()->topLevelItemCount(), 0);

            host_ = std::make_unique<hosttest::Process>(std::vector<std::string>{QV_HOST, "--state", State()},
                                                        dir_->Path() + "/host-" + std::to_string(signal));
            // A killed host leaves its socket file behind: wait for one that answers.
            QVERIFY(qvtest::WaitUntil(
                [&] { return plat::PlatformHost(plat::PlatformHost::SocketPathFor(State())).Connect(nullptr) ||
                             !host_->Running(); },
                30000));
            QVERIFY2(host_->Running(), host_->Err().c_str());
            QCOMPARE(Ctl({"show", "COM1"}).out, before);
            QCOMPARE(other.EnumDeviceInfo(oldSet, 0, &dev), quorvel::Win32Error(ERROR_INVALID_HANDLE));
            other.DestroyDeviceInfoList(oldSet);
            QCOMPARE(other.GetClassDevs(&quorvel::kPortsClassGuid, DIGCF_PRESENT, &oldSet), 0u);
            QCOMPARE(other.EnumDeviceInfo(oldSet, 0, &dev), 0u);

            Child<QAction>("DrvUpdateMenu")->trigger();
            QVERIFY(PortNode(QStringLiteral("COM1")) && PortNode(QStringLiteral("COM2")));
            Click(PortNode(QStringLiteral("COM1")));
            Child<QLineEdit>("DelayEdit")->setText(QStringLiteral("1200"));
        }
        BoxSeen box = CaptureBox([&] { Child<QPushButton>("ApplyButton")->click(); });
        QVERIFY2(!box.shown, qPrintable(box.text));
        QCOMPARE(QString::fromStdString(Ctl({"show", "COM1"}).out),
                 QStringLiteral("port COM1\ndelay 1200 ms\nrts none\ndtr none\n"));
    }

    void filtersOnThePortsClassAndOnAPort()
    {
        QVERIFY(CtlOk({"add"}));
        QVERIFY(Open());
        const QString filter = WriteFile("src/myfilt.sys", "filter driver 1");
        const QString sameUpper = WriteFile("upper/MYFILT.SYS", "filter driver 1");
        const QString foreign = WriteFile("other/myfilt.sys", "another driver");
        const QString serviceClash = WriteFile("src/quorvel.sys", "not the port driver");
        QStringList failures;
        auto install = [&](const QString &file, int kindIndex) {
            return RunModal([&] { Child<QAction>("FiltrInstMenu")->trigger(); },
                            {ChooseFile(file),
                             Accept<TFType>([kindIndex](TFType *d) { d->ComboBox1->setCurrentIndex(kindIndex); })},
                            &failures);
        };
        auto selectClass = [&] { Click(PortNode(QStringLiteral("COM1"))->parent()); };
        auto selectPort = [&] { Click(PortNode(QStringLiteral("COM1"))); };

        selectClass();
        QStringList classBefore = Rows("ListView1");
        QVERIFY(install(filter, 0).isEmpty());
        QCOMPARE(Rows("ListView1").at(0), QStringLiteral("Upper Filters|myfilt"));
        QCOMPARE(DriverFiles(), QStringList{"myfilt.sys"});
        selectPort();
        QVERIFY(install(filter, 0).isEmpty());
        QCOMPARE(Rows("ListView1").at(1), QStringLiteral("Upper Filters|myfilt"));
        QCOMPARE(Rows("ListView1").at(2), QStringLiteral("Lower Filters|"));

        // The same filter named in other letter case: the same file and service, the lists stay.
        QVERIFY(install(sameUpper, 0).isEmpty());
        QCOMPARE(Rows("ListView1").at(1), QStringLiteral("Upper Filters|myfilt"));
        selectClass();
        QVERIFY(install(sameUpper, 0).isEmpty());
        QCOMPARE(Rows("ListView1").at(0), QStringLiteral("Upper Filters|myfilt"));
        QCOMPARE(DriverFiles(), QStringList{"myfilt.sys"});

        // Another driver's file of that name, or a service of that name that is not a filter, is
        // refused with its code's message and leaves files and lists as they were.
        QCOMPARE(install(foreign, 1), QStringList{QString::fromStdU16String(platform_->SystemMessage(80))});
        QCOMPARE(install(serviceClash, 1), QStringList{QString::fromStdU16String(platform_->SystemMessage(1073))});
        QCOMPARE(ReadText((DriversDir() / "myfilt.sys").string()), std::string("filter driver 1"));
        QCOMPARE(DriverFiles(), QStringList{"myfilt.sys"});
        QCOMPARE(Rows("ListView1").at(1), QStringLiteral("Lower Filters|"));

        // Removal through the dialog.
        QStringList boxes =
            RunModal([&] { Child<QAction>("FiltrUninstMenu")->trigger(); }, {Accept<TDelFilter>([](TDelFilter *d) {
                         QCOMPARE(d->ListBox1->count(), 1);
                         d->ListBox1->item(0)->setSelected(true);
                     })},
                     &failures);
        QVERIFY(boxes.isEmpty());
        QCOMPARE(Rows("ListView1"), classBefore);
        // A name another configurator removed while the dialog was open: nothing to report.
        selectPort();
        boxes = RunModal(
            [&] { Child<QAction>("FiltrUninstMenu")->trigger(); }, {Accept<TDelFilter>([&](TDelFilter *d) {
                d->ListBox1->item(0)->setSelected(true);
                plat::PlatformHost other(plat::PlatformHost::SocketPathFor(State()));
                std::string reason;
                QVERIFY2(other.Connect(&reason), reason.c_str());
                TClassesList classes(other);
                classes.Refresh(&quorvel::kPortsClassGuid);
                QCOMPARE(classes.ClassCount(), 1);
                QCOMPARE(RemoveFilter(*classes.ClassAt(0)->DeviceAt(0), std::string("MyFilt"), kUpperFilters), 0u);
            })},
            &failures);
        QVERIFY2(boxes.isEmpty(), qPrintable(boxes.join("; ")));
        QCOMPARE(Rows("ListView1").at(1), QStringLiteral("Upper Filters|"));
        QVERIFY2(failures.isEmpty(), qPrintable(failures.join("; ")));
        // The service and its file stay.
        QCOMPARE(DriverFiles(), QStringList{"myfilt.sys"});
    }
};

int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    HostIntegrationTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "host_integration_test.moc"
