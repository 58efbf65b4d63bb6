#pragma once

#include <QDateTime>
#include <qwt_scale_draw.h>

/// Scale draw for a time axis whose values are whole seconds counted from
/// `base`; labels show the clock time "hh:mm:ss", under the date
/// "yyyy-MM-dd" when `showDate` is set (an axis over several days).
class TimeScaleDrawR : public QwtScaleDraw
{
public:
    explicit TimeScaleDrawR(const QDateTime &base);
    ~TimeScaleDrawR() override;

    QwtText label(double value) const override;

    QDateTime base;
    bool showDate = false;
};
