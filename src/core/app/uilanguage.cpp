#include "uilanguage.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QSettings>
#include <QTranslator>

namespace {
const char *const kSettingsKey = "language";
const char *const kEnglishCatalogue = ":/translations/tk52k_en.qm";

// The program's catalogue, limited to the contexts whose texts are reasons
// for a failure or a state; what goes into files is left as it is written.
class ReasonTranslator : public QTranslator
{
public:
    using QTranslator::QTranslator;

    QString translate(const char *context, const char *sourceText, const char *disambiguation,
                      int n) const override
    {
        static const QByteArrayList reasons{"SummarySchema", "HistoryLoader", "database", "MeterSession"};
        if (!context || !reasons.contains(QByteArray(context)))
            return QString();
        return QTranslator::translate(context, sourceText, disambiguation, n);
    }
};
} // namespace

QString languageCode(UiLanguage language)
{
    return language == UiLanguage::English ? QStringLiteral("en") : QStringLiteral("zh");
}

std::optional<UiLanguage> parseLanguage(const QString &code)
{
    const QString c = code.trimmed().toLower().replace(QLatin1Char('-'), QLatin1Char('_'));
    if (c == QLatin1String("zh") || c == QLatin1String("cn") || c.startsWith(QLatin1String("zh_")))
        return UiLanguage::Chinese;
    if (c == QLatin1String("en") || c.startsWith(QLatin1String("en_")))
        return UiLanguage::English;
    return std::nullopt;
}

UiLanguage rememberedLanguage()
{
    return parseLanguage(QSettings().value(QLatin1String(kSettingsKey)).toString())
        .value_or(UiLanguage::Chinese);
}

void rememberLanguage(UiLanguage language)
{
    QSettings().setValue(QLatin1String(kSettingsKey), languageCode(language));
}

namespace {
UiLanguage g_active = UiLanguage::Chinese;
} // namespace

UiLanguage activeLanguage()
{
    return g_active;
}

QString installTranslations(QCoreApplication *app, UiLanguage language)
{
    g_active = language;
    QStringList missing;
    // Qt's own texts are English in the library itself; only Chinese needs a
    // catalogue for them.
    if (language == UiLanguage::Chinese) {
        auto *qt = new QTranslator(app);
        const QString dir = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
        if (qt->load(QStringLiteral("qtbase_zh_CN"), dir))
            app->installTranslator(qt);
        else
            missing << QStringLiteral("%1/qtbase_zh_CN.qm").arg(dir);
    } else {
        auto *own = new QTranslator(app);
        if (own->load(QLatin1String(kEnglishCatalogue)))
            app->installTranslator(own);
        else
            missing << QLatin1String(kEnglishCatalogue);
    }
    if (missing.isEmpty())
        return QString();
    return QStringLiteral("translations not found: %1").arg(missing.join(QStringLiteral(", ")));
}

QString installEnglishReasons(QCoreApplication *app)
{
    auto *reasons = new ReasonTranslator(app);
    if (reasons->load(QLatin1String(kEnglishCatalogue))) {
        app->installTranslator(reasons);
        return QString();
    }
    return QStringLiteral("translations not found: %1").arg(QLatin1String(kEnglishCatalogue));
}
