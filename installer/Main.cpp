#include "Main.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QTableWidget>
#include <QToolButton>
#include <QTreeWidget>

#include "ErrorReporting.h"
#include "Errors.h"
#include "FieldNumber.h"
#include "VersionInfo.h"

namespace {

constexpr int kObjectRole = Qt::UserRole;
constexpr int kDriverPortRole = Qt::UserRole + 1;

const char kStartupText[] =
    "Перед работой необходимо закрыть\n\rвсе программы работающие с COM портами!\n\rЕсли есть такие, нажмите "
    "кнопку 'Отмена',\n\rиначе нажмите кнопку 'OK'";

template <class T>
T *ObjectOf(const QTreeWidgetItem *item, int type)
{
    if (!item || item->type() != type) return nullptr;
    return reinterpret_cast<T *>(item->data(0, kObjectRole).value<quintptr>());
}

QIcon IconFrom(const plat::Icon16 &icon)
{
    QImage image(16, 16, QImage::Format_ARGB32);
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) image.setPixel(x, y, icon.argb[static_cast<std::size_t>(y * 16 + x)]);
    return QIcon(QPixmap::fromImage(image));
}

QTableWidget *MakeReportList(QWidget *parent, const char *name, const QStringList &columns, const QList<int> &widths)
{
    auto *list = new QTableWidget(0, static_cast<int>(columns.size()), parent);
    list->setObjectName(QLatin1String(name));
    list->setHorizontalHeaderLabels(columns);
    for (int i = 0; i < widths.size(); ++i) list->setColumnWidth(i, widths[i]);
    list->setShowGrid(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->verticalHeader()->setVisible(false);
    list->verticalHeader()->setMinimumSectionSize(16);
    list->verticalHeader()->setDefaultSectionSize(18);
    list->horizontalHeader()->setHighlightSections(false);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    return list;
}

void AddRow(QTableWidget *list, const QString &first, const QString &second)
{
    int row = list->rowCount();
    list->insertRow(row);
    list->setItem(row, 0, new QTableWidgetItem(first));
    list->setItem(row, 1, new QTableWidgetItem(second));
}

}  // namespace

bool RunStartupPrompt()
{
    QByteArray answer = qgetenv("QUORVEL_STARTUP_ANSWER");
    if (answer == "ok") return true;
    if (answer == "cancel") return false;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Кофигуратор"), QString::fromUtf8(kStartupText),
                    QMessageBox::Ok | QMessageBox::Cancel);
    box.button(QMessageBox::Cancel)->setText(QStringLiteral("Отмена"));
    return box.exec() == QMessageBox::Ok;
}

void TWiredGroupBox::paintEvent(QPaintEvent *event)
{
    QGroupBox::paintEvent(event);
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::WindowText));
    for (const QCheckBox *box : findChildren<QCheckBox *>(Qt::FindDirectChildrenOnly)) {
        int y = box->geometry().center().y();
        painter.drawLine(0, y, box->x() - 2, y);
    }
}

TForm1::TForm1(plat::IPlatform &platform, QWidget *parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      platform_(platform),
      classList_(std::make_unique<TClassesList>(platform))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(ConfiguratorCaption());
    CreateControls();
    CreateMenus();
    ConnectHandlers();
    // The client area is 595 x 511 below the menu bar, and the window cannot be resized.
    setFixedSize(595, 511 + menuBar()->sizeHint().height());
    // FormCreate
    Refresh();
}

TForm1::~TForm1()
{
    // FormDestroy: the tree and the ports point into the class list, so they go first.
    TreeView1->clear();
    portList_.clear();
    classList_.reset();
}

void TForm1::CreateControls()
{
    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("ClientArea"));
    setCentralWidget(central);

    TreeView1 = new QTreeWidget(central);
    TreeView1->setObjectName(QStringLiteral("TreeView1"));
    TreeView1->setGeometry(0, 0, 241, 492);
    TreeView1->setColumnCount(1);
    TreeView1->setHeaderHidden(true);
    TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeView1->setIconSize(QSize(16, 16));
    TreeView1->setContextMenuPolicy(Qt::CustomContextMenu);
    QPalette treePalette = TreeView1->palette();
    for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText})
        treePalette.setColor(QPalette::Inactive, role, treePalette.color(QPalette::Active, role));
    TreeView1->setPalette(treePalette);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setFixedHeight(19);
    StatusBar1->setSizeGripEnabled(false);
    setStatusBar(StatusBar1);

    ListView1 =
        MakeReportList(central, "ListView1", {QStringLiteral("Параметр"), QStringLiteral("Значение")}, {150, 200});
    ListView1->setGeometry(245, 4, 346, 81);

    const char *lines[] = {"CTS", "DSR", "DCD", "RING"};
    GroupBox1 = new TWiredGroupBox(QStringLiteral("  RTS  "), central);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(245, 90, 170, 120);
    GroupBox2 = new TWiredGroupBox(QStringLiteral("  DTR  "), central);
    GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
    GroupBox2->setGeometry(421, 90, 170, 120);
    for (int i = 0; i < 8; ++i) {
        QGroupBox *group = i < 4 ? GroupBox1 : GroupBox2;
        auto *box = new QCheckBox(QLatin1String(lines[i % 4]), group);
        box->setObjectName(QStringLiteral("CheckBox%1").arg(i + 1));
        box->setGeometry(40, 22 + 23 * (i % 4), 110, 20);
        box->setEnabled(false);
        CheckBoxes[i] = box;
    }

    GroupBox3 = new QGroupBox(QStringLiteral(" Устройства "), central);
    GroupBox3->setObjectName(QStringLiteral("GroupBox3"));
    GroupBox3->setGeometry(245, 215, 346, 200);
    ListView2 = MakeReportList(GroupBox3, "ListView2", {QStringLiteral("Соединение"), QStringLiteral("ID")}, {238, 49});
    ListView2->setGeometry(8, 20, 296, 172);

    AddDeviceButt = new QToolButton(GroupBox3);
    AddDeviceButt->setObjectName(QStringLiteral("AddDeviceButt"));
    AddDeviceButt->setText(QStringLiteral("+"));
    AddDeviceButt->setAutoRaise(true);
    AddDeviceButt->setToolTip(QStringLiteral("Добавить устройство"));
    AddDeviceButt->setGeometry(310, 20, 28, 28);
    QFont bold = AddDeviceButt->font();
    bold.setBold(true);
    AddDeviceButt->setFont(bold);
    AddDeviceButt->setStyleSheet(QStringLiteral("color: red"));
    AddDeviceButt->setEnabled(false);

    RemoveDevButt = new QToolButton(GroupBox3);
    RemoveDevButt->setObjectName(QStringLiteral("RemoveDevButt"));
    RemoveDevButt->setText(QStringLiteral("-"));
    RemoveDevButt->setAutoRaise(true);
    RemoveDevButt->setToolTip(QStringLiteral("Удалить устройство"));
    RemoveDevButt->setGeometry(310, 52, 28, 28);
    RemoveDevButt->setFont(bold);
    RemoveDevButt->setEnabled(false);

    OpenSettFile = new QToolButton(central);
    OpenSettFile->setObjectName(QStringLiteral("OpenSettFile"));
    OpenSettFile->setAutoRaise(true);
    OpenSettFile->setIcon(style()->standardIcon(QStyle::SP_DialogOpenButton));
    OpenSettFile->setToolTip(QStringLiteral("Загрузить настройки из файла"));
    OpenSettFile->setGeometry(245, 422, 28, 28);

    SaveSettFile = new QToolButton(central);
    SaveSettFile->setObjectName(QStringLiteral("SaveSettFile"));
    SaveSettFile->setAutoRaise(true);
    SaveSettFile->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
    SaveSettFile->setToolTip(QStringLiteral("Сохранить настройки в файл"));
    SaveSettFile->setGeometry(277, 422, 28, 28);

    DelayEditLabel = new QLabel(QStringLiteral("Таймаут на установку соединения  (мс)"), central);
    DelayEditLabel->setObjectName(QStringLiteral("DelayEditLabel"));
    DelayEditLabel->setGeometry(311, 425, 222, 22);
    DelayEdit = new QLineEdit(central);
    DelayEdit->setObjectName(QStringLiteral("DelayEdit"));
    DelayEdit->setGeometry(535, 425, 56, 22);
    DelayEdit->setEnabled(false);
    DelayEditLabel->setBuddy(DelayEdit);

    ApplyButton = new QPushButton(QStringLiteral("Принять настройки"), central);
    ApplyButton->setObjectName(QStringLiteral("ApplyButton"));
    ApplyButton->setGeometry(245, 458, 346, 28);
    ApplyButton->setEnabled(false);

    // Tab order of the panel: the order of the controls above.
    QWidget *order[] = {ListView1,     CheckBoxes[0], CheckBoxes[1], CheckBoxes[2], CheckBoxes[3], CheckBoxes[4],
                        CheckBoxes[5], CheckBoxes[6], CheckBoxes[7], ListView2,     AddDeviceButt, RemoveDevButt,
                        OpenSettFile,  SaveSettFile,  DelayEdit,     ApplyButton};
    QWidget::setTabOrder(TreeView1, order[0]);
    for (std::size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

void TForm1::CreateMenus()
{
    auto action = [this](QMenu *menu, const char *name, const QString &text) {
        QAction *a = menu->addAction(text);
        a->setObjectName(QLatin1String(name));
        return a;
    };

    DrvMenu = menuBar()->addMenu(QStringLiteral("Драйвер"));
    DrvMenu->setObjectName(QStringLiteral("DrvMenu"));
    DrvInstMenu = action(DrvMenu, "DrvInstMenu", QStringLiteral("Установить"));
    DrvUninstMenu = action(DrvMenu, "DrvUninstMenu", QStringLiteral("Удалить"));
    DrvMenu->addSeparator();
    DrvUpdateMenu = action(DrvMenu, "DrvUpdateMenu", QStringLiteral("Обновить..."));

    FiltrMenu = menuBar()->addMenu(QStringLiteral("Фильтр"));
    FiltrMenu->setObjectName(QStringLiteral("FiltrMenu"));
    FiltrInstMenu = action(FiltrMenu, "FiltrInstMenu", QStringLiteral("Установить"));
    FiltrUninstMenu = action(FiltrMenu, "FiltrUninstMenu", QStringLiteral("Удалить"));

    ConnectionsMenu = menuBar()->addMenu(QStringLiteral("Соединение"));
    ConnectionsMenu->setObjectName(QStringLiteral("ConnectionsMenu"));
    AddConnMenu = action(ConnectionsMenu, "AddConnMenu", QStringLiteral("Добавить"));
    DelConnMenu = action(ConnectionsMenu, "DelConnMenu", QStringLiteral("Удалить"));
    ChangeConnMenu = action(ConnectionsMenu, "ChangeConnMenu", QStringLiteral("Изменить"));

    N18 = menuBar()->addAction(QStringLiteral("О программе..."));
    N18->setObjectName(QStringLiteral("N18"));

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    DrvInstPMenu = action(PopupMenu1, "DrvInstPMenu", QStringLiteral("Установить драйвер"));
    DrvUninstPMenu = action(PopupMenu1, "DrvUninstPMenu", QStringLiteral("Удалить драйвер"));
    N11 = PopupMenu1->addSeparator();
    N11->setObjectName(QStringLiteral("N11"));
    FiltrInstPMenu = action(PopupMenu1, "FiltrInstPMenu", QStringLiteral("Установить фильтр"));
    FiltrUnInstPMenu = action(PopupMenu1, "FiltrUnInstPMenu", QStringLiteral("Удалить фильтр"));
    N14 = PopupMenu1->addSeparator();
    N14->setObjectName(QStringLiteral("N14"));
    AddConnPMenu = action(PopupMenu1, "AddConnPMenu", QStringLiteral("Добавить соединение"));
    DelConnPMenu = action(PopupMenu1, "DelConnPMenu", QStringLiteral("Удалить соединение"));
    ChangeConnPMenu = action(PopupMenu1, "ChangeConnPMenu", QStringLiteral("Настроить соединение"));
}

void TForm1::ConnectHandlers()
{
    // Every handler runs guarded: what it lets through reaches the error box, never Qt's event loop.
    auto guard = [this](void (TForm1::*handler)()) {
        return [this, handler] { RunGuarded(this, [this, handler] { (this->*handler)(); }); };
    };
    connect(TreeView1, &QTreeWidget::currentItemChanged, this, guard(&TForm1::TreeView1Click));
    connect(TreeView1, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem *item) { RunGuarded(this, [&] { TreeView1ItemClicked(item); }); });
    connect(TreeView1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { RunGuarded(this, [&] { TreeView1ContextPopup(pos); }); });
    connect(ListView2, &QTableWidget::cellClicked, this, guard(&TForm1::ListView2Click));
    connect(ApplyButton, &QPushButton::clicked, this, guard(&TForm1::ApplyButtonClick));
    connect(RemoveDevButt, &QToolButton::clicked, this, guard(&TForm1::RemoveDevButtClick));
    connect(DelConnMenu, &QAction::triggered, this, guard(&TForm1::DelConnMenuClick));
    connect(DelConnPMenu, &QAction::triggered, this, guard(&TForm1::DelConnMenuClick));
    connect(DrvUpdateMenu, &QAction::triggered, this, guard(&TForm1::DrvUpdateMenuClick));
    ConnectDialogCommands();
}

// ---- tree ----

TClassInfo *TForm1::ClassOf(const QTreeWidgetItem *item) { return ObjectOf<TClassInfo>(item, ClassNode); }
TPortClass *TForm1::PortOf(const QTreeWidgetItem *item) { return ObjectOf<TPortClass>(item, PortNode); }
CModbusDevInfo *TForm1::ConnectionOf(const QTreeWidgetItem *item)
{
    return ObjectOf<CModbusDevInfo>(item, ConnectionNode);
}
bool TForm1::IsDriverPortNode(const QTreeWidgetItem *item)
{
    return PortOf(item) && item->data(0, kDriverPortRole).toBool();
}

QTreeWidgetItem *TForm1::SelectedItem() const
{
    QTreeWidgetItem *item = TreeView1->currentItem();
    return item && item->isSelected() ? item : nullptr;
}

TPortClass *TForm1::SelectedPort() const
{
    QTreeWidgetItem *item = SelectedItem();
    if (TPortClass *port = PortOf(item)) return port;
    if (CModbusDevInfo *connection = ConnectionOf(item)) return connection->owner()->owner();
    return nullptr;
}

CModbusDevInfo *TForm1::SelectedConnection() const { return ConnectionOf(SelectedItem()); }

TForm1::Selection TForm1::CurrentSelection() const
{
    QTreeWidgetItem *item = SelectedItem();
    if (!item) return Selection::None;
    switch (item->type()) {
    case ClassNode: return Selection::Class;
    case PortNode: return IsDriverPortNode(item) ? Selection::DriverPort : Selection::OtherPort;
    case ConnectionNode: return Selection::Connection;
    default: return Selection::None;
    }
}

QTreeWidgetItem *TForm1::AddConnectionNode(QTreeWidgetItem *portNode, CModbusDevInfo *connection)
{
    auto *node = new QTreeWidgetItem(portNode, ConnectionNode);
    node->setText(0, connection->DisplayText());
    node->setIcon(0, connectionIcon_);
    node->setData(0, kObjectRole, QVariant::fromValue(reinterpret_cast<quintptr>(connection)));
    return node;
}

void TForm1::Refresh()
{
    // The tree and the panel let go of every object before the objects are freed.
    TreeView1->setCurrentItem(nullptr);
    TreeView1->clear();
    filledItem_ = nullptr;
    ClearDeviceList();
    ListView1->setRowCount(0);
    SetSettingsEnabled(false);
    StatusBar1->clearMessage();
    portList_.clear();

    classList_->Refresh(&quorvel::kPortsClassGuid);

    plat::Icon16 icon;
    connectionIcon_ = platform_.ClassIcon(quorvel::kNetClassGuid, &icon)
                          ? IconFrom(icon)
                          : style()->standardIcon(QStyle::SP_DriveNetIcon);
    for (int c = 0; c < classList_->ClassCount(); ++c) {
        TClassInfo *info = classList_->ClassAt(c);
        QIcon classIcon = platform_.ClassIcon(info->ClassGuid(), &icon)
                              ? IconFrom(icon)
                              : style()->standardIcon(QStyle::SP_ComputerIcon);
        auto *classNode = new QTreeWidgetItem(TreeView1, ClassNode);
        classNode->setText(0, info->Description());
        classNode->setIcon(0, classIcon);
        classNode->setData(0, kObjectRole, QVariant::fromValue(reinterpret_cast<quintptr>(info)));
        for (int d = 0; d < info->DeviceCount(); ++d) {
            TDeviceInfo *device = info->DeviceAt(d);
            auto port = std::make_unique<TPortClass>(device, platform_);
            bool driverPort = port->IsDriverPort();
            if (driverPort) port->ReadFromDriver();
            auto *portNode = new QTreeWidgetItem(classNode, PortNode);
            portNode->setText(0, device->DisplayName());
            portNode->setIcon(0, classIcon);
            portNode->setData(0, kObjectRole, QVariant::fromValue(reinterpret_cast<quintptr>(port.get())));
            portNode->setData(0, kDriverPortRole, driverPort);
            if (driverPort) {
                QFont font = portNode->font(0);
                font.setItalic(true);
                font.setUnderline(true);
                portNode->setFont(0, font);
            }
            for (int i = 0; i < port->ethInfo().ConnectionCount(); ++i)
                AddConnectionNode(portNode, port->ethInfo().ConnectionAt(i));
            portList_.push_back(std::move(port));
        }
    }
    TreeView1->expandAll();
    TreeView1->setCurrentItem(nullptr);
    TreeView1->clearSelection();
    UpdateCommands(Selection::None);
}

void TForm1::TreeView1Click()
{
    UpdateCommands(CurrentSelection());
    QTreeWidgetItem *item = SelectedItem();
    filledItem_ = item;
    if (item) FillPanel(item);
}

void TForm1::TreeView1ItemClicked(QTreeWidgetItem *item)
{
    // A press on a new node has already followed it through currentItemChanged.
    if (item != filledItem_ || !SelectedItem()) TreeView1Click();
}

void TForm1::TreeView1ContextPopup(const QPoint &pos)
{
    if (QTreeWidgetItem *item = TreeView1->itemAt(pos)) {
        TreeView1->setCurrentItem(item);
        item->setSelected(true);
    }
    // The popup always shows the commands of the node it acts on.
    TreeView1Click();
    PopupMenu1->exec(TreeView1->viewport()->mapToGlobal(pos));
}

void TForm1::UpdateCommands(Selection s)
{
    const bool classNode = s == Selection::Class;
    const bool anyPort = s == Selection::OtherPort || s == Selection::DriverPort;
    const bool driverPort = s == Selection::DriverPort;
    const bool connection = s == Selection::Connection;

    FiltrMenu->menuAction()->setVisible(classNode || anyPort);
    N11->setVisible(classNode || anyPort);
    FiltrInstPMenu->setVisible(classNode || anyPort);
    FiltrUnInstPMenu->setVisible(classNode || anyPort);

    DrvUninstMenu->setEnabled(driverPort);
    DrvUninstPMenu->setVisible(driverPort);

    ConnectionsMenu->menuAction()->setVisible(driverPort || connection);
    N14->setVisible(driverPort || connection);
    AddConnMenu->setEnabled(driverPort);
    AddConnPMenu->setVisible(driverPort);
    DelConnMenu->setEnabled(connection);
    ChangeConnMenu->setEnabled(connection);
    DelConnPMenu->setVisible(connection);
    ChangeConnPMenu->setVisible(connection);

    AddDeviceButt->setEnabled(connection);
    RemoveDevButt->setEnabled(false);
    OpenSettFile->setEnabled(driverPort || connection);
    SaveSettFile->setEnabled(driverPort || connection);
}

// ---- panel ----

void TForm1::SetSettingsEnabled(bool enabled)
{
    for (QCheckBox *box : CheckBoxes) box->setEnabled(enabled);
    DelayEdit->setEnabled(enabled);
    ApplyButton->setEnabled(enabled);
}

void TForm1::ClearDeviceList()
{
    listView2Clicks_ = false;
    ListView2->clearSelection();
    ListView2->setRowCount(0);
    RemoveDevButt->setEnabled(false);
}

void TForm1::FillPortLines(TPortClass *port)
{
    ListView1->setRowCount(0);
    TDeviceInfo *device = port->device();
    AddRow(ListView1, QStringLiteral("Device"), device ? device->DisplayName() : QString());
    AddRow(ListView1, QStringLiteral("Upper Filters"), device ? device->FilterText(kUpperFilters) : QString());
    AddRow(ListView1, QStringLiteral("Lower Filters"), device ? device->FilterText(kLowerFilters) : QString());
}

void TForm1::ShowPortSettings(TPortClass *port)
{
    const CEthInfo &eth = port->ethInfo();
    SetSettingsEnabled(true);
    for (int i = 0; i < 4; ++i) {
        CheckBoxes[i]->setChecked(eth.rtsMask & (1u << i));
        CheckBoxes[i + 4]->setChecked(eth.dtrMask & (1u << i));
    }
    DelayEdit->setText(QString::number(eth.delay));
}

void TForm1::ShowReadState(TPortClass *port)
{
    if (port && port->SettingsUnread())
        StatusBar1->showMessage(QStringLiteral("Настройки порта не прочитаны: ") +
                                QString::fromStdU16String(platform_.SystemMessage(port->readError())));
    else
        StatusBar1->clearMessage();
}

void TForm1::FillPanel(QTreeWidgetItem *item)
{
    ClearDeviceList();
    if (TClassInfo *info = ClassOf(item)) {
        SetSettingsEnabled(false);
        ListView1->setRowCount(0);
        AddRow(ListView1, QStringLiteral("Upper Filters"), info->FilterText(kUpperFilters));
        AddRow(ListView1, QStringLiteral("Lower Filters"), info->FilterText(kLowerFilters));
        ShowReadState(nullptr);
        return;
    }
    if (TPortClass *port = PortOf(item)) {
        FillPortLines(port);
        if (!IsDriverPortNode(item)) {
            SetSettingsEnabled(false);
            for (QCheckBox *box : CheckBoxes) box->setChecked(false);
            DelayEdit->clear();
            ShowReadState(nullptr);
            return;
        }
        ShowPortSettings(port);
        const CEthInfo &eth = port->ethInfo();
        for (int c = 0; c < eth.ConnectionCount(); ++c) {
            const CModbusDevInfo *connection = eth.ConnectionAt(c);
            AddRow(ListView2, connection->DisplayText(), QString());
            for (int i = 0; i < connection->IdCount(); ++i)
                AddRow(ListView2, QString(), QString::number(connection->IdAt(i)));
        }
        ShowReadState(port);
        return;
    }
    if (CModbusDevInfo *connection = ConnectionOf(item)) {
        TPortClass *port = connection->owner()->owner();
        FillPortLines(port);
        ShowPortSettings(port);
        listView2Clicks_ = true;
        for (int i = 0; i < connection->IdCount(); ++i) {
            AddRow(ListView2, connection->DisplayText(), QString::number(connection->IdAt(i)));
            ListView2->item(ListView2->rowCount() - 1, 0)->setData(Qt::UserRole, int(connection->IdAt(i)));
        }
        ShowReadState(port);
    }
}

void TForm1::ListView2Click()
{
    if (listView2Clicks_ && SelectedConnection() && ListView2->currentRow() >= 0) RemoveDevButt->setEnabled(true);
}

// ---- commands ----

void TForm1::ShowError(const QString &text) { ShowErrorBox(this, text); }

void TForm1::ShowSystemError(plat::Win32Error code)
{
    QString text = QString::fromStdU16String(platform_.SystemMessage(code));
    if (text.isEmpty())
        text = QStringLiteral("Ошибка %1 (0x%2)").arg(code).arg(code, 8, 16, QLatin1Char('0')).toUpper();
    ShowError(text);
}

void TForm1::ApplyButtonClick()
{
    TPortClass *port = SelectedPort();
    if (!port || !port->IsDriverPort()) return;
    if (port->SettingsUnread()) {
        // The driver may hold settings this window never saw; a refresh must read them first.
        ShowSystemError(port->readError());
        return;
    }
    // The same range quorvelctl and the host accept.
    qlonglong delay = 0;
    if (!ParseFieldNumber(DelayEdit->text(), quorvel::kEthMaxDelay, &delay) || !quorvel::EthDelayValid(delay))
        throw ConfiguratorError("Таймаут должен быть целым числом от " + std::to_string(quorvel::kEthMinDelay) +
                                " до " + std::to_string(quorvel::kEthMaxDelay));
    CEthInfo &eth = port->ethInfo();
    if (eth.RecordSize() == 0 || eth.RecordSize() > quorvel::kEthMaxAppliedSize) {
        ShowError(QStringLiteral("Ошибка обработки буфера конфигурации порта"));
        return;
    }
    eth.delay = static_cast<std::uint16_t>(delay);
    for (int i = 0; i < 4; ++i) {
        std::uint8_t bit = static_cast<std::uint8_t>(1u << i);
        eth.rtsMask = CheckBoxes[i]->isChecked() ? (eth.rtsMask | bit) : (eth.rtsMask & ~bit);
        eth.dtrMask = CheckBoxes[i + 4]->isChecked() ? (eth.dtrMask | bit) : (eth.dtrMask & ~bit);
    }
    if (plat::Win32Error err = port->WriteToDriver()) ShowSystemError(err);
}

void TForm1::RemoveDevButtClick()
{
    CModbusDevInfo *connection = SelectedConnection();
    int row = ListView2->currentRow();
    if (!connection || !listView2Clicks_ || row < 0 || !ListView2->item(row, 0)) return;
    connection->RemoveId(static_cast<std::uint8_t>(ListView2->item(row, 0)->data(Qt::UserRole).toInt()));
    ListView2->removeRow(row);
    RemoveDevButt->setEnabled(false);
    ListView2->clearSelection();
}

void TForm1::DelConnMenuClick()
{
    QTreeWidgetItem *node = SelectedItem();
    CModbusDevInfo *connection = ConnectionOf(node);
    if (!connection) return;
    // Nothing may point at the connection once it is freed: selection, node, panel.
    TreeView1->setCurrentItem(nullptr);
    TreeView1->clearSelection();
    filledItem_ = nullptr;
    delete node;
    ClearDeviceList();
    SetSettingsEnabled(false);
    connection->owner()->RemoveConnection(connection);
    UpdateCommands(Selection::None);
}

void TForm1::DrvUpdateMenuClick() { Refresh(); }
