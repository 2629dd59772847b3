// SPDX-License-Identifier: MIT
#include "histogramview.h"

#include <QPainter>

HistogramView::HistogramView(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setWindowTitle("Vantrel: Histogram");
    setMinimumSize(320, 220);
    resize(sizeHint());
    // The picture covers every pixel: nothing to erase first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void HistogramView::setRuns(QList<PictureRun> runs)
{
    shown.setRuns(std::move(runs));
    update();
}

void HistogramView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    shown.paint(painter, rect(), palette());
}
