// screenshot OUT.png [X Y WIDTH HEIGHT]
//
// Saves what the primary screen of the current display shows (or the given part of it)
// as a PNG. The demo uses it under Xvfb, where no desktop tool is at hand.

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2 && argc != 6) {
        std::fputs("usage: screenshot OUT.png [X Y WIDTH HEIGHT]\n", stderr);
        return 2;
    }
    QGuiApplication application(argc, argv);
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        std::fputs("screenshot: no screen\n", stderr);
        return 1;
    }
    int rect[4] = {0, 0, -1, -1};
    for (int i = 0; argc == 6 && i < 4; ++i) {
        try {
            rect[i] = std::stoi(argv[2 + i]);
        } catch (const std::exception&) {
            std::fprintf(stderr, "screenshot: not a number: %s\n", argv[2 + i]);
            return 2;
        }
    }
    const QPixmap picture = screen->grabWindow(0, rect[0], rect[1], rect[2], rect[3]);
    if (picture.isNull() || !picture.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "screenshot: cannot save %s\n", argv[1]);
        return 1;
    }
    return 0;
}
