// SPDX-License-Identifier: GPL-3.0-or-later
// One running program per user and executable name.
//
// The running program listens on a local socket in the user's runtime folder. A later start
// finds it there, asks it to come to the front and ends. A start-up lock beside the socket
// keeps two starts from both deciding to be the one; a socket or lock left behind by a crash
// is recognised as such and does not block the next start.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `name` tells programs apart: the executable's base name. `folder` is where the socket
    // and the lock live; by default the user's runtime folder.
    explicit SingleInstance(const QString& name, const QString& folder = QString());

    // True when this process is the one instance; it then listens for later starts. False when
    // another instance runs: that one has been asked to come to the front.
    bool Claim();

signals:
    // A later start asked this instance to come to the front.
    void activationRequested();

private:
    bool AskRunningInstanceToShow();
    void Answer(QLocalSocket* socket);

    QString socketPath_;
    QString lockPath_;
    QLocalServer server_;
};
