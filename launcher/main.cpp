// updater-launch: does what the main application does before it starts the updater. It writes
// the login token into the shared-memory segment "Download_inf", keeps the segment attached
// while the updater runs, and exits with the updater's status.

#include <QBuffer>
#include <QCoreApplication>
#include <QDataStream>
#include <QProcess>
#include <QSharedMemory>
#include <QStringList>
#include <cstdio>

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: updater-launch --token TEXT UPDATER [ARG...]\n"
                 "       updater-launch --raw-hex HEX UPDATER [ARG...]\n"
                 "       updater-launch --no-segment UPDATER [ARG...]\n"
                 "  --token TEXT    the login token, written as the main application writes it\n"
                 "  --raw-hex HEX   the segment's bytes, given in hex\n"
                 "  --no-segment    start the updater without any segment\n");
    return 2;
}

QByteArray serialisedToken(const QString &token)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QDataStream stream(&buffer);
    stream << token;
    return bytes;
}

// A writer that crashed leaves its segment behind; the last detach removes it.
bool createSegment(QSharedMemory &segment, int size)
{
    if (segment.create(size))
        return true;
    if (segment.error() != QSharedMemory::AlreadyExists)
        return false;
    if (segment.attach())
        segment.detach();
    return segment.create(size);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.size() < 2)
        return usage();

    const QString mode = args.takeFirst();
    QByteArray content;
    bool withSegment = true;
    if (mode == "--token" || mode == "--raw-hex") {
        if (args.size() < 2)
            return usage();
        const QString value = args.takeFirst();
        content = mode == "--token" ? serialisedToken(value) : QByteArray::fromHex(value.toLatin1());
        if (content.isEmpty()) {
            std::fprintf(stderr, "updater-launch: the segment would be empty\n");
            return 2;
        }
    } else if (mode == "--no-segment") {
        withSegment = false;
    } else {
        return usage();
    }

    QSharedMemory segment("Download_inf");
    if (withSegment) {
        if (!createSegment(segment, content.size())) {
            std::fprintf(stderr, "updater-launch: cannot create the segment: %s\n",
                         qPrintable(segment.errorString()));
            return 1;
        }
        segment.lock();
        memcpy(segment.data(), content.constData(), size_t(content.size()));
        segment.unlock();
    }

    QProcess updater;
    updater.setProcessChannelMode(QProcess::ForwardedChannels);
    updater.start(args.takeFirst(), args);
    if (!updater.waitForStarted(-1)) {
        std::fprintf(stderr, "updater-launch: cannot start the updater: %s\n",
                     qPrintable(updater.errorString()));
        return 1;
    }
    updater.waitForFinished(-1);
    if (withSegment)
        segment.detach();
    if (updater.exitStatus() != QProcess::NormalExit) {
        std::fprintf(stderr, "updater-launch: the updater crashed\n");
        return 1;
    }
    return updater.exitCode();
}
