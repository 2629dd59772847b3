// SPDX-License-Identifier: MIT
// A window of its own that shows the picture of the run (and of a saved run
// beside it), painted in the window's palette at whatever size it is given.
#pragma once

#include "histogrampicture.h"

#include <QWidget>

class HistogramView : public QWidget
{
    Q_OBJECT

public:
    explicit HistogramView(QWidget *parent = nullptr);

    void setRuns(QList<PictureRun> runs);
    const HistogramPicture &picture() const { return shown; }

    QSize sizeHint() const override { return QSize(800, 560); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    HistogramPicture shown;
};
