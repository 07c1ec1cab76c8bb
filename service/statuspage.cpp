#include "service/statuspage.h"

#include "protocol/outcomereport.h"
#include "service/reportstore.h"
#include "service/rollout.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSet>

#include <algorithm>
#include <numeric>

namespace {

constexpr int shownHours = 48; // of each release, the latest
constexpr int chartHeight = 160;
constexpr int barWidth = 14;

const char *const outcomeColours[] = {"#2e7d32", "#90a4ae", "#6a1b9a", "#ad1457",
                                      "#e65100", "#c62828", "#f9a825", "#546e7a"};

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

QString hourText(qint64 hour)
{
    return QDateTime::fromSecsSinceEpoch(hour * 3600, Qt::UTC).toString("yyyy-MM-dd hh:00");
}

// Equal length texts compared in full, so that the time taken tells nothing of the token.
bool sameText(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char differs = 0;
    for (int i = 0; i < a.size(); ++i)
        differs |= uchar(a[i]) ^ uchar(b[i]);
    return differs == 0;
}

} // namespace

StatusPage::StatusPage(ReportStore *reports, const QString &token, const QString &rolloutPath, RolloutSource rollout)
    : reports(reports), token(token), rolloutPath(rolloutPath), rollout(std::move(rollout))
{
    http.setMaxConnectionsPerAddress(4);
    http.getFile("/", [this](const httplib::Request &request, httplib::Response &response) {
        if (!allowed(request)) {
            response.status = 401;
            response.set_content(tr("the status page needs its token\n").toStdString(), "text/plain");
            return -1;
        }
        response.status = 200;
        response.set_header("Cache-Control", "no-store");
        // Nothing from elsewhere, should a reason ever hold markup that escaping missed.
        response.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'");
        response.set_content(html().toStdString(), "text/html; charset=utf-8");
        return -1;
    });
}

int StatusPage::bind(const QString &host, int port)
{
    return http.bind(host.toStdString(), port);
}

bool StatusPage::allowed(const httplib::Request &request) const
{
    const QByteArray expected = token.toUtf8();
    const std::string bearer = request.get_header_value("Authorization");
    const QByteArray given = request.has_param("token") ? QByteArray::fromStdString(request.get_param_value("token"))
        : bearer.rfind("Bearer ", 0) == 0 ? QByteArray::fromStdString(bearer.substr(7))
                                          : QByteArray();
    return !expected.isEmpty() && sameText(given, expected);
}

QString StatusPage::html() const
{
    // By release as the ticket names it, then hour, then outcome.
    QMap<QString, QMap<qint64, QVector<qint64>>> counts;
    for (const ReportStore::Hour &row : reports->hours()) {
        OutcomeReport::Outcome outcome;
        if (!OutcomeReport::outcomeFromName(row.outcome, &outcome))
            continue;
        QVector<qint64> &hour = counts[QString("%1 at sequence %2").arg(row.release).arg(row.sequence)][row.hour];
        hour.resize(OutcomeReport::outcomeCount);
        hour[outcome] += row.count;
    }

    // What the halt rule weighs: each installation once, by its latest install or failure.
    QMap<QString, HaltRule::Tally> tried;
    for (const ReportStore::Installations &each : reports->installations())
        tried.insert(QString("%1 at sequence %2").arg(each.release).arg(each.sequence), each.tally);

    QString state = tr("no rollout");
    const std::shared_ptr<const Rollout> current = rollout();
    if (current && current->hasShare()) {
        state = current->halted() ? tr("halted: set to 0 % in the rollout file") : tr("running");
        QFile side(Rollout::haltFileOf(rolloutPath));
        if (current->halted() && side.open(QIODevice::ReadOnly)) {
            const QJsonObject halt = QJsonDocument::fromJson(side.readAll()).object();
            if (halt.value("rollout_sha256").toString() == QString::fromLatin1(current->fileDigest().toHex()))
                state = tr("halted by its rule at %1: %2").arg(halt.value("halted").toString(), halt.value("reason").toString());
        }
    }

    QString page = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + tr("Update service status")
        + "</title>\n<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse;margin:1em 0}"
          "td,th{border:1px solid #ccc;padding:2px 8px;text-align:right}th{background:#eee}"
          "td.text{text-align:left}.key{display:inline-block;width:1em;height:1em;margin:0 4px 0 12px}</style>"
          "</head><body>\n<h1>" + tr("Update service status") + "</h1>\n";
    page += "<p>" + tr("Rollout: %1, %2")
                        .arg("<span id=\"rollout-share\">"
                                 + (current && current->hasShare() ? QString::number(current->percent()) + " %" : tr("none"))
                                 + "</span>",
                             "<span id=\"halt-state\">" + escaped(state) + "</span>")
        + "</p>\n<p>" + tr("Generated %1 UTC").arg(QDateTime::currentDateTimeUtc().toString("yyyy-MM-dd hh:mm")) + "</p>\n<p>";
    for (int outcome = 0; outcome < OutcomeReport::outcomeCount; ++outcome)
        page += QString("<span class=\"key\" style=\"background:%1\"></span>%2")
                    .arg(outcomeColours[outcome], OutcomeReport::outcomeName(OutcomeReport::Outcome(outcome)));
    page += "</p>\n";

    for (auto release = counts.cbegin(); release != counts.cend(); ++release) {
        QList<qint64> hours = release->keys();
        hours = hours.mid(std::max(0, int(hours.size()) - shownHours));
        qint64 highest = 1;
        for (const qint64 hour : hours) {
            const QVector<qint64> &each = release->value(hour);
            highest = std::max(highest, std::accumulate(each.cbegin(), each.cend(), qint64(0)));
        }
        page += "<h2>" + escaped(release.key()) + "</h2>\n";
        const HaltRule::Tally tally = tried.value(release.key());
        page += QString("<p class=\"installations\" data-release=\"%1\">").arg(escaped(release.key()))
            + tr("Installations that tried it: %1, failed by their latest report: %2 (%3 %)")
                  .arg(QString("<span class=\"tried\">%1</span>").arg(tally.total),
                       QString("<span class=\"failed\">%1</span>").arg(tally.failures))
                  .arg(tally.total > 0 ? 100.0 * double(tally.failures) / double(tally.total) : 0.0, 0, 'f', 1)
            + "</p>\n";
        page += QString("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" role=\"img\">")
                    .arg(hours.size() * barWidth + 2).arg(chartHeight + 2);
        for (int column = 0; column < hours.size(); ++column) {
            const QVector<qint64> &each = release->value(hours[column]);
            double top = chartHeight;
            for (int outcome = 0; outcome < OutcomeReport::outcomeCount; ++outcome) {
                if (each.value(outcome) == 0)
                    continue;
                const double height = double(each.value(outcome)) * chartHeight / double(highest);
                top -= height;
                page += QString("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"><title>%6 %7: %8</title></rect>")
                            .arg(column * barWidth + 1).arg(top, 0, 'f', 1).arg(barWidth - 2).arg(height, 0, 'f', 1)
                            .arg(outcomeColours[outcome], hourText(hours[column]),
                                 OutcomeReport::outcomeName(OutcomeReport::Outcome(outcome)))
                            .arg(each.value(outcome));
            }
        }
        page += "</svg>\n<table><tr><th>" + tr("hour (UTC)") + "</th><th>" + tr("installations reached") + "</th><th>"
            + tr("failed") + "</th><th>" + tr("reports") + "</th></tr>\n";
        for (auto it = hours.crbegin(); it != hours.crend(); ++it) {
            const QVector<qint64> &each = release->value(*it);
            qint64 failed = 0;
            for (int outcome = 0; outcome < OutcomeReport::outcomeCount; ++outcome)
                failed += OutcomeReport::isFailure(OutcomeReport::Outcome(outcome)) ? each.value(outcome) : 0;
            page += QString("<tr data-release=\"%1\" data-hour=\"%2\"><td class=\"text\">%3</td><td class=\"installed\">%4</td>"
                            "<td class=\"failed\">%5</td><td class=\"reports\">%6</td></tr>\n")
                        .arg(escaped(release.key())).arg(*it).arg(hourText(*it))
                        .arg(each.value(OutcomeReport::Installed)).arg(failed)
                        .arg(std::accumulate(each.cbegin(), each.cend(), qint64(0)));
        }
        page += "</table>\n";
    }

    page += "<h2>" + tr("Failure reasons") + "</h2>\n<table><tr><th>" + tr("release") + "</th><th>" + tr("reason")
        + "</th><th>" + tr("reports") + "</th></tr>\n";
    for (const ReportStore::Reason &reason : reports->reasons(20))
        page += QString("<tr class=\"reason\"><td class=\"text\">%1</td><td class=\"text\">%2</td><td class=\"count\">%3</td></tr>\n")
                    .arg(escaped(reason.release), escaped(reason.reason)).arg(reason.count);
    return page + "</table>\n</body></html>\n";
}
