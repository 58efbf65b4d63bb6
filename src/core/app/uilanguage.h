#pragma once

#include <QString>

#include <optional>

class QCoreApplication;

/// The languages the interface comes in. Chinese is the language the texts
/// are written in; English comes from the program's translation catalogue.
enum class UiLanguage { Chinese, English };

/// "zh" or "en": the short code of \a language, as `--lang` and the settings
/// take it.
QString languageCode(UiLanguage language);

/// Reads a language code as a user types it: "zh", "zh_CN", "zh-CN", "cn",
/// "en", "en_US", ... in any case. Anything else gives no language.
std::optional<UiLanguage> parseLanguage(const QString &code);

/// The language chosen in the settings menu, Chinese when none was chosen or
/// the stored value is not understood.
UiLanguage rememberedLanguage();

/// Stores \a language for the next start.
void rememberLanguage(UiLanguage language);

/// The language installTranslations() last installed: the language of the
/// interface (Chinese before any).
UiLanguage activeLanguage();

/// Installs the translators for \a language on \a app: Qt's own texts
/// (dialogs, standard buttons) from the system's Qt translations, and for
/// English the program's catalogue built into the program. Returns an empty
/// string when everything was found, otherwise a line naming what is missing
/// (the interface then keeps the texts it has).
QString installTranslations(QCoreApplication *app, UiLanguage language);

/// For a tool that speaks English on stderr but writes the files the window
/// writes (their column titles stay Chinese): installs the English of the
/// store's reasons only (the summaries, the history reads, the store's state,
/// the meter's port), nothing else. Returns what installTranslations() does.
QString installEnglishReasons(QCoreApplication *app);
