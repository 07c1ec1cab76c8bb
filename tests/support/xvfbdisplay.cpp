#include "tests/support/xvfbdisplay.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>

XvfbDisplay::XvfbDisplay()
{
    // Xvfb picks a free display itself and names it on the descriptor given: here its stdout. It must
    // not reset when its last client leaves (it refuses connections while it does), and keys must not
    // auto-repeat into the next box.
    xvfb.start("Xvfb", {"-displayfd", "1", "-noreset", "-ardelay", "3600000", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
    if (!xvfb.waitForStarted(10000))
        return;
    QByteArray number;
    QElapsedTimer clock;
    clock.start();
    while (!number.contains('\n') && clock.elapsed() < 20000 && xvfb.state() == QProcess::Running) {
        xvfb.waitForReadyRead(500);
        number += xvfb.readAllStandardOutput();
    }
    if (number.contains('\n'))
        name = ":" + QString::fromLatin1(number).trimmed();
}

XvfbDisplay::~XvfbDisplay()
{
    xvfb.terminate();
    if (!xvfb.waitForFinished(5000))
        xvfb.kill();
    xvfb.waitForFinished(5000);
}

QProcessEnvironment XvfbDisplay::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", name);
    env.remove("QT_QPA_PLATFORM");
    return env;
}

QString XvfbDisplay::run(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return QString();
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return QString();
    const QString output = QString::fromLocal8Bit(process.readAllStandardOutput());
    return output.isNull() ? QString("") : output; // null stands for failure only
}

QStringList XvfbDisplay::waitForWindows(const QString &titlePattern, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    // Qt leaves WM_NAME empty on untitled boxes, which 'xdotool search --name' reads; the title a
    // person sees is _NET_WM_NAME, which getwindowname reads.
    const QRegularExpression title(titlePattern);
    do {
        QStringList matches;
        const QString ids = run("xdotool", {"search", "--onlyvisible", "--name", ".*"});
        for (const QString &id : ids.split('\n', Qt::SkipEmptyParts)) {
            if (title.match(run("xdotool", {"getwindowname", id}).trimmed()).hasMatch())
                matches << id;
        }
        if (!matches.isEmpty())
            return matches;
        QThread::msleep(100);
    } while (clock.elapsed() < timeoutMs);
    return {};
}

QSize XvfbDisplay::windowSize(const QString &windowId)
{
    QSize size;
    const QString shell = run("xdotool", {"getwindowgeometry", "--shell", windowId});
    for (const QString &line : shell.split('\n')) {
        if (line.startsWith("WIDTH="))
            size.setWidth(line.mid(6).toInt());
        else if (line.startsWith("HEIGHT="))
            size.setHeight(line.mid(7).toInt());
    }
    return size;
}

bool XvfbDisplay::pressKey(const QString &windowId, const QString &key)
{
    // No window manager runs here, so the window gets the focus the way one would give it.
    return !run("xdotool", {"windowfocus", windowId}).isNull()
        && !run("xdotool", {"key", "--clearmodifiers", key}).isNull();
}

bool XvfbDisplay::screenshot(const QString &pngPath)
{
    return !run("import", {"-window", "root", pngPath}, 30000).isNull();
}
