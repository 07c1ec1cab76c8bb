#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QSize>
#include <QString>
#include <QStringList>

// A private X display for end-to-end tests, and the few things a person does on it, done with
// xdotool: find a window, read its size, press a key in it.
class XvfbDisplay
{
public:
    XvfbDisplay();
    ~XvfbDisplay();

    bool isRunning() const { return !name.isEmpty(); }
    QString display() const { return name; }
    QProcessEnvironment environment() const;

    // Ids of visible windows whose title matches the regular expression, waiting up to timeoutMs
    // for at least one.
    QStringList waitForWindows(const QString &titlePattern, int timeoutMs);
    QSize windowSize(const QString &windowId);
    bool pressKey(const QString &windowId, const QString &key);
    bool screenshot(const QString &pngPath);

    // Runs a command on this display; its standard output, or a null text when it failed.
    QString run(const QString &program, const QStringList &arguments, int timeoutMs = 10000);

private:
    QProcess xvfb;
    QString name;
};
