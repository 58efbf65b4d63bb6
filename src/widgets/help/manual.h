#pragma once

#include "core/app/uilanguage.h"

#include <QString>

class QObject;
class QWidget;

/// The manual's file for `language`: "help.chm" (Chinese) or "help-en.chm".
QString manualFileName(UiLanguage language);

/// Where the program finds its manual in `language` (by default the
/// interface's): manualFileName() beside the executable, or else in
/// ../share/tk52k/ from there (an installed copy); without an English one,
/// the Chinese one. When none exists, the path beside the executable, for
/// the message that names it.
QString manualPath(UiLanguage language = activeLanguage());

/// Opens the manual at \a path for \a owner. A missing file is reported in a
/// warning that names the path looked for, and nullptr is returned. On
/// Windows the system's help program is started (the returned QProcess is
/// owned by \a owner); elsewhere, and on a Windows without it, a HelpForm
/// window owned by \a owner is shown and returned.
QObject *openManual(const QString &path, QWidget *owner);
