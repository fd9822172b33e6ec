#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "TransportTestSupport.h"

int main(int argc, char** argv) {
    prntest::UseOwnModemFile();
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::remove(std::getenv("PRNSIM_MODEM_FILE"));
    return result;
}
