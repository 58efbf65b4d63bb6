#pragma once

#include <QHeaderView>

/// The row numbers of a table that grows by a row at a time. Its width is
/// worked out again only when the row count gains a digit: the stock header
/// measures up to 200 row numbers for every row added.
class RowNumberHeader : public QHeaderView
{
    Q_OBJECT

public:
    explicit RowNumberHeader(QWidget *parent = nullptr);

    QSize sizeHint() const override;

protected:
    void changeEvent(QEvent *event) override;

private:
    mutable QSize m_hint;
    mutable int m_digits = -1;
};
