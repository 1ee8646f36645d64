#include "Main.h"

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QBoxLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QShortcut>
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
constexpr int kTextRole = Qt::UserRole + 2;  // the node's text without the unapplied mark

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

// A table that Ctrl+Tab leaves too, as it leaves every control that keeps Tab for itself.
class TReportList : public QTableWidget {
public:
    using QTableWidget::QTableWidget;

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        if ((event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab) &&
            (event->modifiers() & Qt::ControlModifier)) {
            focusNextPrevChild(event->key() == Qt::Key_Tab && !(event->modifiers() & Qt::ShiftModifier));
            return;
        }
        QTableWidget::keyPressEvent(event);
    }
};

QTableWidget *MakeReportList(QWidget *parent, const char *name, const QStringList &columns, const QList<int> &widths)
{
    auto *list = new TReportList(0, static_cast<int>(columns.size()), parent);
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
    list->setTextElideMode(Qt::ElideMiddle);
    // Tab moves to the next control; the arrows move between rows.
    list->setTabKeyNavigation(false);
    return list;
}

// A tree that asks before a click moves the selection: the click's own selection comes after its
// current-item signal, so it could not be taken back there.
class TTreeView : public QTreeWidget {
public:
    using QTreeWidget::QTreeWidget;
    std::function<bool(QTreeWidgetItem *)> mayLeaveFor;

protected:
    void mousePressEvent(QMouseEvent *event) override
    {
        QTreeWidgetItem *target = itemAt(event->position().toPoint());
        if (target && target != currentItem() && mayLeaveFor && !mayLeaveFor(target)) {
            event->accept();
            return;
        }
        QTreeWidget::mousePressEvent(event);
    }
};

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
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(kStartupCaption), QString::fromUtf8(kStartupWarning),
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
      presenter_(platform)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(ConfiguratorCaption());
    CreateControls();
    CreateMenus();
    ConnectHandlers();
    FitFixedSize();
    // FormCreate
    Refresh();
}

void TForm1::FitFixedSize()
{
    // The client area is 595 x 511 below the menu bar, or what a larger font needs; the window
    // cannot be resized.
    // A group learns late that its boxes grew with their font: its minimum is set from its own
    // layout, which tells the panel's layout. Unchanged, it is left alone, so this settles.
    for (QGroupBox *group : {GroupBox1, GroupBox2, GroupBox3})
        group->setMinimumHeight(group->layout()->totalMinimumSize().height());
    // The buttons keep their usual 28 pixels unless their text needs more.
    for (QToolButton *button : {AddDeviceButt, RemoveDevButt, OpenSettFile, SaveSettFile})
        button->setMinimumSize(button->sizeHint().expandedTo(QSize(28, 28)));
    ApplyButton->setMinimumHeight(std::max(28, ApplyButton->sizeHint().height()));
    QSize needed = centralWidget()->layout()->minimumSize();
    setFixedSize(std::max(595, needed.width()),
                 std::max(511, needed.height() + StatusBar1->height()) + menuBar()->sizeHint().height());
}

bool TForm1::event(QEvent *event)
{
    bool handled = QMainWindow::event(event);
    // A control whose font or style changed asks for room: the window takes what it needs.
    if (event->type() == QEvent::LayoutRequest) FitFixedSize();
    return handled;
}

TForm1::~TForm1()
{
    // FormDestroy: the tree points into the presenter's model, so it goes first, unasked.
    TreeView1->blockSignals(true);
    TreeView1->clear();
}

void TForm1::CreateControls()
{
    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("ClientArea"));
    setCentralWidget(central);

    auto *tree = new TTreeView(central);
    tree->mayLeaveFor = [this](QTreeWidgetItem *target) {
        bool leave = false;
        RunGuarded(this, [&] { leave = MayLeaveFor(target); });
        return leave;
    };
    TreeView1 = tree;
    TreeView1->setObjectName(QStringLiteral("TreeView1"));
    TreeView1->setFixedWidth(241);
    TreeView1->setColumnCount(1);
    TreeView1->setHeaderHidden(true);
    TreeView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TreeView1->setIconSize(QSize(16, 16));
    TreeView1->setContextMenuPolicy(Qt::CustomContextMenu);
    // Port names differ at their end, "(COM5)": cut the middle, never the end.
    TreeView1->setTextElideMode(Qt::ElideMiddle);
    QPalette treePalette = TreeView1->palette();
    for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText})
        treePalette.setColor(QPalette::Inactive, role, treePalette.color(QPalette::Active, role));
    TreeView1->setPalette(treePalette);

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setFixedHeight(std::max(19, StatusBar1->fontMetrics().height() + 4));
    StatusBar1->setSizeGripEnabled(false);
    setStatusBar(StatusBar1);

    ListView1 =
        MakeReportList(central, "ListView1", {QStringLiteral("Параметр"), QStringLiteral("Значение")}, {150, 200});
    ListView1->setFixedHeight(81);

    const char *lines[] = {"CTS", "DSR", "DCD", "RING"};
    GroupBox1 = new TWiredGroupBox(QStringLiteral("  RTS  "), central);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox2 = new TWiredGroupBox(QStringLiteral("  DTR  "), central);
    GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
    for (int i = 0; i < 8; ++i) {
        QGroupBox *group = i < 4 ? GroupBox1 : GroupBox2;
        auto *box = new QCheckBox(QLatin1String(lines[i % 4]), group);
        box->setObjectName(QStringLiteral("CheckBox%1").arg(i + 1));
        box->setEnabled(false);
        if (i < 4)
            RtsInputBoxes[i] = box;
        else
            DtrInputBoxes[i - 4] = box;
    }

    GroupBox3 = new QGroupBox(QStringLiteral(" Устройства "), central);
    GroupBox3->setObjectName(QStringLiteral("GroupBox3"));
    ListView2 = MakeReportList(GroupBox3, "ListView2", {QStringLiteral("Соединение"), QStringLiteral("ID")}, {238, 49});

    AddDeviceButt = new QToolButton(GroupBox3);
    AddDeviceButt->setObjectName(QStringLiteral("AddDeviceButt"));
    AddDeviceButt->setText(QStringLiteral("+"));
    AddDeviceButt->setAutoRaise(true);
    AddDeviceButt->setToolTip(QStringLiteral("Добавить устройство"));
    QFont bold = AddDeviceButt->font();
    bold.setBold(true);
    AddDeviceButt->setFont(bold);
    // Red only while it can be used: disabled, it greys like every other control.
    AddDeviceButt->setStyleSheet(QStringLiteral("QToolButton:enabled { color: red; }"));
    AddDeviceButt->setEnabled(false);

    RemoveDevButt = new QToolButton(GroupBox3);
    RemoveDevButt->setObjectName(QStringLiteral("RemoveDevButt"));
    RemoveDevButt->setText(QStringLiteral("-"));
    RemoveDevButt->setAutoRaise(true);
    RemoveDevButt->setToolTip(QStringLiteral("Удалить устройство"));
    RemoveDevButt->setFont(bold);
    RemoveDevButt->setEnabled(false);

    OpenSettFile = new QToolButton(central);
    OpenSettFile->setObjectName(QStringLiteral("OpenSettFile"));
    OpenSettFile->setAutoRaise(true);
    OpenSettFile->setIcon(style()->standardIcon(QStyle::SP_DialogOpenButton));
    OpenSettFile->setToolTip(QStringLiteral("Загрузить настройки из файла"));

    SaveSettFile = new QToolButton(central);
    SaveSettFile->setObjectName(QStringLiteral("SaveSettFile"));
    SaveSettFile->setAutoRaise(true);
    SaveSettFile->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
    SaveSettFile->setToolTip(QStringLiteral("Сохранить настройки в файл"));

    DelayEditLabel = new QLabel(QStringLiteral("&Таймаут на установку соединения  (мс)"), central);
    DelayEditLabel->setObjectName(QStringLiteral("DelayEditLabel"));
    // Longer than the room beside the buttons: it takes a second line rather than losing "(мс)".
    DelayEditLabel->setWordWrap(true);
    DelayEdit = new QLineEdit(central);
    DelayEdit->setObjectName(QStringLiteral("DelayEdit"));
    DelayEdit->setFixedWidth(56);
    DelayEdit->setEnabled(false);
    DelayEditLabel->setBuddy(DelayEdit);

    ApplyButton = new QPushButton(QStringLiteral("&Принять настройки"), central);
    ApplyButton->setObjectName(QStringLiteral("ApplyButton"));
    ApplyButton->setEnabled(false);

    // The port's options, below the devices.
    ExceptionsBox = new QCheckBox(QStringLiteral("&Исключения Modbus"), central);
    ExceptionsBox->setObjectName(QStringLiteral("ExceptionsBox"));
    ExceptionsBox->setToolTip(QStringLiteral("Отвечать исключением Modbus на запрос, который нельзя выполнить"));
    ResponseEditLabel = new QLabel(QStringLiteral("&Время ответа  (мс)"), central);
    ResponseEditLabel->setObjectName(QStringLiteral("ResponseEditLabel"));
    ResponseEditLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    ResponseEdit = new QLineEdit(central);
    ResponseEdit->setObjectName(QStringLiteral("ResponseEdit"));
    ResponseEdit->setToolTip(QStringLiteral("0 - без ограничения"));
    ResponseEdit->setFixedWidth(56);
    ResponseEditLabel->setBuddy(ResponseEdit);
    SetOptionsEnabled(false);

    // Laid out rather than placed, so that a larger font or DPI widens the window instead of clipping
    // a text; at the usual font everything sits where it always did.
    auto *columns = new QHBoxLayout(central);
    columns->setContentsMargins(0, 0, 4, 0);
    columns->setSpacing(4);
    columns->addWidget(TreeView1);
    auto *panel = new QVBoxLayout;
    panel->setContentsMargins(0, 4, 0, 6);
    panel->setSpacing(5);
    columns->addLayout(panel, 1);
    panel->addWidget(ListView1);
    auto *wiring = new QHBoxLayout;
    wiring->setSpacing(6);
    for (QGroupBox *group : {GroupBox1, GroupBox2}) {
        auto *boxes = new QVBoxLayout(group);
        // Room on the left for the lines drawn to each box.
        boxes->setContentsMargins(40, 2, 8, 4);
        boxes->setSpacing(3);
        for (QCheckBox *box : group->findChildren<QCheckBox *>(Qt::FindDirectChildrenOnly)) boxes->addWidget(box);
        wiring->addWidget(group, 1);
    }
    panel->addLayout(wiring);
    auto *devices = new QHBoxLayout(GroupBox3);
    devices->setContentsMargins(8, 2, 8, 8);
    devices->addWidget(ListView2, 1);
    auto *deviceButtons = new QVBoxLayout;
    deviceButtons->addWidget(AddDeviceButt);
    deviceButtons->addWidget(RemoveDevButt);
    deviceButtons->addStretch(1);
    devices->addLayout(deviceButtons);
    panel->addWidget(GroupBox3, 1);
    auto *options = new QHBoxLayout;
    options->setContentsMargins(4, 0, 0, 0);
    options->setSpacing(4);
    options->addWidget(ExceptionsBox);
    options->addStretch(1);
    options->addWidget(ResponseEditLabel);
    options->addWidget(ResponseEdit);
    panel->addLayout(options);
    auto *files = new QHBoxLayout;
    files->setSpacing(4);
    files->addWidget(OpenSettFile);
    files->addWidget(SaveSettFile);
    files->addWidget(DelayEditLabel);
    files->addStretch(1);
    files->addWidget(DelayEdit);
    panel->addLayout(files);
    panel->addWidget(ApplyButton);

    // Tab order of the panel: the order of the controls above.
    QWidget *order[] = {ListView1,    ListView2,    AddDeviceButt, RemoveDevButt, ExceptionsBox,
                        ResponseEdit, OpenSettFile, SaveSettFile,  DelayEdit,     ApplyButton};
    QWidget::setTabOrder(TreeView1, order[0]);
    QWidget *previous = order[0];
    for (QCheckBox *box : RtsInputBoxes) QWidget::setTabOrder(std::exchange(previous, box), box);
    for (QCheckBox *box : DtrInputBoxes) QWidget::setTabOrder(std::exchange(previous, box), box);
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(std::exchange(previous, order[i]), order[i]);
}

void TForm1::CreateMenus()
{
    auto action = [this](QMenu *menu, const char *name, const QString &text) {
        QAction *a = menu->addAction(text);
        a->setObjectName(QLatin1String(name));
        return a;
    };

    DrvMenu = menuBar()->addMenu(QStringLiteral("&Драйвер"));
    DrvMenu->setObjectName(QStringLiteral("DrvMenu"));
    DrvInstMenu = action(DrvMenu, "DrvInstMenu", QStringLiteral("&Установить"));
    DrvUninstMenu = action(DrvMenu, "DrvUninstMenu", QStringLiteral("У&далить"));
    DrvMenu->addSeparator();
    DrvUpdateMenu = action(DrvMenu, "DrvUpdateMenu", QStringLiteral("&Обновить..."));
    DrvUpdateMenu->setShortcut(QKeySequence(Qt::Key_F5));

    FiltrMenu = menuBar()->addMenu(QStringLiteral("&Фильтр"));
    FiltrMenu->setObjectName(QStringLiteral("FiltrMenu"));
    FiltrInstMenu = action(FiltrMenu, "FiltrInstMenu", QStringLiteral("&Установить"));
    FiltrUninstMenu = action(FiltrMenu, "FiltrUninstMenu", QStringLiteral("У&далить"));

    ConnectionsMenu = menuBar()->addMenu(QStringLiteral("&Соединение"));
    ConnectionsMenu->setObjectName(QStringLiteral("ConnectionsMenu"));
    AddConnMenu = action(ConnectionsMenu, "AddConnMenu", QStringLiteral("&Добавить"));
    DelConnMenu = action(ConnectionsMenu, "DelConnMenu", QStringLiteral("&Удалить"));
    ChangeConnMenu = action(ConnectionsMenu, "ChangeConnMenu", QStringLiteral("&Изменить"));

    N18 = menuBar()->addAction(QStringLiteral("&О программе..."));
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
        return [this, handler] {
            RunGuarded(this, [this, handler] { (this->*handler)(); });
            UpdateUnappliedMarks();
        };
    };
    connect(TreeView1, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem *current, QTreeWidgetItem *previous) {
                RunGuarded(this, [&] { TreeView1CurrentChanged(current, previous); });
                UpdateUnappliedMarks();
            });
    // What the user changes in the fields is marked at once.
    for (QCheckBox *box : RtsInputBoxes) connect(box, &QCheckBox::clicked, this, &TForm1::UpdateUnappliedMarks);
    for (QCheckBox *box : DtrInputBoxes) connect(box, &QCheckBox::clicked, this, &TForm1::UpdateUnappliedMarks);
    connect(ExceptionsBox, &QCheckBox::clicked, this, &TForm1::UpdateUnappliedMarks);
    for (QLineEdit *edit : {DelayEdit, ResponseEdit})
        connect(edit, &QLineEdit::textEdited, this, &TForm1::UpdateUnappliedMarks);
    connect(TreeView1, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem *item) { RunGuarded(this, [&] { TreeView1ItemClicked(item); }); });
    connect(TreeView1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { RunGuarded(this, [&] { TreeView1ContextPopup(pos); }); });
    connect(ListView2, &QTableWidget::cellClicked, this, guard(&TForm1::ListView2Click));
    // A row chosen with the keyboard counts as a click.
    connect(ListView2, &QTableWidget::itemSelectionChanged, this, guard(&TForm1::ListView2Click));
    // Del removes what the focused list shows selected.
    auto *removeId = new QShortcut(QKeySequence::Delete, ListView2, nullptr, nullptr, Qt::WidgetShortcut);
    connect(removeId, &QShortcut::activated, this, [this] {
        if (RemoveDevButt->isEnabled()) RemoveDevButt->click();
    });
    auto *removeConnection = new QShortcut(QKeySequence::Delete, TreeView1, nullptr, nullptr, Qt::WidgetShortcut);
    connect(removeConnection, &QShortcut::activated, this, [this] {
        if (DelConnMenu->isEnabled()) DelConnMenu->trigger();
    });
    connect(ApplyButton, &QPushButton::clicked, this, guard(&TForm1::ApplyButtonClick));
    connect(RemoveDevButt, &QToolButton::clicked, this, guard(&TForm1::RemoveDevButtClick));
    connect(DelConnMenu, &QAction::triggered, this, guard(&TForm1::DelConnMenuClick));
    connect(DelConnPMenu, &QAction::triggered, this, guard(&TForm1::DelConnMenuClick));
    connect(DrvUpdateMenu, &QAction::triggered, this, guard(&TForm1::DrvUpdateMenuClick));
    ConnectDialogCommands();
}

// ---- tree ----

NodeRef TForm1::NodeOf(const QTreeWidgetItem *item)
{
    NodeRef ref;
    if (!item) return ref;
    switch (item->type()) {
    case ClassNode:
        ref.kind = NodeKind::Class;
        ref.cls = ObjectOf<TClassInfo>(item, ClassNode);
        break;
    case PortNode:
        ref.kind = item->data(0, kDriverPortRole).toBool() ? NodeKind::DriverPort : NodeKind::OtherPort;
        ref.port = ObjectOf<TPortClass>(item, PortNode);
        break;
    case ConnectionNode:
        ref.kind = NodeKind::Connection;
        ref.connection = ObjectOf<CModbusDevInfo>(item, ConnectionNode);
        break;
    default: break;
    }
    return ref;
}

QTreeWidgetItem *TForm1::SelectedItem() const
{
    QTreeWidgetItem *item = TreeView1->currentItem();
    return item && item->isSelected() ? item : nullptr;
}

QIcon TForm1::ClassIcon(const plat::Guid &cls)
{
    plat::Icon16 icon;
    if (platform_.ClassIcon(cls, &icon)) return IconFrom(icon);
    return style()->standardIcon(cls == quorvel::kNetClassGuid ? QStyle::SP_DriveNetIcon : QStyle::SP_ComputerIcon);
}

QTreeWidgetItem *TForm1::AddNode(QTreeWidgetItem *parent, const TreeItem &item)
{
    static const int types[] = {0, ClassNode, PortNode, PortNode, ConnectionNode};
    auto *node = parent ? new QTreeWidgetItem(parent, types[int(item.node.kind)])
                        : new QTreeWidgetItem(TreeView1, types[int(item.node.kind)]);
    node->setText(0, QString::fromStdString(item.text));
    node->setData(0, kTextRole, QString::fromStdString(item.text));
    node->setToolTip(0, QString::fromStdString(item.text));
    node->setIcon(0, ClassIcon(item.iconClass));
    node->setData(0, kObjectRole, QVariant::fromValue(reinterpret_cast<quintptr>(item.node.object())));
    node->setData(0, kDriverPortRole, item.node.kind == NodeKind::DriverPort);
    if (item.marked) {
        QFont font = node->font(0);
        font.setItalic(true);
        font.setUnderline(true);
        node->setFont(0, font);
    }
    return node;
}

QTreeWidgetItem *TForm1::PortNodeOf(const TPortClass *port) const
{
    for (int c = 0; c < TreeView1->topLevelItemCount(); ++c) {
        QTreeWidgetItem *classNode = TreeView1->topLevelItem(c);
        for (int p = 0; p < classNode->childCount(); ++p)
            if (NodeOf(classNode->child(p)).port == port) return classNode->child(p);
    }
    return nullptr;
}

void TForm1::RebuildConnectionNodes(QTreeWidgetItem *portNode)
{
    TPortClass *port = NodeOf(portNode).port;
    QScopedValueRollback<bool> forced(selectionForced_, true);
    // A connection node about to go would leave the selection on a freed object.
    if (QTreeWidgetItem *selected = SelectedItem(); selected && selected->parent() == portNode) {
        TreeView1->setCurrentItem(portNode);
        portNode->setSelected(true);
    }
    qDeleteAll(portNode->takeChildren());
    for (const TreeItem &item : presenter_.ConnectionItems(port)) AddNode(portNode, item);
    portNode->setExpanded(true);
}

Outcome TForm1::Refresh()
{
    QScopedValueRollback<bool> forced(selectionForced_, true);
    carriedPort_ = nullptr;
    // The tree and the panel let go of every object before the presenter frees them.
    TreeView1->setCurrentItem(nullptr);
    TreeView1->clear();
    filledItem_ = nullptr;
    ClearDeviceList();
    ListView1->setRowCount(0);
    SetSettingsEnabled(false);
    SetOptionsEnabled(false);
    ClearSettings();
    StatusBar1->clearMessage();

    presenter_.Refresh();
    QTreeWidgetItem *parents[2] = {};
    for (const TreeItem &item : presenter_.Tree()) {
        QTreeWidgetItem *node = AddNode(item.depth ? parents[item.depth - 1] : nullptr, item);
        if (item.depth < 2) parents[item.depth] = node;
    }
    TreeView1->expandAll();
    TreeView1->setCurrentItem(nullptr);
    TreeView1->clearSelection();
    UpdateCommands(TPresenter::CommandsFor(NodeKind::None));
    const Outcome &outcome = presenter_.RefreshOutcome();
    if (!outcome.ok) StatusBar1->showMessage(QString::fromStdString(outcome.error));
    UpdateUnappliedMarks();
    return outcome;
}

void TForm1::TreeView1CurrentChanged(QTreeWidgetItem *current, QTreeWidgetItem *previous)
{
    if (!selectionForced_ && !MayLeaveFor(current)) {
        // Back where it was, as if nothing happened: the panel still shows the old node.
        QSignalBlocker quiet(TreeView1);
        TreeView1->setCurrentItem(previous);
        if (!previous) TreeView1->clearSelection();
        return;
    }
    TreeView1Click();
}

bool TForm1::MayLeaveFor(const QTreeWidgetItem *target)
{
    PanelInput storage;
    return ResolveUnapplied(presenter_.LeftBehind(NodeOf(target), LiveInput(&storage)));
}

bool TForm1::ResolveUnapplied(const std::vector<TPortClass *> &ports)
{
    if (ports.empty()) return true;
    TPresenter::LeaveQuestion question = presenter_.LeaveQuestionFor(ports);
    QMessageBox box(QMessageBox::Question, ConfiguratorCaption(), QString::fromStdString(question.text),
                    QMessageBox::Apply | QMessageBox::Discard | QMessageBox::Cancel, this);
    box.button(QMessageBox::Apply)->setText(QString::fromStdString(question.apply));
    box.button(QMessageBox::Discard)->setText(QString::fromStdString(question.discard));
    box.button(QMessageBox::Cancel)->setText(QString::fromStdString(question.cancel));
    box.setDefaultButton(QMessageBox::Apply);
    box.setEscapeButton(QMessageBox::Cancel);
    const int answer = box.exec();
    PanelInput storage;
    if (answer == QMessageBox::Apply) {
        Outcome outcome = presenter_.ApplyPorts(ports, LiveInput(&storage));
        if (outcome.reread) {
            RebuildConnectionNodes(PortNodeOf(presenter_.SelectedPort()));
            FillPanel();
        }
        UpdateUnappliedMarks();
        return Report(outcome);
    }
    if (answer != QMessageBox::Discard) return false;
    presenter_.Discard(ports);
    for (TPortClass *port : ports)
        if (QTreeWidgetItem *node = PortNodeOf(port)) RebuildConnectionNodes(node);
    // The fields go back with the port they show.
    if (std::find(ports.begin(), ports.end(), presenter_.SelectedPort()) != ports.end() &&
        NodeOf(SelectedItem()) == presenter_.Selection())
        FillPanel();
    UpdateUnappliedMarks();
    return true;
}

void TForm1::UpdateUnappliedMarks()
{
    PanelInput storage;
    const PanelInput *shown = LiveInput(&storage);
    bool any = false;
    for (int c = 0; c < TreeView1->topLevelItemCount(); ++c) {
        QTreeWidgetItem *classNode = TreeView1->topLevelItem(c);
        for (int p = 0; p < classNode->childCount(); ++p) {
            QTreeWidgetItem *node = classNode->child(p);
            bool unapplied = presenter_.IsUnapplied(NodeOf(node).port, shown);
            any = any || unapplied;
            QString text =
                QString::fromStdString(TPresenter::Marked(node->data(0, kTextRole).toString().toStdString(), unapplied));
            if (node->text(0) != text) node->setText(0, text);
        }
    }
    // A port whose connection was deleted has no node selected, yet it is unapplied.
    any = any || presenter_.HasUnapplied(shown);
    setWindowTitle(QString::fromStdString(TPresenter::Marked(ConfiguratorCaption().toStdString(), any)));
}

void TForm1::TreeView1Click()
{
    QTreeWidgetItem *item = SelectedItem();
    // Fields edited on a port stay while its connections are looked at. A click passes through
    // "nothing selected" first, so what was shown is kept until a node is filled.
    if (selectionForced_) {
        carriedPort_ = nullptr;
    } else if (ApplyButton->isEnabled() && presenter_.SelectedPort()) {
        carriedPort_ = presenter_.SelectedPort();
        carried_ = ShownInput();
    }
    presenter_.Select(NodeOf(item));
    UpdateCommands(presenter_.Commands());
    filledItem_ = item;
    if (!item) return;
    FillPanel();
    if (carriedPort_ && carriedPort_ == presenter_.SelectedPort() && ApplyButton->isEnabled()) {
        for (int i = 0; i < 4; ++i) {
            RtsInputBoxes[i]->setChecked(carried_.rtsInputs[i]);
            DtrInputBoxes[i]->setChecked(carried_.dtrInputs[i]);
        }
        DelayEdit->setText(QString::fromStdString(carried_.delay));
        if (ExceptionsBox->isEnabled()) {
            ExceptionsBox->setChecked(carried_.exceptions);
            ResponseEdit->setText(QString::fromStdString(carried_.responseMs));
        }
    }
    carriedPort_ = nullptr;
}

void TForm1::TreeView1ItemClicked(QTreeWidgetItem *item)
{
    // A press on a new node has already followed it through currentItemChanged.
    if (item != filledItem_ || !SelectedItem()) TreeView1Click();
}

void TForm1::TreeView1ContextPopup(const QPoint &pos)
{
    if (QTreeWidgetItem *item = TreeView1->itemAt(pos)) {
        if (item != TreeView1->currentItem() && !MayLeaveFor(item)) return;
        TreeView1->setCurrentItem(item);
        item->setSelected(true);
    }
    // The popup always shows the commands of the node it acts on.
    TreeView1Click();
    PopupMenu1->exec(TreeView1->viewport()->mapToGlobal(pos));
}

void TForm1::UpdateCommands(const CommandState &s)
{
    FiltrMenu->menuAction()->setVisible(s.filters);
    N11->setVisible(s.filters);
    FiltrInstPMenu->setVisible(s.filters);
    FiltrUnInstPMenu->setVisible(s.filters);

    DrvUninstMenu->setEnabled(s.uninstallDriver);
    DrvUninstPMenu->setVisible(s.uninstallDriver);

    ConnectionsMenu->menuAction()->setVisible(s.connectionsMenu);
    N14->setVisible(s.connectionsMenu);
    AddConnMenu->setEnabled(s.addConnection);
    AddConnPMenu->setVisible(s.addConnection);
    DelConnMenu->setEnabled(s.editConnection);
    ChangeConnMenu->setEnabled(s.editConnection);
    DelConnPMenu->setVisible(s.editConnection);
    ChangeConnPMenu->setVisible(s.editConnection);

    AddDeviceButt->setEnabled(s.addDevice);
    RemoveDevButt->setEnabled(false);
    OpenSettFile->setEnabled(s.settingsFiles);
    SaveSettFile->setEnabled(s.settingsFiles);
}

// ---- panel ----

void TForm1::SetSettingsEnabled(bool enabled)
{
    for (QCheckBox *box : RtsInputBoxes) box->setEnabled(enabled);
    for (QCheckBox *box : DtrInputBoxes) box->setEnabled(enabled);
    DelayEdit->setEnabled(enabled);
    ApplyButton->setEnabled(enabled);
}

void TForm1::SetOptionsEnabled(bool enabled)
{
    ExceptionsBox->setEnabled(enabled);
    ResponseEdit->setEnabled(enabled);
}

void TForm1::ClearSettings()
{
    for (QCheckBox *box : RtsInputBoxes) box->setChecked(false);
    for (QCheckBox *box : DtrInputBoxes) box->setChecked(false);
    DelayEdit->clear();
    ExceptionsBox->setChecked(false);
    ResponseEdit->clear();
}

void TForm1::ClearDeviceList()
{
    listView2Clicks_ = false;
    ListView2->clearSelection();
    ListView2->setRowCount(0);
    RemoveDevButt->setEnabled(false);
}

void TForm1::FillPanel()
{
    bool reread = false;
    PanelState panel = presenter_.Panel(&reread);
    if (reread) RebuildConnectionNodes(PortNodeOf(presenter_.SelectedPort()));
    ClearDeviceList();
    ListView1->setRowCount(0);
    for (const PanelRow &row : panel.lines) {
        AddRow(ListView1, QString::fromStdString(row.first), QString::fromStdString(row.second));
        ListView1->item(ListView1->rowCount() - 1, 1)->setToolTip(QString::fromStdString(row.second));
    }
    for (const PanelRow &row : panel.devices) {
        AddRow(ListView2, QString::fromStdString(row.first), QString::fromStdString(row.second));
        if (row.id >= 0) ListView2->item(ListView2->rowCount() - 1, 0)->setData(Qt::UserRole, row.id);
    }
    listView2Clicks_ = panel.devicesRemovable;
    SetSettingsEnabled(panel.settingsEnabled);
    SetOptionsEnabled(panel.optionsEnabled);
    if (!panel.keepSettings) {
        for (int i = 0; i < 4; ++i) {
            RtsInputBoxes[i]->setChecked(panel.rtsInputs[i]);
            DtrInputBoxes[i]->setChecked(panel.dtrInputs[i]);
        }
        DelayEdit->setText(QString::fromStdString(panel.delay));
        ExceptionsBox->setChecked(panel.exceptions);
        ResponseEdit->setText(QString::fromStdString(panel.responseMs));
    }
    if (panel.status.empty())
        StatusBar1->clearMessage();
    else
        StatusBar1->showMessage(QString::fromStdString(panel.status));
}

void TForm1::ListView2Click()
{
    RemoveDevButt->setEnabled(listView2Clicks_ && CurrentSelection() == NodeKind::Connection &&
                              ListView2->currentRow() >= 0 && !ListView2->selectedItems().isEmpty());
}

// ---- commands ----

void TForm1::ShowError(const QString &text) { ShowErrorBox(this, text); }

bool TForm1::Confirm(const QString &question)
{
    QMessageBox box(QMessageBox::Question, ConfiguratorCaption(), question, QMessageBox::Ok | QMessageBox::Cancel,
                    this);
    box.button(QMessageBox::Cancel)->setText(QStringLiteral("Отмена"));
    box.setDefaultButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Ok;
}

bool TForm1::Report(const Outcome &outcome)
{
    if (!outcome.ok) ShowError(QString::fromStdString(outcome.error));
    return outcome.ok;
}

const PanelInput *TForm1::LiveInput(PanelInput *storage) const
{
    if (!ApplyButton->isEnabled()) return nullptr;
    *storage = ShownInput();
    return storage;
}

PanelInput TForm1::ShownInput() const
{
    PanelInput input;
    for (int i = 0; i < 4; ++i) {
        input.rtsInputs[i] = RtsInputBoxes[i]->isChecked();
        input.dtrInputs[i] = DtrInputBoxes[i]->isChecked();
    }
    input.delay = DelayEdit->text().toStdString();
    input.exceptions = ExceptionsBox->isChecked();
    input.responseMs = ResponseEdit->text().toStdString();
    return input;
}

void TForm1::closeEvent(QCloseEvent *event)
{
    bool leave = false;
    RunGuarded(this, [&] {
        PanelInput storage;
        leave = ResolveUnapplied(presenter_.UnappliedPorts(LiveInput(&storage)));
    });
    if (!leave) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

void TForm1::ApplyButtonClick()
{
    Outcome outcome = presenter_.Apply(ShownInput());
    if (outcome.reread) {
        RebuildConnectionNodes(PortNodeOf(presenter_.SelectedPort()));
        FillPanel();
    }
    if (Report(outcome)) StatusBar1->showMessage(QString::fromUtf8(kPortSettingsApplied));
}

void TForm1::RemoveDevButtClick()
{
    int row = ListView2->currentRow();
    if (CurrentSelection() != NodeKind::Connection || !listView2Clicks_ || row < 0 || !ListView2->item(row, 0)) return;
    presenter_.RemoveId(ListView2->item(row, 0)->data(Qt::UserRole).toInt());
    ListView2->removeRow(row);
    RemoveDevButt->setEnabled(false);
    ListView2->clearSelection();
}

void TForm1::DelConnMenuClick()
{
    QTreeWidgetItem *node = SelectedItem();
    if (NodeOf(node).kind != NodeKind::Connection || CurrentSelection() != NodeKind::Connection) return;
    if (!Confirm(QString::fromStdString(presenter_.DeleteConnectionQuestion()))) return;
    presenter_.DeleteConnection();
    // Nothing may point at the freed connection: selection, node, panel.
    QScopedValueRollback<bool> forced(selectionForced_, true);
    TreeView1->setCurrentItem(nullptr);
    TreeView1->clearSelection();
    filledItem_ = nullptr;
    delete node;
    ClearDeviceList();
    SetSettingsEnabled(false);
    SetOptionsEnabled(false);
    UpdateCommands(TPresenter::CommandsFor(NodeKind::None));
}

void TForm1::DrvUpdateMenuClick()
{
    PanelInput storage;
    if (!ResolveUnapplied(presenter_.UnappliedPorts(LiveInput(&storage)))) return;
    Report(Refresh());
}
