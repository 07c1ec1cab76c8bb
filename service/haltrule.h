#pragma once

#include <QCoreApplication>
#include <QJsonObject>
#include <QString>

// When a rollout fails so much more often than the stable release that it should reach nobody new:
// its failure rate exceeds the stable one's by more than aboveStable (in absolute terms, 0.05 being
// five percentage points) at 95 % confidence, in a one-sided two-proportion z-test with unpooled
// variance against that margin, once the rollout has at least minReports installations. Unpooled
// rather than the score test at the margin: at a few hundred installations its size stays below
// 5 %, the score test's does not, and checked with every report that shows as good releases halted.
class HaltRule
{
    Q_DECLARE_TR_FUNCTIONS(HaltRule)

public:
    struct Tally
    {
        qint64 failures = 0;
        qint64 total = 0; // failures and installs: the runs that tried the release
    };

    // The one-sided 95 % point of the standard normal distribution.
    static constexpr double criticalZ = 1.6448536269514722;

    double aboveStable = 0.05;
    qint64 minReports = 200;

    // From the rollout file's "halt" object; false, saying why, when it is malformed.
    static bool fromJson(const QJsonObject &object, HaltRule *rule, QString *error);
    // Whether the rollout is to be halted; why says so in the log's words when it is.
    bool exceeded(const Tally &rollout, const Tally &stable, QString *why = nullptr) const;
};
