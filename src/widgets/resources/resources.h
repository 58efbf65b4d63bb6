#pragma once

/// Registers the images compiled into the widget library. Programs and tests
/// that show windows call it once before the first window is built.
void initTk52kResources();

/// Maps the Windows font families the forms name ("宋体", "仿宋", "Arial") to
/// installed fonts, so every Chinese text renders where those are missing.
void installFontSubstitutions();
