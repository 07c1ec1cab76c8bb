#pragma once

#include <QDateTime>
#include <QProcessEnvironment>
#include <QString>
#include <functional>

#include "app/terminateprocesses.h"

#include "download/downloadnetworkmanager.h"
#include "protocol/jsonhttpclient.h"

// What a run takes from its surroundings rather than from the release: where the updater lives,
// the clock, the network's bounds and the keys trusted to sign releases. Kept in one place because
// it is exactly what in-process tests must vary.
struct UpdaterEnvironment
{
    QString updaterDirectory; // empty: the executable's own folder (see Installation::updaterDirectory())
    QDateTime fixedTime;      // null: the system clock
    JsonHttpClient::Limits queryLimits;
    DownloadNetworkManager::Limits downloadLimits;
    // Ends every running main application before its files are replaced.
    std::function<bool(const char *name)> endProcesses = terminateProcesses;
    // Ed25519 public keys (32 bytes each) that may sign release listings; empty: none is checked.
    QList<QByteArray> releaseKeys = builtInReleaseKeys();

    QDateTime now() const;

    static QList<QByteArray> builtInReleaseKeys();
    // Sets a variable for the updater's own sake where the user's environment has none; the main
    // application is started without it.
    static void setOwnVariable(const char *name, const QByteArray &value);
    static QProcessEnvironment mainApplicationEnvironment();
    static const UpdaterEnvironment &current();
    // Replaces what every later call sees; UpdaterEnvironment() restores the real surroundings.
    static void setForTesting(const UpdaterEnvironment &environment);
};
