#pragma once

#include <QCoreApplication>
#include <QString>

#include <functional>
#include <memory>

#include "service/boundedhttpserver.h"

class ReportStore;
class Rollout;

// The vendor's view of the reports: one self-contained HTML page (no script, the chart inline SVG)
// with each release's installations per hour, its outcomes stacked, the failure reasons ranked and
// the rollout's share and halt state. Only for a request that carries the token, as ?token= or as
// "Authorization: Bearer".
class StatusPage
{
    Q_DECLARE_TR_FUNCTIONS(StatusPage)

public:
    using RolloutSource = std::function<std::shared_ptr<const Rollout>()>;

    StatusPage(ReportStore *reports, const QString &token, const QString &rolloutPath, RolloutSource rollout);

    // Port 0 takes any free port. Returns the bound port, or -1.
    int bind(const QString &host, int port);
    // Serves until the process ends.
    void listen() { http.listen(); }

    QString html() const;

private:
    bool allowed(const httplib::Request &request) const;

    ReportStore *reports;
    QString token;
    QString rolloutPath;
    RolloutSource rollout;
    BoundedHttpServer http;
};
