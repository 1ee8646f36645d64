// The dialogs and the commands that drive them, settings files through the window, and driver
// and filter installation, on the offscreen platform against a fake platform.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

#include <sys/resource.h>

#include <csignal>
#include <fstream>
#include <functional>

#include "ConnectSett.h"
#include "ErrorReporting.h"
#include "Errors.h"
#include "FakePlatform.h"
#include "FilterType.h"
#include "IDEditForm.h"
#include "Main.h"
#include "PlatformHost.h"
#include "SetupClasses.h"
#include "UnInstallFilterForm.h"
#include "Version.h"
#include "VersionInfo.h"
#include "common/filterservice.h"
#include "common/version.h"
#include "newdev.hpp"
#include "records.h"

using namespace quorvel;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes &kWorkedExample = qvtest::kWorkedRecord;
const Bytes kGuidBytes = {0x4A, 0x88, 0x3B, 0xDE, 0x2D, 0x2E, 0xBA, 0x4B,
                          0xBD, 0x25, 0x27, 0x7C, 0x04, 0x92, 0x2D, 0x53};

// The worked example plus a raw connection to 10.0.0.7:4001 serving device 7.
Bytes TwoConnectionRecord()
{
    Bytes b = kWorkedExample;
    Bytes entry = {0x0C, 0, 0, 0, 10, 0, 0, 7, 0xA1, 0x0F, 1, 7};
    b.insert(b.end(), entry.begin(), entry.end());
    b[0] = static_cast<std::uint8_t>(b.size());
    return b;
}

// The fake platform with installation: installed devices appear at the next enumeration, removed
// ones disappear; version values are the ones compiled into the program for hosts without a
// version resource.
class InstallFake : public FakePlatform {
public:
    Win32Error installResult = 0, removeResult = 0, filterResult = 0, shellResult = 0, versionResult = 0;
    std::vector<std::string> installs;  // "inf|hardware id"
    std::vector<std::u16string> filterFiles;
    std::vector<std::u16string> shellUrls;
    int versionLoads = 0;
    bool translation = true;

    Win32Error InstallDevice(const std::u16string &inf, const std::u16string &hardwareId) override
    {
        calls.push_back("InstallDevice");
        installs.push_back(Utf16ToUtf8(inf) + "|" + Utf16ToUtf8(hardwareId));
        if (installResult) return installResult;
        std::u16string com = u"COM" + Utf8ToUtf16(std::to_string(nextCom_++));
        AddPort(u"Quorvel Modbus port (" + com + u")", hardwareId);
        ports[com];
        return 0;
    }
    Win32Error RemoveDevice(plat::DevSet, const plat::DevData &dev) override
    {
        calls.push_back("RemoveDevice " + std::to_string(dev.devInst));
        if (removeResult) return removeResult;
        // Out of every class: no later enumeration finds it.
        for (Device &d : devices)
            if (d.devInst == dev.devInst) d.cls = Guid{};
        return 0;
    }
    Win32Error InstallFilterService(const std::u16string &path, std::u16string *name) override
    {
        calls.push_back("InstallFilterService");
        filterFiles.push_back(path);
        if (filterResult) return filterResult;
        *name = FilterServiceName(FilterFileName(path));
        return 0;
    }
    Win32Error LoadVersionInfo(const std::u16string &file, plat::Bytes *blob) override
    {
        ++versionLoads;
        if (versionResult) return versionResult;
        return compiledIn_.LoadVersionInfo(file, blob);
    }
    bool QueryVersionValue(const plat::Bytes &blob, const std::u16string &sub, plat::Bytes *value) override
    {
        if (!translation && sub == u"\\VarFileInfo\\Translation") return false;
        return compiledIn_.QueryVersionValue(blob, sub, value);
    }
    Win32Error ShellOpen(const std::u16string &url) override
    {
        shellUrls.push_back(url);
        return shellResult;
    }

private:
    int nextCom_ = 7;
    plat::PlatformHost compiledIn_{"/nonexistent/control.sock"};
};

using Step = std::function<void(QWidget *)>;

}  // namespace

class DialogTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<InstallFake> fake;
    std::unique_ptr<TForm1> form;
    std::unique_ptr<QTemporaryDir> dir;
    QStringList boxes;     // texts of the error boxes answered by Box()
    QStringList failures;  // what the modal steps did not find as expected

    void Populate()
    {
        fake->classDescriptions[GuidToString(kPortsClassGuid)] = u"Порты (COM и LPT)";
        fake->classValues[GuidToString(kPortsClassGuid) + "\\UpperFilters"] = EncodeMultiSz({u"classflt"});
        auto &com1 = fake->AddPort(u"Последовательный порт (COM1)", u"ACPI\\PNP0501");
        com1.properties[SPDRP_UPPERFILTERS] = EncodeMultiSz({u"upf"});
        com1.properties[SPDRP_LOWERFILTERS] = EncodeMultiSz({u"serenum", u"extra"});
        fake->AddPort(u"Quorvel Modbus port (COM5)", u"*QuorvelDevice");
        fake->AddPort(u"Quorvel Modbus port (COM6)", u"*QuorvelDevice");
        fake->ports[u"COM1"];
        fake->ports[u"COM5"].hasRecord = true;
        fake->ports[u"COM5"].record = TwoConnectionRecord();
        fake->ports[u"COM6"];
        fake->hosts["plc.example"] = {10, 0, 0, 9};
    }

    void Open()
    {
        form = std::make_unique<TForm1>(*fake);
        form->show();
        QVERIFY(QTest::qWaitForWindowExposed(form.get()));
    }

    template <class T>
    T *Child(const char *name)
    {
        T *w = form->findChild<T *>(QLatin1String(name));
        if (!w) qFatal("no control %s", name);
        return w;
    }
    QTreeWidget *Tree() { return Child<QTreeWidget>("TreeView1"); }
    // The node with this text, marked unapplied or not.
    QTreeWidgetItem *Node(const QString &text)
    {
        auto items = Tree()->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
        if (items.isEmpty()) items = Tree()->findItems(text + " *", Qt::MatchExactly | Qt::MatchRecursive);
        return items.isEmpty() ? nullptr : items.first();
    }
    void Select(const QString &text)
    {
        QTreeWidgetItem *item = Node(text);
        QVERIFY2(item, qPrintable(text));
        Tree()->setCurrentItem(item);
        item->setSelected(true);
    }
    QStringList Children(const QString &text)
    {
        QStringList out;
        if (QTreeWidgetItem *n = Node(text))
            for (int i = 0; i < n->childCount(); ++i) out << n->child(i)->text(0);
        return out;
    }
    QStringList Rows(const char *list)
    {
        QStringList rows;
        auto *t = Child<QTableWidget>(list);
        for (int r = 0; r < t->rowCount(); ++r) rows << t->item(r, 0)->text() + "|" + t->item(r, 1)->text();
        return rows;
    }

    // Runs action; each modal window it opens goes to the next step, which must close it. A modal
    // window beyond the steps is a failure and is closed.
    void Run(const std::function<void()> &action, std::vector<Step> steps)
    {
        std::size_t used = 0;
        QList<QPointer<QWidget>> handled;  // a window is handled once, also when it is active again
        QTimer poll;
        poll.setInterval(5);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget *w = QApplication::activeModalWidget();
            if (!w || handled.contains(w)) return;
            handled << w;
            if (used < steps.size()) {
                // Deferred, so that a box the step itself opens finds this poll running.
                Step step = steps[used++];
                QTimer::singleShot(0, w, [step, w] { step(w); });
            } else {
                failures << QStringLiteral("unexpected %1 «%2»")
                                .arg(QLatin1String(w->metaObject()->className()), w->windowTitle());
                if (auto *box = qobject_cast<QMessageBox *>(w)) boxes << box->text();
                if (auto *d = qobject_cast<QDialog *>(w)) d->reject();
            }
        });
        poll.start();
        action();
        poll.stop();
        if (used != steps.size()) failures << QStringLiteral("%1 of %2 modal steps ran").arg(used).arg(steps.size());
    }

    // Steps.
    Step Box()
    {
        return [this](QWidget *w) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!box) {
                failures << QStringLiteral("expected a message box, got %1").arg(w->metaObject()->className());
                static_cast<QDialog *>(w)->reject();
                return;
            }
            if (box->windowTitle() != QStringLiteral("Конфигуратор") || box->icon() != QMessageBox::Critical ||
                box->parentWidget() != form.get())
                failures << QStringLiteral("box «%1» is not the window's error box").arg(box->text());
            boxes << box->text();
            box->button(QMessageBox::Ok)->click();
        };
    }
    Step File(const QString &path, const QString &title = QString(), const QString &suffix = QString())
    {
        return [=, this](QWidget *w) {
            auto *d = qobject_cast<QFileDialog *>(w);
            if (!d) {
                failures << QStringLiteral("expected a file dialog, got %1").arg(w->metaObject()->className());
                static_cast<QDialog *>(w)->reject();
                return;
            }
            if (!title.isNull() && d->windowTitle() != title) failures << "file dialog title " + d->windowTitle();
            if (!suffix.isNull() && d->defaultSuffix() != suffix) failures << "default suffix " + d->defaultSuffix();
            if (path.isEmpty()) {
                d->reject();
                return;
            }
            // Typed into the name field, as a user would; the dialog resolves it against its folder.
            auto *name = d->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            if (!name) {
                failures << QStringLiteral("file dialog without a name field");
                d->reject();
                return;
            }
            name->setText(path);
            static_cast<QDialog *>(d)->accept();
        };
    }
    // Answers a question box (the file dialog's overwrite question) with button.
    Step Answer(QMessageBox::StandardButton button)
    {
        return [=, this](QWidget *w) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (!box || !box->button(button)) {
                failures << QStringLiteral("expected a question");
                static_cast<QDialog *>(w)->reject();
                return;
            }
            box->button(button)->click();
        };
    }
    template <class T>
    Step Dialog(std::function<void(T *)> fn)
    {
        return [=, this](QWidget *w) {
            T *d = qobject_cast<T *>(w);
            if (!d) {
                failures << QStringLiteral("expected another dialog than %1").arg(w->metaObject()->className());
                static_cast<QDialog *>(w)->reject();
                return;
            }
            fn(d);
        };
    }
    Step ConnForm(const QString &ip, const QString &port, bool convert, bool ok = true)
    {
        return Dialog<TConnForm>([=](TConnForm *d) {
            d->IPSett->setText(ip);
            d->PortSett->setText(port);
            d->RawCheckBox->setChecked(convert);
            ok ? d->accept() : d->reject();
        });
    }
    Step IdForm(const QString &id)
    {
        return Dialog<TIDForm>([=](TIDForm *d) {
            d->IDEdit->setText(id);
            d->accept();
        });
    }
    void Shot(QWidget *w, const char *name)
    {
        QByteArray shots = qgetenv("QUORVEL_SCREENSHOT_DIR");
        if (shots.isEmpty()) return;
        QDir().mkpath(QString::fromLocal8Bit(shots));
        if (!w->grab().save(QString::fromLocal8Bit(shots) + "/" + QLatin1String(name)))
            failures << QStringLiteral("screenshot %1 not written").arg(QLatin1String(name));
    }
    void Trigger(const char *action) { Child<QAction>(action)->trigger(); }
    void ClickButton(const char *button) { Child<QToolButton>(button)->click(); }

    QString WriteFile(const QString &name, const Bytes &bytes)
    {
        QString path = dir->filePath(name);
        std::ofstream out(path.toStdString(), std::ios::binary);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    static Bytes ReadFile(const QString &path)
    {
        std::ifstream in(path.toStdString(), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    Bytes DeviceProperty(std::size_t device, std::uint32_t property)
    {
        auto &p = fake->devices[device].properties;
        return p.count(property) ? p[property] : Bytes{};
    }

    // Answers the modal window by keyboard: text typed over its focused field, then key. Whatever
    // the key, the window must be gone afterwards.
    Step Keys(Qt::Key key, const QString &typed = QString())
    {
        return [=, this](QWidget *w) {
            QWidget *target = QApplication::focusWidget();
            if (!target || target->window() != w) target = w;
            if (!typed.isNull()) {
                QTest::keyClick(target, Qt::Key_A, Qt::ControlModifier);
                QTest::keyClicks(target, typed);
            }
            QTest::keyClick(target, key);
            if (w->isVisible()) {
                failures << QStringLiteral("%1 still open after a key").arg(w->windowTitle());
                static_cast<QDialog *>(w)->reject();
            }
        };
    }

    static constexpr const char *kPortMsg = "Порт должен быть положительным целым числом";
    static constexpr const char *kIdMsg = "ID устройства должно быть положительным целым числом";
    static constexpr const char *kDupMsg = "Устройства c заданным ID уже присутствует в списке";
    const QString kCom5 = QStringLiteral("Quorvel Modbus port (COM5)");
    const QString kCom6 = QStringLiteral("Quorvel Modbus port (COM6)");
    const QString kCom1 = QStringLiteral("Последовательный порт (COM1)");
    const QString kConnA = QStringLiteral("192.168.0.10 (502) - Modbus TCP");
    const QString kConnB = QStringLiteral("10.0.0.7 (4001)");

private slots:
    void init()
    {
        fake = std::make_unique<InstallFake>();
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        boxes.clear();
        failures.clear();
        Populate();
        Open();
    }
    void cleanup()
    {
        form.reset();
        if (!failures.isEmpty()) qWarning("%s", qPrintable(failures.join("; ")));
        QCOMPARE(failures, QStringList());
        QCOMPARE(fake->openSets, 0);
        fake.reset();
        dir.reset();
    }

    void addingConnectionsChecksAddressAndPort()
    {
        Select(kCom6);
        Run([&] { Trigger("AddConnMenu"); }, {Dialog<TConnForm>([&](TConnForm *d) {
                if (d->windowTitle() != QStringLiteral("Соединение") || d->IPSett->text() != "127.0.0.1" ||
                    d->PortSett->text() != "502" || !d->RawCheckBox->isChecked())
                    failures << "connection dialog defaults";
                Shot(d, "dialog-connection.png");
                d->accept();
            })});
        QCOMPARE(Children(kCom6), QStringList{"127.0.0.1 (502) - Modbus TCP"});
        // The port's panel lists the new connection.
        QCOMPARE(Rows("ListView2"), QStringList{"127.0.0.1 (502) - Modbus TCP|"});

        // A host name, the highest port, no conversion.
        Run([&] { Trigger("AddConnPMenu"); }, {ConnForm("plc.example", "65535", false)});
        QCOMPARE(Children(kCom6).last(), QStringLiteral("10.0.0.9 (65535)"));

        // Refused ports and addresses add nothing; the whole number is checked, never cut down.
        for (const char *port : {"0", "-1", "abc", "", "65536", "70000", "5.5"}) {
            Run([&] { Trigger("AddConnMenu"); }, {ConnForm("127.0.0.1", port, true), Box()});
            QCOMPARE(boxes.takeLast(), QString::fromUtf8(kPortMsg));
        }
        for (const char *address : {"no.such.host", "", "255.255.255.255"}) {
            Run([&] { Trigger("AddConnMenu"); }, {ConnForm(address, "502", true), Box()});
            QCOMPARE(boxes.takeLast(), QStringLiteral("Не удалось определить IP адрес «%1»").arg(address));
        }
        Run([&] { Trigger("AddConnMenu"); }, {ConnForm("127.0.0.2", "502", true, false)});
        QCOMPARE(Children(kCom6).size(), 2);

        // What the tree shows is what Apply sends.
        Child<QPushButton>("ApplyButton")->click();
        Bytes expected = {0x20, 0, 0,    0,    1, 1,  0x10, 0x27, 0, 0,  11, 0, 0, 0,    127,  0,
                          0,    1, 0xF6, 0x01, 0, 11, 0,    0,    0, 10, 0,  0, 9, 0xFF, 0xFF, 1};
        QCOMPARE(fake->ports[u"COM6"].record, expected);
    }

    void changingAConnectionIsAllOrNothing()
    {
        Select(kConnB);
        Run([&] { Trigger("ChangeConnMenu"); },
            {Dialog<TConnForm>([&](TConnForm *d) {
                 if (d->IPSett->text() != "10.0.0.7" || d->PortSett->text() != "4001" || d->RawCheckBox->isChecked())
                     failures << "change dialog shows " + d->IPSett->text() + " " + d->PortSett->text();
                 d->IPSett->setText("10.1.1.1");
                 d->PortSett->setText("abc");
                 d->RawCheckBox->setChecked(true);
                 d->accept();
             }),
             Box()});
        QCOMPARE(boxes.takeLast(), QString::fromUtf8(kPortMsg));
        QCOMPARE(Tree()->currentItem()->text(0), kConnB);
        Run([&] { Trigger("ChangeConnPMenu"); }, {ConnForm("no.such.host", "600", true), Box()});
        QCOMPARE(Tree()->currentItem()->text(0), kConnB);
        // Nothing of either refused change reached the model: Apply sends the old record.
        Child<QPushButton>("ApplyButton")->click();
        QCOMPARE(fake->ports[u"COM5"].record, TwoConnectionRecord());

        Run([&] { Trigger("ChangeConnMenu"); }, {ConnForm("10.1.1.1", "600", true)});
        QCOMPARE(Tree()->currentItem()->text(0), QStringLiteral("10.1.1.1 (600) - Modbus TCP"));
        QCOMPARE(Rows("ListView2"), QStringList{"10.1.1.1 (600) - Modbus TCP|7"});
        Run([&] { Trigger("ChangeConnMenu"); }, {ConnForm("10.1.1.1", "600", false)});
        QCOMPARE(Tree()->currentItem()->text(0), QStringLiteral("10.1.1.1 (600)"));
        Run([&] { Trigger("ChangeConnMenu"); }, {ConnForm("10.1.1.1", "601", false, false)});
        QCOMPARE(Tree()->currentItem()->text(0), QStringLiteral("10.1.1.1 (600)"));
    }

    void deviceIdsAreCheckedPerConnection()
    {
        Select(kConnA);
        Run([&] { ClickButton("AddDeviceButt"); }, {Dialog<TIDForm>([&](TIDForm *d) {
                if (d->windowTitle() != QStringLiteral("ID устройства") || d->InfoEdit->text() != kConnA ||
                    !d->InfoEdit->isReadOnly() || d->IDEdit->text() != "1" || d->focusWidget() != d->IDEdit)
                    failures << "id dialog setup";
                Shot(d, "dialog-device-id.png");
                d->IDEdit->setText("5");
                d->accept();
            })});
        QCOMPARE(Rows("ListView2"), QStringList({kConnA + "|1", kConnA + "|2", kConnA + "|5"}));
        QCOMPARE(Child<QTableWidget>("ListView2")->item(2, 0)->data(Qt::UserRole).toInt(), 5);

        Run([&] { ClickButton("AddDeviceButt"); }, {IdForm("5"), Box()});
        QCOMPARE(boxes.takeLast(), QString::fromUtf8(kDupMsg));
        for (const char *id : {"0", "x", "256", "-3", ""}) {
            Run([&] { ClickButton("AddDeviceButt"); }, {IdForm(id), Box()});
            QCOMPARE(boxes.takeLast(), QString::fromUtf8(kIdMsg));
        }
        Run([&] { ClickButton("AddDeviceButt"); }, {IdForm("255")});
        QCOMPARE(Rows("ListView2").size(), 4);

        // The same id on another connection of the port is fine.
        Select(kConnB);
        Run([&] { ClickButton("AddDeviceButt"); }, {IdForm("5")});
        QCOMPARE(Rows("ListView2"), QStringList({kConnB + "|7", kConnB + "|5"}));
        Child<QPushButton>("ApplyButton")->click();
        Bytes record = fake->ports[u"COM5"].record;
        QCOMPARE(record.size(), TwoConnectionRecord().size() + 3);
        QCOMPARE(record[23], 5);  // after ids 1, 2
        QCOMPARE(record[24], 255);
        QCOMPARE(record.back(), 5);
    }

    void enterAcceptsAndEscapeCancelsEveryDialog()
    {
        // Connection: the address typed over the focused field, then Enter; Escape adds nothing.
        Select(kCom6);
        Run([&] { Trigger("AddConnMenu"); }, {Keys(Qt::Key_Escape, "10.2.2.2")});
        QCOMPARE(Children(kCom6), QStringList());
        Run([&] { Trigger("AddConnMenu"); }, {Keys(Qt::Key_Return, "10.2.2.2")});
        QCOMPARE(Children(kCom6), QStringList{"10.2.2.2 (502) - Modbus TCP"});
        Select("10.2.2.2 (502) - Modbus TCP");
        Run([&] { Trigger("ChangeConnMenu"); }, {Keys(Qt::Key_Enter, "10.3.3.3")});
        QCOMPARE(Children(kCom6), QStringList{"10.3.3.3 (502) - Modbus TCP"});

        // Device id: the id field has the focus.
        Run([&] { ClickButton("AddDeviceButt"); }, {Keys(Qt::Key_Escape, "9")});
        Run([&] { ClickButton("AddDeviceButt"); }, {Keys(Qt::Key_Return, "9")});
        QCOMPARE(Rows("ListView2"), QStringList{"10.3.3.3 (502) - Modbus TCP|9"});

        // Questions: Escape keeps the connection; Enter on the leave question applies.
        Run([&] { Trigger("DelConnMenu"); }, {Keys(Qt::Key_Escape)});
        QCOMPARE(Children(kCom6).size(), 1);
        Run([&] { Tree()->setCurrentItem(Node(kCom5)); }, {Keys(Qt::Key_Escape)});
        QCOMPARE(Tree()->currentItem()->text(0), QStringLiteral("10.3.3.3 (502) - Modbus TCP"));
        Run([&] { Tree()->setCurrentItem(Node(kCom5)); }, {Keys(Qt::Key_Return)});
        QCOMPARE(Tree()->currentItem()->text(0), kCom5);
        QCOMPARE(fake->ports[u"COM6"].record.size(), std::size_t(10 + 12));
        QCOMPARE(fake->ports[u"COM6"].record.back(), 9);
        QCOMPARE(form->windowTitle(), QStringLiteral("Конфигуратор"));

        // Filter type and filter removal: the list chosen by arrow keys, then Enter.
        int kind = 0, result = -1;
        Run(
            [&] {
                TFType d(form.get());
                result = d.exec();
                kind = d.Kind();
            },
            {[](QWidget *w) {
                auto *d = qobject_cast<TFType *>(w);
                QTest::keyClick(d->ComboBox1, Qt::Key_Down);
                QTest::keyClick(d->ComboBox1, Qt::Key_Return);
            }});
        QCOMPARE(result, int(QDialog::Accepted));
        QCOMPARE(kind, 18);
        Run([&] { result = TFType(form.get()).exec(); }, {Keys(Qt::Key_Escape)});
        QCOMPARE(result, int(QDialog::Rejected));
        Select(kCom1);
        Run([&] { Trigger("FiltrUninstMenu"); }, {[](QWidget *w) { QTest::keyClick(w, Qt::Key_Escape); }});
        Run([&] { Trigger("FiltrUninstMenu"); }, {[](QWidget *w) {
                auto *d = qobject_cast<TDelFilter *>(w);
                QTest::keyClick(d->ComboBox1, Qt::Key_Down);
                QTest::keyClick(d->ListBox1, Qt::Key_Down);
                QTest::keyClick(d->ListBox1, Qt::Key_Down);
                QTest::keyClick(d->ListBox1, Qt::Key_Return);
            }});
        QCOMPARE(DeviceProperty(0, SPDRP_LOWERFILTERS), EncodeMultiSz({u"serenum"}));
        QCOMPARE(DeviceProperty(0, SPDRP_UPPERFILTERS), EncodeMultiSz({u"upf"}));

        // The about box closes either way.
        Run([&] { Trigger("N18"); }, {Keys(Qt::Key_Escape)});
        Run([&] { Trigger("N18"); }, {Keys(Qt::Key_Return)});
    }

    void filterRemovalActsOnTheListShownAtOk()
    {
        Select(kCom1);
        // A name picked in the upper list does not survive a switch to the lower list.
        Run([&] { Trigger("FiltrUninstMenu"); }, {Dialog<TDelFilter>([&](TDelFilter *d) {
                if (d->windowTitle() != QStringLiteral("Удаление фильтра") || d->ListBox1->count() != 1 ||
                    d->ListBox1->item(0)->text() != "upf" || d->kind() != 17)
                    failures << "removal dialog shows the upper list";
                d->ListBox1->item(0)->setSelected(true);
                if (d->chosenName() != "upf") failures << "click chooses " + d->chosenName();
                d->ComboBox1->setCurrentIndex(1);
                if (d->kind() != 18 || d->ListBox1->count() != 2 || !d->chosenName().isEmpty())
                    failures << "switch to the lower list";
                Shot(d, "dialog-filter-removal.png");
                d->accept();
            })});
        QCOMPARE(fake->CountCalls("SetDeviceRegistryProperty"), 0);
        QCOMPARE(boxes, QStringList());

        Run([&] { Trigger("FiltrUnInstPMenu"); }, {Dialog<TDelFilter>([&](TDelFilter *d) {
                d->ComboBox1->setCurrentIndex(1);
                d->ListBox1->item(1)->setSelected(true);
                d->accept();
            })});
        QCOMPARE(DeviceProperty(0, SPDRP_LOWERFILTERS), EncodeMultiSz({u"serenum"}));
        QCOMPARE(Rows("ListView1").at(2), QStringLiteral("Lower Filters|serenum"));

        Run([&] { Trigger("FiltrUninstMenu"); }, {Dialog<TDelFilter>([&](TDelFilter *d) {
                d->ListBox1->item(0)->setSelected(true);
                d->accept();
            })});
        QVERIFY(!fake->devices[0].properties.count(SPDRP_UPPERFILTERS));
        // Cancel does nothing.
        int writes = fake->CountCalls("SetDeviceRegistryProperty");
        Run([&] { Trigger("FiltrUninstMenu"); }, {Dialog<TDelFilter>([&](TDelFilter *d) {
                d->ComboBox1->setCurrentIndex(1);
                d->ListBox1->item(0)->setSelected(true);
                d->reject();
            })});
        QCOMPARE(fake->CountCalls("SetDeviceRegistryProperty"), writes);

        // The class's lists, through the class node.
        Select(QStringLiteral("Порты (COM и LPT)"));
        Run([&] { Trigger("FiltrUninstMenu"); }, {Dialog<TDelFilter>([&](TDelFilter *d) {
                d->ListBox1->item(0)->setSelected(true);
                d->accept();
            })});
        QCOMPARE(fake->classValues[GuidToString(kPortsClassGuid) + "\\UpperFilters"], Bytes{});
    }

    void removingAnAbsentFilterWritesTheListBackQuietly()
    {
        TClassesList classes(*fake);
        classes.Refresh(&kPortsClassGuid);
        TClassInfo *ports = classes.ClassAt(0);
        QCOMPARE(RemoveFilter(*ports, "nosuch", kUpperFilters), 0u);
        QCOMPARE(fake->CountCalls("SetClassMultiSz"), 1);
        QCOMPARE(ports->ReadFilters(kUpperFilters), StringList{"classflt"});
        QCOMPARE(RemoveFilter(*ports->DeviceAt(0), "SERENUM", kLowerFilters), 0u);
        QCOMPARE(ports->DeviceAt(0)->ReadFilters(kLowerFilters), StringList{"extra"});
    }

    void aFilterListTooLongToReadIsNeverWrittenBack()
    {
        // Shown as empty, but adding or removing a name must not replace it with what was read.
        std::vector<std::u16string> many(3000, u"longfilt");
        Bytes big = EncodeMultiSz(many);
        QVERIFY(big.size() > 32768);
        fake->classValues[GuidToString(kPortsClassGuid) + "\\UpperFilters"] = big;
        TClassesList classes(*fake);
        classes.Refresh(&kPortsClassGuid);
        TClassInfo *ports = classes.ClassAt(0);
        fake->devices[0].properties[SPDRP_LOWERFILTERS] = big;
        QString sys = WriteFile("myfilt.sys", {1});
        QCOMPARE(ports->FilterText(kUpperFilters), std::string());
        QCOMPARE(AddFilter(*ports, sys.toStdString(), kUpperFilters), plat::Win32Error(ERROR_MORE_DATA));
        QCOMPARE(RemoveFilter(*ports, "longfilt", kUpperFilters), plat::Win32Error(ERROR_MORE_DATA));
        QCOMPARE(AddFilter(*ports->DeviceAt(0), sys.toStdString(), kLowerFilters),
                 plat::Win32Error(ERROR_INSUFFICIENT_BUFFER));
        QCOMPARE(RemoveFilter(*ports->DeviceAt(0), "longfilt", kLowerFilters),
                 plat::Win32Error(ERROR_INSUFFICIENT_BUFFER));
        QCOMPARE(fake->classValues[GuidToString(kPortsClassGuid) + "\\UpperFilters"], big);
        QCOMPARE(DeviceProperty(0, SPDRP_LOWERFILTERS), big);
    }

    void installingAFilter()
    {
        QString sys = WriteFile("myfilt.sys", {1, 2, 3});
        QString title = QStringLiteral("Выбор драйвера - фильтра");
        Select(QStringLiteral("Порты (COM и LPT)"));
        // Cancelling either dialog changes nothing.
        Run([&] { Trigger("FiltrInstMenu"); }, {File(QString(), title, "sys")});
        Run([&] { Trigger("FiltrInstMenu"); }, {File(sys), Dialog<TFType>([](TFType *d) { d->reject(); })});
        QCOMPARE(fake->CountCalls("InstallFilterService"), 0);

        Run([&] { Trigger("FiltrInstMenu"); },
            {File(sys), Dialog<TFType>([&](TFType *d) {
                 if (d->windowTitle() != QStringLiteral("Выбор типа фильтра") || d->ComboBox1->count() != 2 ||
                     d->ComboBox1->currentText() != QStringLiteral("Верхний фильтр") || d->Kind() != 17)
                     failures << "filter type dialog";
                 Shot(d, "dialog-filter-type.png");
                 d->accept();
             })});
        QCOMPARE(fake->filterFiles.back(), QDir::toNativeSeparators(sys).toStdU16String());
        QCOMPARE(fake->classValues[GuidToString(kPortsClassGuid) + "\\UpperFilters"],
                 EncodeMultiSz({u"classflt", u"myfilt"}));
        QCOMPARE(Rows("ListView1").at(0), QStringLiteral("Upper Filters|classflt; myfilt"));

        // The same name in other letter case: the service is installed, the list stays.
        QString upper = WriteFile("MYFILT.SYS", {1, 2, 3});
        int writes = fake->CountCalls("SetClassMultiSz");
        Run([&] { Trigger("FiltrInstPMenu"); }, {File(upper), Dialog<TFType>([](TFType *d) { d->accept(); })});
        QCOMPARE(fake->CountCalls("InstallFilterService"), 2);
        QCOMPARE(fake->CountCalls("SetClassMultiSz"), writes);

        // A port's lower list.
        Select(kCom1);
        Run([&] { Trigger("FiltrInstMenu"); }, {File(sys), Dialog<TFType>([](TFType *d) {
                                                    d->ComboBox1->setCurrentIndex(1);
                                                    d->accept();
                                                })});
        QCOMPARE(DeviceProperty(0, SPDRP_LOWERFILTERS), EncodeMultiSz({u"serenum", u"extra", u"myfilt"}));

        // A refused service (a foreign file or service of that name) shows its code once and
        // touches no list.
        fake->filterResult = ERROR_FILE_EXISTS;
        int deviceWrites = fake->CountCalls("SetDeviceRegistryProperty");
        Run([&] { Trigger("FiltrInstMenu"); }, {File(sys), Dialog<TFType>([](TFType *d) { d->accept(); }), Box()});
        QCOMPARE(boxes, QStringList{QString::fromStdU16String(fake->SystemMessage(ERROR_FILE_EXISTS))});
        QCOMPARE(fake->CountCalls("SetDeviceRegistryProperty"), deviceWrites);
    }

    void installingAndRemovingPortDevices()
    {
        QString inf = WriteFile("quorvel.inf", {'[', 'V', ']'});
        Run([&] { Trigger("DrvInstMenu"); }, {File(QString(), QString(), "inf")});
        QCOMPARE(fake->CountCalls("InstallDevice"), 0);

        Run([&] { Trigger("DrvInstMenu"); }, {File(inf)});
        Run([&] { Trigger("DrvInstPMenu"); }, {File(inf)});
        QCOMPARE(fake->installs.size(), 2u);
        QCOMPARE(QString::fromStdString(fake->installs[0]), QDir::toNativeSeparators(inf) + "|*QuorvelDevice");
        QVERIFY(Node("Quorvel Modbus port (COM7)"));
        QVERIFY(Node("Quorvel Modbus port (COM8)"));

        // A failure shows its code and leaves the tree alone.
        fake->installResult = 0xE0000235;
        int enumerations = fake->CountCalls("GetClassDevs");
        Run([&] { Trigger("DrvInstMenu"); }, {File(inf), Box()});
        QCOMPARE(boxes.takeLast(), QString::fromStdU16String(fake->SystemMessage(0xE0000235)));
        QCOMPARE(fake->CountCalls("GetClassDevs"), enumerations);

        // Removing a device is asked first; Cancel keeps it.
        Select(QStringLiteral("Quorvel Modbus port (COM7)"));
        Run([&] { Trigger("DrvUninstMenu"); }, {Answer(QMessageBox::Cancel)});
        QVERIFY(Node("Quorvel Modbus port (COM7)"));
        Run([&] { Trigger("DrvUninstMenu"); }, {Answer(QMessageBox::Ok)});
        QVERIFY(!Node("Quorvel Modbus port (COM7)"));
        QVERIFY(Node("Quorvel Modbus port (COM8)"));

        // Another driver's port is never removed, whatever action reaches the handler.
        Select(kCom1);
        Run([&] { Trigger("DrvUninstPMenu"); }, {});
        QCOMPARE(fake->CountCalls("RemoveDevice"), 1);

        fake->removeResult = ERROR_ACCESS_DENIED;
        Select(kCom5);
        Run([&] { Trigger("DrvUninstMenu"); }, {Answer(QMessageBox::Ok), Box()});
        QCOMPARE(boxes.takeLast(), QString::fromStdU16String(fake->SystemMessage(ERROR_ACCESS_DENIED)));
        QVERIFY(Node(kCom5));
    }

    void aboutBoxShowsTheVersionAndOpensItsLinks()
    {
        Run([&] { Trigger("N18"); }, {Dialog<TVersionForm>([&](TVersionForm *d) {
                if (d->windowTitle() != QStringLiteral("Конфигуратор порта Quorvel") ||
                    d->Label1->text() != QStringLiteral("Версия продукта: " QUORVEL_VERSION) ||
                    d->Label3->text() != "support@quorvel.example" || d->Label4->text() != "https://quorvel.example" ||
                    !d->Label3->font().underline() || d->Label4->cursor().shape() != Qt::PointingHandCursor ||
                    d->findChild<QPushButton *>("CancelBtn"))
                    failures << "about box contents";
                QTest::mouseClick(d->Label3, Qt::LeftButton);
                QTest::mouseClick(d->Label4, Qt::LeftButton);
                Shot(d, "dialog-about.png");
                d->accept();
            })});
        QCOMPARE(fake->shellUrls,
                 (std::vector<std::u16string>{u"mailto:support@quorvel.example", u"https://quorvel.example"}));
        // The resource is read once for the program's run.
        Run([&] { Trigger("N18"); }, {Dialog<TVersionForm>([](TVersionForm *d) { d->accept(); })});
        QCOMPARE(fake->versionLoads, 1);

        // A link the desktop cannot open says why.
        fake->shellResult = ERROR_FILE_NOT_FOUND;
        // The click opens a box of its own, so it runs outside this step.
        Run([&] { Trigger("N18"); }, {Dialog<TVersionForm>([](TVersionForm *d) {
                                          QTimer::singleShot(0, d, [d] {
                                              QTest::mouseClick(d->Label4, Qt::LeftButton);
                                              d->accept();
                                          });
                                      }),
                                      [&](QWidget *w) {
                                          auto *box = qobject_cast<QMessageBox *>(w);
                                          if (box) boxes << box->text();
                                          static_cast<QDialog *>(w)->accept();
                                      }});
        QCOMPARE(boxes, QStringList{QString::fromStdU16String(fake->SystemMessage(ERROR_FILE_NOT_FOUND))});
    }

    void versionInfoReading()
    {
        TVersionInfo info(*fake, "program");
        QCOMPARE(info.LanguageKey(), std::string("041904e3"));
        QCOMPARE(info.ProductName(), std::string("Конфигуратор порта Quorvel"));
        QCOMPARE(info.Value("NoSuchValue"), std::string());
        QCOMPARE(fake->versionLoads, 1);
        info.SetFileName("other");
        fake->translation = false;
        QCOMPARE(info.FileVersion(), std::string());
        QCOMPARE(fake->versionLoads, 2);

        fake->versionResult = 1813;  // ERROR_RESOURCE_TYPE_NOT_FOUND
        info.SetFileName("plain");
        QVERIFY_THROWS_EXCEPTION(ConfiguratorError, info.ProductName());
        // Through the window: the general error handler's box.
        TVersionInfo failing(*fake, "x");
        try {
            failing.FileVersion();
            QFAIL("no error");
        } catch (const ConfiguratorError &e) {
            QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Error in detecting VersionInfo size!"));
        }
    }

    void settingsFilesThroughTheWindow()
    {
        Select(kConnA);
        QString saved = dir->filePath("com5");
        Run([&] { ClickButton("SaveSettFile"); }, {File(saved, QStringLiteral("Сохранить"), "qvor")});
        Bytes expected = kGuidBytes;
        expected.push_back(1);
        expected.push_back(1);
        Bytes record = TwoConnectionRecord();
        expected.insert(expected.end(), record.begin(), record.end());
        QCOMPARE(ReadFile(saved + ".qvor"), expected);
        // Saving over it asks first.
        Run([&] { ClickButton("SaveSettFile"); }, {File(saved + ".qvor"), Answer(QMessageBox::Yes)});
        QCOMPARE(ReadFile(saved + ".qvor"), expected);

        // Into another port: the model, tree and panel change; the driver only at Apply.
        Run([&] { Trigger("AddConnMenu"); }, {});  // not available for a connection: nothing
        Select(kCom6);
        Run([&] { Trigger("AddConnMenu"); }, {ConnForm("127.0.0.1", "502", true)});
        Select(QStringLiteral("127.0.0.1 (502) - Modbus TCP"));
        int sets = fake->CountCalls("SET");
        // The connection added and not applied is asked about before the file replaces it.
        Run([&] { ClickButton("OpenSettFile"); },
            {File(saved + ".qvor", QStringLiteral("Открыть"), "qvor"), Answer(QMessageBox::Discard)});
        QCOMPARE(Children(kCom6), QStringList({kConnA, kConnB}));
        QCOMPARE(Tree()->currentItem()->text(0), kCom6 + " *");
        QCOMPARE(form->windowTitle(), QStringLiteral("Конфигуратор *"));
        QCOMPARE(form->CurrentSelection(), NodeKind::DriverPort);
        QCOMPARE(Rows("ListView2"), QStringList({kConnA + "|", "|1", "|2", kConnB + "|", "|7"}));
        QCOMPARE(Child<QCheckBox>("CheckBox1")->isChecked(), true);
        QCOMPARE(Child<QLineEdit>("DelayEdit")->text(), QStringLiteral("10000"));
        QCOMPARE(fake->CountCalls("SET"), sets);
        Child<QPushButton>("ApplyButton")->click();
        QCOMPARE(fake->ports[u"COM6"].record, TwoConnectionRecord());
        QCOMPARE(form->windowTitle(), QStringLiteral("Конфигуратор"));

        // Refused files change nothing.
        Bytes wrongGuid = expected;
        wrongGuid[0] ^= 0xFF;
        Bytes oldVersion = expected;
        oldVersion[16] = 0;
        Bytes damaged = expected;
        damaged.pop_back();
        Select(kCom5);
        Run([&] { ClickButton("OpenSettFile"); }, {File(WriteFile("a.qvor", wrongGuid)), Box()});
        Run([&] { ClickButton("OpenSettFile"); }, {File(WriteFile("b.qvor", oldVersion)), Box()});
        Run([&] { ClickButton("OpenSettFile"); }, {File(WriteFile("c.qvor", damaged)), Box()});
        Bytes huge = expected;
        huge.resize(40000);
        Run([&] { ClickButton("OpenSettFile"); }, {File(WriteFile("d.qvor", huge)), Box()});
        QCOMPARE(boxes, QStringList({QStringLiteral("Некорректный формат файла"),
                                     QStringLiteral("Версия файла 1.0 не поддерживается конфигуратором"),
                                     QStringLiteral("Файл настроек поврежден: настройки порта не изменены"),
                                     QStringLiteral("Некорректный формат файла")}));
        QCOMPARE(Children(kCom5), QStringList({kConnA, kConnB}));

        // A file that cannot be written (a file size limit, as a full disk) reaches the general
        // error handler with its reason, and nothing is left behind.
        boxes.clear();
        rlimit limit{};
        QVERIFY(getrlimit(RLIMIT_FSIZE, &limit) == 0);
        auto previous = signal(SIGXFSZ, SIG_IGN);
        rlimit small{10, limit.rlim_max};
        QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
        Run([&] { ClickButton("SaveSettFile"); }, {File(dir->filePath("x.qvor")), Box()});
        setrlimit(RLIMIT_FSIZE, &limit);
        signal(SIGXFSZ, previous);
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].contains("x.qvor"), qPrintable(boxes[0]));
        QVERIFY(QDir(dir->path()).entryList({"x.qvor*"}, QDir::Files | QDir::Hidden).isEmpty());
    }
};

int main(int argc, char **argv)
{
    TApplication app(argc, argv);
    DialogTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "dialog_test.moc"
