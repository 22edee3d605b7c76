#include "programicon.h"

#include <QImage>
#include <QPixmap>

namespace {
// One character per pixel: . transparent, k black, y yellow, w white,
// s silver, g grey.
const char* const kPicture[16] = {
    "................",  //
    ".....kkkkkk.....",  //
    "....kwyyyyyk....",  //
    "...kwyyyyyyyk...",  //
    "...kyyyyyyyyk...",  //
    "...kyyyyyyyyk...",  //
    "...kyyyyyyyyk...",  //
    "....kyyyyyyk....",  //
    ".....kyyyyk.....",  //
    "......kssk......",  //
    "......kggk......",  //
    "......kssk......",  //
    "......kggk......",  //
    ".......kk.......",  //
    "....kkkkkkkk....",  //
    "................",  //
};
}  // namespace

QImage programIconImage() {
    QImage img(16, 16, QImage::Format_Indexed8);
    img.setColorCount(6);
    img.setColor(0, qRgba(0, 0, 0, 0));
    img.setColor(1, qRgb(0, 0, 0));
    img.setColor(2, qRgb(255, 255, 0));
    img.setColor(3, qRgb(255, 255, 255));
    img.setColor(4, qRgb(192, 192, 192));
    img.setColor(5, qRgb(128, 128, 128));
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            int index = 0;
            switch (kPicture[y][x]) {
                case 'k':
                    index = 1;
                    break;
                case 'y':
                    index = 2;
                    break;
                case 'w':
                    index = 3;
                    break;
                case 's':
                    index = 4;
                    break;
                case 'g':
                    index = 5;
                    break;
                default:
                    index = 0;
                    break;
            }
            img.setPixel(x, y, uint(index));
        }
    }
    return img;
}

QIcon programIcon() {
    return QIcon(QPixmap::fromImage(programIconImage()));
}
