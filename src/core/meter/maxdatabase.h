#pragma once

#include <QObject>
#include <QString>

/// Running maximum and minimum of the readings of the current range, as the
/// window shows them. Despite the name it never touches the database.
///
/// A state of 0 means the extreme is a number (`*Value`), 1 a positive and 2 a
/// negative overload (`*Value` then keeps whatever it held and is not used).
class maxdatabase : public QObject
{
    Q_OBJECT

public:
    explicit maxdatabase(QObject *parent = nullptr);

    double maxValue = 0.0;
    QString maxValueText;
    QString maxUnitText;
    int maxState = 0;
    double minValue = 0.0;
    QString minValueText;
    QString minUnitText;
    int minState = 0;
};
