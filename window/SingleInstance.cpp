// SPDX-License-Identifier: GPL-3.0-or-later
#include "SingleInstance.h"

#include <QDir>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

#include "Desktop.h"

namespace {

const QByteArray kShowRequest = "show\n";
const QByteArray kShownAnswer = "shown\n";
// Only for a running program that is stuck; a healthy one answers at once.
constexpr int kAnswerTimeoutMs = 5000;

}  // namespace

SingleInstance::SingleInstance(const QString& name, const QString& folder) {
    const QString base = folder.isEmpty()
                             ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)
                             : folder;
    socketPath_ = Desktop::InstanceChannel(name, base);
    lockPath_ = QDir(base).filePath(name + QStringLiteral(".instance.lock"));
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection())
            Answer(socket);
    });
}

bool SingleInstance::Claim() {
    // Held while deciding; QLockFile takes over a lock whose owner has died.
    QLockFile startup(lockPath_);
    startup.lock();
    if (AskRunningInstanceToShow())
        return false;
    // Nobody answers: a socket file still there was left by a crash.
    QLocalServer::removeServer(socketPath_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    server_.listen(socketPath_);
    return true;
}

bool SingleInstance::AskRunningInstanceToShow() {
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(kAnswerTimeoutMs))
        return false;
    socket.write(kShowRequest);
    socket.waitForBytesWritten(kAnswerTimeoutMs);
    // Once it has answered, the window is in front when this start ends.
    while (!socket.canReadLine() && socket.waitForReadyRead(kAnswerTimeoutMs)) {
    }
    return true;
}

void SingleInstance::Answer(QLocalSocket* socket) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        if (!socket->canReadLine())
            return;
        if (socket->readLine() == kShowRequest)
            emit activationRequested();
        socket->write(kShownAnswer);
        socket->disconnectFromServer();
    });
}
