#!/usr/bin/env bash
# Qwt 6.1.4 for the plots: Qwt's own source with the one Debian patch it
# needs to build against Qt 5.15 (the rest are Debian's install layout).
prefix=$1 work=$2 qt=$3
. "$(dirname "$0")/common.sh"

src=$(unpack qwt --skip-patches)
cd "$src"
if [ ! -f .patched ]; then
    patch -p1 -s <debian/patches/06_ftbs.patch
    touch .patched
fi
# Only the plot and the widgets, as a DLL; no designer plugin, SVG, OpenGL.
cat >qwtconfig.pri <<PRI
QWT_VER_MAJ = 6
QWT_VER_MIN = 1
QWT_VER_PAT = 4
QWT_VERSION = 6.1.4
QWT_INSTALL_PREFIX = $prefix
QWT_INSTALL_DOCS = $prefix/doc
QWT_INSTALL_HEADERS = $prefix/include
QWT_INSTALL_LIBS = $prefix/lib
QWT_INSTALL_PLUGINS = $prefix/plugins
QWT_INSTALL_FEATURES = $prefix/features
QWT_CONFIG += QwtDll QwtPlot QwtWidgets
PRI
cd src
"$qt/bin/qmake" src.pro >"$work/qmake.log" 2>&1 || { tail -20 "$work/qmake.log"; exit 1; }
mk >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
mk install >/dev/null
