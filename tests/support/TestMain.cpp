// The main of the test programs that run workers: the process's event loops start before
// any test, as they do before the program's first port, so that a test that counts this
// process's threads and descriptors counts them in its baseline.
#include <gtest/gtest.h>

#include "engine/loop/LoopSet.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    tarnwick::LoopSet::instance().start();
    return RUN_ALL_TESTS();
}
