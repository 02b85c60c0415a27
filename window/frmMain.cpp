// SPDX-License-Identifier: GPL-3.0-or-later
#include "frmMain.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCursor>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QMenu>
#include <QPushButton>

#include <cstdio>
#include <cstdlib>

#include "AppIcon.h"
#include "FolderDialog.h"
#include "PeriodTimer.h"
#include "StatusPanels.h"
#include "TrayIcon.h"
#include "autostart/modSystray.h"
#include "control/FileDetect.h"
#include "settings/FileControl.h"

namespace {

using SettingsSchema::Setting;

const QString kTrayToolTip = QStringLiteral("文件检视中...");

// The remembered destinations, path to identity: one line per destination path, the file
// system's identity, a tab, and the path as typed.
QMap<QString, QString> RememberedDestinations() {
    QMap<QString, QString> destinations;
    const QString stored = FileControl::GetSetting(Setting::DestinationFileSystems);
    for (const QString& line : stored.split(u'\n', Qt::SkipEmptyParts)) {
        const qsizetype tab = line.indexOf(u'\t');
        if (tab > 0)
            destinations.insert(line.mid(tab + 1), line.left(tab));
    }
    return destinations;
}
constexpr int kDesignInterval = 60000;

// A check box's state as the program counts it: 0 unchecked, 1 checked, 2 greyed.
int CheckValue(const QCheckBox& box) {
    switch (box.checkState()) {
        case Qt::Checked:
            return 1;
        case Qt::PartiallyChecked:
            return 2;
        case Qt::Unchecked:
            break;
    }
    return 0;
}

Qt::CheckState CheckStateOf(int value) {
    switch (value) {
        case 1:
            return Qt::Checked;
        case 2:
            return Qt::PartiallyChecked;
        default:
            return Qt::Unchecked;
    }
}

QRect Twips(int left, int top, int width, int height) {
    return QRect(left / frmMain::kTwipsPerPixel, top / frmMain::kTwipsPerPixel,
                 width / frmMain::kTwipsPerPixel, height / frmMain::kTwipsPerPixel);
}

template <typename Control>
Control* Place(QWidget* container, const char* name, const QRect& geometry) {
    auto* control = new Control(container);
    control->setObjectName(QLatin1String(name));
    control->setGeometry(geometry);
    return control;
}

QPushButton* PlaceButton(QWidget* container, const char* name, const QString& caption,
                         const QRect& geometry) {
    auto* button = Place<QPushButton>(container, name, geometry);
    button->setText(caption);
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QLabel* PlaceLabel(QWidget* container, const char* name, const QString& caption,
                   const QRect& geometry) {
    auto* label = Place<QLabel>(container, name, geometry);
    label->setText(caption);
    // Label rectangles reach under their neighbours; keep them beneath.
    label->lower();
    return label;
}

}  // namespace

frmMain::HandlerScope::HandlerScope(frmMain& window) : window_(window) {
    ++window_.handlerDepth_;
}

frmMain::HandlerScope::~HandlerScope() {
    if (--window_.handlerDepth_ == 0 && window_.unloaded_ && !window_.unloadAnnounced_) {
        window_.unloadAnnounced_ = true;
        emit window_.unloaded();
    }
}

frmMain::frmMain(QWidget* parent)
    : QWidget(parent), controller_(*this), endProcess_([] {
          std::fflush(nullptr);
          std::_Exit(EXIT_SUCCESS);
      }) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Orlenby"));
    setWindowIcon(AppIcon());
    setFixedSize(kClientWidth, kClientHeight);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

    CreateControls();
    CreateTrayMenu();
    tray_ = new TrayIcon(windowIcon(), kTrayToolTip, this);
    tray_->SetMenu(menuSystray);
    SetTabOrder();
    WireEvents();
    cmdStart->setFocus();
}

frmMain::~frmMain() = default;

void frmMain::CreateControls() {
    cmdHide = PlaceButton(this, "cmdHide", QStringLiteral("隐藏"), Twips(5280, 120, 495, 375));
    cmdHide->setToolTip(QStringLiteral("隐藏界面"));

    chkStartwithWindows =
        Place<QCheckBox>(this, "chkStartwithWindows", Twips(120, 2040, 2655, 255));
    chkStartwithWindows->setText(QStringLiteral("跟随Windows一起启动?"));

    status = new StatusPanels(this);
    status->setObjectName(QStringLiteral("status"));
    status->setGeometry(Twips(0, 2805, 5925, 270));

    frameFolders = Place<QGroupBox>(this, "frameFolders", Twips(120, 555, 5535, 1335));
    frameFolders->setTitle(QStringLiteral("文件夹选项"));
    txtDestination = Place<QLineEdit>(frameFolders, "txtDestination", Twips(1200, 720, 3735, 375));
    Command2 =
        PlaceButton(frameFolders, "Command2", QStringLiteral("..."), Twips(4965, 720, 450, 375));
    txtSource = Place<QLineEdit>(frameFolders, "txtSource", Twips(1200, 240, 3735, 375));
    Command1 =
        PlaceButton(frameFolders, "Command1", QStringLiteral("..."), Twips(4950, 240, 465, 375));
    Label5 = PlaceLabel(frameFolders, "Label5", QStringLiteral("目标文件夹:"),
                        Twips(180, 840, 2775, 255));
    Label4 =
        PlaceLabel(frameFolders, "Label4", QStringLiteral("源文件夹:"), Twips(195, 360, 975, 255));
    // The two rows look alike; a screen reader tells them apart by these names.
    Label4->setBuddy(txtSource);
    Label5->setBuddy(txtDestination);
    txtSource->setAccessibleName(QStringLiteral("源文件夹"));
    txtDestination->setAccessibleName(QStringLiteral("目标文件夹"));
    Command1->setAccessibleName(QStringLiteral("选择源文件夹"));
    Command2->setAccessibleName(QStringLiteral("选择目标文件夹"));

    chkFolderChange = Place<QCheckBox>(this, "chkFolderChange", Twips(3315, 120, 2145, 375));
    chkFolderChange->setText(QStringLiteral("当文件夹发生改变时."));
    // The check box's rectangle reaches under the Hide button: the button is on top, so all of
    // it that shows hides the window and the box answers only where it shows.
    cmdHide->raise();

    txtMins = Place<QLineEdit>(this, "txtMins", Twips(1440, 120, 375, 285));
    txtMins->setText(QStringLiteral("1"));
    QFont minutesFont(QStringLiteral("Verdana"));
    minutesFont.setPointSizeF(8.25);
    minutesFont.setWeight(QFont::Normal);
    txtMins->setFont(minutesFont);

    Timer1 = new PeriodTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(kDesignInterval);
    Timer1->setEnabled(true);

    cmdStart = PlaceButton(this, "cmdStart", BackupController::StartCaption(),
                           Twips(3840, 1935, 1815, 375));
    Label6 = PlaceLabel(this, "Label6", QStringLiteral("/ 或者 /"), Twips(2325, 195, 1035, 270));
    Label7 = PlaceLabel(this, "Label7", QStringLiteral("分钟"), Twips(1920, 195, 1335, 240));
    Label1 = PlaceLabel(this, "Label1", QStringLiteral("备份周期:"), Twips(240, 180, 1335, 255));
    Label1->setBuddy(txtMins);
    txtMins->setAccessibleName(QStringLiteral("备份周期 (分钟)"));
}

void frmMain::CreateTrayMenu() {
    // A popup only: the window has no menu bar.
    menuSystray = new QMenu(QStringLiteral("doesnt matter"), this);
    menuSystray->setObjectName(QStringLiteral("menuSystray"));
    // Its title is never shown; a screen reader announces this name instead.
    menuSystray->setAccessibleName(QStringLiteral("Tavrick 托盘菜单"));
    const auto addItem = [this](const char* name, const QString& caption) {
        QAction* item = menuSystray->addAction(caption);
        item->setObjectName(QLatin1String(name));
        return item;
    };
    const auto addLine = [this](const char* name) {
        QAction* line = menuSystray->addSeparator();
        line->setObjectName(QLatin1String(name));
        return line;
    };
    menuStart = addItem("menuStart", QStringLiteral("开始监视"));
    menuStop = addItem("menuStop", QStringLiteral("停止监视"));
    menuLine1 = addLine("menuLine1");
    menuShow = addItem("menuShow", QStringLiteral("显示界面"));
    menuHide = addItem("menuHide", QStringLiteral("隐藏界面"));
    menuLine2 = addLine("menuLine2");
    menuExit = addItem("menuExit", QStringLiteral("退出"));
}

void frmMain::SetTabOrder() {
    const QWidget* order[] = {cmdStart, txtMins,        chkFolderChange,     Command1, txtSource,
                              Command2, txtDestination, chkStartwithWindows, cmdHide};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(const_cast<QWidget*>(order[i - 1]), const_cast<QWidget*>(order[i]));
}

void frmMain::WireEvents() {
    connect(cmdStart, &QPushButton::clicked, this, &frmMain::cmdStart_Click);
    connect(cmdHide, &QPushButton::clicked, this, &frmMain::cmdHide_Click);
    connect(Command1, &QPushButton::clicked, this, &frmMain::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &frmMain::Command2_Click);
    // Runs for the user's clicks and for state changes made by code, only on a real change.
    connect(chkFolderChange, &QCheckBox::stateChanged, this, &frmMain::chkFolderChange_Click);
    connect(chkStartwithWindows, &QCheckBox::stateChanged, this,
            &frmMain::chkStartwithWindows_Click);
    // The user's edits only: no code writes the minutes box.
    connect(txtMins, &QLineEdit::textEdited, this, &frmMain::txtMins_Change);
    connect(Timer1, &PeriodTimer::tick, this, &frmMain::Timer1_Timer);
    connect(menuStart, &QAction::triggered, this, &frmMain::menuStart_Click);
    connect(menuStop, &QAction::triggered, this, &frmMain::menuStop_Click);
    connect(menuShow, &QAction::triggered, this, &frmMain::menuShow_Click);
    connect(menuHide, &QAction::triggered, this, &frmMain::menuHide_Click);
    connect(menuExit, &QAction::triggered, this, &frmMain::menuExit_Click);
    // Only the tray's events reach the tray decoding, never the pointer moving over the window.
    connect(tray_, &TrayIcon::mouseEvent, this,
            [this](int code) { Form_MouseMove(Qt::NoButton, 0, float(code * kTwipsPerPixel), 0); });
}

// ---- Backup controller ----

void frmMain::cmdStart_Click() {
    HandlerScope scope(*this);
    lastClick_ = cmdStart->text() == BackupController::StartCaption() ? QStringLiteral("Start")
                                                                      : QStringLiteral("Stop");
    controller_.WindowStartStop();
}

void frmMain::menuStart_Click() {
    HandlerScope scope(*this);
    controller_.TrayStart();
}

void frmMain::menuStop_Click() {
    HandlerScope scope(*this);
    controller_.TrayStop();
}

void frmMain::Timer1_Timer() {
    HandlerScope scope(*this);
    controller_.Tick();
}

QString frmMain::sourceFolderText() const {
    return txtSource->text();
}

QString frmMain::destinationFolderText() const {
    return txtDestination->text();
}

std::string frmMain::rememberedFileSystem(const QString& destination) const {
    return RememberedDestinations().value(destination).toStdString();
}

void frmMain::rememberFileSystem(const QString& destination, const std::string& identity) {
    QMap<QString, QString> destinations = RememberedDestinations();
    destinations.insert(destination, QString::fromStdString(identity));
    QStringList lines;
    for (auto entry = destinations.cbegin(); entry != destinations.cend(); ++entry)
        lines << entry.value() + u'\t' + entry.key();
    FileControl::SaveSetting(Setting::DestinationFileSystems, lines.join(u'\n'));
}

void frmMain::setStatusText(const QString& text) {
    status->setMessage(text);
}

void frmMain::setStatusToolTip(const QString& text) {
    status->setMessageToolTip(text);
}

void frmMain::showRunProgress(const FileSync::RunReport* report) {
    if (report)
        status->showRunProgress(report->filesCompared, report->filesCopied);
    else
        status->hideRunProgress();
}

void frmMain::runEnded(const RunSummary& run) {
    runLog_.Append(run.byTick ? QStringLiteral("tick") : lastClick_, run);
    const auto notice = notices_.RunEnded(run.report->failures, QDateTime::currentDateTime());
    tray_->SetState(notices_.ToolTip(kTrayToolTip), notices_.LastRunFailed());
    if (notice)
        tray_->ShowNotice(notice->title, notice->text, notice->failing);
}

QString frmMain::minutesText() const {
    return txtMins->text();
}

bool frmMain::watchOptionChecked() const {
    return CheckValue(*chkFolderChange) == 1;
}

QString frmMain::startCaption() const {
    return cmdStart->text();
}

void frmMain::setStartCaption(const QString& caption) {
    cmdStart->setText(caption);
}

void frmMain::setTimerInterval(std::int32_t milliseconds) {
    Timer1->setInterval(milliseconds);
}

void frmMain::setTimerEnabled(bool enabled) {
    Timer1->setEnabled(enabled);
}

// ---- Start-up ----

void frmMain::Form_Load() {
    HandlerScope scope(*this);
    tray_->Add();
    txtSource->setText(FileControl::LoadControlSetting(*txtSource));
    const QString folderChange = FileControl::LoadControlSetting(*chkFolderChange);
    if (!folderChange.isEmpty())
        chkFolderChange->setCheckState(
            CheckStateOf(FileControl::SettingToCheckState(folderChange)));
    txtDestination->setText(FileControl::LoadControlSetting(*txtDestination));
    const bool hide = FileControl::SettingToBool(FileControl::GetSetting(Setting::StartHidden));
    // Without a notification area nothing could bring a hidden window back.
    setVisible(!hide || !TrayIcon::IsAvailable());
    chkStartwithWindows->setCheckState(CheckStateOf(
        FileControl::SettingToCheckState(FileControl::GetSetting(Setting::StartAtLogon))));
}

// ---- Folder selection and option edits ----

void frmMain::Command1_Click() {
    BrowseInto(*txtSource);
}

void frmMain::Command2_Click() {
    BrowseInto(*txtDestination);
}

void frmMain::BrowseInto(QLineEdit& pathBox) {
    HandlerScope scope(*this);
    const QString folder = FileControl::BrowseForFolder(this);
    if (unloaded_)
        return;
    // A cancelled choice empties the box, and that is stored too.
    pathBox.setText(folder);
    FileControl::SaveControlSetting(pathBox, pathBox.text());
}

void frmMain::chkFolderChange_Click() {
    HandlerScope scope(*this);
    const int value = CheckValue(*chkFolderChange);
    FileControl::SaveControlSetting(*chkFolderChange, QString::number(value));
    // The window takes either a period or the watch option, not both.
    txtMins->setEnabled(value == 0);
}

void frmMain::txtMins_Change() {
    HandlerScope scope(*this);
    FileControl::SaveControlSetting(*txtMins, txtMins->text());
}

void frmMain::chkStartwithWindows_Click() {
    HandlerScope scope(*this);
    // The choice is recorded before the log-on entry is touched.
    FileControl::SaveSetting(Setting::StartAtLogon,
                             QString::number(CheckValue(*chkStartwithWindows)));
    const int value = CheckValue(*chkStartwithWindows);
    const QString path = modSystray::AutostartExecutablePath();
    const QString name = modSystray::AutostartEntryName();
    if (value == 1)
        modSystray::EnableAutostart(path, name);
    else if (value == 0)
        modSystray::DisableAutostart(path, name);
}

// ---- Tray icon and window visibility ----

void frmMain::Form_MouseMove(int, int, float x, float) {
    HandlerScope scope(*this);
    switch (qRound(x / kTwipsPerPixel)) {
        case TrayIcon::kLeftDoubleClick:
            ShowInFront();
            break;
        case TrayIcon::kRightButtonUp:
            BringToFront();
            menuSystray->exec(QCursor::pos());
            break;
        default:
            break;
    }
}

void frmMain::ShowInFront() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    BringToFront();
    show();
    // A window that was hidden can be activated only once it is shown.
    BringToFront();
}

void frmMain::BringToFront() {
    raise();
    activateWindow();
}

void frmMain::menuShow_Click() {
    HandlerScope scope(*this);
    show();
}

void frmMain::menuHide_Click() {
    HandlerScope scope(*this);
    HideToTray();
}

void frmMain::cmdHide_Click() {
    HandlerScope scope(*this);
    HideToTray();
    FileControl::SaveSetting(Setting::StartHidden, QStringLiteral("1"));
}

void frmMain::HideToTray() {
    // Without a notification area nothing could bring a hidden window back.
    if (TrayIcon::IsAvailable())
        hide();
    else
        setWindowState(windowState() | Qt::WindowMinimized);
}

// ---- Shutdown ----

void frmMain::menuExit_Click() {
    HandlerScope scope(*this);
    close();
    // Whatever is suspended lower on the stack is abandoned here, between two file operations.
    endProcess_();
}

void frmMain::Form_QueryUnload() {
    controller_.WindowClosing();
}

void frmMain::Form_Unload() {
    tray_->Remove();
    FileDetect::StopWatching();
}

void frmMain::closeEvent(QCloseEvent* event) {
    event->accept();
    if (unloaded_)
        return;
    HandlerScope scope(*this);
    Form_QueryUnload();
    Form_Unload();
    unloaded_ = true;
    // A run suspended lower on the stack must find nothing more to do when it resumes.
    Timer1->setEnabled(false);
}
