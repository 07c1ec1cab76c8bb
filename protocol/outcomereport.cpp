#include "protocol/outcomereport.h"

#include <iterator>

namespace {
// In the order of the enum; the names are what the service stores.
const char *const outcomeNames[] = {"installed",       "nothing_newer", "query_failed", "check_failed",
                                    "download_failed", "swap_failed",   "rolled_back",  "closed"};
static_assert(std::size(outcomeNames) == OutcomeReport::outcomeCount);
}

QString OutcomeReport::outcomeName(Outcome outcome)
{
    return QString::fromLatin1(outcomeNames[outcome]);
}

bool OutcomeReport::outcomeFromName(const QString &name, Outcome *outcome)
{
    for (int index = 0; index < outcomeCount; ++index) {
        if (name == QLatin1String(outcomeNames[index])) {
            *outcome = Outcome(index);
            return true;
        }
    }
    return false;
}

bool OutcomeReport::isFailure(Outcome outcome)
{
    return outcome == DownloadFailed || outcome == SwapFailed || outcome == RolledBack || outcome == CheckFailed;
}

QJsonObject OutcomeReport::toJson() const
{
    return {{"ticket", ticket},
            {"outcome", outcomeName(outcome)},
            {"installed_sequence", double(installedSequence)},
            {"offered_sequence", double(offeredSequence)},
            {"file", file},
            {"form", form},
            {"reason", reason},
            {"bytes", double(bytes)},
            {"duration_ms", double(durationMs)}};
}

bool OutcomeReport::fromJson(const QJsonObject &object, OutcomeReport *report)
{
    for (const char *text : {"ticket", "outcome", "file", "form", "reason"}) {
        if (!object.value(text).isString())
            return false;
    }
    for (const char *number : {"installed_sequence", "offered_sequence", "bytes", "duration_ms"}) {
        if (!object.value(number).isDouble() || object.value(number).toDouble() < 0)
            return false;
    }
    report->ticket = object.value("ticket").toString();
    report->file = object.value("file").toString();
    report->form = object.value("form").toString();
    report->reason = object.value("reason").toString();
    report->installedSequence = qint64(object.value("installed_sequence").toDouble());
    report->offeredSequence = qint64(object.value("offered_sequence").toDouble());
    report->bytes = qint64(object.value("bytes").toDouble());
    report->durationMs = qint64(object.value("duration_ms").toDouble());
    return outcomeFromName(object.value("outcome").toString(), &report->outcome);
}
