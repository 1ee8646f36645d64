// The main window on the offscreen platform, against a fake platform.
#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <functional>

#include "ErrorReporting.h"
#include "FakePlatform.h"
#include "Main.h"
#include "message_boxes.h"
#include "records.h"

using namespace quorvel;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes &kWorkedExample = qvtest::kWorkedRecord;

// The worked example plus a raw connection to 10.0.0.7:4001 serving device 7; DTR wired to DCD.
Bytes TwoConnectionRecord()
{
    Bytes b = kWorkedExample;
    b[9] = kLineDcd;
    Bytes entry = {0x0C, 0, 0, 0, 10, 0, 0, 7, 0xA1, 0x0F, 1, 7};
    b.insert(b.end(), entry.begin(), entry.end());
    b[0] = static_cast<std::uint8_t>(b.size());
    return b;
}

// Runs action, closing any popup menu it opens.
void ClosingPopups(const std::function<void()> &action)
{
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [] {
        if (QWidget *popup = QApplication::activePopupWidget()) popup->close();
    });
    poll.start();
    action();
    poll.stop();
}

class Thrower : public QObject {
protected:
    bool event(QEvent *e) override
    {
        if (e->type() == QEvent::User) throw std::runtime_error("сбой в обработчике события");
        return QObject::event(e);
    }
};

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FakePlatform> fake;
    std::unique_ptr<TForm1> form;

    void Populate()
    {
        fake->classDescriptions[GuidToString(kPortsClassGuid)] = u"Порты (COM и LPT)";
        fake->classValues[GuidToString(kPortsClassGuid) + "\\UpperFilters"] = EncodeMultiSz({u"classflt"});
        auto &com1 = fake->AddPort(u"Последовательный порт (COM1)", u"ACPI\\PNP0501");
        com1.properties[SPDRP_LOWERFILTERS] = EncodeMultiSz({u"serenum", u"extra"});
        fake->AddPort(u"Quorvel Modbus port (COM5)", u"*QuorvelDevice");
        fake->AddPort(u"Quorvel Modbus port (COM6)", u"*quorveldevice");
        fake->ports[u"COM1"];
        fake->ports[u"COM5"].hasRecord = true;
        fake->ports[u"COM5"].record = TwoConnectionRecord();
        fake->ports[u"COM6"];  // never configured
    }

    void Open()
    {
        form = std::make_unique<TForm1>(*fake);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }

    QTreeWidget *Tree() { return form->findChild<QTreeWidget *>("TreeView1"); }
    template <class T>
    T *Child(const char *name)
    {
        T *w = form->findChild<T *>(QLatin1String(name));
        if (!w) qFatal("no control %s", name);
        return w;
    }
    // The node with this text, marked unapplied or not.
    QTreeWidgetItem *Node(const QString &text)
    {
        auto items = Tree()->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
        if (items.isEmpty()) items = Tree()->findItems(text + kMark, Qt::MatchExactly | Qt::MatchRecursive);
        return items.isEmpty() ? nullptr : items.first();
    }
    void Click(QTreeWidgetItem *item)
    {
        QVERIFY(item);
        Tree()->scrollToItem(item);
        QTest::mouseClick(Tree()->viewport(), Qt::LeftButton, {}, Tree()->visualItemRect(item).center());
    }
    void RightClick(QTreeWidgetItem *item)
    {
        QPoint pos = Tree()->visualItemRect(item).center();
        ClosingPopups([&] { emit Tree()->customContextMenuRequested(pos); });
    }

    // The availability of every command that depends on the selection, in one line.
    QString Commands()
    {
        auto visible = [&](const char *name) { return Child<QAction>(name)->isVisible() ? '1' : '0'; };
        auto enabled = [&](const char *name) { return Child<QAction>(name)->isEnabled() ? '1' : '0'; };
        QString s;
        s += QStringLiteral("filtr=%1%2%3%4 ")
                 .arg(Child<QMenu>("FiltrMenu")->menuAction()->isVisible() ? '1' : '0')
                 .arg(visible("N11"))
                 .arg(visible("FiltrInstPMenu"))
                 .arg(visible("FiltrUnInstPMenu"));
        s += QStringLiteral("uninst=%1%2 ").arg(enabled("DrvUninstMenu")).arg(visible("DrvUninstPMenu"));
        s += QStringLiteral("conn=%1%2 ")
                 .arg(Child<QMenu>("ConnectionsMenu")->menuAction()->isVisible() ? '1' : '0')
                 .arg(visible("N14"));
        s += QStringLiteral("add=%1%2 ").arg(enabled("AddConnMenu")).arg(visible("AddConnPMenu"));
        s += QStringLiteral("edit=%1%2%3%4 ")
                 .arg(enabled("DelConnMenu"))
                 .arg(enabled("ChangeConnMenu"))
                 .arg(visible("DelConnPMenu"))
                 .arg(visible("ChangeConnPMenu"));
        s += QStringLiteral("plus=%1 minus=%2 ")
                 .arg(Child<QToolButton>("AddDeviceButt")->isEnabled() ? '1' : '0')
                 .arg(Child<QToolButton>("RemoveDevButt")->isEnabled() ? '1' : '0');
        s += QStringLiteral("files=%1%2")
                 .arg(Child<QToolButton>("OpenSettFile")->isEnabled() ? '1' : '0')
                 .arg(Child<QToolButton>("SaveSettFile")->isEnabled() ? '1' : '0');
        return s;
    }

    QStringList Rows(const char *list)
    {
        QStringList rows;
        auto *t = Child<QTableWidget>(list);
        for (int r = 0; r < t->rowCount(); ++r) rows << t->item(r, 0)->text() + "|" + t->item(r, 1)->text();
        return rows;
    }

    QString Boxes()
    {
        QString s;
        for (int i = 1; i <= 8; ++i)
            s += Child<QCheckBox>(qPrintable(QStringLiteral("CheckBox%1").arg(i)))->isChecked() ? '1' : '0';
        return s;
    }

    bool SettingsEnabled()
    {
        bool all = Child<QLineEdit>("DelayEdit")->isEnabled() && Child<QPushButton>("ApplyButton")->isEnabled();
        bool any = Child<QLineEdit>("DelayEdit")->isEnabled() || Child<QPushButton>("ApplyButton")->isEnabled();
        for (int i = 1; i <= 8; ++i) {
            bool e = Child<QCheckBox>(qPrintable(QStringLiteral("CheckBox%1").arg(i)))->isEnabled();
            all = all && e;
            any = any || e;
        }
        if (all != any) qWarning("settings group partly enabled");
        return all;
    }

    static constexpr const char *kMark = " *";
    const QString kLeaveCom5 = QStringLiteral("Изменения настроек не приняты (COM5). Принять их?");
    static constexpr const char *kNone = "filtr=0000 uninst=00 conn=00 add=00 edit=0000 plus=0 minus=0 files=00";
    static constexpr const char *kClass = "filtr=1111 uninst=00 conn=00 add=00 edit=0000 plus=0 minus=0 files=00";
    static constexpr const char *kOther = "filtr=1111 uninst=00 conn=00 add=00 edit=0000 plus=0 minus=0 files=00";
    static constexpr const char *kDriver = "filtr=1111 uninst=11 conn=11 add=11 edit=0000 plus=0 minus=0 files=11";
    static constexpr const char *kConnection = "filtr=0000 uninst=00 conn=11 add=00 edit=1111 plus=1 minus=0 files=11";

private slots:
    void init()
    {
        fake = std::make_unique<FakePlatform>();
        Populate();
    }
    void cleanup()
    {
        form.reset();
        QCOMPARE(fake->openSets, 0);
        fake.reset();
    }

    void treeListsClassPortsAndConnections()
    {
        Open();
        QTreeWidget *tree = Tree();
        QCOMPARE(tree->topLevelItemCount(), 1);
        QTreeWidgetItem *cls = tree->topLevelItem(0);
        QCOMPARE(cls->text(0), QStringLiteral("Порты (COM и LPT)"));
        QCOMPARE(cls->childCount(), 3);
        QTreeWidgetItem *com1 = cls->child(0);
        QTreeWidgetItem *com5 = cls->child(1);
        QCOMPARE(com1->text(0), QStringLiteral("Последовательный порт (COM1)"));
        QCOMPARE(com5->text(0), QStringLiteral("Quorvel Modbus port (COM5)"));
        QVERIFY(!com1->font(0).italic() && !com1->font(0).underline());
        QVERIFY(com5->font(0).italic() && com5->font(0).underline());
        QVERIFY(cls->child(2)->font(0).italic());  // hardware id in other letter case
        QCOMPARE(com1->childCount(), 0);
        QCOMPARE(com5->childCount(), 2);
        QCOMPARE(com5->child(0)->text(0), QStringLiteral("192.168.0.10 (502) - Modbus TCP"));
        QCOMPARE(com5->child(1)->text(0), QStringLiteral("10.0.0.7 (4001)"));
        QCOMPARE(cls->child(2)->childCount(), 0);
        // Only the driver's ports were asked for their settings.
        QCOMPARE(fake->CountCalls("GET COM5"), 1);
        QCOMPARE(fake->CountCalls("GET COM1"), 0);
        QCOMPARE(Commands(), QString(kNone));
        QCOMPARE(form->windowTitle(), QStringLiteral("Конфигуратор"));
    }

    void treeWithoutDriverPortsOrWithoutPorts()
    {
        fake->devices.erase(fake->devices.begin() + 1, fake->devices.end());
        Open();
        QCOMPARE(Tree()->topLevelItemCount(), 1);
        QTreeWidgetItem *com1 = Node(QStringLiteral("Последовательный порт (COM1)"));
        QVERIFY(!com1->font(0).italic());
        Click(com1);
        QVERIFY(!Child<QMenu>("ConnectionsMenu")->menuAction()->isVisible());
        QCOMPARE(Commands(), QString(kOther));

        fake->devices.clear();
        Child<QAction>("DrvUpdateMenu")->trigger();
        QCOMPARE(Tree()->topLevelItemCount(), 0);
        QCOMPARE(Commands(), QString(kNone));
    }

    void commandsFollowTheNodeHoweverItIsSelected()
    {
        Open();
        QTreeWidgetItem *cls = Tree()->topLevelItem(0);
        QTreeWidgetItem *com1 = cls->child(0);
        QTreeWidgetItem *com5 = cls->child(1);
        QTreeWidgetItem *conn = com5->child(0);

        Click(cls);
        QCOMPARE(Commands(), QString(kClass));
        Click(com1);
        QCOMPARE(Commands(), QString(kOther));
        Click(com5);
        QCOMPARE(Commands(), QString(kDriver));
        Click(conn);
        QCOMPARE(Commands(), QString(kConnection));

        // Keyboard: from the connection up to its port, then down again.
        Tree()->setFocus();
        QTest::keyClick(Tree(), Qt::Key_Up);
        QCOMPARE(Tree()->currentItem(), com5);
        QCOMPARE(Commands(), QString(kDriver));
        QTest::keyClick(Tree(), Qt::Key_Up);
        QCOMPARE(Commands(), QString(kOther));
        QTest::keyClick(Tree(), Qt::Key_Down);
        QTest::keyClick(Tree(), Qt::Key_Down);
        QCOMPARE(Commands(), QString(kConnection));
        QCOMPARE(Rows("ListView2"), (QStringList{QStringLiteral("192.168.0.10 (502) - Modbus TCP|1"),
                                                 QStringLiteral("192.168.0.10 (502) - Modbus TCP|2")}));

        // Right click selects the node under the pointer before the popup opens.
        RightClick(com1);
        QCOMPARE(Tree()->currentItem(), com1);
        QCOMPARE(Commands(), QString(kOther));
        QCOMPARE(Rows("ListView1").first(), QStringLiteral("Device|Последовательный порт (COM1)"));
        RightClick(conn);
        QCOMPARE(Commands(), QString(kConnection));
        RightClick(cls);
        QCOMPARE(Commands(), QString(kClass));
        // Entries that are always there.
        QVERIFY(Child<QAction>("DrvInstPMenu")->isVisible());
        QVERIFY(Child<QAction>("DrvInstMenu")->isEnabled());
        QVERIFY(Child<QAction>("DrvUpdateMenu")->isEnabled());
        QVERIFY(Child<QAction>("N18")->isEnabled());
    }

    void panelShowsTheSelectedNode()
    {
        Open();
        QTreeWidgetItem *cls = Tree()->topLevelItem(0);
        Click(cls->child(1));  // COM5, configured
        QVERIFY(SettingsEnabled());
        QCOMPARE(Boxes(), QStringLiteral("10000010"));  // RTS: CTS; DTR: DCD
        QCOMPARE(Child<QLineEdit>("DelayEdit")->text(), QStringLiteral("10000"));
        QCOMPARE(Rows("ListView1"), (QStringList{QStringLiteral("Device|Quorvel Modbus port (COM5)"),
                                                 QStringLiteral("Upper Filters|"), QStringLiteral("Lower Filters|")}));
        QCOMPARE(Rows("ListView2"),
                 (QStringList{QStringLiteral("192.168.0.10 (502) - Modbus TCP|"), QStringLiteral("|1"),
                              QStringLiteral("|2"), QStringLiteral("10.0.0.7 (4001)|"), QStringLiteral("|7")}));

        // The port view of the device list ignores clicks.
        auto *list = Child<QTableWidget>("ListView2");
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1, 1)).center());
        QVERIFY(!Child<QToolButton>("RemoveDevButt")->isEnabled());

        Click(cls);
        QVERIFY(!SettingsEnabled());
        QCOMPARE(Boxes(), QStringLiteral("10000010"));  // kept, only disabled
        QCOMPARE(Rows("ListView1"),
                 (QStringList{QStringLiteral("Upper Filters|classflt"), QStringLiteral("Lower Filters|")}));
        QCOMPARE(Rows("ListView2"), QStringList());

        Click(cls->child(0));  // COM1, not ours
        QVERIFY(!SettingsEnabled());
        QCOMPARE(Boxes(), QStringLiteral("00000000"));
        QCOMPARE(Child<QLineEdit>("DelayEdit")->text(), QString());
        QCOMPARE(Rows("ListView1").last(), QStringLiteral("Lower Filters|serenum; extra"));

        Click(cls->child(2));  // COM6, never configured
        QVERIFY(SettingsEnabled());
        QCOMPARE(Boxes(), QStringLiteral("00000000"));
        QCOMPARE(Child<QLineEdit>("DelayEdit")->text(), QStringLiteral("10000"));
        QCOMPARE(Rows("ListView2"), QStringList());
        QCOMPARE(form->statusBar()->currentMessage(), QString());
    }

    void applyBuildsTheRecordFromThePanel()
    {
        Open();
        QTreeWidgetItem *com6 = Node(QStringLiteral("Quorvel Modbus port (COM6)"));
        Click(com6);
        Child<QLineEdit>("DelayEdit")->setText(QStringLiteral("2500"));
        Child<QCheckBox>("CheckBox2")->setChecked(true);  // RTS -> DSR
        Child<QCheckBox>("CheckBox4")->setChecked(true);  // RTS -> RING
        Child<QCheckBox>("CheckBox5")->setChecked(true);  // DTR -> CTS
        BoxSeen box = CaptureBox([&] { Child<QPushButton>("ApplyButton")->click(); });
        QVERIFY(!box.shown);
        QCOMPARE(fake->ports[u"COM6"].record, (Bytes{0x0A, 0, 0, 0, 0x01, 0x01, 0xC4, 0x09, 0x0A, 0x01}));

        // From a connection node the owner port is applied, connections included.
        Click(Node(QStringLiteral("10.0.0.7 (4001)")));
        Child<QCheckBox>("CheckBox7")->setChecked(false);
        Child<QPushButton>("ApplyButton")->click();
        Bytes expected = TwoConnectionRecord();
        expected[9] = 0;
        QCOMPARE(fake->ports[u"COM5"].record, expected);
    }

    void applyRefusesABadDelayThroughTheErrorHandler()
    {
        Open();
        Click(Node(QStringLiteral("Quorvel Modbus port (COM5)")));
        Child<QLineEdit>("DelayEdit")->setText(QStringLiteral("70000"));
        Child<QCheckBox>("CheckBox3")->setChecked(true);
        BoxSeen box = CaptureBox([&] { Child<QPushButton>("ApplyButton")->click(); }, QMessageBox::Ok, form.get());
        QVERIFY(box.shown);
        QCOMPARE(box.title, QStringLiteral("Конфигуратор"));
        QCOMPARE(box.text, QStringLiteral("Таймаут должен быть целым числом от 1 до 65535"));
        QCOMPARE(box.icon, QMessageBox::Critical);
        QVERIFY(box.ownedByForm);
        QCOMPARE(fake->CountCalls("SET"), 0);
        // The model did not take the check box either: the port still shows its stored wiring.
        box = CaptureBox([&] { Click(Node(QStringLiteral("Порты (COM и LPT)"))); }, QMessageBox::Discard);
        QCOMPARE(box.text, kLeaveCom5);
        Click(Node(QStringLiteral("Quorvel Modbus port (COM5)")));
        QCOMPARE(Boxes(), QStringLiteral("10000010"));
    }

    void failedApplyShowsTheSystemMessageOfItsCode()
    {
        Open();
        Click(Node(QStringLiteral("Quorvel Modbus port (COM5)")));
        fake->ports[u"COM5"].failure = ERROR_ACCESS_DENIED;  // an application opened the port meanwhile
        BoxSeen box = CaptureBox([&] { Child<QPushButton>("ApplyButton")->click(); }, QMessageBox::Ok, form.get());
        QVERIFY(box.shown);
        QCOMPARE(box.title, QStringLiteral("Конфигуратор"));
        QCOMPARE(box.text, QStringLiteral("Отказано в доступе. (код 5)"));
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.buttons.size(), 1);
        QVERIFY(box.ownedByForm);
    }

    void unreadSettingsAreReadAgainAndShownBeforeTheyAreOverwritten()
    {
        fake->ports[u"COM5"].failure = ERROR_ACCESS_DENIED;  // held while the tree is built
        Open();
        QTreeWidgetItem *com5 = Node(QStringLiteral("Quorvel Modbus port (COM5)"));
        QCOMPARE(com5->childCount(), 0);
        Click(com5);
        QVERIFY(form->statusBar()->currentMessage().contains(QStringLiteral("Отказано в доступе. (код 5)")));
        BoxSeen box = CaptureBox([&] { Child<QPushButton>("ApplyButton")->click(); });
        QCOMPARE(box.text, QStringLiteral("Отказано в доступе. (код 5)"));

        // Released: the next Apply reads the port and shows what it holds instead of overwriting it.
        fake->ports[u"COM5"].failure = 0;
        box = CaptureBox([&] { Child<QPushButton>("ApplyButton")->click(); });
        QVERIFY(box.text.startsWith(QStringLiteral("Настройки порта прочитаны заново")));
        QCOMPARE(fake->CountCalls("SET"), 0);
        QCOMPARE(com5->childCount(), 2);
        QCOMPARE(Boxes(), QStringLiteral("10000010"));
        QCOMPARE(form->statusBar()->currentMessage(), QString());
        box = CaptureBox([&] { Child<QPushButton>("ApplyButton")->click(); });
        QVERIFY(!box.shown);
        QCOMPARE(fake->ports[u"COM5"].record, TwoConnectionRecord());
        QCOMPARE(fake->CountCalls("SET"), 1);

        // Selecting a port that could not be read tries it again too.
        fake->ports[u"COM6"].failure = ERROR_ACCESS_DENIED;
        Child<QAction>("DrvUpdateMenu")->trigger();
        fake->ports[u"COM6"].failure = 0;
        fake->ports[u"COM6"] = {true, TwoConnectionRecord()};
        Click(Node(QStringLiteral("Quorvel Modbus port (COM6)")));
        QCOMPARE(Node(QStringLiteral("Quorvel Modbus port (COM6)"))->childCount(), 2);
        QCOMPARE(form->statusBar()->currentMessage(), QString());
    }

    void portOptionsShowTheDriversAndARefusalIsAnError()
    {
        fake->ports[u"COM5"].options = EncodePortOptions({0, 1500});
        Open();
        Click(Node(QStringLiteral("Quorvel Modbus port (COM5)")));
        auto *exceptions = Child<QCheckBox>("ExceptionsBox");
        auto *response = Child<QLineEdit>("ResponseEdit");
        QVERIFY(exceptions->isEnabled());
        QCOMPARE(response->text(), QStringLiteral("1500"));
        exceptions->setChecked(true);
        BoxSeen box = CaptureBox([&] { Child<QPushButton>("ApplyButton")->click(); }, QMessageBox::Ok, form.get());
        QCOMPARE(box.text, QStringLiteral("Параметр задан неверно. (код 87)"));
        QCOMPARE(fake->ports[u"COM5"].options, EncodePortOptions({0, 1500}));

        // A port of another driver shows no options and no stale ones.
        box = CaptureBox([&] { Click(Node(QStringLiteral("Последовательный порт (COM1)"))); }, QMessageBox::Discard);
        QCOMPARE(box.text, kLeaveCom5);
        QVERIFY(!exceptions->isEnabled());
        QVERIFY(!exceptions->isChecked());
        QCOMPARE(response->text(), QString());
    }

    void deletedConnectionLeavesNothingToActOn()
    {
        Open();
        QTreeWidgetItem *com5 = Node(QStringLiteral("Quorvel Modbus port (COM5)"));
        QTreeWidgetItem *conn = com5->child(0);
        Click(conn);
        auto *list = Child<QTableWidget>("ListView2");
        QCOMPARE(list->rowCount(), 2);
        // Asked first; Cancel keeps it.
        BoxSeen box = CaptureBox([&] { Child<QAction>("DelConnMenu")->trigger(); }, QMessageBox::Cancel, form.get());
        QCOMPARE(box.text,
                 QStringLiteral("Удалить соединение 192.168.0.10 (502) - Modbus TCP вместе с ID устройств (2)?"));
        QCOMPARE(com5->childCount(), 2);
        CaptureBox([&] { Child<QAction>("DelConnMenu")->trigger(); }, QMessageBox::Ok);
        QCOMPARE(com5->childCount(), 1);
        QCOMPARE(Commands(), QString(kNone));
        QCOMPARE(list->rowCount(), 0);
        QVERIFY(!SettingsEnabled());
        // Neither a stale "-" nor Apply nor another delete can reach the freed connection.
        Child<QToolButton>("RemoveDevButt")->click();
        Child<QPushButton>("ApplyButton")->click();
        Child<QAction>("DelConnPMenu")->trigger();
        QCOMPARE(fake->CountCalls("SET"), 0);

        Click(com5);
        Child<QPushButton>("ApplyButton")->click();
        Bytes expected = {0x16, 0, 0, 0,  0x01, 0x01, 0x10, 0x27, 0x01, kLineDcd, 0x0C,
                          0,    0, 0, 10, 0,    0,    7,    0xA1, 0x0F, 1,        7};
        QCOMPARE(fake->ports[u"COM5"].record, expected);

        // A delete reached through the popup while a port is selected does nothing.
        Child<QAction>("DelConnPMenu")->trigger();
        QCOMPARE(com5->childCount(), 1);
    }

    void removingADeviceIdInTheConnectionView()
    {
        Open();
        QTreeWidgetItem *conn = Node(QStringLiteral("192.168.0.10 (502) - Modbus TCP"));
        Click(conn);
        auto *list = Child<QTableWidget>("ListView2");
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0, 1)).center());
        QVERIFY(Child<QToolButton>("RemoveDevButt")->isEnabled());
        Child<QToolButton>("RemoveDevButt")->click();
        QCOMPARE(Rows("ListView2"), QStringList{QStringLiteral("192.168.0.10 (502) - Modbus TCP|2")});
        QVERIFY(!Child<QToolButton>("RemoveDevButt")->isEnabled());
        QVERIFY(list->selectedItems().isEmpty());
        Child<QPushButton>("ApplyButton")->click();
        const Bytes &stored = fake->ports[u"COM5"].record;
        QCOMPARE(int(stored[0]), int(TwoConnectionRecord().size()) - 1);
        QCOMPARE(int(stored[10]), 12);
        QCOMPARE(int(stored[21]), 2);
    }

    void refreshSelectsNothingAndDropsUnappliedEdits()
    {
        Open();
        QTreeWidgetItem *conn = Node(QStringLiteral("10.0.0.7 (4001)"));
        Click(conn);
        CaptureBox([&] { Child<QAction>("DelConnMenu")->trigger(); }, QMessageBox::Ok);
        Click(Node(QStringLiteral("Quorvel Modbus port (COM5)")));
        QCOMPARE(Commands(), QString(kDriver));
        // Asked first; Cancel keeps the edit, Discard drops it with the refresh.
        BoxSeen box = CaptureBox([&] { Child<QAction>("DrvUpdateMenu")->trigger(); }, QMessageBox::Cancel);
        QCOMPARE(box.text, kLeaveCom5);
        QCOMPARE(Node(QStringLiteral("Quorvel Modbus port (COM5)"))->childCount(), 1);
        box = CaptureBox([&] { Child<QAction>("DrvUpdateMenu")->trigger(); }, QMessageBox::Discard);
        QVERIFY(box.shown);
        QCOMPARE(Tree()->currentItem(), nullptr);
        QCOMPARE(Commands(), QString(kNone));
        QVERIFY(!Child<QAction>("DrvUninstMenu")->isEnabled());
        QVERIFY(!SettingsEnabled());
        QCOMPARE(Node(QStringLiteral("Quorvel Modbus port (COM5)"))->childCount(), 2);
        Child<QPushButton>("ApplyButton")->click();
        QCOMPARE(fake->CountCalls("SET"), 0);
    }

    void keyboardReachesEveryControlAndActs()
    {
        Open();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        Tree()->setFocus();
        Tree()->setCurrentItem(Node(QStringLiteral("Порты (COM и LPT)")));
        for (int i = 0; i < 3; ++i) QTest::keyClick(Tree(), Qt::Key_Down);
        QCOMPARE(Tree()->currentItem()->text(0), QStringLiteral("192.168.0.10 (502) - Modbus TCP"));
        QCOMPARE(Commands(), QString(kConnection));

        // Tab goes through every enabled control once and leaves the tables.
        QStringList order;
        for (int i = 0; i < 16; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            order << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(order, (QStringList{"ListView1", "CheckBox1", "CheckBox2", "CheckBox3", "CheckBox4", "CheckBox5",
                                     "CheckBox6", "CheckBox7", "CheckBox8", "ListView2", "AddDeviceButt",
                                     "ExceptionsBox", "ResponseEdit", "OpenSettFile", "SaveSettFile", "DelayEdit"}));

        // A row chosen by keyboard enables "-"; Del removes it.
        auto *list = Child<QTableWidget>("ListView2");
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Down);
        QTest::keyClick(list, Qt::Key_Down);
        QVERIFY(!list->selectedItems().isEmpty());
        QVERIFY(Child<QToolButton>("RemoveDevButt")->isEnabled());
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(Rows("ListView2").size(), 1);

        // Leaving with the removal unapplied asks; Cancel stays.
        BoxSeen box = CaptureBox([&] { form->close(); }, QMessageBox::Cancel, form.get());
        QCOMPARE(box.text, kLeaveCom5);
        box.buttons.sort();
        QCOMPARE(box.buttons, (QStringList{"Не принимать", "Отмена", "Принять"}));
        QVERIFY(form->isVisible());

        // Apply says it worked; F5 refreshes and leaves no stale values behind.
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        Child<QLineEdit>("DelayEdit")->setFocus();
        QTest::keyClick(Child<QLineEdit>("DelayEdit"), Qt::Key_Tab);
        QVERIFY(QApplication::focusWidget());
        QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("ApplyButton"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QCOMPARE(form->statusBar()->currentMessage(), QStringLiteral("Настройки порта приняты"));
        QCOMPARE(int(fake->ports[u"COM5"].record[0]), int(TwoConnectionRecord().size()) - 1);
        QTest::keyClick(Tree(), Qt::Key_F5);
        QCOMPARE(Tree()->currentItem(), nullptr);
        QCOMPARE(Boxes(), QStringLiteral("00000000"));
        QCOMPARE(Child<QLineEdit>("DelayEdit")->text(), QString());
        // Nothing unapplied: it closes without a question; an edited field asks.
        Click(Node(QStringLiteral("Quorvel Modbus port (COM6)")));
        Child<QLineEdit>("DelayEdit")->setText(QStringLiteral("999"));
        box = CaptureBox([&] { form->close(); }, QMessageBox::Cancel);
        QVERIFY(box.shown);
        Child<QLineEdit>("DelayEdit")->setText(QStringLiteral("10000"));
        box = CaptureBox([&] { form->close(); });
        QVERIFY(!box.shown);
        QVERIFY(!form->isVisible());
    }

    void tabCyclesThroughEveryControlBothWays()
    {
        Open();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        Click(Node(QStringLiteral("192.168.0.10 (502) - Modbus TCP")));
        auto *list = Child<QTableWidget>("ListView2");
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Down);
        QVERIFY(Child<QToolButton>("RemoveDevButt")->isEnabled());
        const QStringList cycle{"TreeView1",    "ListView1",     "CheckBox1",     "CheckBox2",     "CheckBox3",
                                "CheckBox4",    "CheckBox5",     "CheckBox6",     "CheckBox7",     "CheckBox8",
                                "ListView2",    "AddDeviceButt", "RemoveDevButt", "ExceptionsBox", "ResponseEdit",
                                "OpenSettFile", "SaveSettFile",  "DelayEdit",     "ApplyButton",   "TreeView1"};
        auto walk = [&](Qt::Key key, Qt::KeyboardModifiers modifiers) {
            Tree()->setFocus();
            QStringList order{QApplication::focusWidget()->objectName()};
            for (int i = 1; i < cycle.size(); ++i) {
                QTest::keyClick(QApplication::focusWidget(), key, modifiers);
                order << QApplication::focusWidget()->objectName();
            }
            return order;
        };
        QCOMPARE(walk(Qt::Key_Tab, Qt::NoModifier), cycle);
        QStringList back = cycle;
        std::reverse(back.begin(), back.end());
        QCOMPARE(walk(Qt::Key_Backtab, Qt::ShiftModifier), back);
        // Neither the tables' cells nor Ctrl+Tab keep the focus.
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Tab, Qt::ControlModifier);
        QVERIFY(QApplication::focusWidget() != list);
    }

    void unappliedChangesAreMarkedAndAskedBeforeTheyAreLeft()
    {
        Open();
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        const QString com5 = QStringLiteral("Quorvel Modbus port (COM5)");
        const QString com6 = QStringLiteral("Quorvel Modbus port (COM6)");
        Click(Node(com5));
        QCOMPARE(form->windowTitle(), QStringLiteral("Конфигуратор"));
        auto *dcd = Child<QCheckBox>("CheckBox3");
        dcd->setFocus();
        QTest::keyClick(dcd, Qt::Key_Space);
        QCOMPARE(form->windowTitle(), QStringLiteral("Конфигуратор *"));
        QCOMPARE(Node(com5)->text(0), com5 + kMark);
        QCOMPARE(Node(com6)->text(0), com6);

        // The port's own connections keep the edit in view, unasked.
        QTreeWidgetItem *conn = Node(QStringLiteral("192.168.0.10 (502) - Modbus TCP"));
        QList<BoxSeen> boxes = CaptureBoxes([&] { Click(conn); }, {});
        QCOMPARE(boxes.size(), 0);
        QVERIFY(dcd->isChecked());
        // Another port asks; Cancel stays where it was, edit and all.
        boxes = CaptureBoxes([&] { Click(Node(com6)); }, {QMessageBox::Cancel});
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, kLeaveCom5);
        QCOMPARE(boxes[0].icon, QMessageBox::Question);
        QCOMPARE(Tree()->currentItem(), conn);
        QVERIFY(conn->isSelected());
        QCOMPARE(Commands(), QString(kConnection));
        QVERIFY(dcd->isChecked());
        // By keyboard: within the port nothing is asked; leaving it with Discard drops the edit.
        Tree()->setFocus();
        boxes = CaptureBoxes([&] { QTest::keyClick(Tree(), Qt::Key_Down); }, {});
        QCOMPARE(boxes.size(), 0);
        boxes = CaptureBoxes([&] { QTest::keyClick(Tree(), Qt::Key_Down); }, {QMessageBox::Cancel});
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(Tree()->currentItem()->text(0), QStringLiteral("10.0.0.7 (4001)"));
        boxes = CaptureBoxes([&] { QTest::keyClick(Tree(), Qt::Key_Down); }, {QMessageBox::Discard});
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(Tree()->currentItem()->text(0), com6);
        QCOMPARE(form->windowTitle(), QStringLiteral("Конфигуратор"));
        QCOMPARE(Node(com5)->text(0), com5);
        Click(Node(com5));
        QCOMPARE(Boxes(), QStringLiteral("10000010"));
        QCOMPARE(fake->CountCalls("SET"), 0);

        // Apply as the answer writes the port and moves on.
        QTest::keyClick(dcd, Qt::Key_Space);
        boxes = CaptureBoxes([&] { Click(Node(com6)); }, {QMessageBox::Apply});
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(fake->ports[u"COM5"].record[8], 0x05);  // RTS: CTS, DCD
        QCOMPARE(Tree()->currentItem()->text(0), com6);
        QCOMPARE(form->windowTitle(), QStringLiteral("Конфигуратор"));

        // An Apply that fails keeps the user on the port, still marked.
        auto *delay = Child<QLineEdit>("DelayEdit");
        delay->setFocus();
        QTest::keyClick(delay, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(delay, "2500");
        QCOMPARE(Node(com6)->text(0), com6 + kMark);
        fake->ports[u"COM6"].failure = ERROR_ACCESS_DENIED;
        boxes = CaptureBoxes([&] { Click(Node(QStringLiteral("Последовательный порт (COM1)"))); },
                             {QMessageBox::Apply, QMessageBox::Ok});
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes[0].text, QStringLiteral("Изменения настроек не приняты (COM6). Принять их?"));
        QCOMPARE(boxes[1].text, QStringLiteral("Отказано в доступе. (код 5)"));
        QCOMPARE(Tree()->currentItem()->text(0), com6 + kMark);
        QCOMPARE(delay->text(), QStringLiteral("2500"));
        fake->ports[u"COM6"].failure = 0;

        // A deleted connection leaves nothing selected, yet its port stays marked; Discard brings
        // the connection back from what was last read.
        boxes = CaptureBoxes([&] { Click(conn = Node(QStringLiteral("10.0.0.7 (4001)"))); }, {QMessageBox::Discard});
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(Tree()->currentItem(), conn);
        form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        Tree()->setFocus();
        boxes = CaptureBoxes([&] { QTest::keyClick(Tree(), Qt::Key_Delete); }, {QMessageBox::Ok});
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(Node(com5)->childCount(), 1);
        QCOMPARE(Node(com5)->text(0), com5 + kMark);
        QCOMPARE(form->windowTitle(), QStringLiteral("Конфигуратор *"));
        boxes = CaptureBoxes([&] { Click(Node(com6)); }, {QMessageBox::Discard});
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, kLeaveCom5);
        QCOMPARE(Node(com5)->childCount(), 2);
        QCOMPARE(Node(com5)->child(1)->text(0), QStringLiteral("10.0.0.7 (4001)"));
        QCOMPARE(form->windowTitle(), QStringLiteral("Конфигуратор"));
        QCOMPARE(fake->ports[u"COM6"].record, Bytes{});
    }

    void startupPromptAsksBeforeAnything()
    {
        qunsetenv("QUORVEL_STARTUP_ANSWER");
        bool answer = true;
        BoxSeen box = CaptureBox([&] { answer = RunStartupPrompt(); }, QMessageBox::Cancel);
        QVERIFY(box.shown);
        QVERIFY(!answer);
        QCOMPARE(box.title, QStringLiteral("Кофигуратор"));
        QCOMPARE(box.text,
                 QStringLiteral("Перед работой необходимо закрыть\n\rвсе программы работающие с COM портами!\n\r"
                                "Если есть такие, нажмите кнопку 'Отмена',\n\rиначе нажмите кнопку 'OK'"));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QVERIFY(box.buttons.contains(QStringLiteral("OK")));
        QVERIFY(box.buttons.contains(QStringLiteral("Отмена")));
        box = CaptureBox([&] { answer = RunStartupPrompt(); }, QMessageBox::Ok);
        QVERIFY(answer);
        qputenv("QUORVEL_STARTUP_ANSWER", "cancel");
        QVERIFY(!RunStartupPrompt());
        qputenv("QUORVEL_STARTUP_ANSWER", "ok");
        QVERIFY(RunStartupPrompt());
        qunsetenv("QUORVEL_STARTUP_ANSWER");
    }

    void exceptionsFromEventHandlersReachTheErrorBox()
    {
        Thrower thrower;
        BoxSeen box = CaptureBox([&] {
            QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
            QCoreApplication::sendPostedEvents(&thrower, QEvent::User);
        });
        QVERIFY(box.shown);
        QCOMPARE(box.text, QStringLiteral("сбой в обработчике события"));
        QCOMPARE(box.title, QStringLiteral("Конфигуратор"));
        QCOMPARE(box.icon, QMessageBox::Critical);
    }

    void noTextIsClippedAtTheUsualOrALargerFont()
    {
        const QFont usual = QApplication::font();
        for (double scale : {1.0, 1.6}) {
            QFont font = usual;
            font.setPointSizeF(usual.pointSizeF() * scale);
            // The font the program starts with, as a desktop setting or DPI gives it.
            QApplication::setFont(font);
            QCoreApplication::sendPostedEvents();
            Open();
            Click(Node(QStringLiteral("192.168.0.10 (502) - Modbus TCP")));
            if (scale == 1.0) QCOMPARE(form->width(), 595);
            QStringList clipped;
            for (QWidget *w : form->centralWidget()->findChildren<QWidget *>()) {
                auto *label = qobject_cast<QLabel *>(w);
                auto *button = qobject_cast<QAbstractButton *>(w);
                if (!label && !button) continue;
                QSize need = w->sizeHint();
                if (label && label->wordWrap()) need = {0, label->heightForWidth(label->width())};
                if (need.width() > w->width() || need.height() > w->height())
                    clipped << QStringLiteral("%1 needs %2x%3, has %4x%5")
                                   .arg(w->objectName())
                                   .arg(need.width())
                                   .arg(need.height())
                                   .arg(w->width())
                                   .arg(w->height());
            }
            bool statusFits = form->statusBar()->height() >= form->statusBar()->fontMetrics().height();
            QApplication::setFont(usual);
            QVERIFY2(clipped.isEmpty(), qPrintable(QStringLiteral("x%1: ").arg(scale) + clipped.join("; ")));
            QVERIFY(statusFits);
            form.reset();
        }
    }

    void screenshotOfAConfiguredPort()
    {
        Open();
        QCOMPARE(form->centralWidget()->height() + form->statusBar()->height(), 511);
        QCOMPARE(form->width(), 595);
        Click(Node(QStringLiteral("Quorvel Modbus port (COM5)")));
        QByteArray dir = qgetenv("QUORVEL_SCREENSHOT_DIR");
        if (dir.isEmpty()) QSKIP("QUORVEL_SCREENSHOT_DIR not set");
        QVERIFY(QDir().mkpath(QString::fromLocal8Bit(dir)));
        QPixmap shot = form->grab();
        QCOMPARE(shot.size(), form->size());
        QVERIFY(shot.save(QString::fromLocal8Bit(dir) + QStringLiteral("/main-window.png")));
    }
};

int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    WindowTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "window_test.moc"
