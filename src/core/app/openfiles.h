#pragma once

#include <QString>

/// A process that has used up its descriptors fails every open, socket and
/// connection with EMFILE, and the libraries on the way (the serial port's
/// lock file, the database client) report something else: a permission
/// error, a server that cannot be reached. These name the real cause.
namespace OpenFiles {

/// Whether this process can open no more files (EMFILE), or the system none
/// (ENFILE), now.
bool exhausted();

/// `reason` as it is, or with "too many open files" and the process's
/// limit added when exhausted() and the reason does not say so already.
QString named(const QString &reason);

} // namespace OpenFiles
