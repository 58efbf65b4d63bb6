#include "resources.h"

#include <QFont>
#include <QStringList>

void initTk52kResources()
{
    Q_INIT_RESOURCE(tk52k);
}

void installFontSubstitutions()
{
    const QStringList serif = {QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Noto Sans CJK SC"),
                               QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Zen Hei")};
    QFont::insertSubstitutions(QStringLiteral("宋体"), serif);
    // No usable simplified FangSong ships with Debian; the serif face is the
    // closest in weight and shape.
    QFont::insertSubstitutions(QStringLiteral("仿宋"), QStringList{QStringLiteral("FangSong")} + serif);
    QFont::insertSubstitutions(QStringLiteral("Arial"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("Nimbus Sans"),
                                QStringLiteral("DejaVu Sans")});
}
