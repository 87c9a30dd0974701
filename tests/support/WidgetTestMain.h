#pragma once

#include "TestEnvironment.h"

#include <QApplication>

// Widget tests need a QApplication where the other tests make do with a QGuiApplication.
#define ONDARI_WIDGET_TEST_MAIN(TestObject)                                                                  \
    int main(int argc, char* argv[]) {                                                                       \
        TestEnvironment::prepare();                                                                          \
        QApplication app(argc, argv);                                                                        \
        QApplication::setOrganizationName(QStringLiteral("OndariTest"));                                     \
        QApplication::setApplicationName(QStringLiteral("OndariTest"));                                      \
        TestObject tc;                                                                                       \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }
