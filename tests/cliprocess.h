// SPDX-License-Identifier: MIT
// Runs vantrel-cli as a person or a script would and keeps what it said.
#pragma once

#include "statsreport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>

struct CliResult
{
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;
};

// The program, or `ip netns exec <namespace>` around it. VANTREL_CLI in the
// environment runs another build instead, e.g. to measure an older one.
inline QStringList cliCommand(const QString &netns = QString())
{
    const QString program = qEnvironmentVariable("VANTREL_CLI", VANTREL_CLI);
    if (netns.isEmpty())
        return {program};
    return {"ip", "netns", "exec", netns, program};
}

inline void startCli(QProcess &process, const QStringList &arguments,
                     const QString &netns = QString())
{
    QStringList command = cliCommand(netns) + arguments;
    const QString program = command.takeFirst();
    process.start(program, command);
}

inline CliResult finishCli(QProcess &process, int timeoutMs)
{
    CliResult result;
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(2000);
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

inline CliResult runCli(const QStringList &arguments, int timeoutMs = 15000)
{
    QProcess process;
    startCli(process, arguments);
    return finishCli(process, timeoutMs);
}

// A run's --json file; empty when there is none.
inline QJsonObject readJson(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

// The table as the report prints it for these bins.
inline QString tableOf(const QJsonArray &bins)
{
    quint64 total = 0;
    for (const QJsonValue &bin : bins)
        total += quint64(bin["count"].toInteger());
    QString table = StatsReport::header();
    for (const QJsonValue &bin : bins)
        table += StatsReport::row(bin["bin"].toInt(), bin["seconds"].toDouble(),
                                  quint64(bin["count"].toInteger()), total);
    return table;
}
