#pragma once
// The program's 16x16 icon in the 16 colours of the classic palette: a lamp
// on a plug. The window and the notification area use the same picture.

#include <QIcon>

QIcon programIcon();
