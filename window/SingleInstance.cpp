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
    m_socketPath = Desktop::InstanceChannel(name, base);
    m_lockPath = QDir(base).filePath(name + QStringLiteral(".instance.lock"));
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server.nextPendingConnection())
            Answer(socket);
    });
}

bool SingleInstance::Claim() {
    // Held while deciding; QLockFile takes over a lock whose owner has died.
    QLockFile startup(m_lockPath);
    startup.lock();
    if (AskRunningInstanceToShow())
        return false;
    // Nobody answers: a socket file still there was left by a crash.
    QLocalServer::removeServer(m_socketPath);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    m_server.listen(m_socketPath);
    return true;
}

bool SingleInstance::AskRunningInstanceToShow() {
    QLocalSocket socket;
    socket.connectToServer(m_socketPath);
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
