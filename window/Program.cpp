// SPDX-License-Identifier: GPL-3.0-or-later
#include "Program.h"

#include <QApplication>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>

#include "AppIcon.h"
#include "Desktop.h"
#include "frmMain.h"

namespace {

// Qt's messages while the application object is made; its fatal one means no display.
QStringList startupMessages;

void NoDisplayHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtFatalMsg) {
        startupMessages << message;
        return;
    }
    std::fputs(qPrintable(Desktop::NoWindowExplanation(ExecutableBaseName(), message)), stderr);
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
}

void LoadQtTranslations() {
    auto* translator = new QTranslator(qApp);
    if (translator->load(QStringLiteral("qt_zh_CN"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(translator);
    else
        delete translator;
}

}  // namespace

std::unique_ptr<QApplication> OpenApplication(int& argc, char** argv) {
    const QtMessageHandler previous = qInstallMessageHandler(NoDisplayHandler);
    auto application = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previous);
    // Passed on only now that they were no prelude to a failure.
    for (const QString& message : std::exchange(startupMessages, {}))
        qWarning().noquote() << message;
    return application;
}

QString ExecutableBaseName() {
    return Desktop::ProgramName(QFileInfo(QCoreApplication::applicationFilePath()));
}

void PrepareApplication() {
    QCoreApplication::setApplicationName(ExecutableBaseName());
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(AppIcon());
    LoadQtTranslations();
}

int RunMainWindow(frmMain& window) {
    QObject::connect(&window, &frmMain::unloaded, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window.Form_Load();
    return QApplication::exec();
}
