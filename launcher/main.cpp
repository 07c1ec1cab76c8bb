// updater-launch: does what the main application does before it starts the updater. It writes
// the login token into the shared-memory segment "Download_inf", starts the updater (on Windows
// through the shell's elevation when the caller lacks the rights the updater asks for), keeps the
// segment attached while the updater runs, and exits with the updater's status.

#include <QBuffer>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDataStream>
#include <QSharedMemory>
#include <QStringList>
#include <cstdio>

#include "updaterstart.h"

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: updater-launch [--elevate] --token TEXT UPDATER [ARG...]\n"
                 "       updater-launch [--elevate] --raw-hex HEX UPDATER [ARG...]\n"
                 "       updater-launch [--elevate] --no-segment UPDATER [ARG...]\n"
                 "  --token TEXT    the login token, written as the main application writes it\n"
                 "  --raw-hex HEX   the segment's bytes, given in hex\n"
                 "  --no-segment    start the updater without any segment\n"
                 "  --elevate       (Windows) start it through the shell's elevation at once, as\n"
                 "                  when starting it directly needs rights the caller lacks\n");
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
    const QCommandLineOption token("token", QString(), "TEXT"), rawHex("raw-hex", QString(), "HEX"),
        noSegment("no-segment"), elevate("elevate");
    QCommandLineParser parser;
    parser.addOptions({token, rawHex, noSegment, elevate});
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    // One of the three, once, --elevate at most once, then the updater: every word from UPDATER on
    // is its own, options included. --help is no option here and shows the usage as any mistake does.
    const bool parsed = parser.parse(app.arguments());
    const int elevations = parser.optionNames().count("elevate");
    if (!parsed || parser.optionNames().size() - elevations != 1 || elevations > 1 || parser.positionalArguments().isEmpty())
        return usage();
    QStringList args = parser.positionalArguments();

    QByteArray content;
    const bool withSegment = !parser.isSet(noSegment);
    if (withSegment) {
        content = parser.isSet(token) ? serialisedToken(parser.value(token))
                                      : QByteArray::fromHex(parser.value(rawHex).toLatin1());
        if (content.isEmpty()) {
            std::fprintf(stderr, "updater-launch: the segment would be empty\n");
            return 2;
        }
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

    UpdaterStart updater;
    const bool ran = updater.run(args.takeFirst(), args, parser.isSet(elevate) ? UpdaterStart::ThroughShell : UpdaterStart::Direct);
    if (withSegment)
        segment.detach();
    if (!ran) {
        std::fprintf(stderr, "updater-launch: the updater did not run to its end: %s\n", qPrintable(updater.errorString()));
        return 1;
    }
    return updater.exitCode();
}
