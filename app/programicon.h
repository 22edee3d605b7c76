#pragma once
// The program's 16x16 icon in the 16 colours of the classic palette: a lamp
// on a plug. The window and the notification area use the same picture, and
// the build writes the installed icon files from it (packaging/iconexport).

#include <QIcon>
#include <QImage>

// The picture itself: 16x16, indexed colours, index 0 transparent. Needs no
// running application.
QImage programIconImage();

QIcon programIcon();
