#pragma once

#include "core/meter/baseunit.h"

#include <qwt_scale_draw.h>

/// Value axis labels in a unit with SI prefixes: "200 mV", "1.5 V". One
/// prefix serves the whole axis (the one its largest bound needs), and the
/// labels have the decimals the tick step needs, so they read as one scale.
class SiScaleDraw : public QwtScaleDraw
{
public:
    explicit SiScaleDraw(const QString &unit);

    QwtText label(double value) const override;

    QString unit() const { return m_unit; }
    /// The prefix the labels of the current scale use.
    SiPrefix prefix() const;

private:
    QString m_unit;
};
