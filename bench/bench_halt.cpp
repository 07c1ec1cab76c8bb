// The halt rule against a simulated day: 100,000 clients arrive at random over 24 hours, a tenth of
// them are offered the rollout, each run reports a few minutes after its query, and the service
// checks the rule with every report on the rollout, as serve does. Each client is one installation
// reporting once: the store counts a retrying one once, by its latest outcome, so retries change
// nothing here. Prints, for releases worse than stable and for good ones, when the rule halted them
// and how many clients had the release by then, and what one look at an hour's reports can tell.
#include "service/haltrule.h"

#include <QCoreApplication>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int clients = 100000;
constexpr double daySeconds = 24 * 3600.0;
constexpr double rolloutShare = 0.10;
// Each release's stable one fails at its own rate, 1 % to 3 %, 2 % on average.
constexpr double stableLow = 0.01, stableHigh = 0.03;
constexpr int stableRuns = 50000; // the stable release's own installations, from its own rollout

struct Outcome
{
    bool halted = false;
    double seconds = 0;  // from the rollout's start to its halt
    int offered = 0;     // clients the rollout had been offered to by then
};

Outcome simulate(const HaltRule &rule, double stableRate, double rolloutRate, std::mt19937_64 &random)
{
    std::uniform_real_distribution<double> uniform(0, 1);
    std::binomial_distribution<int> stableFailures(stableRuns, stableRate);
    const HaltRule::Tally stable{stableFailures(random), stableRuns};

    struct Run
    {
        double query;
        double report;
        bool failed;
    };
    std::vector<Run> runs;
    for (int i = 0; i < clients; ++i) {
        if (uniform(random) >= rolloutShare)
            continue;
        const double query = uniform(random) * daySeconds;
        // Downloading and installing take one to five minutes.
        runs.push_back({query, query + 60 + uniform(random) * 240, uniform(random) < rolloutRate});
    }
    std::vector<Run> byReport = runs;
    std::sort(byReport.begin(), byReport.end(), [](const Run &a, const Run &b) { return a.report < b.report; });
    HaltRule::Tally tried;
    for (const Run &run : byReport) {
        tried.failures += run.failed;
        ++tried.total;
        if (rule.exceeded(tried, stable)) {
            const auto offered = std::count_if(runs.cbegin(), runs.cend(), [&](const Run &other) { return other.query <= run.report; });
            return {true, run.report, int(offered)};
        }
    }
    return {false, daySeconds, int(runs.size())};
}

// The chance that one look at n installations, with the stable release's failures as expected,
// halts a release that fails at rolloutRate: the rule's power at that count.
double power(const HaltRule &rule, int n, double stableRate, double rolloutRate)
{
    const HaltRule::Tally stable{qint64(std::lround(stableRuns * stableRate)), stableRuns};
    double halted = 0;
    for (int failures = 0; failures <= n; ++failures) {
        if (rule.exceeded({failures, n}, stable))
            halted += std::exp(std::lgamma(n + 1.0) - std::lgamma(failures + 1.0) - std::lgamma(n - failures + 1.0)
                               + failures * std::log(rolloutRate) + (n - failures) * std::log1p(-rolloutRate));
    }
    return halted;
}

void scenario(QTextStream &out, const HaltRule &rule, double worse, int bad, int good, std::mt19937_64 &random)
{
    out << QString("rule above_stable %1, min_reports %2; stable fails %3 % to %4 % of %5 installations; rollout %6 % of %7"
                   " clients over a day\n")
               .arg(rule.aboveStable).arg(rule.minReports).arg(stableLow * 100).arg(stableHigh * 100).arg(stableRuns)
               .arg(rolloutShare * 100).arg(clients);
    std::uniform_real_distribution<double> stableRates(stableLow, stableHigh);
    std::vector<double> minutes, shares;
    int missed = 0, withinAnHour = 0, belowOnePercent = 0;
    for (int i = 0; i < bad; ++i) {
        const double stableRate = stableRates(random);
        const Outcome outcome = simulate(rule, stableRate, stableRate + worse, random);
        if (!outcome.halted) {
            ++missed;
            continue;
        }
        minutes.push_back(outcome.seconds / 60);
        shares.push_back(100.0 * outcome.offered / clients);
        withinAnHour += minutes.back() <= 60;
        belowOnePercent += shares.back() < 1;
    }
    std::sort(minutes.begin(), minutes.end());
    std::sort(shares.begin(), shares.end());
    if (!minutes.empty())
        out << QString("  %1 releases %2 points worse: %3 not halted; halted after %4 min (median), %5 (9 in 10), %6 (worst),"
                       " %7 within an hour; offered to %8 % (median), %9 % (worst) of all clients, %10 below 1 %\n")
                   .arg(bad).arg(worse * 100).arg(missed)
                   .arg(minutes[minutes.size() / 2], 0, 'f', 1).arg(minutes[minutes.size() * 9 / 10], 0, 'f', 1)
                   .arg(minutes.back(), 0, 'f', 1).arg(withinAnHour)
                   .arg(shares[shares.size() / 2], 0, 'f', 2).arg(shares.back(), 0, 'f', 2).arg(belowOnePercent);
    else
        out << QString("  %1 releases %2 points worse: none halted\n").arg(bad).arg(worse * 100);
    // About as many reports as an hour brings.
    const int hourly = int(clients * rolloutShare / 24);
    // At the margin itself that chance is the test's size, what its 95 % promises to keep below 5 %.
    for (const double by : {worse, rule.aboveStable})
        out << QString("  one look at %1 installations halts a release failing %2 more often than stable with probability %3"
                       " (stable at 1 %), %4 (2 %), %5 (3 %)\n")
                   .arg(hourly).arg(by)
                   .arg(power(rule, hourly, 0.01, 0.01 + by), 0, 'f', 4)
                   .arg(power(rule, hourly, 0.02, 0.02 + by), 0, 'f', 4)
                   .arg(power(rule, hourly, 0.03, 0.03 + by), 0, 'f', 4);
    // Good releases fail within half a point of stable, either way.
    std::uniform_real_distribution<double> near(-0.005, 0.005);
    int halted = 0;
    for (int i = 0; i < good; ++i) {
        const double stableRate = stableRates(random);
        halted += simulate(rule, stableRate, stableRate + near(random), random).halted;
    }
    out << QString("  %1 good releases (within 0.5 points of stable): %2 halted\n").arg(good).arg(halted);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    // The same figures on every run; another seed as the one argument.
    std::mt19937_64 random(argc > 1 ? std::stoull(argv[1]) : 20261209);
    HaltRule tight;
    tight.aboveStable = 0.01;
    tight.minReports = 200;
    scenario(out, tight, 0.05, 100, 100, random);
    HaltRule loose; // the README's example
    loose.aboveStable = 0.05;
    loose.minReports = 200;
    scenario(out, loose, 0.10, 100, 100, random);
    return 0;
}
