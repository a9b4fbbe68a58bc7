// The suites' PostgreSQL runs (QUARNEL_TEST_POSTGRESQL=1) need the server libpq's variables
// name: without one (PGPORT unset) every test of the program skips.
#pragma once

#include <gtest/gtest.h>

#include <QtGlobal>

namespace testsupport {

class NeedsServer : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariable("QUARNEL_TEST_POSTGRESQL") == QLatin1String("1") &&
            qEnvironmentVariableIsEmpty("PGPORT")) {
            GTEST_SKIP() << "no PostgreSQL server: run the tests under scripts/with-postgresql.sh";
        }
    }
};

}  // namespace testsupport
