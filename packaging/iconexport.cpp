// iconexport PNG SVG: writes the program icon as a 16x16 PNG and as a
// scalable SVG, both from the picture the window and the tray show, so the
// installed icon can never differ from it. Run by the build.
#include <QImage>
#include <QSaveFile>
#include <QString>
#include <cstdio>

#include "programicon.h"

namespace {

// One rectangle per run of equal pixels in a row; crisp edges keep the
// pixel look at any size.
QByteArray svgOf(const QImage& img) {
    QByteArray out;
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += QStringLiteral(
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\" "
               "viewBox=\"0 0 %1 %2\" shape-rendering=\"crispEdges\">\n")
               .arg(img.width())
               .arg(img.height())
               .toUtf8();
    for (int y = 0; y < img.height(); ++y) {
        int x = 0;
        while (x < img.width()) {
            const QRgb c = img.pixel(x, y);
            int end = x + 1;
            while (end < img.width() && img.pixel(end, y) == c) ++end;
            if (qAlpha(c) != 0) {
                out += QStringLiteral(
                           "  <rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"1\" fill=\"#%4\"/>\n")
                           .arg(x)
                           .arg(y)
                           .arg(end - x)
                           .arg(c & 0xFFFFFFu, 6, 16, QLatin1Char('0'))
                           .toUtf8();
            }
            x = end;
        }
    }
    out += "</svg>\n";
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: iconexport OUT.png OUT.svg\n");
        return 2;
    }
    const QImage img = programIconImage().convertToFormat(QImage::Format_ARGB32);
    if (!img.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "iconexport: cannot write %s\n", argv[1]);
        return 1;
    }
    QSaveFile svg(QString::fromLocal8Bit(argv[2]));
    if (!svg.open(QIODevice::WriteOnly | QIODevice::Truncate) || svg.write(svgOf(img)) < 0 ||
        !svg.commit()) {
        std::fprintf(stderr, "iconexport: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
