// Another program's window for the key tests: shows a window, prints "ready <window id>" once
// it is on screen, then "key <name> <modifiers>" for every key press it receives (modifier keys
// on their own are left out).
#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QPainter>
#include <QRasterWindow>

#include <cstdio>

namespace {
bool isModifierKey(int key) {
    return key == Qt::Key_Control || key == Qt::Key_Shift || key == Qt::Key_Alt || key == Qt::Key_Meta;
}

class WitnessWindow : public QRasterWindow {
protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(QRect(QPoint(), size()), Qt::darkCyan); }

    void exposeEvent(QExposeEvent* event) override {
        QRasterWindow::exposeEvent(event);
        if (isExposed() && !m_announced) {
            m_announced = true;
            std::printf("ready %llu\n", static_cast<unsigned long long>(winId()));
            std::fflush(stdout);
        }
    }

    void keyPressEvent(QKeyEvent* event) override {
        if (isModifierKey(event->key())) {
            return;
        }
        const QString name =
            event->key() == Qt::Key_Enter ? QStringLiteral("Enter") : QKeySequence(event->key()).toString();
        std::printf("key %s %s\n", qPrintable(name),
                    (event->modifiers() & Qt::ControlModifier) ? "ctrl" : "none");
        std::fflush(stdout);
    }

private:
    bool m_announced = false;
};
} // namespace

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    WitnessWindow window;
    window.resize(200, 120);
    window.show();
    return app.exec();
}
