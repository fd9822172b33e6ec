#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../transport/TransportTestSupport.h"

int main(int argc, char** argv) {
    prntest::UseOwnModemFile();
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    const std::string modemFile = std::getenv("PRNSIM_MODEM_FILE");
    std::remove(modemFile.c_str());
    std::remove((modemFile + ".lock").c_str());
    return result;
}
