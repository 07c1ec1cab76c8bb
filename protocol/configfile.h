#pragma once

#include <QString>

// What config.xml in the updater's folder says. Each setting is the first element of its name
// anywhere in the file.
struct ConfigFile
{
    QString updateUrl; // the upgrade endpoint, exactly as written; empty: the built-in one
    int prefetch = 0;  // how many of the following files may be requested before their turn
};

// Reads the file once. A missing or broken file is said in a box and gives the defaults.
ConfigFile readConfigFile(const QString &path);
