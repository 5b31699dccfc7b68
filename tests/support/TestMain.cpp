// SPDX-License-Identifier: MIT
// The main of every test program: a QApplication (offscreen under CTest) for the tests that need one.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
