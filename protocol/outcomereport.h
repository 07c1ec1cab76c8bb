#pragma once

#include <QJsonObject>
#include <QString>

// What an updater tells the service about one run, when the query's reply asked for it. The service
// reads the same members back, so both sides share this one description of them. No token travels:
// the ticket is what the service itself handed out, its keyed hash of the token and the release it
// offered.
struct OutcomeReport
{
    enum Outcome {
        Installed,
        NothingNewer,
        QueryFailed,    // the reply was not taken (no files, a refused download address)
        CheckFailed,    // the reply or its listing did not verify
        DownloadFailed,
        SwapFailed,     // a file or the whole release could not be put in place
        RolledBack,     // put in place, then every file put back
        Closed,         // the window was closed
    };
    static constexpr int outcomeCount = Closed + 1;

    // The reply members that ask for a report: where to send it (relative to the query's URL) and
    // the ticket to send back.
    static constexpr const char *urlMember = "report_url";
    static constexpr const char *ticketMember = "report_ticket";

    QString ticket;
    Outcome outcome = NothingNewer;
    qint64 installedSequence = 0;
    qint64 offeredSequence = 0;
    QString file;   // below the installation; empty when no file was at fault
    QString form;   // the forms of it tried before the file itself failed, comma-separated
    QString reason; // as the log says it
    qint64 bytes = 0;
    qint64 durationMs = 0;

    static QString outcomeName(Outcome outcome);
    // False for a name no updater sends.
    static bool outcomeFromName(const QString &name, Outcome *outcome);
    // Whether the outcome counts against the release it was offered.
    static bool isFailure(Outcome outcome);

    QJsonObject toJson() const;
    // False when a member is missing or of the wrong kind.
    static bool fromJson(const QJsonObject &object, OutcomeReport *report);
};
