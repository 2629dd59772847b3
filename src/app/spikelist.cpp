// SPDX-License-Identifier: MIT
#include "spikelist.h"

#include <QHeaderView>
#include <QLabel>
#include <QTreeWidget>
#include <QVBoxLayout>

SpikeList::SpikeList(QWidget *parent)
    : QWidget(parent, Qt::Window), summary(new QLabel(this)), list(new QTreeWidget(this))
{
    setObjectName("spikeList");
    setWindowTitle("Spikes");
    summary->setWordWrap(true);
    list->setObjectName("spikeRows");
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setHeaderLabels({"Time (s)", "Lateness (us)", "Interval (us)", "Cause"});
    list->header()->setStretchLastSection(true);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(summary);
    layout->addWidget(list, 1);
    // Wide enough for a traced cause with its culprit; longer ones scroll.
    resize(900, 420);
}

int SpikeList::rows() const
{
    return list->topLevelItemCount();
}

void SpikeList::follow(const SpikeReport &spikes)
{
    summary->setText(spikes.countsLine() + "\n" + spikes.sourcesText());
    // The rows change only with new spikes: the list keeps its scroll
    // position between refreshes otherwise.
    if (spikes.store.total() == shownTotal)
        return;
    shownTotal = spikes.store.total();
    const std::vector<JudgedSpike> newest = spikes.store.newest();
    list->clear();
    QList<QTreeWidgetItem *> items;
    items.reserve(qsizetype(newest.size()));
    for (auto spike = newest.rbegin(); spike != newest.rend(); ++spike) {
        auto *item =
            new QTreeWidgetItem({QString::number(spikes.secondsIn(spike->record), 'f', 3),
                                 QString::number(double(spike->record.latenessNs) / 1000.0, 'f', 1),
                                 QString::number(double(spike->record.intervalNs) / 1000.0, 'f', 1),
                                 SpikeReport::causeText(*spike)});
        for (int column = 0; column < 3; ++column)
            item->setTextAlignment(column, Qt::AlignRight);
        items << item;
    }
    list->addTopLevelItems(items);
    for (int column = 0; column < 4; ++column)
        list->resizeColumnToContents(column);
}
