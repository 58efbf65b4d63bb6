#pragma once

// The serial port the session reads and the list of ports the dialog offers.
// Linux has Qt's; on Windows they are this program's own, over the Win32
// communications API, with the part of that interface the program uses.

#include <QtGlobal>

#ifdef Q_OS_WIN
#include "core/meter/serialport_win.h"
using SerialPort = WinSerialPort;
using SerialPortInfo = WinSerialPortInfo;
#else
#include <QSerialPort>
#include <QSerialPortInfo>
using SerialPort = QSerialPort;
using SerialPortInfo = QSerialPortInfo;
#endif
