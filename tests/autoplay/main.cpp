// Runs the window tests offscreen inside the program's own application object.
#include "app/Application.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char **argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    mixora::app::TApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
