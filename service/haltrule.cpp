#include "service/haltrule.h"

#include <cmath>

bool HaltRule::fromJson(const QJsonObject &object, HaltRule *rule, QString *error)
{
    const double above = object.value("above_stable").toDouble(-1);
    const double reports = object.value("min_reports").toDouble(-1);
    if (!object.value("above_stable").isDouble() || !(above >= 0 && above < 1)) {
        *error = tr("the halt's \"above_stable\" must be a share from 0 to below 1");
        return false;
    }
    if (!object.value("min_reports").isDouble() || reports < 1 || reports != std::floor(reports)) {
        *error = tr("the halt's \"min_reports\" must be a whole number from 1");
        return false;
    }
    rule->aboveStable = above;
    rule->minReports = qint64(reports);
    return true;
}

bool HaltRule::exceeded(const Tally &rollout, const Tally &stable, QString *why) const
{
    if (rollout.total < minReports || rollout.total <= 0 || stable.total <= 0)
        return false;
    const double rolloutRate = double(rollout.failures) / double(rollout.total);
    const double stableRate = double(stable.failures) / double(stable.total);
    const double variance = rolloutRate * (1 - rolloutRate) / double(rollout.total)
        + stableRate * (1 - stableRate) / double(stable.total);
    const double excess = rolloutRate - stableRate - aboveStable;
    // Both rates at 0 or 1 leave no doubt: only the difference itself tells.
    const bool over = variance > 0 ? excess / std::sqrt(variance) > criticalZ : excess > 0;
    if (over && why)
        *why = tr("the rollout failed on %1 of %2 installations (%3 %), the stable release on %4 of %5 (%6 %): more than %7 "
                  "points above it at 95 % confidence")
                   .arg(rollout.failures).arg(rollout.total).arg(rolloutRate * 100, 0, 'f', 2)
                   .arg(stable.failures).arg(stable.total).arg(stableRate * 100, 0, 'f', 2)
                   .arg(aboveStable * 100, 0, 'g', 3);
    return over;
}
