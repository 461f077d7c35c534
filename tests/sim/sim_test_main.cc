// Initialises net-snmp once, before any test thread or agent exists, then runs the tests.
#include <gtest/gtest.h>

#include "tests/sim/snmp_client.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  simtest::InitNetSnmp();
  return RUN_ALL_TESTS();
}
