#pragma once

#include <QByteArray>
#include <QString>

// Why config.xml gave no endpoint at all; the window shows a box for each but None.
enum class ConfigProblem { None, CannotOpen, NotXml };

// config.xml as a run reads it, once at its start. Each element is the first of its name
// anywhere in the file, its text exactly as written; empty when there is none.
struct UpdaterConfig
{
    ConfigProblem problem = ConfigProblem::CannotOpen;
    QString rootName;
    QString update;
    QString log;
    QString proxy;
    // How many following files may be requested before their turn: 0 (one at a time) unless
    // Prefetch holds a positive number, and at most 16.
    int prefetch = 0;
    // Restart "always": the main application is started again after every run that ended it,
    // whatever the outcome.
    bool restartAlways = false;
};

// Shows and prints nothing; a missing or broken file gives empty elements and says why.
UpdaterConfig readUpdaterConfig(const QString &path);
// False when the text is not XML (or nested too deep); config's problem is set either way.
bool parseUpdaterConfig(const QByteArray &xml, UpdaterConfig *config);
