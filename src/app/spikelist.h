// SPDX-License-Identifier: MIT
// The run's judged spikes as a list of their own, from the report's context
// menu: time in the run, lateness, interval and cause, newest first,
// following the run as the picture does.
#pragma once

#include "spikereport.h"

#include <QWidget>

QT_BEGIN_NAMESPACE
class QLabel;
class QTreeWidget;
QT_END_NAMESPACE

class SpikeList : public QWidget
{
    Q_OBJECT

public:
    explicit SpikeList(QWidget *parent = nullptr);
    void follow(const SpikeReport &spikes);
    int rows() const;

private:
    QLabel *summary;
    QTreeWidget *list;
    quint64 shownTotal = ~quint64(0);
};
