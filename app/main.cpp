#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Ondari"));
    QApplication::setApplicationName(QStringLiteral("Ondari"));
    return 0;
}
