#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <vector>

// Makes a binary patch from one version of a file to the next, in the format PatchApplier reads.
class PatchMaker
{
    Q_DECLARE_TR_FUNCTIONS(PatchMaker)

public:
    // Where the patch takes new bytes from old ones, give or take the bytes it adds.
    struct Match
    {
        qint64 newStart = 0;
        qint64 oldStart = 0;
        qint64 length = 0;
    };

    // False, saying why, when no patch can be made. With matches, they are filled in new order.
    bool make(const QByteArray &oldBytes, const QByteArray &newBytes, QByteArray *patch,
              std::vector<Match> *matches = nullptr);
    QString errorString() const { return error; }

private:
    QString error;
};
