// The configurator against a real quorvel-host: the window over the host's control socket, the
// settings cross-checked with quorvelctl, a program holding a port's pseudo-terminal. Each test
// has its own state directory and host.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <QFileDialog>
#include <QMenu>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "ErrorReporting.h"
#include "Main.h"
#include "PlatformHost.h"
#include "platform_test.h"
#include "programs.h"

namespace {

struct BoxSeen {
    bool shown = false;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

// Runs action; the first message box it opens is recorded and answered OK.
BoxSeen CaptureBox(const std::function<void()> &action)
{
    BoxSeen seen;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || seen.shown) return;
        seen.shown = true;
        seen.text = box->text();
        seen.icon = box->icon();
        box->button(QMessageBox::Ok)->click();
    });
    poll.start();
    action();
    poll.stop();
    return seen;
}

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
    // The port node whose display name ends in "(COMn)".
    QTreeWidgetItem *PortNode(const QString &port)
    {
        auto items = Tree()->findItems(QStringLiteral("(%1)").arg(port), Qt::MatchEndsWith | Qt::MatchRecursive);
        return items.isEmpty() ? nullptr : items.first();
    }
    void Click(QTreeWidgetItem *item)
    {
        QVERIFY(item);
        Tree()->scrollToItem(item);
        QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, {}, Tree()->visualItemRect(item).center());
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
};

int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    HostIntegrationTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "host_integration_test.moc"
