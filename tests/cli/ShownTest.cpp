// How the command-line programs quote a value they refuse.
#include <gtest/gtest.h>

#include "tools/common/Shown.h"

namespace {

TEST(Shown, QuotesWhatATerminalShowsAndMasksWhatItWouldActOn) {
    struct Case {
        std::string In;
        std::string Out;
    };
    const Case cases[] = {
        {"", "''"},
        {"Roof", "'Roof'"},
        {"ab\x01\x1b[2J\r\ncd", "'ab??[2J??cd'"},
        {"\x7f", "'?'"},
        {"Dach Süd", "'Dach Süd'"},    // UTF-8 stays
        {"€ 5", "'€ 5'"},              // three bytes
        {"\xc2\x9b[2J", "'??[2J'"},    // the C1 CSI: a '?' a byte
        {"\xff\xc3", "'\?\?'"},        // no UTF-8, and cut short
        {"\xc0\xaf", "'\?\?'"},        // an overlong '/'
        {"\xed\xa0\x80", "'\?\?\?'"},  // a surrogate
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tools::shown(c.In), c.Out) << c.In;
    }
}

TEST(Shown, CutsLongValuesAndCountsTheirCharacters) {
    EXPECT_EQ(tools::shown(std::string(40, 'x')), "'" + std::string(40, 'x') + "'");
    EXPECT_EQ(tools::shown(std::string(41, 'x')),
              "'" + std::string(40, 'x') + "'... (41 characters)");
    std::string umlauts;
    for (int i = 0; i < 45; ++i) {
        umlauts += "ü";
    }
    EXPECT_EQ(tools::shown(umlauts, 3), "'üüü'... (45 characters)");
}

}  // namespace
