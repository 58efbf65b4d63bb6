#pragma once

#include <QString>

/// Where the history curve draws a stored reading: its value text read as a
/// number (blanks around it, a leading "+" and an exponent allowed); an
/// overload text ("+ OL. ", "- O.L " …) at the signed end of the range its
/// `frastr` names; any other text at 0. The server's summaries compute the
/// same (SummarySchema::curveValueSql()).
double curveValueOf(const QString &valueText, const QString &frastr);
