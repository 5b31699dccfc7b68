// SPDX-License-Identifier: MIT
// The anchor the program's start-up, memory and idle processor time are compared with: the smallest Qt
// Widgets program that shows a window, one dialog with a label and a button, run until it is ended.
// With `--timer` it also runs a 100 ms timer that does nothing, as the program's pump does; that is the
// floor for idle processor time. Links Qt Widgets alone.
//
//   bench_anchor_dialog [--timer]
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <cstring>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Anchor"));
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel(QStringLiteral("A minimal Qt Widgets dialog"), &dialog));
    layout->addWidget(new QPushButton(QStringLiteral("OK"), &dialog));
    dialog.resize(320, 240);
    QTimer pump;
    if (argc > 1 && std::strcmp(argv[1], "--timer") == 0) {
        QObject::connect(&pump, &QTimer::timeout, [] {});
        pump.start(100);
    }
    dialog.show();
    return application.exec();
}
